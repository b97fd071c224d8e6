// `kelvex-sim serve` and `kelvex-sim attach`: the controller on a line until
// CTRL-C (or, attached, until the mission closes its side).
#pragma once

#include "cli/options.h"

namespace kelvex::sim {

int serve_line(const Options& o);

// `kelvex-sim run-line`: the simulator of one `kelvex-sim run`, started by
// its orchestrator (lab/kelvex_lab/flight/) with the run's options and
// the files it keeps. Talks on standard input and output, a line each:
//   out  "options {JSON}"      the run's options, every one by its long name
//   in   "go"                  the run folder is made: start (EOF: end at once)
//   out  "line PATH"           the pseudo-terminal the mission opens
//   out  "t0 UNIX"             the wall-clock time of telemetry t = 0
//   ...  serves until SIGTERM, SIGINT or the end of standard input
//   out  "end T YAW ANGLE"     simulated seconds, yaw and angle to the lamp
// A bad option ends it with 2 before anything is made.
int run_line(const Options& o);

}  // namespace kelvex::sim
