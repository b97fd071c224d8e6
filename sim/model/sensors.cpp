#include "model/sensors.h"

#include <algorithm>
#include <cmath>

namespace kelvex::sim {
namespace {

constexpr double kDegToRad = 3.14159265358979323846 / 180.0;
constexpr double kSunSensorGain = 900.0;  // channel amplitude at normal incidence
constexpr double kLightGain = 1000.0;

uint16_t neg(int16_t v) { return static_cast<uint16_t>(-static_cast<int32_t>(v)); }

}  // namespace

Sensors::Sensors(double noise_scale, uint32_t seed) : scale_(noise_scale), rng_(seed) {}

double Sensors::noise(double sigma)
{
    if (scale_ <= 0 || sigma <= 0) {
        return 0.0;
    }
    return normal_(rng_) * sigma * scale_;
}

uint16_t Sensors::adc(double value)
{
    return static_cast<uint16_t>(std::clamp(std::lround(value), 0L, long{kAdcMax}));
}

int16_t Sensors::count(double value)
{
    // ±32767 so that the device API's negation never meets -32768.
    return static_cast<int16_t>(std::clamp(std::lround(value), -32767L, 32767L));
}

double Sensors::angle_from_unit(const Physics& p, int unit)
{
    return wrap_deg(p.lamp_angle_deg() - unit * kSensorSpacingDeg);
}

uint16_t Sensors::light(const Physics& p, int unit)
{
    const double c = std::cos(angle_from_unit(p, unit) * kDegToRad);
    return adc(kLightSensorDark + kLightGain * p.lamp_intensity() * std::max(0.0, c) +
               noise(3.0));
}

void Sensors::sun(const Physics& p, int unit, uint16_t& positive, uint16_t& negative)
{
    // Two photodiodes behind a slit: their signals split the light so that
    // atan2(positive, negative) - 45° is the angle to the lamp inside the
    // ±45° field of view.
    const double phi = angle_from_unit(p, unit);
    double pos = 0;
    double negc = 0;
    if (std::fabs(phi) < 45.0) {
        const double a = kSunSensorGain * p.lamp_intensity() * std::cos(phi * kDegToRad);
        pos = a * std::sin((phi + 45.0) * kDegToRad);
        negc = a * std::cos((phi + 45.0) * kDegToRad);
    }
    positive = adc(kSunSensorAmbient + pos + noise(1.5));
    negative = adc(kSunSensorAmbient + negc + noise(1.5));
}

uint16_t Sensors::sun_battery(const Physics& p, int unit)
{
    const double c = std::cos(angle_from_unit(p, unit) * kDegToRad);
    return adc(kAdcMax * p.lamp_intensity() * std::max(0.0, c) + noise(2.0));
}

Axes Sensors::gyro(const Physics& p, int unit)
{
    const Tweak& t = gyro_.at(static_cast<size_t>(unit));
    const double sigma = 5.0 * t.scale;
    return {count(noise(sigma)), count(noise(sigma)),
            count((p.rate_dps() + t.bias) * kGyroLsbPerDps + noise(sigma))};
}

Axes Sensors::mag(const Physics& p, int unit)
{
    const Vec3 b = p.field_body_ut();
    const double bias = mag_.at(static_cast<size_t>(unit)).bias;
    return {count((b.x + bias) * kMagLsbPerUt + noise(5.0)), count((b.y + bias) * kMagLsbPerUt + noise(5.0)),
            count((b.z + bias) * kMagLsbPerUt + noise(5.0))};
}

Axes Sensors::accel(const Physics&)
{
    // At rest on the bearing the unit feels the table's support: +1 g up.
    return {count(noise(5.0)), count(noise(5.0)), count(kAccelLsbPerG + noise(5.0))};
}

float Sensors::receiver_quality(int unit)
{
    const double scale = receiver_.at(static_cast<size_t>(unit)).scale;
    return static_cast<float>(std::clamp(scale * (0.9 + noise(0.02)), 0.0, 1.0));
}

std::array<uint16_t, 3> axis_words(const devices::Family& family, Axes a)
{
    const int16_t values[3] = {a.x, a.y, a.z};
    std::array<uint16_t, 3> w{};
    for (size_t i = 0; i < 3; ++i) {
        const devices::Axis& axis = family.axes[i];
        w[axis.word] = axis.negate ? neg(values[i]) : static_cast<uint16_t>(values[i]);
    }
    return w;
}

}  // namespace kelvex::sim
