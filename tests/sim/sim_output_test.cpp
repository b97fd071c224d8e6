// What the simulator writes for people and tools: numbers in the telemetry,
// the state file and the line log read as printf wrote them (bundles made
// before must compare equal), and the battery record is found whenever the
// mission makes it.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fakes/shared_battery.h"
#include "fakes/temp_dir.h"
#include "kelvex/battery.h"
#include "line/line_log.h"
#include "model/satellite.h"
#include "number_text.h"

using kelvex::sim::NumberText;
using kelvex::testing::SharedBattery;
using kelvex::testing::TempDir;

namespace {

std::string printf_text(const char* format, double v)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string number_text(const char* format, double v)
{
    std::string s;
    NumberText(format).append(s, v);
    return s;
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

std::string column(const std::string& header, const std::string& row, const std::string& name)
{
    std::istringstream h(header), r(row);
    for (std::string key, value; std::getline(h, key, ',') && std::getline(r, value, ',');) {
        if (key == name) {
            return value;
        }
    }
    return "(no such column)";
}

}  // namespace

TEST(SimOutput, NumbersReadAsPrintfWritesThem)
{
    std::vector<double> values = {
        0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 2.5, -2.5, 0.125, 0.0625, 0.0005, 0.0015, -0.0004,
        1023.5, 1024.5, 119.99950000000001, 1e-17, 1.27936e-17, -3.3e-9, 1e21, 1e22, 123456789.5,
        1e300, DBL_MAX, DBL_MIN, 5e-324, -DBL_MAX, 0.1, 0.2, 0.3, 9.9999995, 999999.5, 9999999.5,
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    // Values over every magnitude the columns see, and halves at each
    // precision (ties are where roundings part).
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-20, 20);
    for (int i = 0; i < 20000; ++i) {
        values.push_back(mantissa(rng) * std::pow(10.0, exponent(rng)));
        values.push_back(static_cast<double>(static_cast<int64_t>(rng() % 2000000) - 1000000) / 2000.0);
    }
    for (const char* format : {"%.0f", "%.1f", "%.3f", "%.6f", "%.6g", "%.9g", "%.17g", "%8.3f", "%e"}) {
        int wrong = 0;
        for (double v : values) {
            const std::string want = printf_text(format, v);
            const std::string got = number_text(format, v);
            if (got != want && ++wrong <= 5) {
                ADD_FAILURE() << format << " of " << printf_text("%.17g", v) << ": " << got
                              << ", printf " << want;
            }
        }
        EXPECT_EQ(0, wrong) << format;
    }
}

TEST(SimOutput, TelemetryStateAndLineLogReadAsPrintfWritesThem)
{
    TempDir dir("sim_output");
    kelvex::sim::Options o;
    o.telemetry_rate = 20;
    o.physics.initial_rate_dps = -7.25;
    kelvex::sim::Satellite sat(o, dir / "telemetry.csv", dir / "state");
    sat.physics.set_motor_command(0, 3210);
    sat.telemetry.set_state_flag("camera_fail", true);
    for (int i = 0; i < 1234; ++i) {
        sat.physics.step(0.001);
        sat.telemetry.update(sat.physics, sat.bus, sat.faults);
    }
    sat.telemetry.finish(sat.physics, sat.bus, sat.faults);

    const std::vector<std::string> rows = lines_of(read_file(dir / "telemetry.csv"));
    ASSERT_GE(rows.size(), 26u) << "the header, rows at 0, 0.05 ... 1.2 s and the last";
    EXPECT_EQ(kelvex::sim::telemetry_header(), rows[0]);
    // The last row, as printf writes the same values by the columns' formats.
    kelvex::sim::TelemetrySources sources{sat.physics, sat.bus,    sat.faults,
                                          sat.battery, sat.booking, o.ncells};
    std::string want;
    for (const kelvex::sim::TelemetryColumn& c : kelvex::sim::telemetry_columns()) {
        want += (want.empty() ? "" : ",") + printf_text(c.format, c.value(sources));
    }
    EXPECT_EQ(want, rows.back());
    EXPECT_EQ("nan", column(rows[0], rows.back(), "battery_charge_ah")) << "no record followed";

    const kelvex::sim::Physics& p = sat.physics;
    char state[1024];
    std::snprintf(state, sizeof state,
                  "t=%.3f\nyaw_deg=%.3f\nrate_dps=%.3f\nlamp_azimuth_deg=%.3f\n"
                  "lamp_angle_deg=%.3f\nwheel_rpm=%.1f\ncamera_fail=1\ntransmitter_dead=0\n",
                  p.time(), p.yaw_deg(), p.rate_dps(), p.lamp_azimuth_deg(), p.lamp_angle_deg(),
                  p.motor_rpm(0));
    EXPECT_EQ(state, read_file(dir / "state"));

    {
        kelvex::sim::LineLog log(dir / "line.log");
        const uint8_t request[] = {0x04, 0x0a, 0x05, 0xff};
        const uint8_t answers[] = {0x01, 0x02, 0x00, 0x03, 0x00};  // two frames, glued
        log.received(9.8505, request, sizeof request);
        log.sent(12.0000005, answers, sizeof answers);
    }
    EXPECT_EQ(printf_text("%.6f", 9.8505) + " rx 04 0a 05 ff\n" + printf_text("%.6f", 12.0000005) +
                  " tx 01 02\n" + printf_text("%.6f", 12.0000005) + " tx 03\n",
              read_file(dir / "line.log"));
}

TEST(SimOutput, ABatteryRecordMadeAfterTheStartIsFoundByTheNextRow)
{
    SharedBattery battery(false);
    TempDir dir("sim_output");
    kelvex::sim::Options o;
    o.telemetry_rate = 100;
    o.battery_key = battery.path();
    kelvex::sim::Satellite sat(o, dir / "telemetry.csv", "");
    sat.battery.look_every_time();  // as in virtual time: not paced by the wall
    const auto rows_for = [&sat](double seconds) {
        for (int i = 0; i < static_cast<int>(seconds * 1000); ++i) {
            sat.physics.step(0.001);
            sat.telemetry.update(sat.physics, sat.bus, sat.faults);
        }
    };
    rows_for(0.05);
    const size_t before = lines_of(read_file(dir / "telemetry.csv")).size();
    battery.create();
    ASSERT_NE(nullptr, vacc);
    vacc->charge = 1.25;
    rows_for(0.02);
    sat.telemetry.finish(sat.physics, sat.bus, sat.faults);

    const std::vector<std::string> rows = lines_of(read_file(dir / "telemetry.csv"));
    ASSERT_GE(before, 5u);
    ASSERT_GE(rows.size(), before + 2);
    EXPECT_EQ("0", column(rows[0], rows[1], "battery_attached"));
    EXPECT_EQ("nan", column(rows[0], rows[before - 1], "battery_charge_ah"));
    const std::string& first_after = rows[before];
    EXPECT_EQ("1", column(rows[0], first_after, "battery_attached")) << first_after;
    EXPECT_EQ("1.25", column(rows[0], first_after, "battery_charge_ah"));
    EXPECT_EQ("1.25", column(rows[0], rows.back(), "battery_charge_ah"));
}
