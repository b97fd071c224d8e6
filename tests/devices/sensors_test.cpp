// Sensor reads and settings on the wire, axis orders and signs, short and
// missing answers, and the sun angle.
#include <cmath>

#include "fakes/device_fixture.h"

namespace kelvex::testing {
namespace {

using Frames = std::vector<Bytes>;

TEST_F(DeviceTest, SingleValueReadsTakeTheWordAtOffsetSix)
{
    answer_values(le16({0xBEEF, 0x1111}));
    uint16_t v = 0;

    // The sun battery needs no switching on.
    EXPECT_EQ(sunbattery_request_raw(0, &v), 0);
    EXPECT_EQ(v, 0xBEEF);
    EXPECT_EQ(sunbattery_request_maxraw(7, &v), 0);
    EXPECT_EQ(sunbattery_request_raw(8, &v), 1);
    EXPECT_EQ(sunbattery_request_maxraw(8, &v), 1);
    EXPECT_EQ(wire(), (Frames{{0x00, 0x23, 0x30, 0x02, 0x01, 0x00}, {0x17, 0x23, 0x37, 0x02, 0x01, 0x00}}));

    v = 0;
    EXPECT_EQ(light_sensor_request_raw(3, &v), 2);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(light_sensor_turn_on(3), 0);
    EXPECT_EQ(light_sensor_request_raw(3, &v), 0);
    EXPECT_EQ(v, 0xBEEF);
    EXPECT_EQ(light_sensor_request_maxraw(3, &v), 0);
    EXPECT_EQ(wire(), (Frames{{0x0B, 0x02, 0x13, 0x00, 0x01, 0x00},
                              {0x03, 0x02, 0x13, 0x00, 0x01, 0x00},
                              {0x13, 0x02, 0x13, 0x00, 0x01, 0x00}}));
}

TEST_F(DeviceTest, SunSensorReadsTakeTwoWords)
{
    answer_values(le16({0x0102, 0x0304}));
    uint16_t a = 0, b = 0;
    EXPECT_EQ(sun_sensor_turn_on(5), 0);
    EXPECT_EQ(sun_sensor_request_raw(5, &a, &b), 0);
    EXPECT_EQ(a, 0x0102);
    EXPECT_EQ(b, 0x0304);
    a = b = 0;
    EXPECT_EQ(sun_sensor_request_maxraw(5, &a, &b), 0);
    EXPECT_EQ(a, 0x0102);
    EXPECT_EQ(b, 0x0304);
    EXPECT_EQ(wire(), (Frames{header(FamilyId::sun_sensor, 0x08, 5), header(FamilyId::sun_sensor, 0x00, 5),
                              header(FamilyId::sun_sensor, 0x10, 5)}));
}

TEST_F(DeviceTest, ThreeAxisReadsFollowEachSensorsAxesAndSigns)
{
    using Read = int (*)(uint16_t, int16_t*, int16_t*, int16_t*);
    struct Case {
        const char* name;
        Read read;
        int (*turn_on)(uint16_t);
        FamilyId id;
        Bytes words;
        int16_t x, y, z;
    };
    const Case cases[] = {
        {"accelerometer", accelerometer_request_raw, accelerometer_turn_on, FamilyId::accelerometer,
         le16({100, static_cast<uint16_t>(-200), 0x8000}), -100, 200, -32768},
        {"magnetometer", magnetometer_request_raw, magnetometer_turn_on, FamilyId::magnetometer, le16({1, 2, 3}), -1,
         -3, -2},
        {"hyro", hyro_request_raw, hyro_turn_on, FamilyId::hyro, le16({1, 2, 3}), -2, 1, -3},
        {"gyro", gyro_request_raw, gyro_turn_on, FamilyId::hyro, le16({1, 2, 3}), -2, 1, -3},
        {"zero stays zero", accelerometer_request_raw, accelerometer_turn_on, FamilyId::accelerometer,
         le16({0, 0, 0}), 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        answer_values(c.words);
        c.turn_on(2);
        int16_t x = 7, y = 7, z = 7;
        EXPECT_EQ(c.read(2, &x, &y, &z), 0);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
        EXPECT_EQ(z, c.z);
        const Frames sent = wire();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), header(c.id, 0x00, 2));
    }
}

TEST_F(DeviceTest, SettingsAreCommandsWithTheirPayload)
{
    light_sensor_turn_on(0);
    sun_sensor_turn_on(1);
    wire();
    EXPECT_EQ(light_sensor_set_calibrate(0, 5), 0);
    EXPECT_EQ(light_sensor_set_minvalue(0, 0xA1B2), 0);
    EXPECT_EQ(sun_sensor_set_minvalue(1, 0x1234), 0);
    EXPECT_EQ(wire(), (Frames{{0x28, 0x02, 0x10, 0x00, 0x01, 0x00, 0x05},
                              {0x20, 0x02, 0x10, 0x00, 0x01, 0x00, 0xB2, 0xA1},
                              {0x21, 0x05, 0x21, 0x00, 0x01, 0x00, 0x34, 0x12, 0x00, 0x00}}));

    // A line that cannot be written reports the transport's failure.
    const int line = G.fd;
    G.fd = -1;
    EXPECT_EQ(light_sensor_set_calibrate(0, 5), 1);
    G.fd = line;
}

TEST_F(DeviceTest, FailedOrShortAnswersLeaveOutputsUntouched)
{
    light_sensor_turn_on(0);
    sun_sensor_turn_on(0);
    accelerometer_turn_on(0);
    wire();
    uint16_t u1 = 11, u2 = 22;
    int16_t x = 1, y = 2, z = 3;

    // No answer: the transport's attempts, then 1.
    EXPECT_EQ(sunbattery_request_raw(0, &u1), 1);
    EXPECT_EQ(light_sensor_request_raw(0, &u1), 1);
    EXPECT_EQ(sun_sensor_request_raw(0, &u1, &u2), 1);
    EXPECT_EQ(accelerometer_request_raw(0, &x, &y, &z), 1);
    EXPECT_EQ(wire().size(), 4u * G.retries);

    // Answers that end before the last value read: one byte short each.
    const struct {
        const char* name;
        std::function<int()> call;
        size_t value_bytes;
    } reads[] = {
        {"sunbattery_request_raw", [&] { return sunbattery_request_raw(0, &u1); }, 2},
        {"light_sensor_request_maxraw", [&] { return light_sensor_request_maxraw(0, &u1); }, 2},
        {"sun_sensor_request_raw", [&] { return sun_sensor_request_raw(0, &u1, &u2); }, 4},
        {"accelerometer_request_raw", [&] { return accelerometer_request_raw(0, &x, &y, &z); }, 6},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(r.name);
        answer_values(Bytes(r.value_bytes - 1, 0x5A));
        EXPECT_EQ(r.call(), 1);
        answer_values(Bytes(r.value_bytes, 0x5A));
        EXPECT_EQ(r.call(), 0);
        u1 = 11, u2 = 22, x = 1, y = 2, z = 3;
    }
    answer_values({});
    EXPECT_EQ(sun_sensor_request_raw(0, &u1, &u2), 1);
    EXPECT_EQ(u1, 11);
    EXPECT_EQ(u2, 22);
    EXPECT_EQ(accelerometer_request_raw(0, &x, &y, &z), 1);
    EXPECT_EQ(x, 1);
    EXPECT_EQ(y, 2);
    EXPECT_EQ(z, 3);
}

TEST(SunAngle, FromTwoChannelsAboveAmbient)
{
    double a = 123.0;
    EXPECT_EQ(sunsensors_angle(100, 500, 100, &a), 1);
    EXPECT_EQ(sunsensors_angle(500, 100, 100, &a), 1);
    EXPECT_EQ(sunsensors_angle(50, 60, 70, &a), 1);
    EXPECT_EQ(a, 123.0);

    const struct {
        uint16_t positive, negative, ambient;
        double angle;
    } cases[] = {
        {300, 200, 100, 18.43494882292201},
        {200, 300, 100, -18.43494882292201},
        {1100, 100, 0, 39.80557109226521},
        {200, 200, 100, 0.0},
        // Squares beyond 31 bits: asin(0.8) in degrees, less 45.
        {40000, 30000, 0, 8.13010235415598},
        {30000, 40000, 0, -8.130102354155987},
        {65535, 65535, 0, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.positive << "," << c.negative << "," << c.ambient);
        EXPECT_EQ(sunsensors_angle(c.positive, c.negative, c.ambient, &a), 0);
        EXPECT_NEAR(a, c.angle, 1e-9);
    }
    EXPECT_EQ(sunsensors_angle(65535, 1, 0, &a), 0);
    EXPECT_GT(a, 44.99);
    EXPECT_LT(a, 45.0);
}

}  // namespace
}  // namespace kelvex::testing
