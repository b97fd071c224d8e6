// Which clock a run flies by: --clock and --speed with their defaults.
#pragma once

#include <string>

namespace kelvex::sim {

struct ClockChoice {
    bool is_virtual = false;
    double speed = 1;  // virtual seconds per real second; 0: as fast as possible
};

// A judged run (a lab sheet: --checks or --scenario) flies in virtual time
// as fast as possible, any other in real time: a run watched live moves with
// the page, the panel and anything outside the run. False with a message on
// a bad value.
bool choose_clock(const std::string& clock, const std::string& speed, bool judged,
                  ClockChoice& out, std::string& error);

}  // namespace kelvex::sim
