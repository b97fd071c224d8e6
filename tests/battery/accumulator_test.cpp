// The battery integration loop against the fake bus and the real clock. Each
// run is a child process, as the loop normally is, so that a loop that never
// ends fails the test instead of hanging it.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "fakes/device_fixture.h"

namespace kelvex::testing {
namespace {

using Frames = std::vector<Bytes>;

class LoopTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        ncells = 8;
        donotpollsunbattery = 0;
        answer([](const Bytes& req) -> std::optional<Bytes> {
            if (req[0] == 0x00 && req[1] == 0x23) {
                return answer_to(req, le16({512}));
            }
            if (req[0] == 0x10 && req[1] == 0x23) {
                return answer_to(req, le16({1023}));
            }
            return std::nullopt;
        });
    }
};

TEST_F(LoopTest, ChargingCurrentComesFromSunBatteryZero)
{
    battery_set_charge(1.0);
    set_charging(0.0f, 2.0f);
    // 36 A empties the last milliampere-hour in about 0.1 s: one refresh.
    set_discharging(36000.0f, 0.999f);
    char path[] = "/tmp/kelvex-loop-out-XXXXXX";
    const int out = mkstemp(path);
    ASSERT_GE(out, 0);

    const ChildResult child = run_child(
        [out] {
            dup2(out, STDOUT_FILENO);
            debug = 2;
            accumulator();
            return 0;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(child.exited_ok()) << "status " << child.status;
    EXPECT_EQ(battery_get_charging_current(), 4.0f);  // 512 * 8 / 1023, truncated
    EXPECT_LE(vacc->charge, 0.999);
    EXPECT_EQ(wire(), (Frames{{0x08, 0x23, 0x30, 0x02, 0x01, 0x00},
                              {0x00, 0x23, 0x30, 0x02, 0x01, 0x00},
                              {0x10, 0x23, 0x30, 0x02, 0x01, 0x00}}));

    std::ifstream printed(path);
    std::stringstream text;
    text << printed.rdbuf();
    EXPECT_NE(text.str().find("getChargeCurrent: 4.000000mA (N=8 raw=512 max=1023)\n"), std::string::npos)
        << text.str();
    close(out);
    unlink(path);
}

TEST_F(LoopTest, DischargesAtTheWallClockRate)
{
    // 3600 mA move 0.001 Ah a second, so half a milliampere-hour lasts 0.5 s.
    // The loop integrates measured intervals only, so it can never end
    // sooner; what it misses (between the end of one iteration and the
    // next stamp) is microseconds per iteration, so 0.9 s leaves room for a
    // loaded machine while a rate off by a factor of two still fails.
    battery_set_charge(1.0);
    set_charging(0.0f, 0.0f);
    set_discharging(3600.0f, 0.9995f);
    const auto start = std::chrono::steady_clock::now();
    const ChildResult child = run_child(
        [] {
            accumulator();
            return 0;
        },
        std::chrono::seconds(60));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(child.exited_ok()) << "status " << child.status;
    EXPECT_GE(seconds, 0.5);
    EXPECT_LT(seconds, 0.9);
    EXPECT_LE(vacc->charge, 0.9995);
    EXPECT_GT(vacc->charge, 0.9995 - 0.0001);  // one iteration's worth at most
}

}  // namespace
}  // namespace kelvex::testing
