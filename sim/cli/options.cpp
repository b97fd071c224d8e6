#include "cli/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <variant>

#include "faults/fault_table.h"
#include "json.h"

namespace kelvex::sim {
namespace {

// Which commands take an option.
enum : unsigned {
    kServe = 1, kAttach = 2, kRun = 4, kReplay = 8, kLine = kServe | kAttach, kAll = 7
};

using Field = std::variant<double*, int*, uint32_t*, std::string*, bool*, std::vector<std::string>*>;

// One option: its long name, its argument (none for a flag), the range of a
// number, the commands that take it, where it goes and its help line. A row
// without a name starts a section of the help text.
struct Row {
    const char* name;
    const char* metavar;
    double lo, hi;
    unsigned commands;
    Field (*field)(Options&);
    const char* help;
};

constexpr double kBig = 1e12;

#define KX_FIELD(expr) [](Options& o) -> Field { return &o.expr; }
#define KX_SECTION(title) {nullptr, nullptr, 0, 0, 0, nullptr, title}

const Row kRows[] = {
    KX_SECTION("General"),
    {"seed", "N", 0, 4294967295.0, kAll, KX_FIELD(seed), "seed of the noise and the faults (default 1)"},
    {"noise", "SCALE", 0, 1000, kAll, KX_FIELD(noise), "sensor noise, times the nominal (default 1, 0 = none)"},
    {"telemetry", "FILE", 0, 0, kLine, KX_FIELD(telemetry), "CSV of the true state (run writes its own)"},
    {"telemetry-rate", "HZ", 0, 1000, kAll, KX_FIELD(telemetry_rate), "CSV rows per simulated second (default 20)"},
    {"state", "FILE", 0, 0, kAll, KX_FIELD(state), "state file for live readers (run makes its own)"},
    {"battery-key", "FILE", 0, 0, kLine, KX_FIELD(battery_key), "follow the battery record keyed by FILE (run: its own)"},
    {"ncells", "N", 0, 8, kAll, KX_FIELD(ncells), "the mission's battery cells, for the charging column (default 8)"},
    {"control", "PATH", 0, 0, kLine, KX_FIELD(control), "serve the control channel on this Unix socket (run: RUN/control.sock)"},
    {"events", "FILE", 0, 0, kLine, KX_FIELD(events), "write the switched faults to FILE (run: RUN/events.csv)"},
    {"line-log", "FILE", 0, 0, kLine, KX_FIELD(line_log), "write every frame of the line to FILE (run: RUN/line.log)"},
    KX_SECTION("Unit, lamp and line faults (kelvex-sim faults lists them)"),
    {"fault", "NAME[:UNIT][=VALUE]", 0, 0, kAll, KX_FIELD(fault), "a fault on from the start; repeatable"},
    KX_SECTION("Physics (see sim/README.md)"),
    {"lamp-azimuth", "DEG", -kBig, kBig, kAll, KX_FIELD(physics.lamp_azimuth_deg), "lamp direction (default 120)"},
    {"lamp-intensity", "X", 0, 10, kAll, KX_FIELD(physics.lamp_intensity), "lamp brightness, 1 = full scale (default 1)"},
    {"yaw", "DEG", -kBig, kBig, kAll, KX_FIELD(physics.initial_yaw_deg), "initial yaw (default 0)"},
    {"rate", "DPS", -3600, 3600, kAll, KX_FIELD(physics.initial_rate_dps), "initial yaw rate (default 0)"},
    {"body-inertia", "KGM2", 1e-9, kBig, kAll, KX_FIELD(physics.body_inertia), "default 0.02"},
    {"wheel-inertia", "KGM2", 0, kBig, kAll, KX_FIELD(physics.wheel_inertia), "reaction wheel (motor 0), default 2e-5"},
    {"motor-tau", "S", 0, 1000, kAll, KX_FIELD(physics.motor_tau), "motor and fan time constant, default 0.3"},
    {"max-rpm", "RPM", 0, 32767, kAll, KX_FIELD(physics.motor_max_rpm), "motor and fan speed limit, default 8000"},
    {"friction", "NMS", 0, kBig, kAll, KX_FIELD(physics.bearing_friction), "viscous drag of the bearing, default 0"},
    {"field-horizontal", "UT", -1e4, 1e4, kAll, KX_FIELD(physics.field_horizontal_ut), "default 20"},
    {"field-vertical", "UT", -1e4, 1e4, kAll, KX_FIELD(physics.field_vertical_ut), "downward, default 44"},
    KX_SECTION("Line faults (probabilities per answer, 0 to 1)"),
    {"drop", "P", 0, 1, kAll, KX_FIELD(faults.drop), "the answer is never sent"},
    {"corrupt", "P", 0, 1, kAll, KX_FIELD(faults.corrupt), "one byte of the answer frame is altered"},
    {"late", "P", 0, 1, kAll, KX_FIELD(faults.late), "the answer comes after --late-ms (default 200)"},
    {"late-ms", "MS", 0, 60000, kAll, KX_FIELD(faults.late_ms), "how late a late answer comes"},
    {"glue", "P", 0, 1, kAll, KX_FIELD(faults.glue), "the previous frame is sent again, glued to this one"},
    {"delay", "MS", 0, 60000, kAll, KX_FIELD(faults.delay_ms), "every answer waits this long (default 0)"},
    {"baud", "N", 0, 1e8, kAll, KX_FIELD(faults.baud), "emulate the line's speed, 10 bits per byte"},
    KX_SECTION("serve"),
    {"link", "PATH", 0, 0, kServe, KX_FIELD(link), "also make PATH a symbolic link to the line"},
    KX_SECTION("run"),
    {"run-dir", "DIR", 0, 0, kRun, KX_FIELD(run_dir), "the run's folder (default kelvex-run/STAMP-PID)"},
    {"name", "NAME", 0, 0, kRun, KX_FIELD(name), "the satellite's name (default the program's)"},
    {"time-limit", "S", 0, 1e7, kRun, KX_FIELD(time_limit), "stop the mission after S seconds (0 = none)"},
    {"no-ground", nullptr, 0, 0, kRun, KX_FIELD(no_ground), "no kelvex-ground; print log datagrams"},
    {"ftp-port", "N", 0, 65535, kRun, KX_FIELD(ftp_port), "the station's FTP port (default 0 = any free)"},
    {"http-port", "N", 0, 65535, kRun, KX_FIELD(http_port), "its page's port (default 0 = any free)"},
    {"station", "URL", 0, 0, kRun, KX_FIELD(station), "also report to the shared station at URL"},
    {"keep-station", nullptr, 0, 0, kRun, KX_FIELD(keep_station), "keep the page up after the mission, until CTRL-C"},
    {"clock", "virtual|real", 0, 0, kRun, KX_FIELD(clock), "the flight's clock (default: virtual with a lab sheet, real for a run watched live or a scenario with events)"},
    {"speed", "N|max", 0, 0, kRun, KX_FIELD(speed), "virtual seconds per real second (default: max with a sheet, else 1)"},
    {"no-plot", nullptr, 0, 0, kRun | kReplay, KX_FIELD(no_plot), "no telemetry.png at the end"},
    {"out", "DIR", 0, 0, kReplay, KX_FIELD(replay_out), "replay: a folder for its reports (default RUN-DIR/replay-N)"},
    {"no-seal", nullptr, 0, 0, kRun, KX_FIELD(no_seal), "fly the mission unsealed; sealed by default where bubblewrap and user namespaces allow, so that it reaches nothing but its line, its station and its own files (sim/README.md)"},
    {"process-limit", "N", 1, 1e6, kRun, KX_FIELD(process_limit), "a sealed mission's processes and threads (default 64)"},
    {"memory-limit", "MB", 1, 1e7, kRun, KX_FIELD(memory_limit), "memory of each of its processes (default 512)"},
    {"cpu-limit", "S", 1, 1e7, kRun, KX_FIELD(cpu_limit), "processor time of each of its processes (default 600)"},
    {"file-limit", "MB", 1, 1e7, kRun, KX_FIELD(file_limit), "size of any file it writes (default 64)"},
    {"disk-limit", "MB", 1, 1e7, kRun, KX_FIELD(disk_limit), "its working folder and its /tmp, each (default 64)"},
    {"output-limit", "MB", 1e-3, 1e7, kRun, KX_FIELD(output_limit), "what it prints; the run ends it there (default 64)"},
    {"checks", "FILE", 0, 0, kRun | kReplay, KX_FIELD(checks), "judge the run by this lab sheet (see docs/checks.md)"},
    {"scenario", "FILE", 0, 0, kRun, KX_FIELD(scenario), "a lab sheet with [[event]] entries: its options, events and checks"},
};

#undef KX_FIELD
#undef KX_SECTION

constexpr int kFirstLong = 256;

bool number(const char* text, double lo, double hi, double& out)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= lo && v <= hi)) {
        return false;
    }
    out = v;
    return true;
}

