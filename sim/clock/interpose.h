// The mission's side of the run's clock, shared by the interposer's files
// (libkelvex_clock.so): the process's slots on the clock, the turns and
// waits, and the helpers every followed call needs. Nothing here is seen
// from outside the library; the calls it stands in for are, one concern a
// file (interpose_*.cpp).
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "segment.h"

extern char** environ;

namespace kelvex::clock {

// A clock read this often without any other followed call counts as a small
// step of waiting: a mission that waits by watching the clock still
// progresses, by the same steps every time.
constexpr int kReadsPerStep = 64;
constexpr int64_t kReadStepNs = 1000000;  // 1 ms
// How often a waiting party looks again without being woken (a safety net;
// the simulator wakes waiters on every change).
constexpr int64_t kRecheckNs = 200000000;
// A wait without a time-out on a semaphore looks again this often: a
// hand-over's mark that no wake-up takes (another thread took the token) is
// let go within it, and meanwhile the clock only waits.
constexpr int64_t kHandSliceNs = 20000000;
// A real wait with a shorter time-out still waits this long in real time
// for its answer (party.cpp real_wait).
constexpr int64_t kRealGraceNs = 100000000;
// A real wait past the bound is followed in slices this long.
constexpr int64_t kRealSliceNs = 20000000;
constexpr int kMaxFds = 4096;

extern Segment* g_seg;
extern bool g_observer;  // the station: clock reads only
extern int g_bell;
extern int g_turn;  // the turn FIFO (-1: not open yet, -2: cannot be)
// This process's life lock on the clock's file (segment.h hold_life).
extern int g_life_fd;
extern int32_t g_life;
extern dev_t g_seg_dev;
extern ino_t g_seg_ino;
extern pthread_key_t g_key;
extern char g_seg_path[512];
extern char g_preload[1024];
extern thread_local Party* t_self;
extern thread_local int t_reads;
extern thread_local int t_taken;  // datagrams received, published at the next receive
// Handlers of ours that ran in this thread: a wait they interrupt ends with
// EINTR even when the signal came between two looks at the clock.
extern thread_local volatile sig_atomic_t t_signals;

template <typename F>
F next_fn(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
// libc's own `name`, looked up once.
#define REAL(name) static const auto real_##name = next_fn<decltype(&::name)>(#name)

inline pid_t my_tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }
inline bool active() { return g_seg != nullptr && !g_observer; }
inline int64_t vnow() { return g_seg->now.load(std::memory_order_acquire); }
inline State state_of(const Party* p) { return static_cast<State>(p->state.load(std::memory_order_acquire)); }

// ---- slots and turns (party.cpp)
void set_state(Party* p, State s);
// Wakes the simulator when it sleeps waiting for a change.
void ring();
// Wakes the parties that wait on the line itself to look at their state.
void ring_turn();
// A slot for a party in state `s`; its fields are set before anyone sees it.
Party* claim(State s, pid_t pid, pid_t tid, pid_t owner);
void release(Party* p);
void thread_gone(void* slot);
// This thread's slot; made on first use.
Party* self();
// Children of ours that ended while we waited for them are ours to let go.
void release_exit_holds();
bool is_line(int fd);
// A descriptor closed or replaced: no longer known to be the line.
void forget_fd(int fd);
void forget_fds(unsigned first, unsigned last);

inline int64_t ts_ns(const timespec& ts) { return static_cast<int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec; }

inline timespec ns_ts(int64_t ns)
{
    if (ns < 0) {
        ns = 0;
    }
    return timespec{static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
}

inline bool bad_ts(const timespec* ts) { return ts->tv_nsec < 0 || ts->tv_nsec >= kNsPerS || ts->tv_sec < 0; }

inline int ms_of(int64_t ns) { return ns < 0 ? -1 : static_cast<int>(std::min<int64_t>((ns + 999999) / 1000000, INT32_MAX)); }

// What a wait watches.
enum class Kind { Sleep, Line, Real };

// The real call behind a wait: real_timeout_ns 0 only looks, < 0 waits for
// ever. > 0 ready, 0 timed out, < 0 failed (errno set).
struct Probe {
    virtual int operator()(int64_t real_timeout_ns) = 0;
    // Whether it waits for nothing but bytes to read.
    virtual bool reads_only() const { return false; }
    // The real call with `fd` watched for reading as well: the caller's
    // result (its descriptors only) in *result, whether `fd` was readable in
    // *extra. False when it cannot be done (the caller's call unchanged).
    virtual bool with(int fd, int64_t real_timeout_ns, int* result, bool* extra)
    {
        (void)fd, (void)real_timeout_ns, (void)result, (void)extra;
        return false;
    }
    virtual ~Probe() = default;
};

struct NoProbe : Probe {
    int operator()(int64_t) override { return 0; }
};

void settle_owed(const pthread_mutex_t* releasing);

// Blocked on another party of ours (a child, a thread): holds nothing.
template <typename F>
auto passive(F&& call)
{
    Party* p = self();
    if (p == nullptr) {
        return call();
    }
    release_exit_holds();
    settle_owed(nullptr);
    t_reads = 0;
    set_state(p, State::Passive);
    ring();
    const int saved = errno;
    auto r = call();
    const int err = errno;
    set_state(p, State::Running);
    release_exit_holds();
    errno = r < 0 ? err : saved;
    return r;
}

// ---- hand-overs between threads of this process (party.cpp)
//
// A thread blocked without a time-out on a semaphore, a condition or a
// thread to join holds nothing, or one waiting on a thread that sleeps would
// hold the clock for ever. The thread that hands it work marks it (Handed:
// it holds the clock) right after the post, signal or end that wakes it,
// before it can wait itself (a condition's waiter that needs a mutex the
// signaller holds: when the signaller has let go of it); the woken thread
// takes the mark over when its call returns. So the clock never moves
// between the hand-over and the wake-up, however loaded the machine.
//
// Says what `p` is about to wait on; it still holds the clock. A thread
// that hands `object` over from here marks it.
void arm(Party* p, const void* object, const pthread_mutex_t* mutex = nullptr);
// The last look found nothing to take: holds nothing from here, unless a
// hand-over marked it meanwhile.
void go_passive(Party* p);
// A wait cut into slices came back without its token: marked, it looks
// again holding the clock (the caller then looks and goes passive again).
void look_again(Party* p);
// Back from the wait: holds the clock; a mark is ours now. `woken` on a
// condition: a wake-up its signals promised is taken (see hand_over).
void disarm(Party* p, const void* object, bool woken);
// After a post, signal or thread's end on `object`: marks every thread of
// ours waiting on it. `promise` (conditions) is how many of them will wake,
// -1 for all: a signal wakes one of several, and when the wake-ups promised
// are taken the marks left on the others go. Cheap when nobody waits.
void hand_over(const void* object, int promise);
// A woken thread that waits with a time-out holds the clock throughout, but
// takes the wake-up a signal promised all the same.
void promise_taken(const void* object);
// Threads of ours on the clock, by their pthread_t, for pthread_join: one
// being started, one running, one that ended (and handed over to its joiner).
void thread_starting(Party* slot);
void thread_started(Party* slot, pthread_t t);
void thread_ended(Party* slot);
bool thread_on_clock(pthread_t t);
// Before this thread waits: the marks it owes to the waiters of a condition
// it signalled holding their mutex, now that it no longer holds it (or is
// about to let go of `releasing`, in a wait of its own).
void settle_owed(const pthread_mutex_t* releasing = nullptr);
// A forked child has one thread and none of its parent's waits.
void forget_hand_overs();

// Waits on the virtual clock until `deadline` (kNever: until woken), or
// until probe(0) says ready. Returns the probe's result, 0 at the deadline,
// -1 with EINTR after a signal's handler ran.
int virtual_wait(Party* p, int64_t deadline, Probe* probe, bool on_line);
// A wait on something outside the run's clock (party.cpp).
int real_wait(Party* p, int64_t timeout_ns, Probe& probe);
int follow(Kind kind, int64_t timeout_ns, Probe& probe);
// A sleep of `ns` of virtual time; -1 with EINTR and the time left in *left.
int sleep_ns(int64_t ns, int64_t* left);

// ---- refusals (interpose_refusals.cpp)
void refuse_text(const char* what);
int refuse(const char* what);
// Refuses a statically linked `path` (errno ENOEXEC): true when it did.
bool refuse_static(const char* path);
// The program execvp() would run.
bool search_path(const char* file, char* out, size_t size);

// ---- a process's life on the clock (lifetime.cpp)
void before_exec();
void exec_failed();
// At exit the process's slots go.
void leave();

}  // namespace kelvex::clock
