// Everything one simulated satellite is made of, built from the options.
#pragma once

#include <string>

#include "bus.h"
#include "faults.h"
#include "options.h"
#include "physics.h"
#include "sensors.h"
#include "telemetry.h"

namespace kelvex::sim {

struct Satellite {
    Satellite(const Options& o, const std::string& csv, const std::string& state)
        : physics(o.physics),
          sensors(o.noise, o.seed),
          bus(physics, sensors),
          faults(o.faults, o.seed),
          telemetry(csv, o.telemetry_rate, state)
    {
    }
    Satellite(const Satellite&) = delete;
    Satellite& operator=(const Satellite&) = delete;

    Physics physics;
    Sensors sensors;
    Bus bus;
    Faults faults;
    Telemetry telemetry;
};

}  // namespace kelvex::sim
