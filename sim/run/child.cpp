#include "run/child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "run/signals.h"

namespace kelvex::sim {

Child::Child(const std::vector<std::string>& argv, const Environment& env, int output,
             const std::string& dir)
{
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::system_error(errno, std::generic_category(), "fork");
    }
    if (pid_ == 0) {
        setpgid(0, 0);
        reset_signals_for_exec();
        if (output >= 0) {
            dup2(output, STDOUT_FILENO);
            dup2(output, STDERR_FILENO);
        }
        for (const auto& [name, value] : env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        if (!dir.empty() && chdir(dir.c_str()) != 0) {
            std::fprintf(stderr, "kelvex-sim: cannot enter %s\n", dir.c_str());
            _exit(127);
        }
        execvp(args[0], args.data());
        std::fprintf(stderr, "kelvex-sim: cannot run %s\n", args[0]);
        _exit(127);
    }
    // Both sides set the group, whichever runs first.
    setpgid(pid_, pid_);
}

Child::~Child()
{
    if (!ended_) {
        stop(1.0);
    }
}

bool Child::poll()
{
    if (ended_) {
        return true;
    }
    int st = 0;
    const pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        ended_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    } else if (r < 0 && errno == ECHILD) {
        ended_ = true;
        status_ = 1;
    }
    return ended_;
}

void Child::stop(double grace_s)
{
    if (poll()) {
        // The leader is gone; its group may live on.
        kill(-pid_, SIGTERM);
        return;
    }
    kill(-pid_, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(grace_s);
    while (!poll() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended_) {
        kill(-pid_, SIGKILL);
        int st = 0;
        waitpid(pid_, &st, 0);
        ended_ = true;
        status_ = 128 + SIGKILL;
    }
}

}  // namespace kelvex::sim
