// `kelvex-sim run`: the one-command mission run on the virtual satellite.
#pragma once

#include "cli/options.h"

namespace kelvex::sim {

// Returns the mission's exit status (128 + signal when it was killed, 130
// after CTRL-C).
int run_mission(const Options& o);

}  // namespace kelvex::sim
