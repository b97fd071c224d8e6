// Rigid-body model of the satellite on a classroom air bearing: one free axis
// (yaw, about the body's +z axis pointing up), a reaction wheel on that axis,
// magnetic coils and engines as external torques, and a lamp as the sun.
#pragma once

#include <array>
#include <cstdint>

#include "devices/families.h"

namespace kelvex::sim {

struct PhysicsParams {
    double body_inertia = 0.02;        // kg m^2, satellite without the wheel
    double wheel_inertia = 2.0e-5;     // kg m^2, rotor of motor 0
    double motor_tau = 0.3;            // s, first-order speed response
    double motor_max_rpm = 8000.0;     // commanded speeds are clipped here
    double bearing_friction = 0.0;     // N m s/rad, viscous drag of the bearing
    double field_horizontal_ut = 20.0; // µT, pointing to azimuth 0
    double field_vertical_ut = 44.0;   // µT, pointing down
    double lamp_azimuth_deg = 120.0;
    double lamp_intensity = 1.0;       // 1 = full sensor scale at normal incidence
    double initial_yaw_deg = 0.0;
    double initial_rate_dps = 0.0;
    double coil_max_dipole = 1.0;      // A m^2 at value ±1000
    double engine_max_torque = 1.0e-3; // N m at value 1000
};

// Full-scale command of coils and engines.
inline constexpr int kActuatorFullScale = 1000;

struct Vec3 {
    double x = 0, y = 0, z = 0;
};

class Physics {
public:
    explicit Physics(const PhysicsParams& p);

    // Advances the state by dt seconds (exact first-order motor response,
    // trapezoidal yaw).
    void step(double dt);

    // Inputs, held until changed.
    void set_motor_command(int i, double rpm);
    void set_fan_command(int i, double rpm);
    void set_coil(int i, int value);    // -1000..1000, axis x, y, z by i % 3
    void set_engine(int i, int value);  // 0..1000; even units turn +yaw

    // Unit faults. A stuck motor keeps its speed whatever it is told; a free
    // one is not driven at all: its rotor keeps its speed in the room, so
    // the body turns under it without exchanging momentum. A limit below
    // max-rpm clips the motor's commands (a negative limit: none).
    void hold_motor(int i, bool held) { motor_held_[i] = held; }
    void free_motor(int i, bool free) { motor_free_[i] = free; }
    void limit_motor(int i, double rpm);
    // The lamp switched off (an eclipse) or moved.
    void set_lamp(bool on) { lamp_on_ = on; }
    void set_lamp_azimuth(double deg) { lamp_azimuth_ = deg; }

    double time() const { return t_; }
    double yaw_rad() const { return yaw_; }  // unwrapped
    double yaw_deg() const;                  // wrapped to (-180, 180]
    double rate_rad() const { return rate_; }
    double rate_dps() const;
    double motor_rpm(int i) const { return motor_rpm_[i]; }
    double motor_command(int i) const { return motor_cmd_[i]; }
    double fan_rpm(int i) const { return fan_rpm_[i]; }
    double fan_command(int i) const { return fan_cmd_[i]; }
    double lamp_azimuth_deg() const { return lamp_azimuth_; }
    bool lamp_on() const { return lamp_on_; }
    // What the sensors see of the lamp: 0 while it is off.
    double lamp_intensity() const { return lamp_on_ ? params_.lamp_intensity : 0.0; }
    // Signed angle from the body's +x axis to the lamp, (-180, 180] degrees,
    // positive counter-clockwise seen from above.
    double lamp_angle_deg() const;
    // Angular momentum about the yaw axis, N m s.
    double momentum() const;
    // Earth field in the body frame, µT.
    Vec3 field_body_ut() const;
    double external_torque() const;
    const PhysicsParams& params() const { return params_; }

private:
    double motor_limit(int i) const;

    PhysicsParams params_;
    double lamp_azimuth_;
    bool lamp_on_ = true;
    double t_ = 0;
    double yaw_ = 0;
    double rate_ = 0;
    template <typename T, devices::FamilyId F>
    using PerUnit = std::array<T, devices::unit_count(F)>;

    PerUnit<double, devices::FamilyId::motor> motor_rpm_{};
    PerUnit<double, devices::FamilyId::motor> motor_cmd_{};
    PerUnit<double, devices::FamilyId::motor> motor_asked_{};  // before any limit
    PerUnit<double, devices::FamilyId::motor> motor_limit_{};  // < 0: none
    PerUnit<bool, devices::FamilyId::motor> motor_held_{};
    PerUnit<bool, devices::FamilyId::motor> motor_free_{};
    PerUnit<double, devices::FamilyId::fan> fan_rpm_{};
    PerUnit<double, devices::FamilyId::fan> fan_cmd_{};
    PerUnit<int, devices::FamilyId::coil> coil_{};
    PerUnit<int, devices::FamilyId::engine> engine_{};
};

double wrap_deg(double deg);

}  // namespace kelvex::sim
