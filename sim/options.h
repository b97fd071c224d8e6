// The command line of kelvex-sim.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "faults.h"
#include "physics.h"

namespace kelvex::sim {

enum class Command { Serve, Attach, Run, Help };

struct Options {
    Command command = Command::Help;
    int verbose = 0;
    uint32_t seed = 1;
    double noise = 1.0;
    PhysicsParams physics;
    FaultParams faults;
    std::string telemetry;  // CSV path; run defaults to telemetry.csv
    double telemetry_rate = 20.0;
    std::string state;     // state file (run makes its own)
    std::string link;      // serve: symlink to the mission's side
    std::string attach;    // attach: the pty slave to serve
    bool no_ground = false;
    std::string ground_dir = "ground";
    int ftp_port = 2121;   // run: the ground station's ports; 0 takes a free one
    int http_port = 8080;
    std::vector<std::string> program;  // run: the mission and its arguments
};

// Fills `o` from the command line. On a mistake returns false with a
// message in `error`.
bool parse_options(int argc, char** argv, Options& o, std::string& error);
void print_help(FILE* out);

}  // namespace kelvex::sim
