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

namespace kelvex::sim {

class Telemetry {
public:
    // Empty paths switch the respective output off. Throws std::system_error
    // when the CSV cannot be created.
    Telemetry(const std::string& csv_path, double rate_hz, const std::string& state_path);

    // Writes whatever is due at the physics' current time.
    void update(const Physics& p, const Bus& bus, const Faults& faults);
    // Writes a last row and state now.
    void finish(const Physics& p, const Bus& bus, const Faults& faults);
    // Seconds of simulated time until the next output is due.
    double next_due(const Physics& p) const;

    // A column behind the fixed ones, printed with `format`; only before
    // the first row.
    void add_column(std::string name, const char* format, std::function<double()> value);
    // A key=value line of the state file (0 or 1), e.g. for the desk's
    // stand-in tools.
    void set_state_flag(const std::string& key, bool on) { flags_[key] = on; }
    std::string header() const;

    static constexpr double kStateRate = 20.0;  // state file updates per second

private:
    void write_row(const Physics& p, const Bus& bus, const Faults& faults);
    void write_state(const Physics& p);

    struct FileCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, FileCloser> csv_;
    double period_ = 0;
    struct Column {
        std::string name;
        const char* format;
        std::function<double()> value;
    };
    std::vector<Column> columns_;
    std::map<std::string, bool> flags_{{"camera_fail", false}, {"transmitter_dead", false}};
    bool header_written_ = false;
    std::string state_path_;
    double next_row_ = 0;
    double next_state_ = 0;
};

// The CSV header line, without its newline.
std::string telemetry_header();

}  // namespace kelvex::sim
