// The simulator's side of the run's virtual clock: it alone moves the time,
// and only when every party of the mission waits and nothing is on its way
// (bytes on the line in either direction, datagrams to the station).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "common/unique_fd.h"
#include "segment.h"

namespace kelvex::clock {

struct ClockConfig {
    std::string dir;         // the run's private temporary directory
    uint64_t line_rdev = 0;  // the line's pty slave
    double speed = 0;        // virtual seconds per real second; 0: as fast as possible
    double bound_s = 2;      // a real wait longer than this lets the clock go on
    // A party that runs this long without a call we follow is taken to be in
    // a wait we cannot see: the clock then goes on at the wall's pace.
    double running_bound_s = 30;
    std::string ground;      // the station's address (its datagrams are counted)
};

class VirtualClock {
public:
    explicit VirtualClock(const ClockConfig& c);
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    // What a process joining the clock needs in its environment.
    const std::string& path() const { return path_; }
    int bell_fd() const { return bell_.get(); }
    // Empties the doorbell after a wake-up.
    void drain_bell();

    int64_t now_ns() const { return seg_->now.load(std::memory_order_acquire); }
    double now_s() const { return static_cast<double>(now_ns()) / kNsPerS; }

    // Keeps a slot held for a process about to be started (before fork); the
    // process takes it when the interposer loads in it, so the clock cannot
    // move while it starts up.
    // `owner`: the parent that starts it (0: this process; kAnyParent).
    void expect_child(pid_t owner = 0);
    // Whether the first process expected (the mission) has come and gone.
    bool leader_gone() const;
    // The run's station address: datagrams sent there are counted, and the
    // clock waits until the station took each.
    void set_ground(const std::string& address);
    // The simulator itself took `n` datagrams (its stand-in for the station).
    void took_datagrams(size_t n) { seg_->dgrams_taken.fetch_add(n); }
    // A process the simulator started ended and was seen to: the clock may
    // go on.
    void release_exits();
    // Bytes the simulator took from the line / wrote to it.
    void took(size_t n) { seg_->sim_rx.fetch_add(n); }
    void sent(size_t n);

    enum class Step { Moved, Blocked, Paced };
    // Moves the clock to the earliest of `own_due_ns` and the parties'
    // deadlines when nobody runs and nothing is in flight. Paced: not yet,
    // under --speed; *real_wait_ns says how long to sleep.
    // `unseen`, when given, is asked just before the clock moves (after
    // every party was seen waiting) whether the caller has input it has not
    // taken yet (a fault sent by a party before it waited): then not now,
    // Blocked, so that it is taken at this instant.
    using Unseen = bool (*)(void* context);
    Step advance(int64_t own_due_ns, int64_t* real_wait_ns, Unseen unseen = nullptr,
                 void* context = nullptr);
    // Hands the clock back to the next party whose deadline has come, one
    // at a time, earliest first; called after a Moved step, once the
    // simulator did its own work of the instant.
    // False: not now (a party holds the clock or bytes are on their way):
    // call again.
    bool wake_due();
    // The flight has taken longer in real time than its time limit allows
    // in virtual time (a mission that keeps its processes busy taking
    // turns): from now the clock goes on at the wall's pace, whatever the
    // parties do, so that the limit comes; run.json says so.
    void go_on_real_time();
    // Before sleeping: asks to be woken through the doorbell. The caller
    // looks at the parties once more after this, before it sleeps: a party
    // that changed before it asked is seen then, one that changes after it
    // rings.
    void asleep() { seg_->sim_asleep.store(1, std::memory_order_seq_cst); }
    // On waking: parties need not ring a simulator that is awake, as it
    // looks at them before it sleeps again.
    void awake() { seg_->sim_asleep.store(0, std::memory_order_relaxed); }

    // A refusal from the interposer (empty when none).
    std::string refusal() const;
    // Real-time fallbacks so far.
    uint32_t fallbacks() const { return seg_->fallbacks.load(); }
    std::string fallback_note() const { return note_; }
    double speed() const { return speed_; }

private:
    struct Scan {
        int64_t earliest;   // the earliest deadline among the waiters and us
        bool line_waiter;   // someone waits for the line
        bool real_wait;     // someone waits in real time (or past the bound)
        bool blocked;       // someone holds the clock
        bool freed;         // a party was found gone
    };
    Scan scan_parties(int64_t own_due_ns, int64_t real);
    bool holder_let_go(Party& p, State s, int64_t age, bool* real_wait);
    bool datagrams_in_flight(int64_t real);
    Step forced(int64_t own_due_ns, int64_t real, int64_t* real_wait_ns);
    Step pace(int64_t earliest, bool real_wait, int64_t real, int64_t* real_wait_ns, Unseen unseen,
              void* context);
    bool dead(const Party& p);
    void fallback(const std::string& why);
    void take_turn_bytes();

    std::string path_;
    Segment* seg_ = nullptr;
    common::UniqueFd bell_;
    common::UniqueFd turn_;
    common::UniqueFd file_;  // the clock's file, to look at life locks
    // Since when each slot's life byte has been seen unheld (0: held), and
    // which byte that was: a process between exec and its new image's
    // first instant holds none for a moment.
    int64_t unheld_since_[kMaxParties] = {};
    int32_t unheld_byte_[kMaxParties] = {};
    double speed_;
    int64_t bound_ns_;
    int64_t running_bound_ns_;
    // Pacing: virtual time never runs ahead of anchor + real elapsed x speed.
    int64_t anchor_real_ = 0;
    int64_t anchor_virtual_ = 0;
    bool real_paced_ = false;  // in a real-time fallback
    bool forced_real_ = false;  // go_on_real_time() was called
    int64_t dgrams_stuck_since_ = 0;
    int64_t real_fallback_start_ = 0;
    std::string note_;
    Party* leader_ = nullptr;
    pid_t pid_;  // ours, looked at on every turn
};

}  // namespace kelvex::clock
