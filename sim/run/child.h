// A program the launcher starts in a process group of its own, so that it
// and everything it starts can be stopped together.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace kelvex::sim {

using Environment = std::vector<std::pair<std::string, std::string>>;

class Child {
public:
    // Starts argv[0] (looked up on PATH) with `env` added to this
    // process's environment. Throws std::system_error when fork fails; a
    // program that cannot be executed exits with 127. With `output` >= 0,
    // the child's standard output and error go there; with a `dir`, it
    // starts in that directory.
    Child(const std::vector<std::string>& argv, const Environment& env, int output = -1,
          const std::string& dir = "");
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Collects the exit without waiting; true once the child has ended.
    bool poll();
    bool ended() const { return ended_; }
    // Exit status as a shell reports it: the code, or 128 + signal.
    int status() const { return status_; }
    // SIGTERM to the group, then SIGKILL after `grace_s`; waits for the end.
    void stop(double grace_s);

private:
    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = 0;
};

}  // namespace kelvex::sim
