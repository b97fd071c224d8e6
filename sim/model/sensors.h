// What the sensors read from the true state, in the raw units and axis
// conventions the device API hands to missions (body frame: +x camera axis,
// +y left, +z up), with Gaussian noise of a chosen scale and seed.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "devices/families.h"
#include "model/physics.h"

namespace kelvex::sim {

// Raw scales, also documented in sim/README.md.
inline constexpr uint16_t kAdcMax = 1023;        // light, sun sensors, sun battery
inline constexpr double kGyroLsbPerDps = 100.0;  // 0.01 °/s per count
inline constexpr double kMagLsbPerUt = 100.0;    // 10 nT per count
inline constexpr double kAccelLsbPerG = 1000.0;  // 1 mg per count
inline constexpr double kSensorSpacingDeg = 45.0;
inline constexpr double kSunSensorAmbient = 20.0;
inline constexpr double kLightSensorDark = 10.0;

struct Axes {
    int16_t x = 0, y = 0, z = 0;
};

class Sensors {
public:
    // noise_scale multiplies every sensor's nominal noise; 0 turns it off.
    Sensors(double noise_scale, uint32_t seed);

    uint16_t light(const Physics& p, int unit);
    // Channel 1 (positive) and channel 2 (negative) of a sun sensor.
    void sun(const Physics& p, int unit, uint16_t& positive, uint16_t& negative);
    uint16_t sun_battery(const Physics& p, int unit);
    Axes gyro(const Physics& p, int unit);  // body rate, counts
    Axes mag(const Physics& p, int unit);   // body field, counts
    Axes accel(const Physics& p);           // specific force, counts
    float receiver_quality(int unit);

    // Unit faults: an offset added to what a unit measures, and a factor on
    // its noise (the receiver: on its quality).
    struct Tweak {
        double bias = 0;
        double scale = 1;
    };
    Tweak& gyro_tweak(int unit) { return gyro_.at(static_cast<size_t>(unit)); }
    Tweak& mag_tweak(int unit) { return mag_.at(static_cast<size_t>(unit)); }
    Tweak& receiver_tweak(int unit) { return receiver_.at(static_cast<size_t>(unit)); }

    // Angle from sensor `unit`'s axis (at unit * 45° around the body) to the
    // lamp, degrees in (-180, 180].
    static double angle_from_unit(const Physics& p, int unit);

private:
    double noise(double sigma);
    uint16_t adc(double value);
    static int16_t count(double value);

    template <devices::FamilyId F>
    using PerUnit = std::array<Tweak, devices::unit_count(F)>;

    double scale_;
    PerUnit<devices::FamilyId::hyro> gyro_{};
    PerUnit<devices::FamilyId::magnetometer> mag_{};
    PerUnit<devices::FamilyId::receiver> receiver_{};
    std::mt19937 rng_;
    std::normal_distribution<double> normal_{0.0, 1.0};
};

// The words a three-axis unit of `family` puts at answer offsets 6, 8 and 10
// so that the device API, which reorders and negates them by the family's
// axis table, hands out `a`.
std::array<uint16_t, 3> axis_words(const devices::Family& family, Axes a);

}  // namespace kelvex::sim
