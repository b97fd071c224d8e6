#include "faults/fault_table.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "json.h"
#include "model/satellite.h"

namespace kelvex::sim {
namespace {

using devices::Op;
using F = devices::FamilyId;

constexpr double kBig = 1e12;

// A dead unit takes nothing and answers nothing; what it drove stops
// driving (its family's model says what that is).
template <F Family>
void dead(Satellite& sat, int unit, bool on, double)
{
    sat.bus.units().at(Family, unit).dead = on;
    if (const UnitModel* model = unit_model(Family); model && model->dead) {
        model->dead(sat.bus.parts(), unit, on);
    }
}

// The run's station refuses uploads while any transmitter is dead.
void transmitter_dead(Satellite& sat, int unit, bool on, double value)
{
    dead<F::transmitter>(sat, unit, on, value);
    bool any = false;
    for (int i = 0; i < static_cast<int>(devices::unit_count(F::transmitter)); ++i) {
        any = any || sat.bus.units().at(F::transmitter, i).dead;
    }
    sat.telemetry.set_state_flag("transmitter_dead", any);
}

// A stuck sensor answers what it read when the fault came.
template <F Family>
void stuck(Satellite& sat, int unit, bool on, double)
{
    sat.bus.units().at(Family, unit).stuck =
        on ? sat.bus.sample(Family, Op::request_raw, unit, sat.physics.time()) : Bytes{};
}

void wheel_stuck(Satellite& sat, int unit, bool on, double) { sat.physics.hold_motor(unit, on); }

void wheel_limit(Satellite& sat, int unit, bool on, double rpm) { sat.physics.limit_motor(unit, on ? rpm : -1.0); }

void gyro_bias(Satellite& sat, int unit, bool on, double dps) { sat.sensors.gyro_tweak(unit).bias = on ? dps : 0.0; }

void gyro_noise(Satellite& sat, int unit, bool on, double k) { sat.sensors.gyro_tweak(unit).scale = on ? k : 1.0; }

void mag_bias(Satellite& sat, int unit, bool on, double ut) { sat.sensors.mag_tweak(unit).bias = on ? ut : 0.0; }

void receiver_quality(Satellite& sat, int unit, bool on, double k)
{
    sat.sensors.receiver_tweak(unit).scale = on ? k : 1.0;
}

void camera_fail(Satellite& sat, int, bool on, double) { sat.telemetry.set_state_flag("camera_fail", on); }

void lamp_off(Satellite& sat, int, bool on, double) { sat.physics.set_lamp(!on); }

void lamp_azimuth(Satellite& sat, int, bool on, double deg)
{
    sat.physics.set_lamp_azimuth(on ? deg : sat.physics.params().lamp_azimuth_deg);
}

// A line fault switched off goes back to what the command line set.
template <double FaultParams::*Field>
void line(Satellite& sat, int, bool on, double v)
{
    sat.faults.live().*Field = on ? v : sat.faults.base().*Field;
}

void baud(Satellite& sat, int, bool on, double v)
{
    sat.faults.live().baud = on ? static_cast<int>(v) : sat.faults.base().baud;
}

constexpr ValueUse kNone = ValueUse::none;
constexpr ValueUse kRequired = ValueUse::required;
constexpr ValueUse kOptional = ValueUse::optional;
constexpr std::nullopt_t kNoUnit = std::nullopt;
constexpr FaultScope kUnit = FaultScope::unit;
constexpr FaultScope kLamp = FaultScope::lamp;
constexpr FaultScope kLine = FaultScope::line;

// clang-format off
const FaultKind kKinds[] = {
    {"gyro-stuck", kUnit, F::hyro, kNone, 0, 0, 0, "", "the gyroscope answers the reading it had when the fault came", stuck<F::hyro>},
    {"gyro-bias", kUnit, F::hyro, kRequired, -3600, 3600, 0, "deg/s", "the gyroscope's rate reads VALUE deg/s too high", gyro_bias},
    {"gyro-noise", kUnit, F::hyro, kOptional, 0, 1000, 10, "times the nominal noise", "the gyroscope's noise is VALUE times its nominal (default 10)", gyro_noise},
    {"gyro-dead", kUnit, F::hyro, kNone, 0, 0, 0, "", "the gyroscope answers nothing", dead<F::hyro>},
    {"mag-bias", kUnit, F::magnetometer, kRequired, -1e4, 1e4, 0, "uT", "the magnetometer reads VALUE uT too high on each axis", mag_bias},
    {"sun-sensor-dead", kUnit, F::sun_sensor, kNone, 0, 0, 0, "", "the sun sensor answers nothing", dead<F::sun_sensor>},
    {"sun-sensor-stuck", kUnit, F::sun_sensor, kNone, 0, 0, 0, "", "the sun sensor answers the reading it had when the fault came", stuck<F::sun_sensor>},
    {"light-sensor-dead", kUnit, F::light_sensor, kNone, 0, 0, 0, "", "the light sensor answers nothing", dead<F::light_sensor>},
    {"light-sensor-stuck", kUnit, F::light_sensor, kNone, 0, 0, 0, "", "the light sensor answers the reading it had when the fault came", stuck<F::light_sensor>},
    {"wheel-stuck", kUnit, F::motor, kNone, 0, 0, 0, "", "the motor keeps the speed it had, whatever it is told (it still answers)", wheel_stuck},
    {"wheel-limit", kUnit, F::motor, kRequired, 0, 32767, 0, "rpm", "the motor's speed is limited to VALUE rpm; commands beyond come back clipped", wheel_limit},
    {"wheel-dead", kUnit, F::motor, kNone, 0, 0, 0, "", "the motor answers nothing and exerts no torque: its rotor coasts", dead<F::motor>},
    {"coil-dead", kUnit, F::coil, kNone, 0, 0, 0, "", "the coil answers nothing and carries no current", dead<F::coil>},
    {"engine-dead", kUnit, F::engine, kNone, 0, 0, 0, "", "the engine answers nothing and gives no thrust", dead<F::engine>},
    {"transmitter-dead", kUnit, F::transmitter, kNone, 0, 0, 0, "", "the transmitter answers nothing (state transmitter_dead=1: the run's station refuses its uploads)", transmitter_dead},
    {"camera-fail", kUnit, F::camera, kNone, 0, 0, 0, "", "the capture tool fails (state camera_fail=1)", camera_fail},
    {"receiver-quality", kUnit, F::receiver, kOptional, 0, 1, 0.25, "factor", "the receiver's quality is VALUE times its nominal (default 0.25)", receiver_quality},
    {"lamp-off", kLamp, kNoUnit, kNone, 0, 0, 0, "", "the lamp is off (an eclipse): sun sensors, light sensors and sun batteries see darkness", lamp_off},
    {"lamp-azimuth", kLamp, kNoUnit, kRequired, -kBig, kBig, 0, "deg", "the lamp stands at azimuth VALUE; cleared: back to the run's", lamp_azimuth},
    {"drop", kLine, kNoUnit, kRequired, 0, 1, 0, "probability", "answers are lost with probability VALUE", line<&FaultParams::drop>},
    {"corrupt", kLine, kNoUnit, kRequired, 0, 1, 0, "probability", "a byte of an answer frame is altered with probability VALUE", line<&FaultParams::corrupt>},
    {"late", kLine, kNoUnit, kRequired, 0, 1, 0, "probability", "answers come late-ms late with probability VALUE", line<&FaultParams::late>},
    {"glue", kLine, kNoUnit, kRequired, 0, 1, 0, "probability", "the previous frame goes out again, glued in front, with probability VALUE", line<&FaultParams::glue>},
    {"delay", kLine, kNoUnit, kRequired, 0, 60000, 0, "ms", "every answer waits VALUE ms", line<&FaultParams::delay_ms>},
    {"baud", kLine, kNoUnit, kRequired, 0, 1e8, 0, "bits/s", "the line runs at VALUE bits per second (0: instant)", baud},
};
// clang-format on

bool number(const std::string& text, double& out)
{
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    out = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(out);
}


std::string units_text(const FaultKind& k)
{
    return k.family ? "0 to " + std::to_string(k.units() - 1) : "0 only";
}

}  // namespace

const FaultKind* fault_kinds_begin() { return std::begin(kKinds); }
const FaultKind* fault_kinds_end() { return std::end(kKinds); }

const FaultKind* find_fault(const std::string& name)
{
    for (const FaultKind& k : kKinds) {
        if (name == k.name) {
            return &k;
        }
    }
    return nullptr;
}

const char* value_use_name(ValueUse v)
{
    switch (v) {
    case ValueUse::required: return "required";
    case ValueUse::optional: return "optional";
    default: return "none";
    }
}

bool check_fault(const FaultKind& kind, const std::string& unit, const std::string& value,
                 FaultSwitch& out, std::string& error, bool need_value)
{
    out = FaultSwitch{&kind, 0, kind.fallback, false};
    double u = 0;
    if (!unit.empty() && (!number(unit, u) || u != std::floor(u))) {
        error = "unit '" + unit + "' is not a number";
        return false;
    }
    if (u < 0 || u >= kind.units()) {
        error = std::string(kind.name) + ": unit " + unit + " out of range (" + units_text(kind) + ")";
        return false;
    }
    out.unit = static_cast<int>(u);
    if (value.empty()) {
        if (kind.value == ValueUse::required && need_value) {
            error = std::string(kind.name) + " needs a value (" + kind.meaning + ")";
        }
        return error.empty();
    }
    if (kind.value == ValueUse::none) {
        error = std::string(kind.name) + " takes no value";
        return false;
    }
    if (!number(value, out.value) || out.value < kind.lo || out.value > kind.hi) {
        error = std::string(kind.name) + ": bad value '" + value + "' (" + kind.meaning + ", " +
                json_number(kind.lo) + " to " + json_number(kind.hi) + ")";
        return false;
    }
    out.has_value = true;
    return true;
}

bool parse_fault_option(const std::string& text, FaultSwitch& out, std::string& error)
{
    const size_t eq = text.find('=');
    const std::string head = text.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
    const size_t colon = head.find(':');
    const std::string name = head.substr(0, colon);
    const FaultKind* kind = find_fault(name);
    if (kind == nullptr) {
        error = "unknown fault '" + name + "' (kelvex-sim faults lists them)";
        return false;
    }
    if (eq != std::string::npos && value.empty()) {
        error = std::string(kind->name) + ": empty value";
        return false;
    }
    return check_fault(*kind, colon == std::string::npos ? "" : head.substr(colon + 1), value, out, error);
}

std::string faults_text()
{
    std::string out;
    for (const FaultKind& k : kKinds) {
        out += std::string("name=") + k.name + " units=0-" + std::to_string(k.units() - 1) +
               " value=" + value_use_name(k.value) + " help=" + k.help +
               (k.value != ValueUse::none ? std::string(" (value: ") + k.meaning + ")" : "") + "\n";
    }
    return out;
}

std::string faults_description()
{
    static const char* const kScopes[] = {"unit", "lamp", "line"};
    std::string out = "[";
    for (const FaultKind& k : kKinds) {
        const std::string family =
            k.family ? json_string(family_name(devices::family(*k.family))) : std::string("null");
        const bool valued = k.value != ValueUse::none;
        out += std::string(&k == kKinds ? "\n" : ",\n") + "  {\"name\": " + json_string(k.name) +
               ", \"scope\": " + json_string(kScopes[static_cast<size_t>(k.scope)]) +
               ", \"family\": " + family + ", \"units\": " + std::to_string(k.units()) +
               ", \"value\": " + json_string(value_use_name(k.value)) +
               ", \"low\": " + (valued ? json_number(k.lo) : "null") +
               ", \"high\": " + (valued ? json_number(k.hi) : "null") +
               ", \"default\": " + (k.value == ValueUse::optional ? json_number(k.fallback) : "null") +
               ", \"meaning\": " + json_string(k.meaning) + ", \"help\": " + json_string(k.help) + "}";
    }
    return out + "\n]";
}

std::string faults_markdown()
{
    std::string md = "| Fault | Units | Value | What it does |\n|---|---|---|---|\n";
    for (const FaultKind& k : kKinds) {
        std::string value = k.value == ValueUse::none ? "none" : std::string(k.meaning);
        if (k.value == ValueUse::optional) {
            value += ", optional (" + json_number(k.fallback) + ")";
        }
        const std::string family = k.family ? std::string(devices::family(*k.family).prefix) : "";
        md += std::string("| `") + k.name + "` | " + (k.family ? family + " " + units_text(k) : "none") +
              " | " + value + " | " + k.help + " |\n";
    }
    return md;
}

}  // namespace kelvex::sim
