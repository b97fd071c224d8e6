// kelvex-sim's side of the lab tools (Python, lab/kelvex_lab/): a run is
// orchestrated by them, a replay is theirs. kelvex-sim hands over by exec,
// with the paths of the kit's programs as arguments.
#pragma once

#include <string>

#include "cli/options.h"

namespace kelvex::sim {

// Exit status of kelvex-lab (and of a run with --checks) for a bad sheet.
constexpr int kBadSheet = 2;

// kelvex-lab of the build tree or the installation, else on PATH; empty
// when there is none.
std::string find_lab();

// kelvex-sim run: becomes the run's orchestrator (`kelvex-lab fly`), which
// starts `kelvex-sim run-line` and the mission; returns only on a failure.
int fly(const Options& o);

// kelvex-sim replay: becomes kelvex-lab replay; returns only on a failure.
int replay_run(const Options& o);

}  // namespace kelvex::sim
