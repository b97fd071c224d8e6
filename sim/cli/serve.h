// `kelvex-sim serve` and `kelvex-sim attach`: the controller on a line until
// CTRL-C (or, attached, until the mission closes its side).
#pragma once

#include "cli/options.h"

namespace kelvex::sim {

int serve_line(const Options& o);

}  // namespace kelvex::sim
