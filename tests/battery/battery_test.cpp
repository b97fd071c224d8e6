// The shared battery record: not attached, attached, detached, and shared by
// two real processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "fakes/shared_battery.h"
#include "kelvex/battery.h"

namespace kelvex::testing {
namespace {

TEST(BatteryRecord, NotAttachedReadsNaNAndDropsUpdates)
{
    ASSERT_EQ(vacc, nullptr);
    EXPECT_TRUE(std::isnan(battery_get_charge()));
    EXPECT_TRUE(std::isnan(battery_get_charging_current()));
    EXPECT_TRUE(std::isnan(battery_get_discharging_current()));
    battery_set_charge(1.0);
    battery_set_charge_limit(1.0f);
    battery_set_discharge_limit(1.0f);
    battery_set_charging_current(1.0f);
    battery_set_discharging_current(1.0f);
    set_charging(1.0f, 1.0f);
    set_discharging(1.0f, 1.0f);
    reset_charging();
    reset_discharging();
    increase_consumption(1.0f);
    decrease_consumption(1.0f);
    EXPECT_EQ(accumulator_detach(), -1);
    EXPECT_EQ(vacc, nullptr);
}

TEST(BatteryRecord, FieldsAndConsumptionAccounting)
{
    SharedBattery battery;
    ASSERT_GE(battery.id(), 0);
    ASSERT_NE(vacc, nullptr);
    // A fresh segment is zero-filled.
    EXPECT_EQ(battery_get_charge(), 0.0f);
    EXPECT_EQ(vacc->charge_limit, 0.0f);

    battery_set_charge(1.25);
    set_charging(120.0f, 2.0f);
    EXPECT_EQ(vacc->charge, 1.25);
    EXPECT_EQ(vacc->charge_limit, 2.0f);
    EXPECT_EQ(battery_get_charging_current(), 120.0f);
    set_discharging(60.0f, 0.5f);
    EXPECT_EQ(vacc->discharge_limit, 0.5f);
    EXPECT_EQ(battery_get_discharging_current(), 60.0f);

    increase_consumption(2000.0f);
    EXPECT_EQ(battery_get_discharging_current(), 2060.0f);
    decrease_consumption(2000.0f);
    EXPECT_EQ(battery_get_discharging_current(), 60.0f);
    decrease_consumption(100.0f);
    EXPECT_EQ(battery_get_discharging_current(), 0.0f);
    EXPECT_FALSE(std::signbit(battery_get_discharging_current()));

    battery_set_charge_limit(3.0f);
    battery_set_discharge_limit(0.25f);
    battery_set_charging_current(7.0f);
    battery_set_discharging_current(8.0f);
    EXPECT_EQ(vacc->charge_limit, 3.0f);
    EXPECT_EQ(vacc->discharge_limit, 0.25f);
    EXPECT_EQ(battery_get_charging_current(), 7.0f);
    reset_charging();
    reset_discharging();
    EXPECT_EQ(battery_get_charging_current(), 0.0f);
    EXPECT_EQ(battery_get_discharging_current(), 0.0f);
    EXPECT_EQ(battery_get_charge(), 1.25f);

    // Detaching returns to the not-attached paths; the segment keeps its
    // contents for a later attach.
    EXPECT_EQ(accumulator_detach(), 0);
    EXPECT_EQ(vacc, nullptr);
    EXPECT_TRUE(std::isnan(battery_get_charge()));
    increase_consumption(5.0f);
    EXPECT_EQ(accumulator_detach(), -1);
    EXPECT_NE(accumulator_attach(battery.id()), nullptr);
    EXPECT_EQ(battery_get_charge(), 1.25f);
    EXPECT_EQ(battery_get_discharging_current(), 0.0f);
}

TEST(BatteryRecordDeathTest, FailedAttachEndsTheProcess)
{
    EXPECT_EXIT(accumulator_attach(-1), ::testing::ExitedWithCode(1), "shmat");
}

TEST(BatteryRecord, TwoProcessesShareOneBattery)
{
    SharedBattery battery;
    ASSERT_GE(battery.id(), 0);
    battery_set_charge(0.75);
    std::string& path = battery.path();

    // The child finds the same segment by the same path, sees the parent's
    // charge and leaves a change of its own.
    const ChildResult child = run_child(
        [&path] {
            accumulator_detach();
            const int id = accumulator_create(path.data());
            if (id < 0 || accumulator_attach(id) == nullptr) {
                return 2;
            }
            if (battery_get_charge() != 0.75f) {
                return 3;
            }
            battery_set_charge(0.5);
            increase_consumption(45.0f);
            return accumulator_detach() == 0 ? 0 : 4;
        },
        std::chrono::seconds(30));
    EXPECT_TRUE(child.exited_ok()) << "status " << child.status;
    EXPECT_EQ(accumulator_create(path.data()), battery.id());
    EXPECT_EQ(battery_get_charge(), 0.5f);
    EXPECT_EQ(battery_get_discharging_current(), 45.0f);
}

TEST(BatteryRecord, ConcurrentAccountingLosesNoDraw)
{
    SharedBattery battery;
    ASSERT_GE(battery.id(), 0);
    battery_set_discharging_current(0.0f);
    // Sums of whole milliamperes stay exact in a float far beyond these.
    constexpr int kSwitches = 1000000;
    int go[2];
    ASSERT_EQ(pipe(go), 0);

    auto book = [&go](float mA, bool up) {
        char c;
        if (read(go[0], &c, 1) != 1) {
            return 2;
        }
        for (int i = 0; i < kSwitches; ++i) {
            up ? increase_consumption(mA) : decrease_consumption(mA);
        }
        return 0;
    };
    auto run_both = [&](bool up) {
        ChildResult a, b;
        std::thread ta([&] { a = run_child([&] { return book(1.0f, up); }, std::chrono::seconds(120)); });
        std::thread tb([&] { b = run_child([&] { return book(1.0f, up); }, std::chrono::seconds(120)); });
        // Both children start on the same signal.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(write(go[1], "xx", 2), 2);
        ta.join();
        tb.join();
        EXPECT_TRUE(a.exited_ok());
        EXPECT_TRUE(b.exited_ok());
    };

    run_both(true);
    EXPECT_EQ(battery_get_discharging_current(), 2.0f * kSwitches);
    run_both(false);
    EXPECT_EQ(battery_get_discharging_current(), 0.0f);
    close(go[0]);
    close(go[1]);
}

}  // namespace
}  // namespace kelvex::testing
