#include "satellite.h"

#include <stdexcept>

namespace kelvex::sim {

Satellite::Satellite(const Options& o, const std::string& csv, const std::string& state,
                     const std::string& events)
    : physics(o.physics),
      sensors(o.noise, o.seed),
      bus(physics, sensors),
      faults(o.faults, o.seed),
      telemetry(csv, o.telemetry_rate, state),
      battery(o.battery_key),
      board(*this, events)
{
    add_energy_columns(telemetry, battery, physics, bus, o.ncells);
    for (const std::string& text : o.fault) {
        FaultSpec spec;
        std::string error;
        if (!parse_fault_option(text, spec, error)) {
            throw std::invalid_argument("--fault " + text + ": " + error);
        }
        board.switch_on(spec, "command-line");
    }
}

}  // namespace kelvex::sim
