// kelvex-sim: the virtual satellite.
#include <cstdio>
#include <exception>
#include <string>

#include "faults/control_socket.h"
#include "cli/family_doc.h"
#include "faults/fault_table.h"
#include "run/lab.h"
#include "cli/options.h"
#include "model/satellite.h"
#include "cli/serve.h"
#include "run/temp_tree.h"

namespace {

// A run's telemetry header: the fixed columns and those the satellite adds
// (energy, bookings), as a default satellite writes them.
void print_columns()
{
    const kelvex::sim::Options defaults;
    kelvex::sim::Satellite sat(defaults, "", "", "");
    std::printf("%s\n", sat.telemetry.header().c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace kelvex::sim;
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("kelvex-sim %s\n", KELVEX_VERSION);
        return 0;
    }
    Options o;
    std::string error;
    if (!parse_options(argc, argv, o, error)) {
        std::fprintf(stderr, "kelvex-sim: %s (see kelvex-sim --help)\n", error.c_str());
        return 2;
    }
    try {
        switch (o.command) {
        case Command::Help: print_help(stdout); return 0;
        case Command::Run: return fly(o);
        case Command::RunLine: return run_line(o);
        case Command::Replay: return replay_run(o);
        case Command::Columns: print_columns(); return 0;
        case Command::ListOptions: print_run_options(stdout); return 0;
        case Command::GpioTree: make_gpio_tree(o.gpio_dir); return 0;
        case Command::Faults:
            std::fputs(o.markdown ? faults_markdown().c_str() : faults_text().c_str(), stdout);
            return 0;
        case Command::Families: std::fputs(families_markdown().c_str(), stdout); return 0;
        case Command::Control: return send_control(o.request);
        case Command::Serve:
        case Command::Attach: return serve_line(o);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvex-sim: %s\n", e.what());
    }
    return 1;
}
