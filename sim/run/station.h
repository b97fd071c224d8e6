// The per-run ground station: kelvex-ground for one satellite on the run's
// loopback address, its messages on a pipe, its ports from its ready file.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "run/child.h"
#include "common/unique_fd.h"
#include "run/signals.h"

namespace kelvex::sim {

struct StationConfig {
    std::string exe;
    std::string address;    // 127.0.0.N: every server binds it
    int log_port = 4567;
    int ftp_port = 0;
    int http_port = 0;
    std::string dir;        // the run's ground/
    std::string telemetry;  // the CSV for the page's plots
    std::string ready_file;
    std::string upstream;   // a shared station's URL, or empty
    bool single = false;    // the station takes --single
    std::string control;    // the simulator's control socket, or empty
    std::string state;      // the simulator's state file: a dead transmitter uploads nothing
};

class GroundStation {
public:
    // Refused: it does not take one of the options (an older station).
    enum class Start { Ready, AddressInUse, Refused, Failed, Interrupted };

    // Starts the station; throws std::system_error.
    GroundStation(const StationConfig& c, const Environment& env);

    // Waits for the ready file, up to `timeout_s`; CTRL-C interrupts.
    Start wait_ready(SignalFd& sig, double timeout_s);
    // The ready file's key=value lines (url, ftp_port, ...).
    const std::map<std::string, std::string>& info() const { return info_; }
    // What the station said before it was ready (or failed).
    const std::string& early_output() const { return said_; }
    // After Start::Refused: whether `option` was among those refused.
    bool refused(const std::string& option) const;

    // Its messages: readable on output_fd(), copied to standard error;
    // false once the station closed its side.
    int output_fd() const { return out_.get(); }
    bool forward_output();

    bool poll() { return child_->poll(); }
    void stop(double grace_s) { child_->stop(grace_s); }

private:
    void collect_output();

    StationConfig config_;
    common::UniqueFd out_;
    std::unique_ptr<Child> child_;
    std::string said_;
    std::map<std::string, std::string> info_;
};

}  // namespace kelvex::sim
