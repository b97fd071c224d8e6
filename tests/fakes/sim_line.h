// The virtual satellite served on a thread of the test, on a pty whose other
// side is the transport's serial line (G.fd): the project's own device API
// and transport talk to the simulator exactly as a mission does.
#pragma once

#include <fcntl.h>

#include <memory>
#include <string>
#include <thread>

#include "kelvex/runner.h"
#include "faults/control_socket.h"
#include "cli/options.h"
#include "line/pty_line.h"
#include "model/satellite.h"
#include "line/server.h"

namespace kelvex::testing {

class SimLine {
public:
    explicit SimLine(const sim::Options& o = quiet()) : SimLine(o, "") {}
    // With its files in `dir` (a run folder's names): telemetry.csv, state,
    // events.csv and the control channel control.sock.
    SimLine(const sim::Options& o, const std::string& dir)
        : dir_(dir),
          line_(sim::open_pty_pair()),
          sat_(o, in_dir("telemetry.csv"), in_dir("state"), in_dir("events.csv")),
          server_(line_.serve.get(), sat_.physics, sat_.bus, sat_.faults, sat_.telemetry, 0),
          mission_(::open(line_.mission.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (!dir_.empty()) {
            control_ = std::make_unique<sim::ControlSocket>(in_dir("control.sock"), sat_.board);
            server_.watch(control_->fd(), [this] { control_->drain(); });
        }
        sim::make_raw(mission_.get());
        G.fd = mission_.get();
        thread_ = std::thread([this] { server_.run(); });
    }
    ~SimLine()
    {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        G.fd = -1;
    }
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Stops serving so that the test may look at the simulator's state.
    sim::Satellite& stopped()
    {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        return sat_;
    }

    // The mission's side of the line (G.fd while this line was made last).
    int mission_fd() const { return mission_.get(); }

    // One command on the control channel, and its answer.
    std::string command(const std::string& line) const { return sim::control_request(in_dir("control.sock"), line); }
    std::string in_dir(const std::string& name) const { return dir_.empty() ? "" : dir_ + "/" + name; }

    // No noise, no faults: answers a test can predict.
    static sim::Options quiet()
    {
        sim::Options o;
        o.noise = 0;
        o.telemetry_rate = 0;
        return o;
    }

private:
    std::string dir_;
    sim::PtyLine line_;
    sim::Satellite sat_;
    sim::Server server_;
    common::UniqueFd mission_;
    std::unique_ptr<sim::ControlSocket> control_;
    std::thread thread_;
};

}  // namespace kelvex::testing
