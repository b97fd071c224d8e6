// Every fault the simulator can switch on and off during a run, one row
// each: the control channel's `list`, the checks of `--fault` and of the
// channel's commands, and sim/README.md's list all come from these rows.
#pragma once

#include <optional>
#include <string>

#include "devices/families.h"

namespace kelvex::sim {

struct Satellite;

enum class ValueUse : uint8_t { none, required, optional };

// What a fault breaks: a unit of a family, the lamp (the room), or the line
// between the controller and the mission.
enum class FaultScope : uint8_t { unit, lamp, line };

struct FaultKind {
    const char* name;
    FaultScope scope;
    // The family whose units the fault hits (its unit numbers come from the
    // family table); none: the fault has the single unit 0.
    std::optional<devices::FamilyId> family;
    ValueUse value;
    double lo, hi;        // accepted values
    double fallback;      // an optional value left out
    const char* meaning;  // what the value is, with its unit
    const char* help;
    // Switches the fault on (value set, or the fallback) or, with no value
    // and `on` false, off again.
    void (*apply)(Satellite& sat, int unit, bool on, double value);

    int units() const { return family ? static_cast<int>(devices::unit_count(*family)) : 1; }
};

// The rows, in the order `list` gives them.
const FaultKind* fault_kinds_begin();
const FaultKind* fault_kinds_end();
const FaultKind* find_fault(const std::string& name);

const char* value_use_name(ValueUse v);

// A fault as the command line or a command names it.
struct FaultSwitch {
    const FaultKind* kind = nullptr;
    int unit = 0;
    double value = 0;
    bool has_value = false;
};

// Checks unit and value (empty: not given) against the row; a value the row
// requires only when `need_value` (switching it off needs none). Returns
// false with a message in `error`.
bool check_fault(const FaultKind& kind, const std::string& unit, const std::string& value,
                 FaultSwitch& out, std::string& error, bool need_value = true);

// NAME[:UNIT][=VALUE], as --fault takes it.
bool parse_fault_option(const std::string& text, FaultSwitch& out, std::string& error);

// One line a fault, as the control channel's `list` gives them:
// name=NAME units=0-N value=none|required|optional help=TEXT
std::string faults_text();
// The table as `describe --json` gives it: a JSON array of {name, scope,
// family, units, value, low, high, default, meaning, help}.
std::string faults_description();
// The table as Markdown rows, for sim/README.md.
std::string faults_markdown();

}  // namespace kelvex::sim
