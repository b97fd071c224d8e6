// The battery integration loop on a scripted wall clock: this program
// provides gettimeofday itself, so the library's clock reads land here. Once
// scripted, every read is one whole second after the previous one with zero
// microseconds, which makes every amount exact and counts the loop's clock
// reads; the test can end the loop after a chosen number of reads.
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>

#include <cstring>

#include "fakes/device_fixture.h"

namespace {

struct Script {
    bool on = false;
    long reads = 0;
    long end_after = 0;  // raise the discharge limit after this many reads
};
Script* script = nullptr;  // shared with the children

}  // namespace

extern "C" __attribute__((visibility("default"))) int gettimeofday(struct timeval* __restrict tv,
                                                                   void* __restrict) noexcept
{
    if (script == nullptr || !script->on) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
        return 0;
    }
    ++script->reads;
    tv->tv_sec = 1000 + script->reads;
    tv->tv_usec = 0;
    if (script->end_after > 0 && script->reads >= script->end_after && vacc != nullptr) {
        vacc->discharge_limit = 1e9f;
    }
    return 0;
}

namespace kelvex::testing {
namespace {

using Frames = std::vector<Bytes>;

const Bytes kReset = {0x08, 0x23, 0x30, 0x02, 0x01, 0x00};
const Bytes kRaw = {0x00, 0x23, 0x30, 0x02, 0x01, 0x00};
const Bytes kMaxRaw = {0x10, 0x23, 0x30, 0x02, 0x01, 0x00};

class ClockTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        void* p = mmap(nullptr, sizeof(Script), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(p, MAP_FAILED);
        script = new (p) Script{};
        ncells = 8;
        donotpollsunbattery = 0;
        sun_battery(450, 1);  // 450 * 8 / 1 = 3600 mA
    }

    void TearDown() override
    {
        munmap(script, sizeof(Script));
        script = nullptr;
    }

    void sun_battery(uint16_t raw, uint16_t max)
    {
        answer([raw, max](const Bytes& req) -> std::optional<Bytes> {
            if (req == kRaw) {
                return answer_to(req, le16({raw}));
            }
            if (req == kMaxRaw) {
                return answer_to(req, le16({max}));
            }
            return std::nullopt;
        });
    }

    // Runs the loop in a child on the scripted clock.
    void run_loop(long end_after = 0)
    {
        script->end_after = end_after;
        const ChildResult child = run_child(
            [] {
                script->on = true;
                accumulator();
                return 0;
            },
            std::chrono::seconds(60));
        ASSERT_TRUE(child.exited_ok()) << "status " << child.status;
    }
};

TEST_F(ClockTest, OneSecondAt3600mAMovesOneMilliampereHour)
{
    // No charging; each iteration reads the clock twice (stamp, discharge
    // amount), one second apart. The stamps carry zero microseconds, which
    // must count like any other stamp.
    battery_set_charge(0.0105);
    set_charging(0.0f, 0.0f);
    set_discharging(3600.0f, 0.0f);
    run_loop();
    EXPECT_EQ(script->reads, 2 * 11);
    EXPECT_NEAR(vacc->charge, 0.0105 - 11 * 0.001, 1e-9);
    EXPECT_EQ(wire(), Frames{kReset});
}

TEST_F(ClockTest, AnIterationChargesFirstThenDischarges)
{
    // Charging amount over 1 s at 3600 mA (+0.001), then the discharging
    // amount from the same stamp over 2 s at 7200 mA (-0.004).
    battery_set_charge(0.5);
    set_charging(0.0f, 1.0f);
    set_discharging(7200.0f, 0.4945f);
    run_loop();
    EXPECT_EQ(battery_get_charging_current(), 3600.0f);
    EXPECT_EQ(script->reads, 2 * 3);
    EXPECT_NEAR(vacc->charge, 0.5 - 2 * 0.003, 1e-9);
    EXPECT_EQ(wire(), (Frames{kReset, kRaw, kMaxRaw}));
}

TEST_F(ClockTest, RefreshesOnceInAThousandChargingIterations)
{
    // Charging and discharging cancel out; the test ends the loop after
    // 1500 iterations of three clock reads each.
    battery_set_charge(0.5);
    set_charging(0.0f, 1.0f);
    set_discharging(1800.0f, 0.0f);
    run_loop(3 * 1500);
    EXPECT_NEAR(vacc->charge, 0.5, 1e-6);
    EXPECT_EQ(wire(), (Frames{kReset, kRaw, kMaxRaw, kRaw, kMaxRaw}));
}

TEST_F(ClockTest, NoChargingAtOrAboveTheChargeLimit)
{
    battery_set_charge(0.5);
    set_charging(123.0f, 0.5f);
    set_discharging(0.0f, 0.0f);
    run_loop(2 * 2500);
    EXPECT_EQ(vacc->charge, 0.5);
    EXPECT_EQ(battery_get_charging_current(), 123.0f);
    EXPECT_EQ(wire(), Frames{kReset});
}

TEST_F(ClockTest, ChargingCurrentIsZeroWhenTheSunBatteryCannotTell)
{
    const struct {
        const char* name;
        int no_polling;
        bool answers;
        uint16_t max;
        Frames wire;
    } cases[] = {
        {"polling switched off", 1, true, 1, {kReset}},
        {"maximum of zero", 0, true, 0, {kReset, kRaw, kMaxRaw}},
        {"no answer", 0, false, 1, {kReset, kRaw, kRaw}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        donotpollsunbattery = c.no_polling;
        if (c.answers) {
            sun_battery(450, c.max);
        } else {
            bus_.on_frame(nullptr);
        }
        battery_set_charge(0.5);
        set_charging(500.0f, 1.0f);
        set_discharging(0.0f, 0.0f);
        script->reads = 0;
        run_loop(3 * 5);
        EXPECT_EQ(battery_get_charging_current(), 0.0f);
        EXPECT_EQ(vacc->charge, 0.5);
        EXPECT_EQ(wire(), c.wire);
    }
}

TEST_F(ClockTest, AnEmptyBatteryEndsTheLoopAtOnce)
{
    battery_set_charge(0.25);
    set_charging(77.0f, 1.0f);
    set_discharging(88.0f, 0.25f);
    const VirtualAccumulator before = *vacc;
    run_loop();
    EXPECT_EQ(script->reads, 0);
    EXPECT_EQ(std::memcmp(&before, vacc, sizeof before), 0);
    EXPECT_EQ(wire(), Frames{kReset});
}

}  // namespace
}  // namespace kelvex::testing