unsigned command_bit(Command c)
{
    switch (c) {
    case Command::Serve: return kServe;
    case Command::Attach: return kAttach;
    case Command::Run: return kRun;
    // The simulator of a run: run's options, and the files serve is told
    // where to keep.
    case Command::RunLine: return kRun | kServe;
    case Command::Replay: return kReplay;
    default: return 0;
    }
}

bool set_field(const Row& row, Options& o, const char* arg, std::string& error)
{
    const Field f = row.field(o);
    if (auto* flag = std::get_if<bool*>(&f)) {
        **flag = true;
        return true;
    }
    if (auto* text = std::get_if<std::string*>(&f)) {
        **text = arg;
        return true;
    }
    if (auto* list = std::get_if<std::vector<std::string>*>(&f)) {
        FaultSwitch request;
        if (!parse_fault_option(arg, request, error)) {
            error = std::string("--") + row.name + " " + arg + ": " + error;
            return false;
        }
        (*list)->push_back(arg);
        return true;
    }
    double v = 0;
    if (!number(arg, row.lo, row.hi, v)) {
        error = std::string("bad value '") + arg + "' for --" + row.name;
        return false;
    }
    if (auto* d = std::get_if<double*>(&f)) {
        **d = v;
    } else if (auto* i = std::get_if<int*>(&f)) {
        **i = static_cast<int>(v);
    } else {
        *std::get<uint32_t*>(f) = static_cast<uint32_t>(v);
    }
    return true;
}

