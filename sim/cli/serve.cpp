#include "cli/serve.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "faults/control_socket.h"
#include "line/line_log.h"
#include "line/pty_line.h"
#include "model/satellite.h"
#include "line/server.h"
#include "run/signals.h"
#include "clock/choice.h"

namespace kelvex::sim {
namespace {

// The mission's last log lines and answers have this long after its end.
constexpr double kDrainAfterMission = 0.5;

std::string link_target(const std::string& link)
{
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Makes `link` point at the line. What is there already is replaced only
// when it is a link to a pseudo-terminal: an earlier serve's own.
bool place_link(const std::string& link, const std::string& line)
{
    struct stat st{};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode) || link_target(link).rfind("/dev/pts/", 0) != 0) {
            std::fprintf(stderr, "kelvex-sim: %s exists and is not a link to a pseudo-terminal; "
                                 "not replaced\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(line.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "kelvex-sim: %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int serve_line(const Options& o)
{
    SignalFd sig({SIGINT, SIGTERM, SIGHUP});
    const bool attached = o.command == Command::Attach;
    PtyLine line = attached ? attach_pty_slave(o.attach) : open_pty_pair();
    Satellite sat(o, o.telemetry, o.state, o.events);
    if (!attached) {
        if (!o.link.empty() && !place_link(o.link, line.mission)) {
            return 1;
        }
        std::printf("kelvex-sim: pseudo-terminal is %s\n", line.mission.c_str());
    } else {
        std::printf("kelvex-sim: serving %s\n", o.attach.c_str());
    }
    std::fflush(stdout);

    Server server(line.serve.get(), sat.physics, sat.bus, sat.faults, sat.telemetry, o.verbose);
    std::unique_ptr<LineLog> line_log;
    if (!o.line_log.empty()) {
        line_log = std::make_unique<LineLog>(o.line_log);
        server.log_traffic(line_log.get());
    }
    server.watch(sig.fd(), [&] {
        if (sig.next() != 0) {
            server.stop();
        }
    });
    std::unique_ptr<ControlSocket> control;
    if (!o.control.empty() && (control = open_control(o.control, sat.board))) {
        server.watch(control->fd(), [&control] { control->drain(); });
    }
    server.run();
    sat.telemetry.finish(sat.physics, sat.bus, sat.faults);
    // Ours to remove only while it still points at our line.
    if (!attached && !o.link.empty() && link_target(o.link) == line.mission) {
        unlink(o.link.c_str());
    }
    const FaultCounts& c = sat.faults.counts();
    if (o.verbose > 0) {
        std::fprintf(stderr,
                     "kelvex-sim: %llu requests; answers dropped %llu, corrupted %llu, late %llu, "
                     "glued %llu\n",
                     static_cast<unsigned long long>(sat.bus.requests()),
                     static_cast<unsigned long long>(c.dropped),
                     static_cast<unsigned long long>(c.corrupted),
                     static_cast<unsigned long long>(c.late),
                     static_cast<unsigned long long>(c.glued));
    }
    return 0;
}

int run_line(const Options& o)
{
    SignalFd sig({SIGINT, SIGTERM, SIGHUP});
    std::printf("options %s\n", options_json(o).c_str());
    std::fflush(stdout);
    char go[16] = {};
    if (!std::fgets(go, sizeof go, stdin) || std::string(go) != "go\n") {
        return 0;  // the orchestrator gave up before the run
    }
    PtyLine line = open_pty_pair();
    Satellite sat(o, o.telemetry, o.state, o.events);
    LineLog line_log(o.line_log);
    Server server(line.serve.get(), sat.physics, sat.bus, sat.faults, sat.telemetry, o.verbose);
    server.log_traffic(&line_log);
    sat.battery.forget_stale();
    ClockChoice choice;
    std::string error;
    if (!choose_clock(o.clock, o.speed, !o.checks.empty() || !o.scenario.empty(), choice, error)) {
        std::fprintf(stderr, "kelvex-sim: %s\n", error.c_str());
        return 2;
    }
    // Virtual time: the clock in a private directory; the mission, started
    // by our parent (the run), takes the slot kept for it.
    std::unique_ptr<clock::VirtualClock> vclock;
    std::string clock_dir;
    if (choice.is_virtual) {
        char dir[] = "/tmp/kelvex-clock.XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            std::perror("kelvex-sim: clock directory");
            return 1;
        }
        clock_dir = dir;
        struct stat st {};
        stat(line.mission.c_str(), &st);
        clock::ClockConfig c;
        c.dir = clock_dir;
        c.line_rdev = st.st_rdev;
        c.speed = choice.speed;
        vclock = std::make_unique<clock::VirtualClock>(c);
        vclock->expect_child(clock::kAnyParent);
        sat.battery.look_every_time();
        server.use_clock(vclock.get());
        server.virtual_bounds(o.time_limit, kDrainAfterMission);
    }
    const std::unique_ptr<ControlSocket> control = open_control(o.control, sat.board);
    if (control) {
        server.watch(control->fd(), [&control] { control->drain(); });
    }
    server.watch(sig.fd(), [&] {
        if (sig.next() != 0) {
            server.stop();
        }
    });
    // The orchestrator's end (or its death) closes our standard input.
    server.watch(STDIN_FILENO, [&] {
        char buf[64];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) {
            server.unwatch(STDIN_FILENO);
            server.finish();
        }
    });
    // The state file and the first row exist before the run hears "line" and
    // starts the mission, which may read them at once (the camera stand-in,
    // a sealed room binds the state's file as it finds it).
    sat.telemetry.update(sat.physics, sat.bus, sat.faults);
    std::printf("line %s\nt0 %.6f\n", line.mission.c_str(), server.start_unix());
    if (vclock) {
        std::printf("clock %s\n", vclock->path().c_str());
    }
    std::fflush(stdout);
    server.run();
    sat.telemetry.finish(sat.physics, sat.bus, sat.faults);
    const Physics& p = sat.physics;
    std::printf("end %.6f %.6f %.6f\n", p.time(), p.yaw_deg(), p.lamp_angle_deg());
    std::fflush(stdout);
    vclock.reset();
    if (!clock_dir.empty()) {
        rmdir(clock_dir.c_str());
    }
    return 0;
}

}  // namespace kelvex::sim
