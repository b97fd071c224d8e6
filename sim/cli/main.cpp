// kelvex-sim: the virtual satellite.
#include <cstdio>
#include <exception>
#include <string>

#include "cli/describe.h"
#include "cli/family_doc.h"
#include "cli/options.h"
#include "cli/serve.h"
#include "faults/control_socket.h"
#include "faults/fault_table.h"
#include "model/telemetry.h"
#include "run/lab.h"
#include "run/temp_tree.h"

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
        case Command::Columns: std::printf("%s\n", telemetry_header().c_str()); return 0;
        case Command::ListOptions: print_run_options(stdout); return 0;
        case Command::GpioTree: make_gpio_tree(o.gpio_dir); return 0;
        case Command::Faults:
            std::fputs(o.markdown ? faults_markdown().c_str() : faults_text().c_str(), stdout);
            return 0;
        case Command::Families: std::fputs(families_markdown().c_str(), stdout); return 0;
        case Command::Describe: std::fputs(describe_json().c_str(), stdout); return 0;
        case Command::Control: return send_control(o.request);
        case Command::Serve:
        case Command::Attach: return serve_line(o);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvex-sim: %s\n", e.what());
    }
    return 1;
}
