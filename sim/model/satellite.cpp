#include "model/satellite.h"

#include <stdexcept>

namespace kelvex::sim {

Satellite::Satellite(const Options& o, const std::string& csv, const std::string& state,
                     const std::string& events)
    : physics(o.physics),
      sensors(o.noise, o.seed),
      bus(physics, sensors),
      faults(o.faults, o.seed),
      battery(o.battery_key),
      telemetry(csv, o.telemetry_rate, state, battery, booking, o.ncells),
      board(*this, events)
{
    listen_for_switches();
    for (const std::string& text : o.fault) {
        FaultSwitch request;
        std::string error;
        if (!parse_fault_option(text, request, error)) {
            throw std::invalid_argument("--fault " + text + ": " + error);
        }
        board.switch_on(request, "command-line");
    }
}

// The switches the controller hears, for the inference of what the
// battery record books.
void Satellite::listen_for_switches()
{
    using devices::Op;
    for (const devices::Family& f : devices::kFamilyTable) {
        if (!Booking::followed(f.id) || f.op_count == 0) {
            continue;
        }
        const bool own_switch = f.has(Op::turn_on);
        bus.intercept(f.id, [this, own_switch](const Request& r, Outcome& out) {
            if (!own_switch && r.op() == Op::request_reset) {
                booking.heard(r.family(), r.unit, true, r.now);
            } else if (own_switch && out.answered && (r.op() == Op::turn_on || r.op() == Op::turn_off)) {
                booking.heard(r.family(), r.unit, r.op() == Op::turn_on, r.now);
            }
        });
    }
}

}  // namespace kelvex::sim
