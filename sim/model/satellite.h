// Everything one simulated satellite is made of, built from the options.
#pragma once

#include <string>

#include "model/battery_watch.h"
#include "model/booking.h"
#include "model/bus.h"
#include "faults/fault_board.h"
#include "line/line_faults.h"
#include "cli/options.h"
#include "model/physics.h"
#include "model/sensors.h"
#include "model/telemetry.h"

namespace kelvex::sim {

struct Satellite {
    // `events`: the events file (empty: none). The --fault options are on
    // from the start.
    Satellite(const Options& o, const std::string& csv, const std::string& state,
              const std::string& events = "");
    Satellite(const Satellite&) = delete;
    Satellite& operator=(const Satellite&) = delete;

    Physics physics;
    Sensors sensors;
    Bus bus;
    Faults faults;
    BatteryWatch battery;
    Booking booking;
    Telemetry telemetry;
    FaultBoard board;

private:
    void listen_for_switches();
};

}  // namespace kelvex::sim
