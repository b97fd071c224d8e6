// Every unit family of the virtual satellite, reached through the project's
// own device API and transport on a pty, as a mission reaches it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fakes/sim_line.h"
#include "kelvex/kelvex.h"

using kelvex::testing::SimLine;
using kelvex::sim::FamilyId;

namespace {

kelvex::sim::Options at(double yaw_deg, double rate_dps)
{
    kelvex::sim::Options o = SimLine::quiet();
    o.physics.initial_yaw_deg = yaw_deg;
    o.physics.initial_rate_dps = rate_dps;
    return o;
}

}  // namespace

TEST(SimProtocol, SensorsAnswerInTheDeviceApiAxes)
{
    // Turned 90° left and turning left at 10 °/s, with the lamp at 120°.
    SimLine sim(at(90.0, 10.0));
    ASSERT_EQ(0, hyro_turn_on(0));
    ASSERT_EQ(0, magnetometer_turn_on(1));
    ASSERT_EQ(0, accelerometer_turn_on(2));
    int16_t x, y, z;

    ASSERT_EQ(0, hyro_request_raw(0, &x, &y, &z));
    EXPECT_NEAR(z, 1000, 5) << "+z is up: a left turn reads positive";
    EXPECT_EQ(0, x);
    EXPECT_EQ(0, y);
    ASSERT_EQ(0, gyro_request_raw(0, &x, &y, &z));
    EXPECT_NEAR(z, 1000, 5);

    // The field points to azimuth 0 and down; seen from a body turned 90°
    // left it comes from the body's right (-y).
    ASSERT_EQ(0, magnetometer_request_raw(1, &x, &y, &z));
    EXPECT_NEAR(x, 0, 20);
    EXPECT_NEAR(y, -2000, 20);
    EXPECT_EQ(-4400, z);

    ASSERT_EQ(0, accelerometer_request_raw(2, &x, &y, &z));
    EXPECT_EQ(0, x);
    EXPECT_EQ(0, y);
    EXPECT_EQ(1000, z);

    // Lamp 30° left of the camera axis: sun sensor 0 sees it, and the
    // device API's own angle computation gives it back.
    ASSERT_EQ(0, sun_sensor_turn_on(0));
    uint16_t p, n;
    ASSERT_EQ(0, sun_sensor_request_raw(0, &p, &n));
    double angle = 0;
    ASSERT_EQ(0, sunsensors_angle(p, n, 0, &angle));
    const double truth = sim.stopped().physics.lamp_angle_deg();
    EXPECT_NEAR(angle, truth, 1.0);
    EXPECT_GT(truth, 25.0);
}

TEST(SimProtocol, LightSensorsSunBatteryAndMaxima)
{
    SimLine sim(at(120.0, 0.0));  // camera axis on the lamp
    uint16_t v = 0, v2 = 0;
    ASSERT_EQ(0, sunbattery_request_raw(0, &v)) << "the sun battery needs no switching on";
    EXPECT_EQ(1023, v);
    ASSERT_EQ(0, sunbattery_request_raw(4, &v));
    EXPECT_EQ(0, v) << "sun battery 4 faces away from the lamp";
    ASSERT_EQ(0, sunbattery_request_maxraw(0, &v));
    EXPECT_EQ(1023, v);

    ASSERT_EQ(0, light_sensor_turn_on(0));
    ASSERT_EQ(0, light_sensor_turn_on(2));
    ASSERT_EQ(0, light_sensor_request_raw(0, &v));
    EXPECT_EQ(1010, v);
    ASSERT_EQ(0, light_sensor_request_raw(2, &v));
    EXPECT_EQ(10, v) << "dark level of a sensor facing sideways";
    ASSERT_EQ(0, light_sensor_set_minvalue(2, 50));
    ASSERT_EQ(0, light_sensor_request_raw(2, &v));
    EXPECT_EQ(0, v) << "readings under the minimum value read 0";
    ASSERT_EQ(0, light_sensor_set_calibrate(2, 3));
    ASSERT_EQ(0, light_sensor_request_maxraw(2, &v));
    EXPECT_EQ(1023, v);

    ASSERT_EQ(0, sun_sensor_turn_on(4));
    ASSERT_EQ(0, sun_sensor_request_maxraw(4, &v, &v2));
    EXPECT_EQ(1023, v);
    EXPECT_EQ(1023, v2);
    ASSERT_EQ(0, sun_sensor_request_raw(4, &v, &v2));
    EXPECT_EQ(20, v) << "outside its field a sun sensor reads the ambient level";
    EXPECT_EQ(20, v2);
    ASSERT_EQ(0, sun_sensor_set_minvalue(4, 30));
    ASSERT_EQ(0, sun_sensor_request_raw(4, &v, &v2));
    EXPECT_EQ(0, v);

    const auto& units = sim.stopped().bus.units();
    EXPECT_EQ(0b101u, units.mask(FamilyId::light_sensor)) << "turned on by their resets";
    EXPECT_EQ(3, units.at(FamilyId::light_sensor, 2).settings[static_cast<size_t>(kelvex::devices::Op::set_calibrate)]);
}

