// What the simulator is made of, as one JSON object for the tools that
// build on it (the build generates the lab's Python tables from it).
#pragma once

#include <string>

namespace kelvex::sim {

// {"options": [...], "faults": [...], "telemetry": [...], "families": [...],
//  "operations": [...]}, each a list of the rows of its table.
std::string describe_json();

}  // namespace kelvex::sim
