#include "run/station.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <thread>

namespace kelvex::sim {
namespace {

constexpr const char* kUnknownOptions = "unrecognized arguments:";

// A pipe whose read end is ours (non-blocking) and whose write end goes
// to a child.
struct Pipe {
    common::UniqueFd read, write;
};

Pipe make_pipe()
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    return {common::UniqueFd(p[0]), common::UniqueFd(p[1])};
}

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

std::vector<std::string> station_argv(const StationConfig& c)
{
    std::vector<std::string> argv = {c.exe};
    if (c.single) {
        argv.push_back("--single");
    }
    argv.insert(argv.end(), {"--bind", c.address, "--log-port", std::to_string(c.log_port),
                             "--ftp-port", std::to_string(c.ftp_port), "--http-port",
                             std::to_string(c.http_port), "--dir", c.dir, "--telemetry",
                             c.telemetry, "--ready-file", c.ready_file});
    if (!c.upstream.empty()) {
        argv.insert(argv.end(), {"--upstream", c.upstream});
    }
    if (!c.control.empty()) {
        argv.insert(argv.end(), {"--control", c.control});
    }
    if (!c.state.empty()) {
        argv.insert(argv.end(), {"--state", c.state});
    }
    return argv;
}

}  // namespace

GroundStation::GroundStation(const StationConfig& c, const Environment& env) : config_(c)
{
    Pipe p = make_pipe();
    out_ = std::move(p.read);
    child_ = std::make_unique<Child>(station_argv(c), env, p.write.get());
}

void GroundStation::collect_output()
{
    char buf[4096];
    for (ssize_t n; (n = ::read(out_.get(), buf, sizeof buf)) > 0;) {
        said_.append(buf, static_cast<size_t>(n));
    }
}

GroundStation::Start GroundStation::wait_ready(SignalFd& sig, double timeout_s)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < until) {
        collect_output();
        if (access(config_.ready_file.c_str(), F_OK) == 0) {
            info_ = read_ready(config_.ready_file);
            return Start::Ready;
        }
        for (int s; (s = sig.next()) != 0;) {
            if (s != SIGCHLD) {
                return Start::Interrupted;
            }
        }
        if (child_->poll()) {
            collect_output();
            // Another run's station (or anything else) holds one of the
            // address's ports.
            if (said_.find("Address already in use") != std::string::npos) {
                return Start::AddressInUse;
            }
            return said_.find(kUnknownOptions) != std::string::npos ? Start::Refused
                                                                     : Start::Failed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Start::Failed;
}

bool GroundStation::refused(const std::string& option) const
{
    const size_t at = said_.find(kUnknownOptions);
    return at != std::string::npos &&
           said_.find(option, at) < said_.find('\n', at);
}

bool GroundStation::forward_output()
{
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out_.get(), buf, sizeof buf)) > 0) {
        std::fwrite(buf, 1, static_cast<size_t>(n), stderr);
    }
    std::fflush(stderr);
    return n != 0;
}

}  // namespace kelvex::sim
