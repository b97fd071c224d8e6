// Test helpers for the shared battery record: a segment keyed by a private
// temporary file and removed again at the end, and children run with a time
// limit.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "kelvex/battery.h"

namespace kelvex::testing {

// A battery segment of its own, attached in this process. The key file and
// the segment are removed on destruction so that nothing is left behind.
class SharedBattery {
public:
    // `now` false: only the key file for now, the segment at create() (a
    // mission that makes its record late).
    explicit SharedBattery(bool now = true)
    {
        char path[] = "/tmp/kelvex-battery-XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) {
            ::close(fd);
        }
        path_ = path;
        if (now) {
            create();
        }
    }

    void create()
    {
        id_ = accumulator_create(path_.data());
        if (id_ >= 0) {
            accumulator_attach(id_);
        }
    }

    ~SharedBattery()
    {
        if (vacc != nullptr) {
            accumulator_detach();
        }
        if (id_ >= 0) {
            shmctl(id_, IPC_RMID, nullptr);
        }
        ::unlink(path_.c_str());
    }

    SharedBattery(const SharedBattery&) = delete;
    SharedBattery& operator=(const SharedBattery&) = delete;

    int id() const { return id_; }
    std::string& path() { return path_; }

private:
    std::string path_;
    int id_ = -1;
};

struct ChildResult {
    bool finished = false;  // false: killed at the time limit
    int status = 0;         // as waitpid reports it
    bool exited_ok() const { return finished && WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// Runs `body` in a forked child that exits with body's result; kills the
// child when it outlives `limit`.
inline ChildResult run_child(const std::function<int()>& body, std::chrono::milliseconds limit)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int code = body();
        fflush(stdout);
        _exit(code);
    }
    ChildResult r;
    if (pid < 0) {
        return r;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &r.status, WNOHANG) == pid) {
            r.finished = true;
            return r;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &r.status, 0);
    return r;
}

}  // namespace kelvex::testing
