#include "model/physics.h"

#include <algorithm>
#include <cmath>

namespace kelvex::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRpmToRad = 2.0 * kPi / 60.0;
constexpr double kRadToDeg = 180.0 / kPi;

}  // namespace

double wrap_deg(double deg)
{
    double w = std::fmod(deg, 360.0);
    if (w <= -180.0) {
        w += 360.0;
    } else if (w > 180.0) {
        w -= 360.0;
    }
    return w;
}

Physics::Physics(const PhysicsParams& p)
    : params_(p),
      lamp_azimuth_(p.lamp_azimuth_deg),
      yaw_(p.initial_yaw_deg / kRadToDeg),
      rate_(p.initial_rate_dps / kRadToDeg)
{
    motor_limit_.fill(-1.0);
}

double Physics::motor_limit(int i) const
{
    const double limit = motor_limit_[i];
    return limit >= 0 ? std::min(limit, params_.motor_max_rpm) : params_.motor_max_rpm;
}

void Physics::set_motor_command(int i, double rpm)
{
    motor_asked_[i] = rpm;
    motor_cmd_[i] = std::clamp(rpm, -motor_limit(i), motor_limit(i));
}

void Physics::limit_motor(int i, double rpm)
{
    motor_limit_[i] = rpm;
    set_motor_command(i, motor_asked_[i]);
}

void Physics::set_fan_command(int i, double rpm)
{
    fan_cmd_[i] = std::clamp(rpm, -params_.motor_max_rpm, params_.motor_max_rpm);
}

void Physics::set_coil(int i, int value)
{
    coil_[i] = std::clamp(value, -kActuatorFullScale, kActuatorFullScale);
}

void Physics::set_engine(int i, int value) { engine_[i] = std::clamp(value, 0, kActuatorFullScale); }

double Physics::yaw_deg() const { return wrap_deg(yaw_ * kRadToDeg); }

double Physics::rate_dps() const { return rate_ * kRadToDeg; }

double Physics::lamp_angle_deg() const { return wrap_deg(lamp_azimuth_ - yaw_ * kRadToDeg); }

double Physics::momentum() const
{
    const double Ib = params_.body_inertia;
    const double Iw = params_.wheel_inertia;
    return (Ib + Iw) * rate_ + Iw * motor_rpm_[0] * kRpmToRad;
}

Vec3 Physics::field_body_ut() const
{
    // The horizontal field points to azimuth 0; seen from the body, turned
    // by yaw, it points to azimuth -yaw.
    const double h = params_.field_horizontal_ut;
    return {h * std::cos(yaw_), -h * std::sin(yaw_), -params_.field_vertical_ut};
}

double Physics::external_torque() const
{
    Vec3 m;
    for (size_t i = 0; i < coil_.size(); ++i) {
        const double dipole = params_.coil_max_dipole * coil_[i] / kActuatorFullScale;
        (i % 3 == 0 ? m.x : i % 3 == 1 ? m.y : m.z) += dipole;
    }
    const Vec3 b = field_body_ut();
    // z component of m x B, the field in tesla.
    double torque = (m.x * b.y - m.y * b.x) * 1e-6;
    for (size_t i = 0; i < engine_.size(); ++i) {
        const double sign = i % 2 == 0 ? 1.0 : -1.0;
        torque += sign * params_.engine_max_torque * engine_[i] / kActuatorFullScale;
    }
    return torque - params_.bearing_friction * rate_;
}

void Physics::step(double dt)
{
    if (dt <= 0) {
        return;
    }
    const double k = params_.motor_tau > 0 ? 1.0 - std::exp(-dt / params_.motor_tau) : 1.0;
    const double wheel_before = motor_rpm_[0];
    for (size_t i = 0; i < motor_rpm_.size(); ++i) {
        if (!motor_held_[i] && !motor_free_[i]) {
            motor_rpm_[i] += (motor_cmd_[i] - motor_rpm_[i]) * k;
        }
    }
    for (size_t i = 0; i < fan_rpm_.size(); ++i) {
        fan_rpm_[i] += (fan_cmd_[i] - fan_rpm_[i]) * k;
    }
    // The motor's torque on the wheel reacts on the body: whatever momentum
    // the wheel gains relative to the body, the body and wheel together lose.
    const double wheel_gain = params_.wheel_inertia * (motor_rpm_[0] - wheel_before) * kRpmToRad;
    const double total = params_.body_inertia + params_.wheel_inertia;
    const double rate_before = rate_;
    if (motor_free_[0]) {
        // Nothing couples the rotor to the body: the body alone takes the
        // external torque, and the rotor's speed relative to it changes by
        // as much as the body's rate does.
        rate_ += external_torque() * dt / params_.body_inertia;
        motor_rpm_[0] -= (rate_ - rate_before) / kRpmToRad;
    } else {
        rate_ += (external_torque() * dt - wheel_gain) / total;
    }
    yaw_ += 0.5 * (rate_before + rate_) * dt;
    t_ += dt;
}

}  // namespace kelvex::sim
