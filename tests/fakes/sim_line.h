// The virtual satellite served on a thread of the test, on a pty whose other
// side is the transport's serial line (G.fd): the project's own device API
// and transport talk to the simulator exactly as a mission does.
#pragma once

#include <fcntl.h>

#include <string>
#include <thread>

#include "kelvex/runner.h"
#include "options.h"
#include "pty_line.h"
#include "satellite.h"
#include "server.h"

namespace kelvex::testing {

class SimLine {
public:
    explicit SimLine(const sim::Options& o = quiet())
        : line_(sim::open_pty_pair()),
          sat_(o, "", ""),
          server_(line_.serve.get(), sat_.physics, sat_.bus, sat_.faults, sat_.telemetry, 0),
          mission_(::open(line_.mission.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
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

    // No noise, no faults: answers a test can predict.
    static sim::Options quiet()
    {
        sim::Options o;
        o.noise = 0;
        o.telemetry_rate = 0;
        return o;
    }

private:
    sim::PtyLine line_;
    sim::Satellite sat_;
    sim::Server server_;
    common::UniqueFd mission_;
    std::thread thread_;
};

}  // namespace kelvex::testing