std::string field_json(const Field& f)
{
    if (auto* flag = std::get_if<bool*>(&f)) {
        return **flag ? "true" : "false";
    }
    if (auto* text = std::get_if<std::string*>(&f)) {
        return json_string(**text);
    }
    if (auto* list = std::get_if<std::vector<std::string>*>(&f)) {
        return json_array(**list);
    }
    if (auto* d = std::get_if<double*>(&f)) {
        return json_number(**d);
    }
    if (auto* i = std::get_if<int*>(&f)) {
        return std::to_string(**i);
    }
    return std::to_string(*std::get<uint32_t*>(f));
}

const char* field_kind(const Field& f)
{
    if (std::holds_alternative<bool*>(f)) {
        return "flag";
    }
    if (std::holds_alternative<std::string*>(f)) {
        return "text";
    }
    if (std::holds_alternative<std::vector<std::string>*>(f)) {
        return "list";
    }
    return "number";
}

std::vector<option> long_options()
{
    std::vector<option> opts = {{"help", no_argument, nullptr, 'h'},
                                {"verbose", no_argument, nullptr, 'v'}};
    for (size_t i = 0; i < std::size(kRows); ++i) {
        if (kRows[i].name) {
            opts.push_back({kRows[i].name, kRows[i].metavar ? required_argument : no_argument,
                            nullptr, kFirstLong + static_cast<int>(i)});
        }
    }
    opts.push_back({nullptr, 0, nullptr, 0});
    return opts;
}

bool parse_command(const std::string& cmd, Options& o, std::string& error)
{
    static const std::pair<const char*, Command> kCommands[] = {
        {"serve", Command::Serve}, {"attach", Command::Attach}, {"run", Command::Run},
        {"run-line", Command::RunLine},
        {"gpio-tree", Command::GpioTree}, {"replay", Command::Replay},
        {"columns", Command::Columns}, {"options", Command::ListOptions},
        {"faults", Command::Faults}, {"families", Command::Families},
        {"describe", Command::Describe},
        {"control", Command::Control},
        {"help", Command::Help}, {"-h", Command::Help},
        {"--help", Command::Help},
    };
    for (const auto& [name, c] : kCommands) {
        if (cmd == name) {
            o.command = c;
            return true;
        }
    }
    error = "unknown command '" + cmd + "'";
    return false;
}