TEST(SimProtocol, ActuatorsConfirmWhatTheyTake)
{
    SimLine sim;
    int16_t c = 0;
    uint8_t b = 0;
    ASSERT_EQ(0, motor_turn_on(0));
    ASSERT_EQ(0, motor_set_speed(0, 1500, &c));
    EXPECT_EQ(1500, c);
    ASSERT_EQ(0, motor_set_speed(0, -32000, &c));
    EXPECT_EQ(-8000, c) << "beyond the limit the motor takes its maximum, and says so";
    ASSERT_EQ(0, motor_set_speed(0, -1500, &c));
    EXPECT_EQ(-1500, c);
    mSleep(1500);  // five time constants
    int16_t rpm = 0;
    ASSERT_EQ(0, motor_request_speed(0, &rpm));
    EXPECT_NEAR(rpm, -1500, 20);

    ASSERT_EQ(0, fan_turn_on(3));
    ASSERT_EQ(0, fan_set_speed(3, 900, &c));
    EXPECT_EQ(900, c);
    ASSERT_EQ(0, fan_request_speed(3, &rpm));
    EXPECT_LT(rpm, 900) << "a fan spins up, it does not jump";

    ASSERT_EQ(0, coil_turn_on(15));
    ASSERT_EQ(0, coil_set_value(15, -700, &c));
    EXPECT_EQ(-700, c);
    ASSERT_EQ(0, coil_set_value(15, 5000, &c));
    EXPECT_EQ(1000, c);
    ASSERT_EQ(0, engine_turn_on(1));
    ASSERT_EQ(0, engine_set_value(1, 400, &c));
    EXPECT_EQ(400, c);
    ASSERT_EQ(0, engine_set_value(1, -5, &c));
    EXPECT_EQ(0, c) << "an engine has no negative thrust";
    ASSERT_EQ(0, arm_turn_on(2));
    ASSERT_EQ(0, arm_set_value(2, 255, &b));
    EXPECT_EQ(255, b);

    // The reaction wheel turned the body the other way.
    const auto& p = sim.stopped().physics;
    EXPECT_GT(p.rate_dps(), 0.0);
    EXPECT_NEAR(p.rate_dps(), 1500 * 6.0 * 2e-5 / 0.02002, 0.1);
}

TEST(SimProtocol, RadioUnits)
{
    SimLine sim;
    ASSERT_EQ(0, transmitter_turn_on(1));
    EXPECT_EQ(1, transmitter_get_state(1));
    ASSERT_EQ(0, transmitter_turn_off(1));
    EXPECT_EQ(0, transmitter_get_state(1));

    float q = -1;
    ASSERT_EQ(0, receiver_request_state(15, &q));
    EXPECT_FLOAT_EQ(0.9f, q);

    // Loopback: what transceiver 2 sends lands in transceiver 5's buffer.
    ASSERT_EQ(0, transceiver_turn_on(2));
    ASSERT_EQ(0, transceiver_turn_on(5));
    const uint8_t msg[] = "hello, five";
    ASSERT_EQ(0, transceiver_send(2, 5, msg, sizeof msg));
    uint8_t got[32];
    ASSERT_EQ(0, transceiver_request_buff(5, got));
    EXPECT_STREQ(reinterpret_cast<const char*>(msg), reinterpret_cast<const char*>(got));
    ASSERT_EQ(0, transceiver_request_buff(2, got));
    EXPECT_EQ(0, got[0]) << "the sender's own buffer stays empty";

    // 40 bytes travel as two pieces; the buffer keeps the last one.
    uint8_t long_msg[40];
    for (int i = 0; i < 40; ++i) {
        long_msg[i] = static_cast<uint8_t>('a' + i % 26);
    }
    ASSERT_EQ(0, transceiver_send(2, 5, long_msg, sizeof long_msg));
    ASSERT_EQ(0, transceiver_request_buff(5, got));
    EXPECT_EQ(0, std::memcmp(got, long_msg + 32, 8));
    EXPECT_EQ(0, got[8]);

    const auto& units = sim.stopped().bus.units();
    EXPECT_EQ(0u, units.mask(FamilyId::transmitter));
}

