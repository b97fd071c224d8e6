// How a run takes the virtual clock: the choice of clock and speed, the
// interposer library, and what a process needs in its environment to join.
#pragma once

#include <string>

#include "child.h"
#include "virtual_clock.h"

namespace kelvex::sim {

struct ClockChoice {
    bool is_virtual = false;
    double speed = 1;  // virtual seconds per real second; 0: as fast as possible
};

// --clock and --speed with their defaults: a judged run (a lab sheet) flies
// in virtual time as fast as possible, any other in real time. False with a
// message on a bad value.
bool choose_clock(const std::string& clock, const std::string& speed, bool judged,
                  ClockChoice& out, std::string& error);

// libkelvex_clock.so next to the simulator in the build tree or where the
// package installs it; empty when there is none.
std::string find_interposer();

// Why `argv` cannot fly in virtual time (a statically linked program, which
// the interposer cannot enter); empty when it can.
std::string cannot_follow(const std::string& program);

// The variables that make a process a party of `clock` (or, as an
// observer, one that reads it and waits in real time: the station).
Environment clock_environment(const clock::VirtualClock& clock, const std::string& interposer,
                              bool observer);

}  // namespace kelvex::sim
