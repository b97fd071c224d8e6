// Everything of one `kelvex-sim run` in one folder, and its record run.json.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvex::sim {

class RunFolder {
public:
    // Makes `dir` (which must not exist or be empty), or with an empty `dir`
    // kelvex-run/<YYYYmmdd-HHMMSS>-<pid> in the working directory, with
    // kelvex-run/latest pointing at it. Holds ground/ and an empty
    // battery.key. Throws std::system_error or std::runtime_error.
    explicit RunFolder(const std::string& dir);

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunRecord {
    std::string satellite;
    std::string address;
    std::vector<std::string> program;
    std::string options_json;  // a JSON object
    double t0_unix = 0;        // wall-clock time of telemetry t = 0
    std::string started;
    std::string ended;         // empty while the run lasts
    std::optional<int> exit_status;
    bool time_limited = false;
    std::string station;       // URL of the shared station, or empty
    std::string scenario;      // the scenario's copy in the folder, or empty
};

// Writes the record as JSON to `path` through a temporary file and a rename,
// so that a reader never sees half of it. Throws std::system_error.
void write_run_record(const std::string& path, const RunRecord& r);

// The current local time as ISO 8601 with milliseconds and UTC offset.
std::string iso_time_now();

}  // namespace kelvex::sim
