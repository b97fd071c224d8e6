// The true state for the people on the ground: a CSV time series at a chosen
// rate, and a small state file rewritten atomically for live readers (the
// ground station's page and its stand-in camera).
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/bus.h"
#include "line/line_faults.h"
#include "model/physics.h"
#include "number_text.h"

namespace kelvex::sim {

class BatteryWatch;
class Booking;

// What a row is read from.
struct TelemetrySources {
    const Physics& physics;
    const Bus& bus;
    const Faults& faults;
    const BatteryWatch& battery;  // the record as the row's look found it
    const Booking& booking;
    int ncells;             // the mission's battery cells, for the charging law
};

// One column of the CSV: its name in the header, the printf format its value
// is written with, the value's unit, and where the value comes from.
struct TelemetryColumn {
    std::string name;
    const char* format;
    const char* unit;
    std::function<double(TelemetrySources&)> value;
};

// Every column of a row, in order: the header, the rows and
// `describe --json` all come from this table.
const std::vector<TelemetryColumn>& telemetry_columns();

// The CSV header line, without its newline.
std::string telemetry_header();
// The columns as `describe --json` gives them: a JSON array of {name,
// format, unit}.
std::string telemetry_description();

class Telemetry {
public:
    // Empty paths switch the respective output off. Throws std::system_error
    // when the CSV cannot be created. Each row brings `booking` up to date
    // with `battery` first.
    Telemetry(const std::string& csv_path, double rate_hz, const std::string& state_path,
              BatteryWatch& battery, Booking& booking, int ncells);

    // Writes whatever is due at the physics' current time.
    void update(const Physics& p, const Bus& bus, const Faults& faults);
    // Writes a last row and state now.
    void finish(const Physics& p, const Bus& bus, const Faults& faults);
    // Seconds of simulated time until the next output is due.
    double next_due(const Physics& p) const;

    // A key=value line of the state file (0 or 1), e.g. for the desk's
    // stand-in tools.
    void set_state_flag(const std::string& key, bool on) { flags_[key] = on; }

    static constexpr double kStateRate = 20.0;  // state file updates per second

private:
    void write_row(const Physics& p, const Bus& bus, const Faults& faults);
    void write_state(const Physics& p);

    struct FileCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, FileCloser> csv_;
    double period_ = 0;
    BatteryWatch& battery_;
    Booking& booking_;
    int ncells_;
    std::map<std::string, bool> flags_{{"camera_fail", false}, {"transmitter_dead", false}};
    bool header_written_ = false;
    std::string state_path_;
    std::string state_tmp_;          // written aside, then renamed over state_path_
    std::vector<NumberText> texts_;  // each column's format, by column
    std::string row_;                // the row being written
    std::string state_;              // the state file being written
    double next_row_ = 0;
    double next_state_ = 0;
};

}  // namespace kelvex::sim
