// The command line of kelvex-sim.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "line/line_faults.h"
#include "model/physics.h"

namespace kelvex::sim {

enum class Command {
    Serve, Attach, Run, RunLine, Replay, GpioTree, Columns, ListOptions, Faults, Families, Describe,
    Control, Help
};

struct Options {
    Command command = Command::Help;
    int verbose = 0;
    uint32_t seed = 1;
    double noise = 1.0;
    PhysicsParams physics;
    FaultParams faults;
    std::string telemetry;  // serve, attach: CSV path (run writes its own)
    double telemetry_rate = 20.0;
    std::string state;     // state file (run makes its own)
    std::vector<std::string> fault;  // NAME[:UNIT][=VALUE], on from the start
    int ncells = 8;        // the mission's battery cells, for the charging law
    std::string battery_key;  // key file of the mission's battery record (run: its own)
    std::string control;   // serve, attach: the control channel's socket
    std::string events;    // serve, attach: the events file
    std::string link;      // serve: symlink to the mission's side
    std::string line_log;  // serve, attach: every frame of the line (run: RUN/line.log)
    std::string attach;    // attach: the pty slave to serve
    std::string gpio_dir;  // gpio-tree: where to make the tree
    bool markdown = false;  // faults, families: as a Markdown table
    bool json = false;      // describe: as JSON (its only form)
    std::vector<std::string> request;  // control: the socket (or run folder), then the command
    // run
    bool no_ground = false;
    int ftp_port = 0;      // the ground station's ports; 0 takes a free one
    int http_port = 0;
    std::string run_dir;   // empty: kelvex-run/<stamp>-<pid>
    std::string station;   // URL of a shared station to report to
    bool keep_station = false;
    std::string name;      // satellite name; empty: the program's base name
    double time_limit = 0; // seconds; 0: none
    // The run's clock: "virtual", "real", or empty for the default (virtual
    // with a lab sheet, real otherwise); --speed: a number or "max".
    std::string clock;
    std::string speed;
    bool no_plot = false;
    // The mission's sealed room (lab/kelvex_lab/sandbox.py) and its limits.
    bool no_seal = false;
    double process_limit = 64;
    double memory_limit = 512;   // MB
    double cpu_limit = 600;      // s
    double file_limit = 64;      // MB
    double disk_limit = 64;      // MB
    double output_limit = 64;    // MB
    std::string checks;    // run, replay: the lab sheet to judge by
    std::string scenario;  // run: a lab sheet with events
    std::string replay_dir;
    std::string replay_out;  // replay: where its reports go (default RUN-DIR/replay-N)
    std::vector<std::string> program;  // run: the mission and its arguments
    // The options as given, each as "--NAME=VALUE" (or "--NAME" for a flag)
    // under its full name: what run hands its orchestrator.
    std::vector<std::string> given;
};

// Fills `o` from the command line. On a mistake returns false with a
// message in `error`.
bool parse_options(int argc, char** argv, Options& o, std::string& error);
void print_help(FILE* out);
// run's options as "NAME KIND" lines, KIND number, text or flag.
void print_run_options(FILE* out);

// Every option, as `describe --json` gives them: a JSON array of
// {name, metavar, kind (number, text, flag or list), default, commands,
// section, help}.
std::string options_description();

// Every option the command takes, by its long name, with the value it has
// in `o`: one JSON object, for the record of a run.
std::string options_json(const Options& o);

}  // namespace kelvex::sim