// What follows the options: the command's operands.
bool take_operands(std::vector<std::string> rest, Options& o, std::string& error)
{
    switch (o.command) {
    case Command::Serve:
    case Command::RunLine:
        error = rest.empty() ? "" : "serve takes no operand";
        break;
    case Command::Attach:
        error = rest.size() == 1 ? "" : "attach takes the pseudo-terminal's path";
        o.attach = rest.empty() ? "" : rest[0];
        break;
    case Command::GpioTree:
        error = rest.size() == 1 ? "" : "gpio-tree takes the directory to make the tree in";
        o.gpio_dir = rest.empty() ? "" : rest[0];
        break;
    case Command::Run:
        error = rest.empty() ? "run needs a program: kelvex-sim run [options] -- PROGRAM [ARGS...]"
                             : "";
        o.program = std::move(rest);
        break;
    case Command::Replay:
        error = rest.size() == 1 ? "" : "replay takes the run folder";
        o.replay_dir = rest.empty() ? "" : rest[0];
        break;
    case Command::Columns:
    case Command::ListOptions:
        error = rest.empty() ? "" : "it takes no operand";
        break;
    case Command::Faults:
    case Command::Families:
    case Command::Describe:
    case Command::Control:
    case Command::Help: break;
    }
    return error.empty();
}

}  // namespace

void print_help(FILE* out)
{
    std::fputs(
        "Usage: kelvex-sim serve [options]\n"
        "   or: kelvex-sim attach [options] PTY-SLAVE\n"
        "   or: kelvex-sim run [options] -- PROGRAM [ARGS...]\n"
        "   or: kelvex-sim replay RUN-DIR [--checks FILE] [--out DIR] [--no-plot]\n"
        "   or: kelvex-sim gpio-tree DIR\n"
        "   or: kelvex-sim faults [--markdown]\n"
        "   or: kelvex-sim families [--markdown]\n"
        "   or: kelvex-sim control RUN-DIR|SOCKET COMMAND...\n"
        "   or: kelvex-sim columns | options\n"
        "   or: kelvex-sim describe --json\n"
        "\n"
        "A virtual satellite on an air-bearing table lit by a lamp, behind a\n"
        "bus controller that answers missions on a pseudo-terminal.\n"
        "\n"
        "  serve      create a pseudo-terminal pair, print the path a mission opens\n"
        "             and answer on it until CTRL-C\n"
        "  attach     serve the slave of a pseudo-terminal a mission opened through\n"
        "             /dev/ptmx (it prints \"pseudo-terminal is PATH\")\n"
        "  run        one command: a run folder, a loopback address 127.0.0.N of\n"
        "             the run's own, line, GPIO tree, ground station (or a log\n"
        "             printer on 127.0.0.N:4567), then the mission; exits with its\n"
        "             status. A program gets -z 127.0.0.N [-f FTP-URL] and the\n"
        "             line's path as its last arguments; a Python script finds the\n"
        "             path in $KELVEX_TTY and the address in $KELVEX_GROUND\n"
        "  run-line   the simulator of one run, which kelvex-sim run starts: run's\n"
        "             options, a line log, and a start and end on standard output\n"
        "  replay     judge a finished run folder again and redraw its plot,\n"
        "             without running anything (by its own checks.toml, or FILE),\n"
        "             into RUN-DIR/replay-N or --out DIR, never over a report\n"
        "  columns    print the telemetry's CSV header\n"
        "  options    print run's options, one \"NAME KIND\" a line (number,\n"
        "             text or flag), for the lab tools\n"
        "  describe   everything above as one JSON object: options, faults,\n"
        "             telemetry columns, unit families and device operations\n"
        "  gpio-tree  make the desk GPIO tree (export, unexport, gpio17/) in DIR,\n"
        "             for KELVEX_GPIO_ROOT\n"
        "  faults     the faults --fault and the control channel switch\n"
        "  families   each unit family's current draw, as the battery record books it\n"
        "  control    send one command (fault, clear, list, active) to a running\n"
        "             simulator's control channel and print its answer\n"
        "\n"
        "  -h, --help               this text\n"
        "  -v, --verbose            report ignored messages; twice: every message\n",
        out);
    for (const Row& row : kRows) {
        if (!row.name) {
            std::fprintf(out, "\n%s:\n", row.help);
            continue;
        }
        const std::string head = std::string("--") + row.name +
                                 (row.metavar ? std::string(" ") + row.metavar : "");
        std::fprintf(out, "  %-24s %s\n", head.c_str(), row.help);
    }
}

