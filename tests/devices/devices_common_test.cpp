// The common unit pattern, driven over the family table: reset messages,
// switching with its bookkeeping and booked draw, guarded operations, and
// the raw pass-through requests.
#include <cmath>
#include <cstdlib>

#include "fakes/device_fixture.h"

namespace kelvex::testing {
namespace {

using devices::Family;
using devices::Op;

// The master table as written down for the system, independent of the
// library's own table: a typo in either shows here.
struct Expected {
    FamilyId id;
    uint8_t unit_class;
    uint16_t base;
    uint16_t highest;
    int reset;  // -1: none
    int state_entries;
    float consumption;
};

// clang-format off
const Expected kMaster[] = {
    {FamilyId::arm,           0x27, 0x270,  3, 0x10,  4,    0.0f},
    {FamilyId::sunbattery,    0x23, 0x230,  7, 0x08,  0,    0.0f},
    {FamilyId::light_sensor,  0x02, 0x010,  7, 0x08,  8,   45.0f},
    {FamilyId::sun_sensor,    0x05, 0x020,  7, 0x08,  8,   45.0f},
    {FamilyId::accelerometer, 0x06, 0x028,  3, 0x04,  4,    0.0f},
    {FamilyId::magnetometer,  0x03, 0x018,  3, 0x04,  4,   40.0f},
    {FamilyId::hyro,          0x04, 0x01C,  3, 0x04,  4,   40.0f},
    {FamilyId::motor,         0x0D, 0x100,  3, 0x04,  4, 2000.0f},
    {FamilyId::fan,           0x0E, 0x110,  3, 0x04,  4,    0.0f},
    {FamilyId::coil,          0x0F, 0x120, 15, 0x10, 16,    0.0f},
    {FamilyId::engine,        0x10, 0x130,  3, 0x10,  4,    0.0f},
    {FamilyId::transmitter,   0x20, 0x200,  3, 0x08,  4, 6100.0f},
    {FamilyId::receiver,      0x21, 0x210, 15, 0x10,  0,    0.0f},
    {FamilyId::transceiver,   0x22, 0x220, 15, 0x10, 16,  210.0f},
    {FamilyId::controller,    0x28, 0x280, 15,   -1,  0,    0.0f},
    {FamilyId::camera,        0x00, 0x000,  0,   -1,  1,  200.0f},
};
// clang-format on

TEST(FamilyTable, MatchesTheMasterTable)
{
    ASSERT_EQ(std::size(kMaster), devices::kFamilyCount);
    for (const Expected& e : kMaster) {
        const Family& f = row_of(e.id);
        SCOPED_TRACE(f.prefix);
        EXPECT_EQ(f.unit_class, e.unit_class);
        EXPECT_EQ(f.base, e.base);
        EXPECT_EQ(f.highest, e.highest);
        EXPECT_EQ(f.has(Op::request_reset), e.reset >= 0);
        if (e.reset >= 0) {
            EXPECT_EQ(f.offset(Op::request_reset), e.reset);
        }
        EXPECT_EQ(f.state.entries, e.state_entries);
        EXPECT_EQ(f.consumption, e.consumption);
    }
    // Worked example of the message layout.
    EXPECT_EQ(header(FamilyId::arm, 0x10, 2), (Bytes{0x12, 0x27, 0x72, 0x02, 0x01, 0x00}));
}

TEST_F(DeviceTest, ResetSendsTheHeaderOnlyWithinRange)
{
    for (const Family& f : devices::kFamilyTable) {
        const CommonShims& s = shims_of(f.id);
        if (!f.has(Op::request_reset)) {
            continue;
        }
        SCOPED_TRACE(f.prefix);
        ASSERT_NE(s.request_reset, nullptr);
        // Units that are off are reset all the same.
        EXPECT_EQ(s.request_reset(0), 0);
        EXPECT_EQ(s.request_reset(f.highest), 0);
        EXPECT_EQ(s.request_reset(f.highest + 1), 1);
        const uint8_t reset = f.offset(Op::request_reset);
        EXPECT_EQ(wire(), (std::vector<Bytes>{header(f.id, reset, 0), header(f.id, reset, f.highest)}));
    }
    // Byte for byte, as a reader of the wire sees them.
    EXPECT_EQ(light_sensor_request_reset(7), 0);
    EXPECT_EQ(wire(), (std::vector<Bytes>{{0x0F, 0x02, 0x17, 0x00, 0x01, 0x00}}));
}

TEST_F(DeviceTest, SwitchingKeepsStateAndBooksTheDrawOnce)
{
    for (const Family& f : devices::kFamilyTable) {
        const CommonShims& s = shims_of(f.id);
        if (!s.turn_on) {
            continue;
        }
        SCOPED_TRACE(f.prefix);
        const bool resets = f.has(Op::request_reset);
        for (uint16_t num : {uint16_t{0}, f.highest}) {
            const float before = battery_get_discharging_current();
            EXPECT_EQ(s.get_state(num), 0);
            EXPECT_EQ(s.turn_on(num), 0);
            EXPECT_EQ(s.get_state(num), 1);
            EXPECT_FLOAT_EQ(battery_get_discharging_current(), before + f.consumption);
            std::vector<Bytes> sent = wire();
            if (resets) {
                EXPECT_EQ(sent, (std::vector<Bytes>{header(f.id, f.offset(Op::request_reset), num)}));
            } else {
                EXPECT_TRUE(sent.empty());
            }

            // Already on: nothing sent, no second draw.
            EXPECT_EQ(s.turn_on(num), 0);
            EXPECT_FLOAT_EQ(battery_get_discharging_current(), before + f.consumption);

            // Switching off is bookkeeping only.
            EXPECT_EQ(s.turn_off(num), 0);
            EXPECT_EQ(s.get_state(num), 0);
            EXPECT_FLOAT_EQ(battery_get_discharging_current(), before);
            EXPECT_EQ(s.turn_off(num), 0);
            EXPECT_FLOAT_EQ(battery_get_discharging_current(), before);
            EXPECT_TRUE(wire().empty());
        }
        if (f.id != FamilyId::camera) {
            const uint16_t beyond = static_cast<uint16_t>(f.highest + 1);
            EXPECT_EQ(s.turn_on(beyond), 1);
            EXPECT_EQ(s.turn_off(beyond), 1);
            EXPECT_EQ(s.get_state(beyond), 1);  // reads like "on"
            EXPECT_FLOAT_EQ(battery_get_discharging_current(), 0.0f);
            EXPECT_TRUE(wire().empty());
        }
    }
}

TEST_F(DeviceTest, SwitchingWithoutAnAttachedRecordOnlyKeepsState)
{
    ASSERT_EQ(accumulator_detach(), 0);
    EXPECT_EQ(motor_turn_on(1), 0);
    EXPECT_EQ(motor_get_state(1), 1);
    EXPECT_TRUE(std::isnan(battery_get_discharging_current()));
    EXPECT_EQ(motor_turn_off(1), 0);
    EXPECT_EQ(motor_get_state(1), 0);
}

TEST_F(DeviceTest, GyroscopeAliasesShareOneTable)
{
    EXPECT_EQ(gyro_turn_on(1), 0);
    EXPECT_EQ(hyro_get_state(1), 1);
    EXPECT_EQ(gyro_get_state(1), 1);
    EXPECT_FLOAT_EQ(battery_get_discharging_current(), 40.0f);
    EXPECT_EQ(hyro_turn_on(1), 0);  // already on through the alias
    EXPECT_FLOAT_EQ(battery_get_discharging_current(), 40.0f);
    EXPECT_EQ(gyro_request_reset(3), 0);
    EXPECT_EQ(gyro_turn_off(1), 0);
    EXPECT_EQ(hyro_get_state(1), 0);
    EXPECT_EQ(gyro_get_state(4), 1);
    EXPECT_EQ(gyro_turn_on(4), 1);
    EXPECT_EQ(wire(), (std::vector<Bytes>{{0x05, 0x04, 0x1D, 0x00, 0x01, 0x00}, {0x07, 0x04, 0x1F, 0x00, 0x01, 0x00}}));
}

// Every guarded operation of the sensors and actuators, by family.
struct Guarded {
    FamilyId id;
    const char* name;
    std::function<int(uint16_t)> call;
};

std::vector<Guarded> guarded_operations()
{
    static uint16_t u1, u2;
    static int16_t s1, s2, s3;
    static uint8_t b1;
    return {
        {FamilyId::light_sensor, "light_sensor_request_raw", [](uint16_t n) { return light_sensor_request_raw(n, &u1); }},
        {FamilyId::light_sensor, "light_sensor_request_maxraw", [](uint16_t n) { return light_sensor_request_maxraw(n, &u1); }},
        {FamilyId::light_sensor, "light_sensor_set_minvalue", [](uint16_t n) { return light_sensor_set_minvalue(n, 9); }},
        {FamilyId::light_sensor, "light_sensor_set_calibrate", [](uint16_t n) { return light_sensor_set_calibrate(n, 1); }},
        {FamilyId::sun_sensor, "sun_sensor_request_raw", [](uint16_t n) { return sun_sensor_request_raw(n, &u1, &u2); }},
        {FamilyId::sun_sensor, "sun_sensor_request_maxraw", [](uint16_t n) { return sun_sensor_request_maxraw(n, &u1, &u2); }},
        {FamilyId::sun_sensor, "sun_sensor_set_minvalue", [](uint16_t n) { return sun_sensor_set_minvalue(n, 9); }},
        {FamilyId::accelerometer, "accelerometer_request_raw", [](uint16_t n) { return accelerometer_request_raw(n, &s1, &s2, &s3); }},
        {FamilyId::magnetometer, "magnetometer_request_raw", [](uint16_t n) { return magnetometer_request_raw(n, &s1, &s2, &s3); }},
        {FamilyId::hyro, "hyro_request_raw", [](uint16_t n) { return hyro_request_raw(n, &s1, &s2, &s3); }},
        {FamilyId::hyro, "gyro_request_raw", [](uint16_t n) { return gyro_request_raw(n, &s1, &s2, &s3); }},
        {FamilyId::arm, "arm_set_value", [](uint16_t n) { return arm_set_value(n, 7, &b1); }},
        {FamilyId::motor, "motor_set_speed", [](uint16_t n) { return motor_set_speed(n, 7, &s1); }},
        {FamilyId::motor, "motor_request_speed", [](uint16_t n) { return motor_request_speed(n, &s1); }},
        {FamilyId::fan, "fan_set_speed", [](uint16_t n) { return fan_set_speed(n, 7, &s1); }},
        {FamilyId::fan, "fan_request_speed", [](uint16_t n) { return fan_request_speed(n, &s1); }},
        {FamilyId::coil, "coil_set_value", [](uint16_t n) { return coil_set_value(n, 7, &s1); }},
        {FamilyId::engine, "engine_set_value", [](uint16_t n) { return engine_set_value(n, 7, &s1); }},
    };
}

TEST_F(DeviceTest, GuardedOperationsNeedTheUnitOnAndInRange)
{
    for (const Guarded& g : guarded_operations()) {
        SCOPED_TRACE(g.name);
        const Family& f = row_of(g.id);
        const CommonShims& s = shims_of(g.id);
        EXPECT_EQ(g.call(0), 2);
        EXPECT_EQ(g.call(f.highest), 2);
        EXPECT_EQ(g.call(f.highest + 1), 1);
        s.turn_on(f.highest);
        EXPECT_EQ(g.call(f.highest + 1), 1);
        s.turn_off(f.highest);
        EXPECT_TRUE(wire() == std::vector<Bytes>{header(g.id, f.offset(Op::request_reset), f.highest)});
    }
}

TEST_F(DeviceTest, RawRequestsHandOutABufferOfTheirOwn)
{
    const Bytes request = header(FamilyId::sunbattery, 0x00, 0);
    for (auto* raw : {cobs_single_request, cobs_request}) {
        // Unanswered: the buffer stays as it was handed out.
        bus_.on_frame(nullptr);
        uint8_t* zz = nullptr;
        int nn = -1;
        EXPECT_NE(raw(request.data(), static_cast<int>(request.size()), &zz, &nn), 0);
        ASSERT_NE(zz, nullptr);
        EXPECT_EQ(nn, 128);
        EXPECT_EQ(Bytes(zz, zz + 128), Bytes(128, 0));
        free(zz);

        answer_values({0x34, 0x12});
        zz = nullptr;
        EXPECT_EQ(raw(request.data(), static_cast<int>(request.size()), &zz, &nn), 0);
        ASSERT_NE(zz, nullptr);
        EXPECT_EQ(Bytes(zz, zz + nn), answer_to(request, {0x34, 0x12}));
        free(zz);
        wire();
    }
    // Retries apply to cobs_request only.
    bus_.on_frame(nullptr);
    G.retries = 3;
    uint8_t* zz = nullptr;
    int nn = 0;
    cobs_single_request(request.data(), 6, &zz, &nn);
    free(zz);
    EXPECT_EQ(wire().size(), 1u);
    cobs_request(request.data(), 6, &zz, &nn);
    free(zz);
    EXPECT_EQ(wire().size(), 3u);

    const Bytes cmd = {0x01, 0x02, 0x03};
    EXPECT_EQ(cobs_command(cmd.data(), 3), 0);
    EXPECT_EQ(wire(), (std::vector<Bytes>{cmd}));
}

TEST_F(DeviceTest, BusSetupWritesOneZeroByte)
{
    bus_.clear();
    EXPECT_EQ(bus_setup(), 0);
    // The lone zero forms no frame; the marker behind it shows it arrived.
    EXPECT_EQ(do_command(marker().data(), 6), 0);
    ASSERT_TRUE(bus_.wait_frames(1, std::chrono::seconds(5)));
    EXPECT_EQ(bus_.received(), Bytes{0x00} + wire_frame(marker()));
}

}  // namespace
}  // namespace kelvex::testing
