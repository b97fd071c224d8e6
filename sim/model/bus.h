// The bus controller: takes one decoded request and answers as the
// addressed unit would. Each kind of operation (devices/operations.h) has a
// handler; what a family's units read, drive and hold is the family's row
// of the unit models (unit_models.h).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "devices/operations.h"
#include "model/physics.h"
#include "model/sensors.h"
#include "model/unit_models.h"
#include "model/units.h"

namespace kelvex::sim {

using Bytes = std::vector<uint8_t>;

// Words as an answer carries them, little-endian.
Bytes words(std::initializer_list<uint16_t> ws);

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

// One message of the family table, addressed to an existing unit.
struct Request {
    const Bytes& bytes;
    const devices::Operation& operation;
    int unit;
    double now;  // simulated seconds
    bool on;     // the unit is powered

    FamilyId family() const { return operation.family; }
    devices::Op op() const { return operation.op; }
    // Value bytes behind the header.
    size_t payload() const;
    uint16_t word(size_t i) const;  // little-endian word i of the payload
};

class Bus {
public:
    // Sees, and may change, every outcome of one family's units before it
    // goes out (answer, silence, note).
    using Intercept = std::function<void(const Request&, Outcome&)>;

    Bus(Physics& physics, Sensors& sensors);

    Outcome handle(const Bytes& request, double now);
    void intercept(FamilyId f, Intercept hook) { intercepts_[static_cast<size_t>(f)] = std::move(hook); }

    const Units& units() const { return units_; }
    Units& units() { return units_; }
    // What the units read and drive, for the faults that break them.
    ModelParts& parts() { return parts_; }
    // The values unit `unit` of `f` would answer to `op` now, powered: what a
    // stuck sensor goes on answering. Empty for an operation without values.
    Bytes sample(FamilyId f, devices::Op op, int unit, double now);
    uint64_t requests() const { return requests_; }

private:
    using Handler = void (Bus::*)(const Request&, Outcome&);

    const devices::Operation* decode(const Bytes& request, Outcome& out, int& unit) const;
    void answer(Outcome& out, const Request& r, const Bytes& values) const;
    Bytes values_of(const Request& r);

    void register_handlers();
    void register_pass_through();
    // What the unit holds after a command (an actuator's answer).
    int16_t actuate(const Request& r, int16_t value, bool on);

    void on_reset(const Request& r, Outcome& out);
    void on_setting(const Request& r, Outcome& out);
    void on_read(const Request& r, Outcome& out);
    void on_read_axes(const Request& r, Outcome& out);
    void on_read_buffer(const Request& r, Outcome& out);
    void on_set_and_confirm(const Request& r, Outcome& out);
    void on_confirmed_switch(const Request& r, Outcome& out);
    void on_send(const Request& r, Outcome& out);
    void on_message(const Request& r, Outcome& out);

    Physics& physics_;
    Sensors& sensors_;
    Units units_;
    ModelParts parts_{physics_, sensors_, units_};
    uint64_t requests_ = 0;
    std::array<Handler, static_cast<size_t>(devices::OpKind::board) + 1> handlers_{};
    std::map<uint16_t, std::function<Bytes(const std::string& args, double now)>> pass_through_;
    std::array<Intercept, kFamilyCount> intercepts_;
};

// The greeting the mission runner sends before the mission starts.
bool is_greeting(const Bytes& message);

}  // namespace kelvex::sim
