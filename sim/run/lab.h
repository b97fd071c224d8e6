// kelvex-sim's side of the lab tools. Lab sheets and scenarios are read,
// judged and scheduled by kelvex-lab (Python); the simulator starts it.
#pragma once

#include <memory>
#include <string>

#include "run/child.h"
#include "cli/options.h"

namespace kelvex::sim {

// Exit status of kelvex-lab (and of a run with --checks) for a bad sheet.
constexpr int kBadSheet = 2;

// kelvex-lab of the build tree or the installation, else on PATH; empty
// when there is none.
std::string find_lab();

// For run --scenario / --checks: every sheet is checked whole, and its [run]
// table goes ahead of the command line's options (so the command line wins)
// before `o` is parsed again. Returns 0, or kBadSheet with the reasons printed.
int apply_sheets(int argc, char** argv, Options& o);

// `kelvex-lab check RUN-DIR SHEET`: 0 when every check held, 3 when one
// failed, kBadSheet when the folder or sheet could not be judged.
int judge_run(const std::string& run_dir, const std::string& sheet, bool plot);

// The scenario's scheduler for the length of the run (stop it with the run).
std::unique_ptr<Child> start_scenario(const std::string& run_dir, const std::string& sheet);

// kelvex-sim replay: becomes kelvex-lab replay; returns only on a failure.
int replay_run(const Options& o);

}  // namespace kelvex::sim
