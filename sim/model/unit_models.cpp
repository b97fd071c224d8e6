#include "model/unit_models.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "model/bus.h"
#include "common/le.h"

namespace kelvex::sim {
namespace {

using devices::Op;
using F = devices::FamilyId;

uint16_t rounded(double v) { return static_cast<uint16_t>(static_cast<int16_t>(std::lround(v))); }

// A light reading below the unit's minimum value reads 0.
uint16_t above_min(ModelParts& m, const Request& r, uint16_t v)
{
    return v < m.units.at(r.family(), r.unit).settings[static_cast<size_t>(Op::set_minvalue)] ? uint16_t{0} : v;
}

// A wheel (motor or fan) follows its commanded speed; it answers the
// command it took, clipped.
template <void (Physics::*Set)(int, double), double (Physics::*Get)(int) const>
int16_t wheel(ModelParts& m, int unit, int16_t value, bool on)
{
    if (on) {
        (m.physics.*Set)(unit, value);
    }
    return static_cast<int16_t>(std::lround((m.physics.*Get)(unit)));
}

// A torquer (coil or engine) holds its command within its range.
template <F Family, int Lowest, void (Physics::*Set)(int, int)>
int16_t torquer(ModelParts& m, int unit, int16_t value, bool on)
{
    int16_t& held = m.units.at(Family, unit).held;
    if (on) {
        held = static_cast<int16_t>(std::clamp<int>(value, Lowest, kActuatorFullScale));
        (m.physics.*Set)(unit, held);
    }
    return held;
}

// A dead torquer carries no current and gives no thrust at once.
template <F Family, void (Physics::*Set)(int, int)>
void torquer_dead(ModelParts& m, int unit, bool)
{
    m.units.at(Family, unit).held = 0;
    (m.physics.*Set)(unit, 0);
}

// clang-format off
const UnitModel kModels[] = {
    {F::sunbattery, {{Op::request_raw, [](ModelParts& m, const Request& r) {
        return words({m.sensors.sun_battery(m.physics, r.unit)});
    }}}},
    {F::light_sensor, {{Op::request_raw, [](ModelParts& m, const Request& r) {
        return words({above_min(m, r, r.on ? m.sensors.light(m.physics, r.unit) : uint16_t{0})});
    }}}},
    {F::sun_sensor, {{Op::request_raw, [](ModelParts& m, const Request& r) {
        uint16_t p = 0;
        uint16_t q = 0;
        if (r.on) {
            m.sensors.sun(m.physics, r.unit, p, q);
        }
        return words({above_min(m, r, p), above_min(m, r, q)});
    }}}},
    {F::accelerometer, {}, [](ModelParts& m, int) { return m.sensors.accel(m.physics); }},
    {F::magnetometer, {}, [](ModelParts& m, int unit) { return m.sensors.mag(m.physics, unit); }},
    {F::hyro, {}, [](ModelParts& m, int unit) { return m.sensors.gyro(m.physics, unit); }},
    // A dead motor is not driven: its rotor coasts.
    {F::motor, {{Op::request_speed, [](ModelParts& m, const Request& r) {
        return words({rounded(m.physics.motor_rpm(r.unit))});
    }}}, nullptr, wheel<&Physics::set_motor_command, &Physics::motor_command>,
     [](ModelParts& m, int unit, bool on) { m.physics.free_motor(unit, on); }},
    {F::fan, {{Op::request_speed, [](ModelParts& m, const Request& r) {
        return words({rounded(m.physics.fan_rpm(r.unit))});
    }}}, nullptr, wheel<&Physics::set_fan_command, &Physics::fan_command>},
    {F::coil, {}, nullptr, torquer<F::coil, -kActuatorFullScale, &Physics::set_coil>,
     torquer_dead<F::coil, &Physics::set_coil>},
    {F::engine, {}, nullptr, torquer<F::engine, 0, &Physics::set_engine>,
     torquer_dead<F::engine, &Physics::set_engine>},
    {F::receiver, {{Op::request_state, [](ModelParts& m, const Request& r) {
        const float q = m.sensors.receiver_quality(r.unit);
        Bytes b(4);
        std::memcpy(b.data(), &q, 4);  // little-endian IEEE single on this host
        return b;
    }}}},
};
// clang-format on

}  // namespace

const UnitModel* unit_model(F f)
{
    static const std::array<const UnitModel*, devices::kFamilyCount> by_family = [] {
        std::array<const UnitModel*, devices::kFamilyCount> a{};
        for (const UnitModel& m : kModels) {
            a[static_cast<size_t>(m.family)] = &m;
        }
        return a;
    }();
    // cppcheck takes the table's type from the lambda above for an integer.
    // cppcheck-suppress CastIntegerToAddressAtReturn
    return by_family[static_cast<size_t>(f)];
}

}  // namespace kelvex::sim
