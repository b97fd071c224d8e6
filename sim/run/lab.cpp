#include "run/lab.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "common/unique_fd.h"
#include "run/paths.h"

extern char** environ;

namespace kelvex::sim {
namespace {

// The lab tools ask this kelvex-sim which columns and options it has.
Environment lab_environment()
{
    return {{"KELVEX_SIM", self_dir() + "/kelvex-sim"}};
}

std::vector<char*> c_argv(std::vector<std::string>& args)
{
    std::vector<char*> out;
    for (std::string& a : args) {
        out.push_back(a.data());
    }
    out.push_back(nullptr);
    return out;
}

// Runs `args` with its standard output read into `out` (its errors go to
// ours); returns its exit status, 127 when it could not be started.
int capture(std::vector<std::string> args, std::string& out)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    common::UniqueFd read_end(ends[0]), write_end(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    for (const auto& [name, value] : lab_environment()) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    pid_t pid = -1;
    const std::vector<char*> argv = c_argv(args);
    const int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    write_end.reset();
    if (err != 0) {
        std::fprintf(stderr, "kelvex-sim: cannot run %s: %s\n", argv[0], std::strerror(err));
        return 127;
    }
    char buf[4096];
    for (ssize_t n; (n = ::read(read_end.get(), buf, sizeof buf)) != 0;) {
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Appends the sheet's options, one a line as kelvex-lab prints them.
bool sheet_options(const std::vector<std::string>& args, std::vector<std::string>& into)
{
    std::string out;
    if (capture(args, out) != 0) {
        return false;
    }
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        end = end == std::string::npos ? out.size() : end;
        if (end > at) {
            into.push_back(out.substr(at, end - at));
        }
        at = end + 1;
    }
    return true;
}

std::string need_lab()
{
    const std::string lab = find_lab();
    if (lab.empty()) {
        std::fprintf(stderr, "kelvex-sim: lab sheets need kelvex-lab (lab/kelvex-lab in the "
                             "build tree, share/kelvex/lab/kelvex-lab once installed)\n");
    }
    return lab;
}

}  // namespace

std::string find_lab()
{
    // The build tree's, the installation's, then PATH's.
    const std::string built = self_dir() + "/../lab/kelvex-lab";
    return is_executable(built) ? built
                                : find_program("../share/kelvex/lab/kelvex-lab", "kelvex-lab");
}

int apply_sheets(int argc, char** argv, Options& o)
{
    const std::string lab = need_lab();
    if (lab.empty()) {
        return kBadSheet;
    }
    std::vector<std::string> args = {argv[0], argv[1]};
    if (!o.scenario.empty() && !sheet_options({lab, "options", "--scenario", o.scenario}, args)) {
        return kBadSheet;
    }
    if (!o.checks.empty() && o.checks != o.scenario &&
        !sheet_options({lab, "options", o.checks}, args)) {
        return kBadSheet;
    }
    args.insert(args.end(), argv + 2, argv + argc);
    std::vector<char*> again = c_argv(args);
    Options parsed;
    std::string error;
    if (!parse_options(static_cast<int>(args.size()), again.data(), parsed, error)) {
        std::fprintf(stderr, "kelvex-sim: %s (from the lab sheet's [run] table)\n",
                     error.c_str());
        return kBadSheet;
    }
    o = std::move(parsed);
    return 0;
}

int judge_run(const std::string& run_dir, const std::string& sheet, bool plot)
{
    const std::string lab = need_lab();
    if (lab.empty()) {
        return kBadSheet;
    }
    std::vector<std::string> args = {lab, "check", run_dir, sheet};
    if (!plot) {
        args.push_back("--no-plot");
    }
    Child check(args, lab_environment());
    while (!check.poll()) {
        usleep(20000);
    }
    return check.status();
}

std::unique_ptr<Child> start_scenario(const std::string& run_dir, const std::string& sheet)
{
    const std::string lab = need_lab();
    if (lab.empty()) {
        return nullptr;
    }
    return std::make_unique<Child>(std::vector<std::string>{lab, "scenario", run_dir, sheet},
                                   lab_environment());
}

int replay_run(const Options& o)
{
    const std::string lab = need_lab();
    if (lab.empty()) {
        return kBadSheet;
    }
    std::vector<std::string> args = {lab, "replay", o.replay_dir};
    if (!o.checks.empty()) {
        args.insert(args.end(), {"--checks", o.checks});
    }
    for (const auto& [name, value] : lab_environment()) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv = c_argv(args);
    execv(argv[0], argv.data());
    std::fprintf(stderr, "kelvex-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
    return kBadSheet;
}

}  // namespace kelvex::sim