bool parse_options(int argc, char** argv, Options& o, std::string& error)
{
    if (argc < 2) {
        error = "a command is needed: serve, attach, run or gpio-tree";
        return false;
    }
    if (!parse_command(argv[1], o, error) || o.command == Command::Help) {
        return error.empty();
    }
    if (o.command == Command::Control) {
        o.request.assign(argv + 2, argv + argc);
        error = o.request.size() >= 2 ? "" : "control takes a run folder (or socket) and a command";
        return error.empty();
    }
    if (o.command == Command::Faults || o.command == Command::Families) {
        o.markdown = argc == 3 && std::strcmp(argv[2], "--markdown") == 0;
        if (argc > 3 || (argc == 3 && !o.markdown)) {
            error = std::string(argv[1]) + " takes only --markdown";
        }
        return error.empty();
    }
    if (o.command == Command::Describe) {
        o.json = argc == 3 && std::strcmp(argv[2], "--json") == 0;
        error = o.json ? "" : "describe takes --json";
        return error.empty();
    }
    const std::vector<option> opts = long_options();
    const int sub_argc = argc - 1;
    char** sub_argv = argv + 1;
    optind = 1;
    opterr = 0;
    // A program's own options follow run's: getopt stops at its name. The
    // other commands take their options before or after their operands.
    const char* shorts = o.command == Command::Run ? "+hv" : "hv";
    for (int c; (c = getopt_long(sub_argc, sub_argv, shorts, opts.data(), nullptr)) != -1;) {
        if (c == 'h') {
            o.command = Command::Help;
            return true;
        }
        if (c == 'v') {
            ++o.verbose;
            o.given.push_back("--verbose");
            continue;
        }
        const size_t i = static_cast<size_t>(c - kFirstLong);
        if (c < kFirstLong || i >= std::size(kRows)) {
            error = std::string("unknown option '") + sub_argv[optind - 1] + "'";
            return false;
        }
        if (!(kRows[i].commands & command_bit(o.command))) {
            error = std::string("--") + kRows[i].name + " is not an option of " + argv[1];
            return false;
        }
        if (!set_field(kRows[i], o, optarg, error)) {
            return false;
        }
        o.given.push_back(std::string("--") + kRows[i].name +
                          (kRows[i].metavar ? std::string("=") + optarg : std::string()));
    }
    return take_operands({sub_argv + optind, sub_argv + sub_argc}, o, error);
}

void print_run_options(FILE* out)
{
    Options o;
    for (const Row& row : kRows) {
        if (!row.name || !(row.commands & kRun)) {
            continue;
        }
        const std::string kind = field_kind(row.field(o));
        if (kind != "list") {  // what a lab sheet's [run] table can give
            std::fprintf(out, "%s %s\n", row.name, kind.c_str());
        }
    }
}

std::string options_description()
{
    static const std::pair<unsigned, const char*> kCommandNames[] = {
        {kServe, "serve"}, {kAttach, "attach"}, {kRun, "run"}, {kReplay, "replay"}};
    Options defaults;
    std::string out = "[\n";
    // -v is not a row: getopt takes it as a short option too.
    out += "  {\"name\": \"verbose\", \"metavar\": null, \"kind\": \"flag\", \"default\": false, "
           "\"commands\": [\"serve\", \"attach\", \"run\", \"replay\"], \"section\": \"\", "
           "\"help\": \"report ignored messages; twice: every message\"}";
    const char* section = "";
    for (const Row& row : kRows) {
        if (!row.name) {
            section = row.help;
            continue;
        }
        std::vector<std::string> commands;
        for (const auto& [bit, name] : kCommandNames) {
            if (row.commands & bit) {
                commands.push_back(name);
            }
        }
        const Field f = row.field(defaults);
        out += ",\n  {\"name\": " + json_string(row.name) +
               ", \"metavar\": " + (row.metavar ? json_string(row.metavar) : "null") +
               ", \"kind\": " + json_string(field_kind(f)) + ", \"default\": " + field_json(f) +
               ", \"commands\": " + json_array(commands) + ", \"section\": " + json_string(section) +
               ", \"help\": " + json_string(row.help) + "}";
    }
    return out + "\n]";
}

std::string options_json(const Options& o)
{
    Options copy = o;
    // The simulator of a run records run's options, as run would.
    const Command command = o.command == Command::RunLine ? Command::Run : o.command;
    std::string out = "{";
    for (const Row& row : kRows) {
        if (row.name && (row.commands & command_bit(command))) {
            out += (out.size() > 1 ? ", " : "") + json_string(row.name) + ": " +
                   field_json(row.field(copy));
        }
    }
    return out + "}";
}

}  // namespace kelvex::sim
