#include "launcher.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "child.h"
#include "log_listener.h"
#include "pty_line.h"
#include "satellite.h"
#include "server.h"
#include "signals.h"
#include "temp_tree.h"

namespace kelvex::sim {
namespace {

constexpr double kGroundReadyTimeout = 15.0;
constexpr double kDrainAfterMission = 0.5;

bool is_executable(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool is_dir(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string self_dir()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return ".";
    }
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.find_last_of('/'));
}

std::string absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

// The build tree's ground station next to ours, else the one on PATH.
std::string find_ground()
{
    const std::string built = self_dir() + "/../ground/kelvex-ground";
    if (is_executable(built)) {
        return built;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        if (!dir.empty() && is_executable(dir + "/kelvex-ground")) {
            return dir + "/kelvex-ground";
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return {};
}

bool is_script(const std::vector<std::string>& program)
{
    const std::string& p = program[0];
    const std::string base = p.substr(p.find_last_of('/') + 1);
    return base.rfind("python", 0) == 0 ||
           (p.size() > 3 && p.compare(p.size() - 3, 3, ".py") == 0);
}

// Waits for the ground station's ready file; false if it ends, CTRL-C
// comes or the time runs out.
bool wait_ready(Child& ground, const std::string& ready, SignalFd& sig, bool& interrupted)
{
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration<double>(kGroundReadyTimeout);
    while (std::chrono::steady_clock::now() < until) {
        if (access(ready.c_str(), F_OK) == 0) {
            return true;
        }
        for (int s; (s = sig.next()) != 0;) {
            if (s != SIGCHLD) {
                interrupted = true;
                return false;
            }
        }
        if (ground.poll()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The key=value lines the ground station writes once it listens.
std::map<std::string, std::string> read_ready(const std::string& path)
{
    std::map<std::string, std::string> values;
    std::ifstream f(path);
    for (std::string line; std::getline(f, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return values;
}

// Prepends dir to a search-path variable of this process's environment.
void prepend_path(Environment& env, const char* name, const std::string& dir)
{
    const char* old = std::getenv(name);
    env.emplace_back(name, dir + (old && *old ? std::string(":") + old : std::string()));
}

}  // namespace

int run_mission(const Options& o)
{
    SignalFd sig({SIGINT, SIGTERM, SIGHUP, SIGCHLD});
    TempTree tree;
    PtyLine line = open_pty_pair();
    const std::string state = tree.path() + "/state";
    const std::string csv = absolute(o.telemetry);
    Satellite sat(o, csv, state);

    Environment env = {
        {"KELVEX_TTY", line.mission},
        {"KELVEX_GPIO_ROOT", tree.make_gpio()},
        {"KELVEX_SIM_STATE", state},
    };
    const std::string bin = self_dir() + "/../ground/bin";
    if (is_dir(bin)) {
        prepend_path(env, "PATH", bin);
    }
    // From a build tree, scripts import the module built next to us.
    const std::string module = self_dir() + "/../python";
    if (access((module + "/kelvex.py").c_str(), F_OK) == 0) {
        prepend_path(env, "PYTHONPATH", module);
    }

    bool interrupted = false;
    std::unique_ptr<Child> ground;
    std::string ftp_url;
    const std::string ground_exe = o.no_ground ? std::string() : find_ground();
    if (!ground_exe.empty()) {
        const std::string ready = tree.path() + "/ground.ready";
        ground = std::make_unique<Child>(
            std::vector<std::string>{ground_exe, "--print-log", "--telemetry", csv, "--dir",
                                     absolute(o.ground_dir), "--ftp-port",
                                     std::to_string(o.ftp_port), "--http-port",
                                     std::to_string(o.http_port), "--ready-file", ready},
            env);
        if (wait_ready(*ground, ready, sig, interrupted)) {
            auto info = read_ready(ready);
            ftp_url = "ftp://127.0.0.1:" + info["ftp_port"] + "/incoming";
            std::printf("kelvex-sim: ground station page %s, photos arrive in %s/incoming\n",
                        info["url"].c_str(), info["dir"].c_str());
            std::fflush(stdout);
        } else {
            if (!interrupted) {
                std::fprintf(stderr, "kelvex-sim: the ground station did not come up; "
                                     "printing the log here\n");
            }
            ground->stop(2.0);
            ground.reset();
        }
    }
    if (interrupted) {
        return 130;
    }
    std::optional<LogListener> listener;
    if (!ground) {
        try {
            listener.emplace();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvex-sim: no log printer (%s)\n", e.what());
        }
    } else {
        env.emplace_back("KELVEX_FTP_PATH", ftp_url);
    }

    std::vector<std::string> argv = o.program;
    if (!is_script(o.program)) {
        if (ground) {
            argv.insert(argv.end(), {"-f", ftp_url});
        }
        argv.push_back(line.mission);
    }

    Server server(line.serve.get(), sat.physics, sat.bus, sat.faults, sat.telemetry, o.verbose);
    Child mission(argv, env);
    server.watch(sig.fd(), [&] {
        for (int s; (s = sig.next()) != 0;) {
            if (s == SIGCHLD) {
                if (ground && ground->poll()) {
                    std::fprintf(stderr, "kelvex-sim: the ground station ended\n");
                    ground.reset();
                }
                if (mission.poll()) {
                    server.stop();
                }
            } else {
                interrupted = true;
                server.stop();
            }
        }
    });
    if (listener) {
        server.watch(listener->fd(), [&] { listener->drain(); });
    }
    server.run();
    if (!interrupted) {
        // The last log datagrams and answers are still on their way.
        server.run(kDrainAfterMission);
    }
    mission.stop(2.0);
    if (ground) {
        ground->stop(3.0);
    }
    sat.telemetry.finish(sat.physics, sat.bus, sat.faults);
    const Physics& p = sat.physics;
    std::printf("kelvex-sim: mission ended with status %d after %.1f s; yaw %.2f deg, "
                "angle to the lamp %.2f deg\n",
                interrupted ? 130 : mission.status(), p.time(), p.yaw_deg(), p.lamp_angle_deg());
    std::fflush(stdout);
    return interrupted ? 130 : mission.status();
}

}  // namespace kelvex::sim
