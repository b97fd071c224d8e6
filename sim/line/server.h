// The simulator's event loop: serves the line in real time, keeps the
// physics abreast of the wall clock, sends answers when they are due and
// writes the telemetry.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <vector>

#include "model/bus.h"
#include "line/line_faults.h"
#include "line/framer.h"
#include "line/line_log.h"
#include "model/physics.h"
#include "model/telemetry.h"
#include "clock/virtual_clock.h"
#include "common/unique_fd.h"

namespace kelvex::sim {

class Server {
public:
    Server(int line_fd, Physics& physics, Bus& bus, Faults& faults, Telemetry& telemetry,
           int verbose);

    // Another descriptor for the loop; `on_readable` runs when it is.
    void watch(int fd, std::function<void()> on_readable);
    // Stops watching fd (say, a pipe at its end).
    void unwatch(int fd);
    // Called when the served side of the line hangs up (the default stops
    // the loop).
    void on_hangup(std::function<void()> handler) { hangup_ = std::move(handler); }
    // Every frame received and sent goes to `log` as well (null: none).
    void log_traffic(LineLog* log) { traffic_ = log; }
    // Serves in the run's virtual time instead of the wall clock's (null:
    // the wall clock). The clock must outlive the server's use of it.
    void use_clock(clock::VirtualClock* c);
    // In virtual time: the clock stops at `limit_s` (the run's time limit,
    // 0: none) and `drain_s` after the mission's end, until stop().
    void virtual_bounds(double limit_s, double drain_s)
    {
        limit_s_ = limit_s;
        drain_s_ = drain_s;
    }
    // The interposer refused something the mission did (empty: nothing).
    const std::string& refusal() const { return refusal_; }

    // Serves until stop() (which another thread may call); with a limit, at
    // most that many seconds.
    void run(double limit_s = -1);
    void stop() { stopped_ = true; }
    // The run is over (its orchestrator says so): in virtual time, stops
    // once the clock stands still after the mission's end, so that the run
    // ends at the same instant however fast the orchestrator was; at once
    // in real time.
    void finish();
    // Simulated seconds since the server was made; wall-clock paced, or the
    // virtual clock's.
    double now() const;
    // Wall-clock time (Unix seconds) at which now() was 0.
    double start_unix() const { return start_unix_; }
    const Physics& physics() const { return physics_; }

    static constexpr double kStep = 0.001;  // physics step, s

private:
    void advance();
    void read_line();
    void handle(const Frame& frame);
    void flush_due();
    void write_pending();
    // Seconds until something is due (at most until `until`, when >= 0).
    double wait_s(double until) const;
    // Waits for the descriptors at most `seconds`, to the nanosecond.
    int wait(double seconds);
    void handle_ready();
    // Hands the line log to its file when it is due (or `now`).
    void flush_log(bool now);
    void run_virtual(double until);
    bool keep_flying_virtual(int64_t real_start, double* frozen_at);
    // The earliest moment the simulator has something to do, in virtual ns.
    int64_t own_due_ns(double until) const;
    // Whether a descriptor but the line has input (the clock's counts stand
    // for the line's): asked before the clock moves.
    static bool unseen_input(void* server);
    // fds_[i] in the epoll sets, or out of them (its fd -1 from then on);
    // the line's events changed.
    void add_to_sets(size_t i);
    void drop_from_sets(size_t i);
    void line_events(short events);

    int line_fd_;
    Physics& physics_;
    Bus& bus_;
    Faults& faults_;
    Telemetry& telemetry_;
    int verbose_;
    std::chrono::steady_clock::time_point start_;
    double start_unix_;
    LineLog* traffic_ = nullptr;
    static constexpr std::chrono::milliseconds kLogFlushPeriod{100};
    std::chrono::steady_clock::time_point log_flushed_{};
    FrameReader reader_;
    std::multimap<double, Bytes> queue_;  // answers by the time they are due
    Bytes unwritten_;                     // what the line did not take yet
    double line_free_ = 0;                // when the emulated line is idle again
    // The watched descriptors by index (the line first) with what was asked
    // and, after a wait, what is ready; -1 once unwatched.
    std::vector<pollfd> fds_;
    // Kept in epoll sets rather than handed to ppoll each wait: a wait then
    // costs the kernel the ready descriptors, not a registration with every
    // watched one, and the loop waits about once an exchange. `rest_`
    // holds all but the line, for unseen_input().
    common::UniqueFd all_;
    common::UniqueFd rest_;
    // Descriptors epoll cannot watch (a regular file as standard input):
    // always ready, as poll has them.
    std::vector<char> unpollable_;
    std::vector<std::function<void()>> handlers_;
    std::function<void()> hangup_;
    std::atomic<bool> stopped_{false};
    int64_t finishing_since_ = 0;  // real ns when finish() came; 0: not yet
    clock::VirtualClock* clock_ = nullptr;
    double limit_s_ = 0;
    double drain_s_ = 0.5;
    std::string refusal_;
};

}  // namespace kelvex::sim
