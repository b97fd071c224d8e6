// The bus controller: takes one decoded request and answers as the
// addressed unit would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "physics.h"
#include "sensors.h"
#include "units.h"

namespace kelvex::sim {

using Bytes = std::vector<uint8_t>;

// Message identifiers of the controller pass-through.
enum PassThroughId : uint16_t {
    kPassEcho = 1,     // answers the argument text
    kPassVersion = 2,  // answers the simulator's version text
    kPassUptime = 3,   // answers the milliseconds since start, as decimal text
};

inline constexpr const char* kSimVersion = "kelvex-sim 1.0";

struct Outcome {
    bool known = false;     // a message of the family table
    bool answered = false;  // `answer` holds the full answer message
    Bytes answer;
    FamilyId family = FamilyId::arm;
    devices::Op op = devices::Op::request_reset;
    int unit = 0;
    std::string note;  // why a message was ignored, or what it did
};

class Bus {
public:
    Bus(Physics& physics, Sensors& sensors) : physics_(physics), sensors_(sensors) {}

    // `now` is the simulated time in seconds.
    Outcome handle(const Bytes& request, double now);

    const Units& units() const { return units_; }
    uint64_t requests() const { return requests_; }

private:
    void reset(FamilyId f, int unit);
    void answer_values(Outcome& out, const Bytes& request, const Bytes& values);
    void serve(Outcome& out, const Bytes& request, double now);

    Physics& physics_;
    Sensors& sensors_;
    Units units_;
    uint64_t requests_ = 0;
};

// The greeting the mission runner sends before the mission starts.
bool is_greeting(const Bytes& message);

}  // namespace kelvex::sim
