// The virtual satellite's physics and sensor model: conservation, sign
// conventions, and the sun sensors read through the device API's formula.
#include <gtest/gtest.h>

#include <cmath>

#include "kelvex/devices.h"
#include "model/physics.h"
#include "model/sensors.h"

using kelvex::sim::Physics;
using kelvex::sim::PhysicsParams;
using kelvex::sim::Sensors;

namespace {

void run(Physics& p, double seconds)
{
    for (int i = 0; i < static_cast<int>(seconds / 0.001); ++i) {
        p.step(0.001);
    }
}

}  // namespace

TEST(SimPhysics, WheelExchangesMomentumWithTheBody)
{
    PhysicsParams params;
    params.initial_rate_dps = 3.0;  // some momentum to start with
    Physics p(params);
    const double h0 = p.momentum();
    ASSERT_GT(std::fabs(h0), 1e-4);
    // Spin up, reverse, brake: no external torque anywhere.
    for (double rpm : {4000.0, -6000.0, 2500.0, 0.0}) {
        p.set_motor_command(0, rpm);
        run(p, 2.0);
        EXPECT_NEAR(p.momentum(), h0, 0.01 * std::fabs(h0)) << "after commanding " << rpm;
    }
    // Wheels other than motor 0 and the fans do not sit on the yaw axis.
    run(p, 5.0);  // motor 0 comes fully to rest
    const double rate = p.rate_dps();
    p.set_motor_command(2, 5000);
    p.set_fan_command(1, 5000);
    run(p, 1.0);
    EXPECT_NEAR(rate, p.rate_dps(), 1e-6);
}

TEST(SimPhysics, ADeadWheelCoastsAndTheBodyTakesTheTorqueAlone)
{
    PhysicsParams params;
    Physics p(params);
    p.set_motor_command(0, 3000);
    run(p, 3.0);
    const double rate = p.rate_dps();
    const double rpm = p.motor_rpm(0);
    p.free_motor(0, true);
    p.set_motor_command(0, 0);
    run(p, 1.0);
    EXPECT_NEAR(rate, p.rate_dps(), 1e-9) << "no torque between rotor and body";
    EXPECT_NEAR(rpm, p.motor_rpm(0), 1e-6);
    // An engine's torque turns the body alone; the rotor keeps its speed in
    // the room, so its speed relative to the body falls by the body's gain.
    const double h0 = p.momentum();
    p.set_engine(0, 1000);
    run(p, 1.0);
    const double gained = p.rate_dps() - rate;
    EXPECT_NEAR(params.engine_max_torque * 1.0 / params.body_inertia * 180 / M_PI, gained, 1e-6);
    EXPECT_NEAR(rpm - gained / 6.0, p.motor_rpm(0), 1e-6) << "1 rpm = 6 deg/s";
    EXPECT_NEAR(h0 + params.engine_max_torque * 1.0, p.momentum(), 1e-9);
}

TEST(SimPhysics, TorqueSigns)
{
    {
        // Wheel spun up counter-clockwise: the body turns clockwise.
        Physics p{PhysicsParams{}};
        p.set_motor_command(0, 3000);
        run(p, 2.0);
        EXPECT_LT(p.rate_dps(), 0.0);
        EXPECT_LT(p.yaw_deg(), 0.0);
        EXPECT_GT(p.lamp_angle_deg(), 120.0) << "turning away from a lamp on the left";
    }
    {
        // Engine 0 turns left, engine 1 right; both have thrust only.
        Physics p{PhysicsParams{}};
        p.set_engine(0, 500);
        run(p, 1.0);
        EXPECT_NEAR(p.rate_dps(), 0.5e-3 / 0.02002 * 180 / M_PI, 1e-6);
        p.set_engine(0, 0);
        p.set_engine(1, 500);
        run(p, 1.0);
        EXPECT_NEAR(p.rate_dps(), 0.0, 1e-9);
    }
    {
        // A coil along +x in a field pointing along +x makes no torque; one
        // along +y does: m x B = (0, 1, 0) x (Bx, 0, Bz) points along -z.
        Physics p{PhysicsParams{}};
        p.set_coil(0, 1000);
        EXPECT_DOUBLE_EQ(0.0, p.external_torque());
        p.set_coil(0, 0);
        p.set_coil(1, 1000);
        EXPECT_NEAR(p.external_torque(), -20e-6, 1e-12);
    }
    {
        // Bearing friction only slows the body down.
        PhysicsParams params;
        params.initial_rate_dps = 10;
        params.bearing_friction = 1e-3;
        Physics p(params);
        run(p, 5.0);
        EXPECT_GT(p.rate_dps(), 0.0);
        EXPECT_LT(p.rate_dps(), 10.0);
    }
}

TEST(SimPhysics, SunSensorsGiveTheTrueAngleThroughTheDeviceApi)
{
    for (double noise : {0.0, 1.0}) {
        Sensors s(noise, 7);
        for (int unit = 0; unit < 8; ++unit) {
            for (double off = -40.0; off <= 40.0; off += 2.5) {
                PhysicsParams params;
                params.lamp_azimuth_deg = 30.0;
                params.initial_yaw_deg = 30.0 - unit * 45.0 - off;
                const Physics p(params);
                uint16_t pos, neg;
                s.sun(p, unit, pos, neg);
                double angle = 1e9;
                // The ambient level just under what a dark channel reads.
                ASSERT_EQ(0, sunsensors_angle(pos, neg, 15, &angle));
                EXPECT_NEAR(angle, off, 1.0)
                    << "sensor " << unit << ", noise " << noise << ", truth " << off;
            }
        }
    }
    // Outside its ±45° field a sensor reads the ambient level on both.
    Sensors s(0.0, 1);
    PhysicsParams params;
    params.lamp_azimuth_deg = 60.0;
    uint16_t pos, neg;
    s.sun(Physics(params), 0, pos, neg);
    EXPECT_EQ(20, pos);
    EXPECT_EQ(20, neg);
}

TEST(SimPhysics, NoiseFollowsItsSeed)
{
    PhysicsParams params;
    params.lamp_azimuth_deg = 10.0;
    const Physics p(params);
    Sensors a(1.0, 42), b(1.0, 42), c(1.0, 43);
    bool differs = false;
    for (int i = 0; i < 50; ++i) {
        const uint16_t la = a.light(p, 0);
        EXPECT_EQ(la, b.light(p, 0));
        differs |= la != c.light(p, 0);
    }
    EXPECT_TRUE(differs) << "another seed, other noise";
}
