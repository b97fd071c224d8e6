// The run's virtual clock: a small file in the run's private temporary
// directory, mapped by the simulator (which alone moves the clock) and by
// every process of the mission through the preloaded interposer.
//
// Every thread of the mission that reads the clock or waits is a party with a
// slot here. Time moves only when no party runs and nothing is in flight on
// the line or towards the station; it then jumps to the earliest moment
// anyone waits for. The simulator's own dues (answers, telemetry rows) are
// among those moments.
#pragma once

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <cstddef>

namespace kelvex::clock {

constexpr uint32_t kMagic = 0x4b56434cu;  // "KVCL"
constexpr uint32_t kVersion = 3;
constexpr int kMaxParties = 256;
constexpr int64_t kNever = INT64_MAX;
constexpr int64_t kNsPerS = 1000000000;
// The owner of the mission's own slot, kept by the simulator: whichever
// process of the mission starts first takes it. Its parent is the run, or a
// sealed room's first process, whose pid means nothing to the simulator.
constexpr int32_t kAnyParent = -1;

// Virtual CLOCK_REALTIME starts at 2026-01-01 00:00:00 UTC in every run: the
// station's stamps and a mission's printed dates come out the same each time.
constexpr int64_t kRealtimeBase = 1767225600LL * kNsPerS;
// Virtual CLOCK_MONOTONIC (and BOOTTIME) starts here, far from zero so that
// a mission subtracting a margin does not go negative.
constexpr int64_t kMonotonicBase = 1000LL * kNsPerS;

enum class State : uint32_t {
    Free = 0,
    Running,   // holds the clock: computing, or in a call we do not follow
    Waiting,   // waits until `deadline` (kNever: for the line or a signal)
    Passive,   // blocked on another party (waitpid, system()): holds nothing
    Pending,   // a process being started that has not taken its slot yet
    ExitHold,  // a process that ended, held for its parent to notice
    RealWait,  // a real wait past the bound: time goes on at the wall's pace
    // Blocked on another party of its process that has just handed it work
    // (a post, a signal, its own end): holds the clock until it runs.
    Handed,
};

struct Party {
    std::atomic<uint32_t> state;
    std::atomic<int32_t> pid;     // process (for Pending: the child, once known)
    std::atomic<int32_t> tid;     // thread, for the liveness check
    std::atomic<int32_t> owner;   // Pending/ExitHold: the parent that releases it
    std::atomic<uint32_t> on_line;  // waiting for the serial line
    std::atomic<int64_t> deadline;  // virtual ns
    std::atomic<int64_t> since;     // real monotonic ns of the last change
    // The byte of the clock's file its process holds locked while it lives
    // (-1: none known). A lock, not a pid: a sealed mission's pids are those
    // of its own PID namespace, which mean nothing to the simulator.
    std::atomic<int32_t> life;
};

struct Segment {
    uint32_t magic;
    uint32_t version;
    // The line's device (st_rdev of its pty slave): what "the line" is.
    uint64_t line_rdev;
    int64_t bound_ns;  // a real wait longer than this lets the clock go on
    std::atomic<int64_t> now;  // virtual ns since the run's t = 0
    // Bumped (and futex-woken) when the clock is handed on, and when the
    // line gets bytes while a party sleeps waiting for them (line_sleepers).
    std::atomic<uint32_t> seq;
    // The simulator sleeps and wants the doorbell rung on a change; it
    // clears this itself on waking, so that parties do not ring a simulator
    // that is awake and will look at them anyway.
    std::atomic<uint32_t> sim_asleep;
    // Bytes the mission wrote to the line / the simulator took from it, and
    // bytes the simulator wrote / the mission read or flushed.
    std::atomic<uint64_t> mission_tx, sim_rx, sim_tx, mission_rx;
    // Datagrams sent to the run's station / taken by it.
    std::atomic<uint64_t> dgrams_sent, dgrams_taken;
    std::atomic<uint32_t> top;  // slots in use are below this
    // Real-time fallbacks: how many, and the real time they took.
    std::atomic<uint32_t> fallbacks;
    std::atomic<int64_t> fallback_ns;
    std::atomic<uint32_t> refused;
    char refusal[512];
    char fallback_note[256];
    char ground[64];  // the station's address, for counting datagrams
    std::atomic<uint32_t> lives;  // life bytes handed out so far
    Party parties[kMaxParties];
    // Parties asleep on `seq` until bytes come on the line: an answer wakes
    // them only when there are any (most of the time the answer is on its
    // way before its reader waits, and the reader waits on the line itself).
    std::atomic<uint32_t> line_sleepers;
    // Parties waiting on the line itself (and on the turn FIFO, which wakes
    // them when the clock is handed to them without an answer: at their
    // time-out, or for a signal), and whether the turn FIFO has bytes the
    // simulator has not taken out yet.
    std::atomic<uint32_t> line_pollers;
    std::atomic<uint32_t> turn_rung;
};

// The run's orchestrator (Python) reads and writes these by offset.
static_assert(offsetof(Segment, now) == 24);
static_assert(offsetof(Segment, dgrams_sent) == 72);
static_assert(offsetof(Segment, dgrams_taken) == 80);
static_assert(offsetof(Segment, fallbacks) == 92);
static_assert(offsetof(Segment, fallback_ns) == 96);
static_assert(offsetof(Segment, refused) == 104);
static_assert(offsetof(Segment, refusal) == 108);
static_assert(offsetof(Segment, fallback_note) == 620);
static_assert(offsetof(Segment, ground) == 876);
// The run's scenario scheduler is a party of its own (flight/clock.py).
static_assert(offsetof(Segment, seq) == 32 && offsetof(Segment, sim_asleep) == 36);
static_assert(offsetof(Segment, top) == 88);
static_assert(offsetof(Segment, parties) == 944);
static_assert(sizeof(Party) == 48);
static_assert(offsetof(Party, deadline) == 24 && offsetof(Party, since) == 32 &&
              offsetof(Party, life) == 40);

// Real CLOCK_MONOTONIC, never the virtual one (also inside the interposer).
int64_t real_ns(clockid_t id = CLOCK_MONOTONIC);
// The function real_ns uses; the interposer points it at libc's.
using ClockFn = int (*)(clockid_t, timespec*);
void set_real_clock(ClockFn fn);

// Waits while *word == expected, at most timeout_ns of real time (< 0:
// forever). Returns 0, or -1 with errno EINTR / ETIMEDOUT / EAGAIN.
int futex_wait(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeout_ns);
void futex_wake_all(std::atomic<uint32_t>* word);

// Makes a fresh segment at `path` (mode 0600) and maps it.
Segment* create_segment(const char* path, uint64_t line_rdev, int64_t bound_ns,
                        const char* ground);
// Maps an existing segment; null when it is not one.
Segment* map_segment(const char* path);
void unmap_segment(Segment* s);

// A process's life: a lock on a byte of its own past the segment's end of
// the clock's file at `path`, held through an open file description of this
// process alone, so that it goes when the process does (or execs: the new
// image takes a new one). Returns the descriptor (-1 on failure) and the
// byte in *byte.
int hold_life(Segment* s, const char* path, int32_t* byte);
// Whether the life byte `byte` is held by anyone; `fd` is open on the file.
bool life_held(int fd, int32_t byte);

// The doorbell next to the segment: a FIFO the simulator polls, so that a
// party that starts waiting wakes it.
const char* bell_suffix();
// The turn FIFO next to it, the other way: parties waiting on the line
// poll it too, and a byte in it tells them to look at their state.
const char* turn_suffix();

// Virtual time in a clock's terms (clock_gettime's ids).
int64_t virtual_clock_ns(const Segment& s, clockid_t id);
// Whether clock `id` measures passing time (and so is virtual); CPU-time
// clocks stay real.
bool follows(clockid_t id);

}  // namespace kelvex::clock
