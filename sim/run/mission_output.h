// The mission's standard output and error: a pseudo-terminal of their own, so
// that the mission's stdio buffers lines as on a terminal, read by the
// simulator into mission.log and onto the console.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "run/console.h"
#include "common/unique_fd.h"

namespace kelvex::sim {

class MissionOutput {
public:
    // Throws std::system_error.
    MissionOutput(const std::string& log_path, Console& console);

    // The side the mission writes to (for Child's output).
    int mission_side() const { return slave_.get(); }
    // The side the loop watches.
    int fd() const { return master_.get(); }
    // Copies everything waiting now.
    void drain();

private:
    struct FileCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    common::UniqueFd master_;
    common::UniqueFd slave_;  // also keeps the master readable after the mission ended
    std::unique_ptr<FILE, FileCloser> log_;
    Console& console_;
};

}  // namespace kelvex::sim
