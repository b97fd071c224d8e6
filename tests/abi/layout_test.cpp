// Layouts that must not depend on the architecture or the language: the
// shared battery record, which processes exchange as raw bytes, and the
// codec's result records, returned by value across the C boundary.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "fakes/shared_battery.h"
#include "kelvex/battery.h"
#include "kelvex/cobs.h"
#include "layout_facts.h"

extern "C" size_t kelvex_layout_seen_from_c[];
extern "C" size_t kelvex_layout_fact_count;

namespace kelvex::testing {
namespace {

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8,
              "the charge is a 64-bit IEEE double");
static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4,
              "the limits and currents are 32-bit IEEE floats");
static_assert(std::is_same_v<decltype(VirtualAccumulator::charge), double>);
static_assert(std::is_same_v<decltype(VirtualAccumulator::charge_limit), float>);
static_assert(std::is_same_v<decltype(VirtualAccumulator::discharge_limit), float>);
static_assert(std::is_same_v<decltype(VirtualAccumulator::charging_current), float>);
static_assert(std::is_same_v<decltype(VirtualAccumulator::discharging_current), float>);
static_assert(std::is_standard_layout_v<VirtualAccumulator>);
static_assert(sizeof(VirtualAccumulator) == 24);
static_assert(offsetof(VirtualAccumulator, charge) == 0);
static_assert(offsetof(VirtualAccumulator, charge_limit) == 8);
static_assert(offsetof(VirtualAccumulator, discharge_limit) == 12);
static_assert(offsetof(VirtualAccumulator, charging_current) == 16);
static_assert(offsetof(VirtualAccumulator, discharging_current) == 20);

// The result records are two machine words: out_len, then a status of int
// width (no short enums on either target).
template <typename Result, typename Status>
constexpr bool codec_result_layout()
{
    return std::is_standard_layout_v<Result> && std::is_same_v<decltype(Result::out_len), size_t> &&
           std::is_same_v<decltype(Result::status), Status> && sizeof(Status) == sizeof(int) &&
           offsetof(Result, out_len) == 0 && offsetof(Result, status) == sizeof(size_t) &&
           sizeof(Result) == 2 * sizeof(size_t);
}
static_assert(codec_result_layout<cobs_encode_result, cobs_encode_status>());
static_assert(codec_result_layout<cobs_decode_result, cobs_decode_status>());
static_assert(COBS_ENCODE_OK == 0 && COBS_ENCODE_NULL_POINTER == 1 &&
              COBS_ENCODE_OUT_BUFFER_OVERFLOW == 2);
static_assert(COBS_DECODE_OK == 0 && COBS_DECODE_NULL_POINTER == 1 &&
              COBS_DECODE_OUT_BUFFER_OVERFLOW == 2 && COBS_DECODE_ZERO_BYTE_IN_INPUT == 4 &&
              COBS_DECODE_INPUT_TOO_SHORT == 8);

TEST(Layout, CAndCppAgreeOnTheSharedRecords)
{
    const std::vector<size_t> cpp = {KELVEX_LAYOUT_FACTS};
    ASSERT_EQ(kelvex_layout_fact_count, cpp.size());
    const std::vector<size_t> c(kelvex_layout_seen_from_c, kelvex_layout_seen_from_c + cpp.size());
    EXPECT_EQ(c, cpp);
}

// What another process finds in the segment, read through a mapping of its
// own rather than through the record type.
std::vector<uint8_t> segment_bytes(int shmid)
{
    shmid_ds info{};
    EXPECT_EQ(shmctl(shmid, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, 24u);
    void* p = shmat(shmid, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) {
        ADD_FAILURE() << "second mapping failed";
        return {};
    }
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + 24);
    shmdt(p);
    return bytes;
}

TEST(Layout, BatteryRecordBytesAreLittleEndianIeeeAtFixedOffsets)
{
    SharedBattery battery;
    ASSERT_GE(battery.id(), 0);
    ASSERT_NE(vacc, nullptr);

    battery_set_charge(1.5);                  // 3F F8 00 00 00 00 00 00
    battery_set_charge_limit(2.0f);           // 40 00 00 00
    battery_set_discharge_limit(0.25f);       // 3E 80 00 00
    battery_set_charging_current(120.0f);     // 42 F0 00 00
    battery_set_discharging_current(-3.0f);   // C0 40 00 00
    const std::vector<uint8_t> expected = {
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F,  // charge, both words low first
        0x00, 0x00, 0x00, 0x40,                          // charge_limit
        0x00, 0x00, 0x80, 0x3E,                          // discharge_limit
        0x00, 0x00, 0xF0, 0x42,                          // charging_current
        0x00, 0x00, 0x40, 0xC0,                          // discharging_current
    };
    EXPECT_EQ(segment_bytes(battery.id()), expected);

    // And the other way: bytes written by another process read back as the
    // values they encode.
    void* writer = shmat(battery.id(), nullptr, 0);
    ASSERT_NE(writer, reinterpret_cast<void*>(-1));
    const uint8_t record[24] = {
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x40,  // 2.5
        0x00, 0x00, 0x40, 0x40,                          // 3.0
        0x00, 0x00, 0x00, 0x3F,                          // 0.5
        0x00, 0x00, 0x48, 0x42,                          // 50.0
        0x00, 0x00, 0x96, 0x43,                          // 300.0
    };
    std::memcpy(writer, record, sizeof record);
    shmdt(writer);
    EXPECT_EQ(battery_get_charge(), 2.5f);
    EXPECT_EQ(vacc->charge_limit, 3.0f);
    EXPECT_EQ(vacc->discharge_limit, 0.5f);
    EXPECT_EQ(battery_get_charging_current(), 50.0f);
    EXPECT_EQ(battery_get_discharging_current(), 300.0f);
}

TEST(Layout, CodecResultsSurviveTheReturnByValue)
{
    // A combined status that no single enumerator names, and the largest
    // out_len a small buffer can report, come back intact.
    const uint8_t in[] = {0x03, 0x41};
    uint8_t out[1];
    const cobs_decode_result d = cobs_decode(out, 0, in, sizeof in);
    EXPECT_EQ(static_cast<int>(d.status), COBS_DECODE_INPUT_TOO_SHORT | COBS_DECODE_OUT_BUFFER_OVERFLOW);
    EXPECT_EQ(d.out_len, 0u);

    uint8_t big[300];
    std::vector<uint8_t> src(254, 0x11);
    const cobs_encode_result e = cobs_encode(big, sizeof big, src.data(), src.size());
    EXPECT_EQ(e.status, COBS_ENCODE_OK);
    EXPECT_EQ(e.out_len, 255u);
}

}  // namespace
}  // namespace kelvex::testing