TEST(SimProtocol, PassThroughMessagesAndUnknownCodes)
{
    SimLine sim;
    auto message = [](uint16_t id, const std::string& args) {
        std::vector<uint8_t> m = {0x03, 0x28, 0x83, 0x02, 0x01, 0x00,
                                  static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
        m.insert(m.end(), args.begin(), args.end());
        return m;
    };
    auto text_of = [&](uint16_t id, const std::string& args, std::string& out) {
        const auto m = message(id, args);
        uint8_t* zz = nullptr;
        int nn = 0;
        const int r = cobs_request(m.data(), static_cast<int>(m.size()), &zz, &nn);
        if (r == 0 && nn > 8) {
            out.assign(reinterpret_cast<char*>(zz) + 8);
            EXPECT_EQ(id, zz[6] | zz[7] << 8);
        }
        std::free(zz);
        return r;
    };
    std::string t;
    ASSERT_EQ(0, text_of(1, "ping 42", t));
    EXPECT_EQ("ping 42", t);
    ASSERT_EQ(0, text_of(2, "", t));
    EXPECT_EQ("kelvex-sim 1.0", t);
    mSleep(50);
    ASSERT_EQ(0, text_of(3, "", t));
    EXPECT_GE(std::atol(t.c_str()), 50);
    EXPECT_NE(0, text_of(77, "", t)) << "an identifier without a handler gets no answer";

    // An unknown unit class, and a known code at a foreign address: silence.
    const uint8_t unknown[] = {0x00, 0x7E, 0x30, 0x02, 0x01, 0x00};
    const uint8_t foreign[] = {0x00, 0x23, 0x31, 0x02, 0x01, 0x00};
    uint8_t* zz = nullptr;
    int nn = 0;
    EXPECT_NE(0, cobs_single_request(unknown, sizeof unknown, &zz, &nn));
    std::free(zz);
    EXPECT_NE(0, cobs_single_request(foreign, sizeof foreign, &zz, &nn));
    std::free(zz);
    // Nothing a command or an ignored message left on the line disturbs the
    // next request: it is answered at the first attempt.
    uint16_t v;
    ASSERT_EQ(0, sunbattery_request_reset(0));
    ASSERT_EQ(0, sunbattery_request_maxraw(0, &v));
    EXPECT_EQ(1023, v);
    // Three answered messages, five attempts at id 77, the reset and the read;
    // the unknown and the misaddressed message are not the bus's.
    EXPECT_EQ(3u + 5u + 2u, sim.stopped().bus.requests());
}

TEST(SimProtocol, InterceptSeesAndChangesOneFamilysOutcomes)
{
    kelvex::sim::Physics physics{kelvex::sim::PhysicsParams{}};
    kelvex::sim::Sensors sensors(0, 1);
    kelvex::sim::Bus bus(physics, sensors);
    int seen = 0;
    bus.intercept(FamilyId::hyro, [&seen](const kelvex::sim::Request& r, kelvex::sim::Outcome& out) {
        ++seen;
        if (r.unit == 1 && out.answered) {
            out.answered = false;
            out.note += ": held back";
        }
    });
    // msg_code, dev_addr and src_addr of gyroscope unit n, operation offset `op`.
    auto gyro = [](uint8_t op, uint8_t n) {
        return kelvex::sim::Bytes{static_cast<uint8_t>(op + n), 0x04, static_cast<uint8_t>(0x1C + n), 0x00, 0x01, 0x00};
    };
    bus.handle(gyro(0x04, 0), 0);
    bus.handle(gyro(0x04, 1), 0);
    EXPECT_TRUE(bus.handle(gyro(0x00, 0), 0).answered);
    const kelvex::sim::Outcome held = bus.handle(gyro(0x00, 1), 0);
    EXPECT_FALSE(held.answered);
    EXPECT_EQ("hyro 1 request_raw: held back", held.note);
    EXPECT_EQ(4, seen) << "resets and reads of that family only";
    // Another family's unit 1 answers as before.
    bus.handle({0x05, 0x03, 0x19, 0x00, 0x01, 0x00}, 0);
    EXPECT_TRUE(bus.handle({0x01, 0x03, 0x19, 0x00, 0x01, 0x00}, 0).answered);
    EXPECT_EQ(4, seen);
}
