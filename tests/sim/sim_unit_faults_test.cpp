// Faults switched on the running simulator through its control channel, seen
// by a mission through the project's own device API: dead units, stuck and
// biased sensors, wheel faults, the lamp, the line; the channel's answers,
// the events file, the state file's flags and the energy columns.
#include <gtest/gtest.h>

#include <termios.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "model/booking.h"
#include "fakes/device_fixture.h"
#include "fakes/shared_battery.h"
#include "fakes/sim_line.h"
#include "fakes/temp_dir.h"
#include "cli/family_doc.h"
#include "faults/fault_table.h"
#include "kelvex/kelvex.h"

using kelvex::sim::FamilyId;
using kelvex::testing::SimLine;
using kelvex::testing::TempDir;
using Values = std::vector<int>;

namespace {

// The library's tables say every unit is off, so that turn_on sends its
// reset to this test's simulator.
void all_off()
{
    for (const kelvex::testing::CommonShims& s : kelvex::testing::kCommonShims) {
        for (uint16_t n = 0; s.turn_off && n <= kelvex::devices::family(s.id).highest; ++n) {
            s.turn_off(n);
        }
    }
}

// How a mission switches a unit of a family on and asks it something.
struct Probe {
    FamilyId family;
    int (*on)(uint16_t);
    std::function<int(uint16_t, Values&)> ask;
};

const Probe kProbes[] = {
    {FamilyId::hyro, hyro_turn_on, [](uint16_t u, Values& v) {
         int16_t x, y, z;
         const int r = hyro_request_raw(u, &x, &y, &z);
         v = {x, y, z};
         return r;
     }},
    {FamilyId::magnetometer, magnetometer_turn_on, [](uint16_t u, Values& v) {
         int16_t x, y, z;
         const int r = magnetometer_request_raw(u, &x, &y, &z);
         v = {x, y, z};
         return r;
     }},
    {FamilyId::sun_sensor, sun_sensor_turn_on, [](uint16_t u, Values& v) {
         uint16_t p, n;
         const int r = sun_sensor_request_raw(u, &p, &n);
         v = {p, n};
         return r;
     }},
    {FamilyId::light_sensor, light_sensor_turn_on, [](uint16_t u, Values& v) {
         uint16_t raw;
         const int r = light_sensor_request_raw(u, &raw);
         v = {raw};
         return r;
     }},
    {FamilyId::motor, motor_turn_on, [](uint16_t u, Values& v) {
         int16_t rpm;
         const int r = motor_request_speed(u, &rpm);
         v = {rpm};
         return r;
     }},
    {FamilyId::coil, coil_turn_on, [](uint16_t u, Values& v) {
         int16_t c = 0;
         const int r = coil_set_value(u, 300, &c);
         v = {c};
         return r;
     }},
    {FamilyId::engine, engine_turn_on, [](uint16_t u, Values& v) {
         int16_t c = 0;
         const int r = engine_set_value(u, 300, &c);
         v = {c};
         return r;
     }},
    {FamilyId::transmitter, [](uint16_t) { return 0; }, [](uint16_t u, Values& v) {
         v = {};
         return transmitter_turn_on(u);
     }},
    {FamilyId::receiver, [](uint16_t) { return 0; }, [](uint16_t u, Values& v) {
         float q = 0;
         const int r = receiver_request_state(u, &q);
         v = {static_cast<int>(std::lround(q * 1000))};
         return r;
     }},
};

const Probe* probe_of(FamilyId f)
{
    for (const Probe& p : kProbes) {
        if (p.family == f) {
            return &p;
        }
    }
    return nullptr;
}

Values ask(const Probe& p, uint16_t unit)
{
    Values v;
    EXPECT_EQ(0, p.ask(unit, v));
    return v;
}

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<const kelvex::sim::FaultKind*> kinds_ending(const std::string& tail)
{
    std::vector<const kelvex::sim::FaultKind*> out;
    for (auto* k = kelvex::sim::fault_kinds_begin(); k != kelvex::sim::fault_kinds_end(); ++k) {
        if (ends_with(k->name, tail) && k->family != FamilyId::motor) {
            out.push_back(k);
        }
    }
    return out;
}

void expect_ok(SimLine& sim, const std::string& command)
{
    EXPECT_EQ(0u, sim.command(command).rfind("ok t=", 0)) << command;
}

// The last row of a telemetry file, by column name.
std::map<std::string, double> last_row(const std::string& csv)
{
    std::ifstream in(csv);
    std::string header, line, last;
    std::getline(in, header);
    while (std::getline(in, line)) {
        last = line;
    }
    std::map<std::string, double> row;
    std::istringstream names(header), values(last);
    for (std::string name, value; std::getline(names, name, ',') && std::getline(values, value, ',');) {
        row[name] = std::strtod(value.c_str(), nullptr);
    }
    return row;
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits up to `seconds` for `cond`.
bool eventually(const std::function<bool()>& cond, double seconds = 3.0)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

kelvex::sim::Options lamp_ahead()
{
    kelvex::sim::Options o = SimLine::quiet();
    o.physics.lamp_azimuth_deg = 0;  // sun battery, sun and light sensor 0 face it
    o.physics.motor_tau = 0.05;
    return o;
}

// A simulator that follows a battery record of the test's own, lamp ahead.
struct EnergyRig {
    kelvex::testing::SharedBattery battery;
    TempDir dir{"sim_energy"};
    SimLine sim;

    EnergyRig() : sim((all_off(), options(battery)), dir.path.string()) {}
    static kelvex::sim::Options options(kelvex::testing::SharedBattery& b)
    {
        kelvex::sim::Options o = lamp_ahead();
        o.telemetry_rate = 50;
        o.battery_key = b.path();
        return o;
    }
};

}  // namespace

TEST(SimUnitFaults, DeadUnitsAnswerNothingUntilCleared)
{
    all_off();
    TempDir dir("sim_faults");
    SimLine sim(lamp_ahead(), dir.path.string());
    const auto dead = kinds_ending("-dead");
    ASSERT_GE(dead.size(), 6u);
    for (const auto* kind : dead) {
        SCOPED_TRACE(kind->name);
        const Probe* p = probe_of(*kind->family);
        ASSERT_NE(nullptr, p) << "every dead unit has a probe";
        const uint16_t unit = 1;
        ASSERT_EQ(0, p->on(unit));
        ASSERT_EQ(0, p->on(0));
        Values v;
        EXPECT_EQ(0, p->ask(unit, v));
        expect_ok(sim, std::string("fault ") + kind->name + " unit=1");
        EXPECT_EQ(1, p->ask(unit, v)) << "no answer from a dead unit";
        EXPECT_EQ(0, p->ask(0, v)) << "its neighbour still answers";
        expect_ok(sim, std::string("clear ") + kind->name + " unit=1");
        EXPECT_EQ(0, p->ask(unit, v));
    }
}

TEST(SimUnitFaults, StuckSensorsRepeatTheReadingTheyHadWhenTheFaultCame)
{
    all_off();
    kelvex::sim::Options o = lamp_ahead();
    o.noise = 1;  // a live sensor never reads the same ten times
    o.physics.initial_rate_dps = 5;
    TempDir dir("sim_faults");
    SimLine sim(o, dir.path.string());
    const auto stuck = kinds_ending("-stuck");
    ASSERT_EQ(3u, stuck.size());
    for (const auto* kind : stuck) {
        SCOPED_TRACE(kind->name);
        const Probe& p = *probe_of(*kind->family);
        ASSERT_EQ(0, p.on(2));
        expect_ok(sim, std::string("fault ") + kind->name + " unit=2");
        const Values first = ask(p, 2);
        int same = 0;
        for (int i = 0; i < 9; ++i) {
            same += ask(p, 2) == first;
        }
        EXPECT_EQ(9, same);
        expect_ok(sim, std::string("clear ") + kind->name + " unit=2");
        same = 0;
        for (int i = 0; i < 9; ++i) {
            same += ask(p, 2) == first;
        }
        EXPECT_LT(same, 9) << "live again";
    }
}

TEST(SimUnitFaults, BiasesAndScalesChangeWhatTheUnitsRead)
{
    all_off();
    TempDir dir("sim_faults");
    SimLine sim(lamp_ahead(), dir.path.string());
    const Probe& gyro = *probe_of(FamilyId::hyro);
    const Probe& mag = *probe_of(FamilyId::magnetometer);
    const Probe& receiver = *probe_of(FamilyId::receiver);
    ASSERT_EQ(0, gyro.on(2));
    ASSERT_EQ(0, gyro.on(0));
    ASSERT_EQ(0, mag.on(0));
    expect_ok(sim, "fault gyro-bias unit=2 value=10");
    EXPECT_EQ((Values{0, 0, 1000}), ask(gyro, 2)) << "100 counts per deg/s";
    EXPECT_EQ((Values{0, 0, 0}), ask(gyro, 0)) << "only unit 2";
    expect_ok(sim, "clear gyro-bias unit=2");
    EXPECT_EQ((Values{0, 0, 0}), ask(gyro, 2));

    const Values field = ask(mag, 0);
    expect_ok(sim, "fault mag-bias value=5");
    EXPECT_EQ((Values{field[0] + 500, field[1] + 500, field[2] + 500}), ask(mag, 0));

    EXPECT_EQ((Values{900}), ask(receiver, 3));
    expect_ok(sim, "fault receiver-quality unit=3 value=0.5");
    EXPECT_EQ((Values{450}), ask(receiver, 3));
    expect_ok(sim, "fault receiver-quality unit=3");
    EXPECT_EQ((Values{225}), ask(receiver, 3)) << "the default factor, 0.25";
}

TEST(SimUnitFaults, NoisierGyroscope)
{
    all_off();
    kelvex::sim::Options o = lamp_ahead();
    o.noise = 1;
    TempDir dir("sim_faults");
    SimLine sim(o, dir.path.string());
    const Probe& gyro = *probe_of(FamilyId::hyro);
    ASSERT_EQ(0, gyro.on(0));
    const auto spread = [&] {
        double sum = 0, squares = 0;
        for (int i = 0; i < 40; ++i) {
            const double x = ask(gyro, 0)[0];
            sum += x;
            squares += x * x;
        }
        return std::sqrt(squares / 40 - (sum / 40) * (sum / 40));
    };
    EXPECT_LT(spread(), 10.0) << "nominal: 5 counts";
    expect_ok(sim, "fault gyro-noise");
    EXPECT_GT(spread(), 25.0) << "ten times the nominal";
}

TEST(SimUnitFaults, WheelStuckAndLimited)
{
    all_off();
    TempDir dir("sim_faults");
    SimLine sim(lamp_ahead(), dir.path.string());
    const Probe& motor = *probe_of(FamilyId::motor);
    ASSERT_EQ(0, motor.on(0));
    int16_t confirm = 0;
    ASSERT_EQ(0, motor_set_speed(0, 2000, &confirm));
    ASSERT_TRUE(eventually([&] { return ask(motor, 0)[0] == 2000; }));

    expect_ok(sim, "fault wheel-stuck");
    EXPECT_EQ(0, motor_set_speed(0, -1000, &confirm)) << "the controller still takes commands";
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(2000, ask(motor, 0)[0]) << "but the rotor does not move";
    expect_ok(sim, "clear wheel-stuck");
    EXPECT_TRUE(eventually([&] { return ask(motor, 0)[0] == -1000; }));

    expect_ok(sim, "fault wheel-limit value=500");
    EXPECT_TRUE(eventually([&] { return ask(motor, 0)[0] == -500; })) << "the command in force is clipped";
    motor_set_speed(0, 1500, &confirm);
    EXPECT_EQ(500, confirm) << "commands beyond the limit come back clipped";
    EXPECT_TRUE(eventually([&] { return ask(motor, 0)[0] == 500; }));
    expect_ok(sim, "clear wheel-limit");
    EXPECT_TRUE(eventually([&] { return ask(motor, 0)[0] == 1500; })) << "the command asked for comes back";
}

TEST(SimUnitFaults, LampOffAndMoved)
{
    all_off();
    TempDir dir("sim_faults");
    SimLine sim(lamp_ahead(), dir.path.string());
    ASSERT_EQ(0, light_sensor_turn_on(0));
    ASSERT_EQ(0, sun_sensor_turn_on(0));
    const auto sun_battery = [] {
        uint16_t raw = 9999;
        EXPECT_EQ(0, sunbattery_request_raw(0, &raw));
        return raw;
    };
    const Probe& light = *probe_of(FamilyId::light_sensor);
    const Probe& sun = *probe_of(FamilyId::sun_sensor);
    EXPECT_EQ(1023, sun_battery());
    EXPECT_EQ((Values{1010}), ask(light, 0));
    expect_ok(sim, "fault lamp-off");
    EXPECT_EQ(0, sun_battery());
    EXPECT_EQ((Values{10}), ask(light, 0)) << "its dark reading";
    EXPECT_EQ((Values{20, 20}), ask(sun, 0)) << "the ambient level on both channels";
    expect_ok(sim, "clear lamp-off");
    EXPECT_EQ(1023, sun_battery());

    expect_ok(sim, "fault lamp-azimuth value=180");
    EXPECT_EQ(0, sun_battery()) << "the lamp behind unit 0";
    expect_ok(sim, "clear lamp-azimuth");
    EXPECT_EQ(1023, sun_battery()) << "back to the run's azimuth";
}

TEST(SimUnitFaults, LineFaultsSwitchedDuringTheRun)
{
    TempDir dir("sim_faults");
    SimLine sim(lamp_ahead(), dir.path.string());
    const auto answered = [] {
        uint16_t max = 0;
        return sunbattery_request_maxraw(0, &max) == 0 && max == 1023;
    };
    for (const char* fault : {"drop value=1", "late value=1", "delay value=200", "baud value=300"}) {
        SCOPED_TRACE(fault);
        ASSERT_TRUE(answered());
        expect_ok(sim, std::string("fault ") + fault);
        EXPECT_FALSE(answered());
        expect_ok(sim, std::string("clear ") + std::string(fault).substr(0, std::string(fault).find(' ')));
        // What the failed attempts left on the line is late, not wrong.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        tcflush(G.fd, TCIFLUSH);
        EXPECT_TRUE(answered());
    }
}

TEST(SimControl, BadCommandsAreAnsweredWithAnError)
{
    TempDir dir("sim_control");
    SimLine sim(SimLine::quiet(), dir.path.string());
    const std::pair<const char*, const char*> cases[] = {
        {"", "error empty command"},
        {"explode", "error unknown command"},
        {"fault", "error fault needs a fault name"},
        {"fault gyro-melted", "error unknown fault 'gyro-melted'"},
        {"fault gyro-stuck unit=4", "error gyro-stuck: unit 4 out of range (0 to 3)"},
        {"fault coil-dead unit=16", "error coil-dead: unit 16 out of range (0 to 15)"},
        {"fault coil-dead unit=-1", "error coil-dead: unit -1 out of range"},
        {"fault gyro-stuck unit=one", "error unit 'one' is not a number"},
        {"fault lamp-off unit=1", "error lamp-off: unit 1 out of range (0 only)"},
        {"fault gyro-bias", "error gyro-bias needs a value (deg/s)"},
        {"fault gyro-stuck value=3", "error gyro-stuck takes no value"},
        {"fault drop value=1.5", "error drop: bad value '1.5'"},
        {"fault drop value=nan", "error drop: bad value 'nan'"},
        {"fault gyro-stuck colour=red", "error unexpected 'colour=red'"},
        {"clear gyro-bias value=3", "error unexpected 'value=3'"},
        {"fault gyro-stuck source=a,b", "error bad source 'a,b'"},
        {"clear gyro-stuck", "error gyro-stuck unit 0 is not on"},
        {"list everything", "error unknown command"},
    };
    for (const auto& [command, answer] : cases) {
        EXPECT_EQ(0u, sim.command(command).rfind(answer, 0)) << command << " -> " << sim.command(command);
    }
    EXPECT_EQ("end\n", sim.command("active")) << "none of them switched anything";
    EXPECT_EQ("t,source,action,name,unit,value\n", file_text(dir / "events.csv"));
}

TEST(SimControl, ListActiveAndTheEventsFile)
{
    TempDir dir("sim_control");
    kelvex::sim::Options o = SimLine::quiet();
    o.fault = {"gyro-bias:1=2.5", "lamp-off"};
    SimLine sim(o, dir.path.string());
    std::istringstream list(sim.command("list"));
    std::string line;
    for (auto* k = kelvex::sim::fault_kinds_begin(); k != kelvex::sim::fault_kinds_end(); ++k) {
        ASSERT_TRUE(std::getline(list, line));
        EXPECT_EQ(0u, line.rfind(std::string("name=") + k->name + " units=0-" + std::to_string(k->units() - 1) +
                                     " value=" + kelvex::sim::value_use_name(k->value) + " help=", 0))
            << line;
    }
    ASSERT_TRUE(std::getline(list, line));
    EXPECT_EQ("end", line);

    expect_ok(sim, "fault wheel-stuck unit=3 source=scenario");
    expect_ok(sim, "fault gyro-bias unit=1 value=-4 source=panel");
    expect_ok(sim, "clear lamp-off");
    const std::string active = sim.command("active");
    EXPECT_NE(std::string::npos, active.find("name=gyro-bias unit=1 value=-4 since=0.000 source=panel\n")) << active;
    EXPECT_NE(std::string::npos, active.find("name=wheel-stuck unit=3 value= since=")) << active;
    EXPECT_EQ(std::string::npos, active.find("lamp-off")) << active;

    std::istringstream events(file_text(dir / "events.csv"));
    const std::vector<std::string> expected = {
        "t,source,action,name,unit,value",      "command-line,fault,gyro-bias,1,2.5",
        "command-line,fault,lamp-off,0,",        "scenario,fault,wheel-stuck,3,",
        "panel,fault,gyro-bias,1,-4",           "control,clear,lamp-off,0,",
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(std::getline(events, line));
        const std::string row = i == 0 ? line : line.substr(line.find(',') + 1);
        EXPECT_EQ(expected[i], row);
    }
    EXPECT_FALSE(std::getline(events, line)) << line;

    // The same channel from the command line.
    const std::string tool = std::string(KELVEX_BUILD_DIR "/sim/kelvex-sim control ") + dir.path.string();
    EXPECT_EQ(0, std::system((tool + " fault glue value=0.25 source=panel >/dev/null").c_str()));
    EXPECT_EQ(1 << 8, std::system((tool + " fault glue value=2 2>/dev/null >/dev/null").c_str())) << "an error";
    EXPECT_NE(std::string::npos, sim.command("active").find("name=glue unit=0 value=0.25 "));
}

TEST(SimControl, StateFileFlagsForTheDeskTools)
{
    TempDir dir("sim_control");
    SimLine sim(SimLine::quiet(), dir.path.string());
    const auto state_has = [&](const std::string& kv) {
        return eventually([&] { return file_text(dir / "state").find(kv + "\n") != std::string::npos; });
    };
    EXPECT_TRUE(state_has("camera_fail=0"));
    EXPECT_TRUE(state_has("transmitter_dead=0"));
    expect_ok(sim, "fault camera-fail");
    expect_ok(sim, "fault transmitter-dead unit=2");
    EXPECT_TRUE(state_has("camera_fail=1"));
    EXPECT_TRUE(state_has("transmitter_dead=1"));
    expect_ok(sim, "clear camera-fail");
    expect_ok(sim, "clear transmitter-dead unit=2");
    EXPECT_TRUE(state_has("camera_fail=0"));
    EXPECT_TRUE(state_has("transmitter_dead=0"));
}

TEST(SimEnergy, ColumnsFollowTheBatteryRecord)
{
    EnergyRig rig;
    battery_set_charge(1.234);
    battery_set_charging_current(5.0f);
    ASSERT_EQ(0, motor_turn_on(0));
    ASSERT_EQ(0, hyro_turn_on(0));
    int16_t confirm = 0;
    ASSERT_EQ(0, motor_set_speed(0, 1000, &confirm));
    const std::string csv = rig.dir / "telemetry.csv";
    ASSERT_TRUE(eventually([&] { return last_row(csv)["battery_attached"] == 1; }));
    // The controller hears of the resets a moment after the record books them.
    ASSERT_TRUE(eventually([&] {
        auto r = last_row(csv);
        return r["battery_consumption_ma"] == 2040 && r["battery_controller_view_ma"] == 2040;
    }));
    auto row = last_row(csv);
    EXPECT_EQ(1, row["motor_booked"]);
    EXPECT_EQ(1, row["hyro_booked"]);
    EXPECT_EQ(0, row["camera_booked"]);
    EXPECT_NEAR(battery_get_charge(), row["battery_charge_ah"], 0.01 * 1.234);
    EXPECT_NEAR(5.0, row["battery_charging_ma"], 0.05);
    EXPECT_EQ(8, row["battery_sun_charging_ma"]) << "1023 * 8 / 1023";

    // Switching off is bookkeeping only: the controller never hears of it,
    // and the motor keeps its speed.
    ASSERT_EQ(0, motor_turn_off(0));
    ASSERT_TRUE(eventually([&] { return last_row(csv)["battery_consumption_ma"] == 40; }));
    row = last_row(csv);
    EXPECT_EQ(2040, row["battery_controller_view_ma"]);
    EXPECT_EQ(1, row["motor_on"]) << "what the controller knows";
    EXPECT_EQ(0, row["motor_booked"]) << "what the record books";
    EXPECT_EQ(1, row["hyro_booked"]);
    EXPECT_EQ(1000, row["wheel_cmd_rpm"]);

    // The camera is the board's own: only the record hears of it.
    ASSERT_EQ(0, camera_turn_on());
    EXPECT_TRUE(eventually([&] { return last_row(csv)["camera_booked"] == 1; }));
    EXPECT_EQ(240, last_row(csv)["battery_consumption_ma"]);
}

TEST(SimEnergy, AnEclipseStopsTheChargingLoop)
{
    EnergyRig rig;
    SimLine& sim = rig.sim;
    set_charging(0.0f, 2.0f);
    set_discharging(0.0f, 0.1f);
    battery_set_charge(1.0);
    std::thread loop(accumulator);
    // The loop's refresh runs about once a second; the bus is the loop's now.
    EXPECT_TRUE(eventually([] { return battery_get_charging_current() == 8.0f; }));
    expect_ok(sim, "fault lamp-off source=scenario");
    EXPECT_TRUE(eventually([] { return battery_get_charging_current() == 0.0f; }));
    const std::string csv = rig.dir / "telemetry.csv";
    EXPECT_TRUE(eventually([&] { return last_row(csv)["battery_charging_ma"] == 0; }));
    auto row = last_row(csv);
    EXPECT_EQ(0, row["lamp_on"]);
    EXPECT_EQ(0, row["sunbattery0_raw"]);
    EXPECT_EQ(0, row["battery_sun_charging_ma"]);
    set_discharging(0.0f, 5.0f);  // ends the loop, which alone writes the charge
    loop.join();
    uint16_t raw = 9999;
    EXPECT_EQ(0, sunbattery_request_raw(0, &raw));
    EXPECT_EQ(0, raw);
}

TEST(SimEnergy, BookingIsInferredFromTheRecordAndTheSwitchesHeard)
{
    kelvex::sim::Booking b;
    b.heard(FamilyId::light_sensor, 0, true, 0.0);
    b.sample(45, 0.05);
    EXPECT_EQ(1u, b.mask(FamilyId::light_sensor));
    // The record may show a switch before the controller hears it.
    b.sample(90, 0.10);
    b.heard(FamilyId::sun_sensor, 1, true, 0.11);
    b.sample(90, 0.15);
    EXPECT_EQ(2u, b.mask(FamilyId::sun_sensor));
    // A draw the mission set itself explains nothing, and is forgotten.
    b.sample(240, 0.20);
    b.sample(240, 1.30);
    b.heard(FamilyId::hyro, 3, true, 1.31);
    b.sample(280, 1.35);
    EXPECT_EQ(8u, b.mask(FamilyId::hyro));
    EXPECT_EQ(1u, b.mask(FamilyId::light_sensor));
    // A turn_off is heard by nobody: the last unit booked of the draw.
    b.sample(235, 1.40);
    EXPECT_EQ(0u, b.mask(FamilyId::sun_sensor));
    EXPECT_EQ(1u, b.mask(FamilyId::light_sensor));
    // A reset without a turn_on books nothing.
    b.heard(FamilyId::motor, 0, true, 1.45);
    b.sample(235, 1.50);
    b.sample(235, 2.60);
    b.sample(2235, 2.65);
    EXPECT_EQ(0u, b.mask(FamilyId::motor)) << "heard too long ago";
}

TEST(SimDocs, TheReadmeTablesAreTheTablesTheProgramPrints)
{
    const std::string readme = file_text(KELVEX_SOURCE_DIR "/sim/README.md");
    const auto generated = [&](const std::string& command) {
        const std::string start = "<!-- generated: kelvex-sim " + command + " -->\n";
        const size_t from = readme.find(start);
        const size_t to = readme.find("<!-- end of generated table -->", from);
        EXPECT_NE(std::string::npos, from) << command;
        return from == std::string::npos || to == std::string::npos
                   ? std::string()
                   : readme.substr(from + start.size(), to - from - start.size());
    };
    EXPECT_EQ(kelvex::sim::faults_markdown(), generated("faults --markdown"))
        << "regenerate with: kelvex-sim faults --markdown";
    EXPECT_EQ(kelvex::sim::families_markdown(), generated("families --markdown"))
        << "regenerate with: kelvex-sim families --markdown";
}
