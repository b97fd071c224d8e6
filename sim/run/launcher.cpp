#include "run/launcher.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "run/child.h"
#include "run/console.h"
#include "faults/control_socket.h"
#include "run/lab.h"
#include "line/line_log.h"
#include "run/log_listener.h"
#include "run/log_tail.h"
#include "run/mission_output.h"
#include "run/paths.h"
#include "line/pty_line.h"
#include "run/run_folder.h"
#include "model/satellite.h"
#include "line/server.h"
#include "run/signals.h"
#include "run/station.h"
#include "run/temp_tree.h"

namespace kelvex::sim {
namespace {

constexpr double kGroundReadyTimeout = 15.0;
constexpr double kDrainAfterMission = 0.5;
constexpr double kPlotTimeout = 60.0;
// The mission runner sends its log to this port of its ground address; the
// per-run station's bind of it on 127.0.0.N is what makes N this run's.
constexpr uint16_t kLogPort = 4567;
constexpr int kFirstHost = 2;
constexpr int kLastHost = 254;
constexpr int kInterrupted = 130;
// The copy of --scenario's file in the run folder, for replays.
constexpr const char* kScenarioCopy = "scenario.toml";

bool is_script(const std::vector<std::string>& program)
{
    const std::string& p = program[0];
    const std::string base = p.substr(p.find_last_of('/') + 1);
    return base.rfind("python", 0) == 0 ||
           (p.size() > 3 && p.compare(p.size() - 3, 3, ".py") == 0);
}

std::string base_name(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// --name, else the script's or the program's own base name.
std::string satellite_name(const Options& o)
{
    if (!o.name.empty()) {
        return o.name;
    }
    for (const std::string& arg : o.program) {
        if (arg.size() > 3 && arg.compare(arg.size() - 3, 3, ".py") == 0) {
            return base_name(arg);
        }
    }
    return base_name(o.program[0]);
}

// Prepends dir to a search-path variable of this process's environment.
void prepend_path(Environment& env, const char* name, const std::string& dir)
{
    const char* old = std::getenv(name);
    env.emplace_back(name, dir + (old && *old ? std::string(":") + old : std::string()));
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

double unix_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Waits for a program that ends on its own; stops it after `timeout_s`.
int wait_for(Child& child, double timeout_s)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (!child.poll() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    child.stop(1.0);
    return child.status();
}

// The satellite follows the battery record the mission keys on the run's
// battery.key.
Options with_battery(const Options& o, const RunFolder& folder)
{
    Options r = o;
    r.battery_key = absolute(folder.file("battery.key"));
    return r;
}

// What a step after the run gets; it returns the status the run exits with
// (a step that judges the run may change it).
struct Finished {
    const Options& options;
    const RunFolder& folder;
    const std::string& satellite;
    int status;
    bool interrupted;  // by CTRL-C or a signal to kelvex-sim
};
using PostStep = std::function<int(const Finished&)>;

int plot_telemetry(const Finished& f)
{
    const std::string plot = find_program("kelvex-plot", "kelvex-plot");
    if (f.options.no_plot || plot.empty() || !f.options.checks.empty()) {
        return f.status;  // the judge draws the plot with its verdicts
    }
    Child child({plot, f.folder.file("telemetry.csv"), "-o", f.folder.file("telemetry.png"),
                 "--title", f.satellite + " on the virtual satellite"},
                {});
    if (wait_for(child, kPlotTimeout) != 0) {
        std::fprintf(stderr, "kelvex-sim: no telemetry.png (kelvex-plot failed)\n");
    }
    return f.status;
}

// With a lab sheet the verdicts decide the status: 0, 3 or kBadSheet. A run
// stopped by CTRL-C is not judged.
int judge(const Finished& f)
{
    if (f.options.checks.empty() || f.interrupted) {
        return f.status;
    }
    return judge_run(f.folder.path(), f.options.checks, !f.options.no_plot);
}

// In order, after run.json holds the mission's status.
const PostStep kPostSteps[] = {plot_telemetry, judge};

class Run {
public:
    explicit Run(const Options& o);
    int execute();

private:
    std::string state_path() const { return o_.state.empty() ? tree_.path() + "/state" : o_.state; }
    void prepare_environment();
    bool take_address();
    bool claim(const std::string& address, std::string& station_exe, bool& next);
    GroundStation::Start try_station(const std::string& exe, const std::string& address);
    GroundStation::Start start_station(const std::string& exe, const std::string& address);
    bool drop_refused();
    bool try_listener(const std::string& address, bool& next);
    void add_mission_environment();
    void keep_scenario();
    std::vector<std::string> mission_argv() const;
    void watch(Server& server, Child& mission);
    void serve(Server& server, Child& mission);
    int finish(Child& mission);
    void write_record();

    const Options& o_;
    SignalFd sig_{SIGINT, SIGTERM, SIGHUP, SIGCHLD};
    TempTree tree_;
    RunFolder folder_;
    PtyLine line_ = open_pty_pair();
    Satellite sat_;
    LineLog line_log_;
    Console console_;
    MissionOutput output_;
    Environment env_;
    std::unique_ptr<GroundStation> ground_;
    std::optional<LogListener> listener_;
    std::optional<LogTail> tail_;
    std::unique_ptr<Child> scenario_;
    common::UniqueFd reservation_;
    bool single_ = true;
    bool control_ = true;  // the station gets the control socket: its panel
    std::string address_, ftp_url_, station_note_;
    RunRecord record_;
    bool interrupted_ = false;
    bool mission_over_ = false;
};

Run::Run(const Options& o)
    : o_(o),
      folder_(o.run_dir),
      sat_(with_battery(o, folder_), folder_.file("telemetry.csv"), state_path(),
           folder_.file("events.csv")),
      line_log_(folder_.file("line.log")),
      output_(folder_.file("mission.log"), console_)
{
    record_.satellite = satellite_name(o);
    record_.program = o.program;
    record_.options_json = options_json(o);
    record_.station = o.station;
    keep_scenario();
    prepare_environment();
}

void Run::keep_scenario()
{
    if (o_.scenario.empty()) {
        return;
    }
    std::FILE* in = std::fopen(o_.scenario.c_str(), "rb");
    if (!in) {
        throw std::system_error(errno, std::generic_category(), o_.scenario);
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) {
        text.append(buf, n);
    }
    std::fclose(in);
    write_file(folder_.file(kScenarioCopy), text);
    record_.scenario = kScenarioCopy;
}

void Run::prepare_environment()
{
    env_ = {
        {"KELVEX_TTY", line_.mission},
        {"KELVEX_GPIO_ROOT", tree_.make_gpio()},
        {"KELVEX_SIM_STATE", state_path()},
        {"KELVEX_RUN_DIR", absolute(folder_.path())},
        {"KELVEX_BATTERY_KEY", absolute(folder_.file("battery.key"))},
        {"CURL_HOME", tree_.make_curl_home()},
    };
    // The camera stand-in: beside the build tree's station, or where the
    // package installs it (never on the ordinary PATH, where it would hide a
    // real capture tool).
    for (const char* bin : {"/../ground/bin", "/../share/kelvex/ground/bin"}) {
        if (is_dir(self_dir() + bin)) {
            prepend_path(env_, "PATH", self_dir() + bin);
            break;
        }
    }
    // From a build tree, scripts import the module built next to us.
    const std::string module = self_dir() + "/../python";
    if (access((module + "/kelvex.py").c_str(), F_OK) == 0) {
        prepend_path(env_, "PYTHONPATH", module);
    }
}

// The first 127.0.0.N whose log port nobody holds, with this run's station
// (or log printer) bound to it.
bool Run::take_address()
{
    std::string station = o_.no_ground ? "" : find_program("../ground/kelvex-ground", "kelvex-ground");
    if (!o_.station.empty() && station.empty()) {
        std::fprintf(stderr, "kelvex-sim: --station needs kelvex-ground%s\n",
                     o_.no_ground ? ", not --no-ground" : "");
        return false;
    }
    for (int n = kFirstHost; n <= kLastHost && !interrupted_; ++n) {
        bool next = false;
        if (claim("127.0.0." + std::to_string(n), station, next)) {
            return true;
        }
        if (!next) {
            return false;
        }
    }
    if (!interrupted_) {
        std::fprintf(stderr,
                     "kelvex-sim: no free loopback address: port %u is taken on every one of "
                     "127.0.0.%d to 127.0.0.%d (a ground station bound to 0.0.0.0 takes them "
                     "all); end some runs or that station\n",
                     kLogPort, kFirstHost, kLastHost);
    }
    return false;
}

// Takes `address` for this run; `next` tells whether to try the next one.
bool Run::claim(const std::string& address, std::string& station_exe, bool& next)
{
    // Runs starting at the same time would all find the log port free while
    // their stations start up: a TCP socket bound to the same port number
    // reserves the address among runs from first look to last.
    common::UniqueFd reservation = bind_socket(SOCK_STREAM, address, kLogPort);
    common::UniqueFd probe = reservation.valid() ? bind_socket(SOCK_DGRAM, address, kLogPort) : common::UniqueFd();
    if (!probe.valid()) {
        next = errno == EADDRINUSE;
        if (!next) {
            std::fprintf(stderr, "kelvex-sim: cannot take %s:%u for this run's log (%s); runs "
                                 "on this machine need the loopback addresses 127.0.0.2 to "
                                 "127.0.0.254\n",
                         address.c_str(), kLogPort, std::strerror(errno));
        }
        return false;
    }
    probe.reset();
    reservation_ = std::move(reservation);
    if (!station_exe.empty()) {
        switch (try_station(station_exe, address)) {
        case GroundStation::Start::Ready: address_ = address; return true;
        case GroundStation::Start::AddressInUse: next = true; return false;
        case GroundStation::Start::Interrupted: interrupted_ = true; return false;
        case GroundStation::Start::Refused:
        case GroundStation::Start::Failed:
            if (!o_.station.empty()) {
                return false;  // the shared station was asked for: no stand-in
            }
            station_exe.clear();
            std::fprintf(stderr, "kelvex-sim: the ground station did not come up; "
                                 "printing the log here\n");
        }
    }
    return try_listener(address, next);
}

// An older station is started again without the options it does not know
// (argparse names them all at once).
bool Run::drop_refused()
{
    const bool single = single_ && ground_->refused("--single");
    const bool control = control_ && ground_->refused("--control");
    single_ = single_ && !single;
    control_ = control_ && !control;
    return single || control;
}

// A station that does not know --single yet is started without it.
GroundStation::Start Run::try_station(const std::string& exe, const std::string& address)
{
    GroundStation::Start started = start_station(exe, address);
    if (started == GroundStation::Start::Refused && drop_refused()) {
        started = start_station(exe, address);
    }
    if (started == GroundStation::Start::Refused && !o_.station.empty()) {
        std::fprintf(stderr, "kelvex-sim: this kelvex-ground cannot report to a shared station "
                             "(--upstream)\n");
    }
    if (started != GroundStation::Start::Ready) {
        if (started == GroundStation::Start::Failed) {
            std::fputs(ground_->early_output().c_str(), stderr);
        }
        ground_->stop(2.0);
        ground_.reset();
    }
    return started;
}

GroundStation::Start Run::start_station(const std::string& exe, const std::string& address)
{
    StationConfig c;
    c.exe = exe;
    c.address = address;
    c.log_port = kLogPort;
    c.ftp_port = o_.ftp_port;
    c.http_port = o_.http_port;
    c.dir = absolute(folder_.file("ground"));
    c.telemetry = absolute(folder_.file("telemetry.csv"));
    c.ready_file = tree_.path() + "/ground.ready";
    c.upstream = o_.station;
    c.single = single_;
    c.control = control_ ? absolute(folder_.file("control.sock")) : "";
    c.state = control_ ? state_path() : "";
    std::remove(c.ready_file.c_str());
    if (ground_) {
        ground_->stop(2.0);
    }
    ground_ = std::make_unique<GroundStation>(c, env_);
    const GroundStation::Start started = ground_->wait_ready(sig_, kGroundReadyTimeout);
    if (started == GroundStation::Start::Ready) {
        auto info = ground_->info();
        ftp_url_ = "ftp://" + address + ":" + info["ftp_port"] + "/incoming";
        tail_.emplace(folder_.file("ground/log.txt"),
                      [this](const std::string& text) { console_.ground(text); });
        station_note_ = "kelvex-sim: ground station page " + info["url"] + ", photos arrive in " +
                        info["dir"] + "/incoming";
        if (!info["instructor_token"].empty()) {
            station_note_ += "\nkelvex-sim: instructor's panel " + info["url"] + "sat/" + address +
                             "#token=" + info["instructor_token"];
        }
    }
    return started;
}

bool Run::try_listener(const std::string& address, bool& next)
{
    try {
        listener_.emplace(address, kLogPort, folder_.file("ground/log.txt"),
                          [this](const std::string& text) { console_.ground(text); });
        address_ = address;
        return true;
    } catch (const std::system_error& e) {
        next = e.code().value() == EADDRINUSE;
        if (!next) {
            std::fprintf(stderr, "kelvex-sim: no log printer (%s)\n", e.what());
        }
        return false;
    }
}

void Run::add_mission_environment()
{
    env_.emplace_back("KELVEX_GROUND", address_);
    if (ground_) {
        env_.emplace_back("KELVEX_FTP_PATH", ftp_url_);
    }
}

// The mission starts in the run folder: what names a file from where
// kelvex-sim was started (the program, a script) is made absolute.
std::vector<std::string> from_here(std::vector<std::string> argv)
{
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        const bool path = i > 0 ? access(a.c_str(), F_OK) == 0 : a.find('/') != std::string::npos;
        if (!a.empty() && a[0] != '/' && a[0] != '-' && path) {
            argv[i] = absolute(a);
        }
    }
    return argv;
}

std::vector<std::string> Run::mission_argv() const
{
    std::vector<std::string> argv = from_here(o_.program);
    if (!is_script(o_.program)) {
        argv.insert(argv.end(), {"-z", address_});
        if (ground_) {
            argv.insert(argv.end(), {"-f", ftp_url_});
        }
        argv.push_back(line_.mission);
    }
    return argv;
}

void Run::watch(Server& server, Child& mission)
{
    server.watch(sig_.fd(), [&] {
        for (int s; (s = sig_.next()) != 0;) {
            if (s != SIGCHLD) {
                interrupted_ = true;
                server.stop();
            } else if (!mission_over_ && mission.poll()) {
                server.stop();
            }
        }
        if (ground_ && ground_->poll()) {
            console_.say("kelvex-sim: the ground station ended");
            ground_->forward_output();
            server.unwatch(ground_->output_fd());
            ground_.reset();
            if (mission_over_) {
                server.stop();  // no page left to keep
            }
        }
    });
    server.watch(output_.fd(), [this] { output_.drain(); });
    if (ground_) {
        server.watch(ground_->output_fd(), [this, &server] {
            if (!ground_->forward_output()) {
                server.unwatch(ground_->output_fd());
            }
        });
    }
    if (listener_) {
        server.watch(listener_->fd(), [this] { listener_->drain(); });
    }
    if (tail_) {
        server.watch(tail_->fd(), [this] { tail_->drain(); });
    }
}

void Run::serve(Server& server, Child& mission)
{
    // The limit counts from telemetry t = 0, not from the mission's start.
    const double since_t0 = unix_now() - record_.t0_unix;
    server.run(o_.time_limit > 0 ? std::max(0.0, o_.time_limit - since_t0) : -1);
    if (!interrupted_ && !mission.poll()) {
        record_.time_limited = true;
        console_.say(format("kelvex-sim: time limit of %g s reached; the mission is stopped",
                            o_.time_limit));
        mission.stop(2.0);
    }
    if (!interrupted_) {
        // The last log datagrams and answers are still on their way.
        server.run(kDrainAfterMission);
    }
    mission_over_ = true;
    if (o_.keep_station && ground_ && !interrupted_) {
        console_.say(format("kelvex-sim: mission ended with status %d; the page stays up "
                            "until CTRL-C", mission.status()));
        server.run();
        interrupted_ = false;
    }
}

int Run::finish(Child& mission)
{
    const bool stopped = interrupted_ && !mission.ended();
    mission.stop(2.0);
    if (ground_) {
        ground_->stop(3.0);
        ground_->forward_output();
    }
    output_.drain();
    if (tail_) {
        tail_->drain();
    }
    sat_.telemetry.finish(sat_.physics, sat_.bus, sat_.faults);
    if (scenario_) {
        scenario_->stop(1.0);
    }
    const int status = stopped ? kInterrupted : mission.status();
    const Physics& p = sat_.physics;
    console_.say(format("kelvex-sim: mission ended with status %d after %.1f s; yaw %.2f deg, "
                        "angle to the lamp %.2f deg",
                        status, p.time(), p.yaw_deg(), p.lamp_angle_deg()));
    record_.ended = iso_time_now();
    record_.exit_status = status;
    write_record();
    return status;
}

void Run::write_record()
{
    try {
        write_run_record(folder_.file("run.json"), record_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvex-sim: %s\n", e.what());
    }
}

int Run::execute()
{
    if (!take_address()) {
        return interrupted_ ? kInterrupted : 1;
    }
    add_mission_environment();
    console_.say("kelvex-sim: satellite " + record_.satellite + " on " + address_ +
                 ", run folder " + folder_.path());
    if (!station_note_.empty()) {
        console_.say(station_note_);
    }
    Server server(line_.serve.get(), sat_.physics, sat_.bus, sat_.faults, sat_.telemetry,
                  o_.verbose);
    server.log_traffic(&line_log_);
    const std::unique_ptr<ControlSocket> control = open_control(folder_.file("control.sock"), sat_.board);
    if (control) {
        server.watch(control->fd(), [&control] { control->drain(); });
    }
    record_.address = address_;
    record_.t0_unix = server.start_unix();
    record_.started = iso_time_now();
    write_record();
    if (!o_.scenario.empty()) {
        scenario_ = start_scenario(folder_.path(), folder_.file(kScenarioCopy));
    }
    Child mission(mission_argv(), env_, output_.mission_side(), folder_.path());
    watch(server, mission);
    serve(server, mission);
    int status = finish(mission);
    for (const PostStep& step : kPostSteps) {
        status = step({o_, folder_, record_.satellite, status, interrupted_});
    }
    return status;
}

}  // namespace

int run_mission(const Options& o)
{
    // A console that went away (`kelvex-sim run ... | head`) must not end
    // the run: the run folder still gets everything.
    std::signal(SIGPIPE, SIG_IGN);
    Run run(o);
    return run.execute();
}

}  // namespace kelvex::sim
