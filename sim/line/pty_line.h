// The simulator's end of the line to the mission: a pseudo-terminal.
#pragma once

#include <string>

#include "common/unique_fd.h"

namespace kelvex::sim {

struct PtyLine {
    common::UniqueFd serve;             // the side the simulator reads requests from
    common::UniqueFd keep;              // held open so the served side never sees a hang-up
    std::string mission;  // path the mission opens (empty for attach)
};

// Creates a pty pair in raw mode. The simulator serves the master; the
// mission opens the slave at `mission`. Throws std::system_error.
PtyLine open_pty_pair();

// Serves the slave of a pty whose master a mission opened through /dev/ptmx.
// The slave is switched to raw mode: the mission's pseudo-terminal settings
// would otherwise rewrite line feeds inside the binary requests.
PtyLine attach_pty_slave(const std::string& path);

// Puts a terminal descriptor into raw, 8-bit mode at once.
void make_raw(int fd);

}  // namespace kelvex::sim
