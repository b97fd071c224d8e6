// libkelvex_clock.so: preloaded into the mission and everything it starts, it
// puts the run's virtual clock in place of the wall clock without a line of
// the mission changing.
//
// Clock reads return virtual time; a sleep takes no real time; a wait on the
// serial line ends when the simulator's answer comes or at its virtual
// time-out; a wait on anything else is a real wait that holds the clock (past
// a bound the clock goes on at the wall's pace and the run says so). What
// cannot be followed (timers that signal, statically linked programs) is
// refused at once rather than run on the wrong clock.
//
// Without KELVEX_CLOCK in the environment every call passes straight through.
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

#include "segment.h"

// The calls below stand in for libc's: they must be seen from outside.
#pragma GCC visibility push(default)

extern char** environ;

namespace kelvex::clock {
namespace {

// A clock read this often without any other followed call counts as a small
// step of waiting: a mission that waits by watching the clock still
// progresses, by the same steps every time.
constexpr int kReadsPerStep = 64;
constexpr int64_t kReadStepNs = 1000000;  // 1 ms
// How often a waiting party looks again without being woken (a safety net;
// the simulator wakes waiters on every change).
constexpr int64_t kRecheckNs = 200000000;
// A real wait past the bound is followed in slices this long.
constexpr int64_t kRealSliceNs = 20000000;
constexpr int kMaxFds = 4096;

Segment* g_seg = nullptr;
bool g_observer = false;  // the station: clock reads only
int g_bell = -1;
// This process's life lock on the clock's file (segment.h hold_life).
int g_life_fd = -1;
int32_t g_life = -1;
dev_t g_seg_dev = 0;
ino_t g_seg_ino = 0;
pthread_key_t g_key;
char g_seg_path[512];
char g_preload[1024];
thread_local Party* t_self = nullptr;
thread_local int t_reads = 0;
thread_local int t_taken = 0;  // datagrams received, published at the next receive
// Handlers of ours that ran in this thread: a wait they interrupt ends with
// EINTR even when the signal came between two looks at the clock.
thread_local volatile sig_atomic_t t_signals = 0;
// Which epoll sets hold the line / anything else, by descriptor.
unsigned char g_epoll_kind[kMaxFds];
enum : unsigned char { kEpollLine = 1, kEpollOther = 2 };

template <typename F>
F next_fn(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(name) static const auto real_##name = next_fn<decltype(&::name)>(#name)

pid_t my_tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool active() { return g_seg != nullptr && !g_observer; }

int64_t vnow() { return g_seg->now.load(std::memory_order_acquire); }

void set_state(Party* p, State s)
{
    p->since.store(real_ns(), std::memory_order_relaxed);
    p->state.store(static_cast<uint32_t>(s), std::memory_order_release);
}

State state_of(const Party* p) { return static_cast<State>(p->state.load(std::memory_order_acquire)); }

// Wakes the simulator when it sleeps waiting for a change.
void ring()
{
    if (!g_seg->sim_asleep.exchange(0, std::memory_order_acq_rel)) {
        return;
    }
    REAL(write);
    if (g_bell < 0) {
        char path[600];
        snprintf(path, sizeof path, "%s%s", g_seg_path, bell_suffix());
        g_bell = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (g_bell >= 0) {
        const char b = 1;
        (void)real_write(g_bell, &b, 1);
    }
}

// A slot for a party in state `s`; its fields are set before anyone sees it.
Party* claim(State s, pid_t pid, pid_t tid, pid_t owner)
{
    for (int i = 0; i < kMaxParties; ++i) {
        Party& p = g_seg->parties[i];
        uint32_t expected = static_cast<uint32_t>(State::Free);
        // Running while its fields are filled: held, never taken for dead.
        if (!p.state.compare_exchange_strong(expected, static_cast<uint32_t>(State::Running))) {
            continue;
        }
        p.pid.store(pid);
        p.tid.store(tid);
        p.owner.store(owner);
        p.life.store(g_life);
        p.on_line.store(0);
        p.deadline.store(kNever);
        uint32_t top = g_seg->top.load();
        while (top < static_cast<uint32_t>(i + 1) && !g_seg->top.compare_exchange_weak(top, i + 1)) {
        }
        set_state(&p, s);
        return &p;
    }
    return nullptr;
}

void release(Party* p)
{
    if (p) {
        set_state(p, State::Free);
        ring();
    }
}

void thread_gone(void* slot)
{
    if (slot == t_self) {
        t_self = nullptr;
    }
    release(static_cast<Party*>(slot));
}

void refuse_text(const char* what)
{
    char msg[480];
    char exe[256] = "";
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = 0;
    snprintf(msg, sizeof msg,
             "kelvex-sim: virtual time cannot follow %s (in %s); fly this mission with "
             "--clock real\n",
             what, exe);
    REAL(write);
    (void)real_write(2, msg, strlen(msg));
    if (g_seg->refused.exchange(1) == 0) {
        strncpy(g_seg->refusal, msg, sizeof g_seg->refusal - 1);
        // The simulator stops the run as soon as it sees this.
        g_seg->sim_asleep.store(1);
        ring();
    }
}

int refuse(const char* what)
{
    refuse_text(what);
    errno = ENOTSUP;
    return -1;
}

// This thread's slot; made on first use.
Party* self()
{
    if (!active()) {
        return nullptr;
    }
    if (t_self == nullptr) {
        t_self = claim(State::Running, getpid(), my_tid(), 0);
        if (t_self == nullptr) {
            refuse_text("more than 256 threads and processes");
            return nullptr;
        }
        pthread_setspecific(g_key, t_self);
    }
    return t_self;
}

// Children of ours that ended while we waited for them are ours to let go.
void release_exit_holds()
{
    const pid_t me = getpid();
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        if (state_of(&p) == State::ExitHold && p.owner.load() == me) {
            release(&p);
        }
    }
}

bool is_line(int fd)
{
    if (fd < 0 || !active()) {
        return false;
    }
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == g_seg->line_rdev;
}

int64_t ts_ns(const timespec& ts) { return static_cast<int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec; }

timespec ns_ts(int64_t ns)
{
    if (ns < 0) {
        ns = 0;
    }
    return timespec{static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
}

bool bad_ts(const timespec* ts) { return ts->tv_nsec < 0 || ts->tv_nsec >= kNsPerS || ts->tv_sec < 0; }

int ms_of(int64_t ns) { return ns < 0 ? -1 : static_cast<int>(std::min<int64_t>((ns + 999999) / 1000000, INT32_MAX)); }

// What a wait watches.
enum class Kind { Sleep, Line, Real };

// The real call behind a wait: real_timeout_ns 0 only looks, < 0 waits for
// ever. > 0 ready, 0 timed out, < 0 failed (errno set).
struct Probe {
    virtual int operator()(int64_t real_timeout_ns) = 0;
    virtual ~Probe() = default;
};

// Waits on the virtual clock until `deadline` (kNever: until woken), or
// until probe(0) says ready. Returns the probe's result, 0 at the deadline,
// -1 with EINTR after a signal's handler ran.
int virtual_wait(Party* p, int64_t deadline, Probe* probe, bool on_line)
{
    p->deadline.store(deadline);
    p->on_line.store(on_line ? 1 : 0);
    const sig_atomic_t signals = t_signals;
    set_state(p, State::Waiting);
    ring();
    int result = 0;
    for (;;) {
        const uint32_t seq = g_seg->seq.load(std::memory_order_acquire);
        if (t_signals != signals) {
            result = -1;
            break;
        }
        if (probe) {
            const int r = (*probe)(0);
            if (r != 0) {
                result = r;
                break;
            }
        }
        if (vnow() >= deadline) {
            break;
        }
        if (state_of(p) != State::Waiting) {
            // A sender marks us before its signal reaches us; a signal we
            // block or ignore never ends the wait: wait on.
            set_state(p, State::Waiting);
            ring();
            continue;
        }
        // With a time-out the kernel reports a signal's handler as EINTR
        // even under SA_RESTART, as nanosleep does.
        if (futex_wait(&g_seg->seq, seq, kRecheckNs) != 0 && errno == EINTR) {
            result = -1;
            break;
        }
    }
    p->on_line.store(0);
    set_state(p, State::Running);
    if (result < 0) {
        errno = EINTR;
    }
    return result;
}

// A wait on something outside the run's clock: real, holding the clock; at
// the time-out the virtual time catches up; past the bound the clock goes on
// at the wall's pace until the wait ends.
int real_wait(Party* p, int64_t timeout_ns, Probe& probe)
{
    const int64_t bound = g_seg->bound_ns;
    const int64_t start_v = vnow();
    const int64_t first = timeout_ns < 0 ? bound : std::min(timeout_ns, bound);
    int r = probe(first);
    if (r != 0) {
        return r;
    }
    if (timeout_ns >= 0 && timeout_ns <= bound) {
        return virtual_wait(p, start_v + timeout_ns, &probe, false);
    }
    const int64_t deadline = timeout_ns < 0 ? kNever : start_v + timeout_ns;
    const int64_t real_start = real_ns();
    g_seg->fallbacks.fetch_add(1);
    p->deadline.store(deadline);
    set_state(p, State::RealWait);
    ring();
    for (;;) {
        r = probe(kRealSliceNs);
        if (r != 0 || vnow() >= deadline) {
            break;
        }
    }
    g_seg->fallback_ns.fetch_add(real_ns() - real_start);
    set_state(p, State::Running);
    return r;
}

int follow(Kind kind, int64_t timeout_ns, Probe& probe)
{
    Party* p = self();
    if (p == nullptr) {
        return probe(timeout_ns);
    }
    t_reads = 0;
    release_exit_holds();
    if (timeout_ns == 0) {
        return kind == Kind::Sleep ? 0 : probe(0);
    }
    if (kind == Kind::Real) {
        return real_wait(p, timeout_ns, probe);
    }
    const int64_t deadline = timeout_ns < 0 ? kNever : vnow() + timeout_ns;
    return virtual_wait(p, deadline, kind == Kind::Line ? &probe : nullptr, kind == Kind::Line);
}

struct NoProbe : Probe {
    int operator()(int64_t) override { return 0; }
};

// A sleep of `ns` of virtual time; -1 with EINTR and the time left in *left.
int sleep_ns(int64_t ns, int64_t* left)
{
    Party* p = self();
    const int64_t deadline = vnow() + ns;
    t_reads = 0;
    if (p == nullptr || ns <= 0) {
        return 0;
    }
    release_exit_holds();
    const int r = virtual_wait(p, deadline, nullptr, false);
    if (r < 0 && left) {
        *left = std::max<int64_t>(0, deadline - vnow());
    }
    return r;
}

// Blocked on another party of ours (a child, a thread): holds nothing.
template <typename F>
auto passive(F&& call)
{
    Party* p = self();
    if (p == nullptr) {
        return call();
    }
    release_exit_holds();
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

bool statically_linked(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    Elf64_Ehdr eh{};
    bool is_static = false;
    if (pread(fd, &eh, sizeof eh, 0) == static_cast<ssize_t>(sizeof eh) &&
        memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 && eh.e_ident[EI_CLASS] == ELFCLASS64 &&
        (eh.e_type == ET_EXEC || eh.e_type == ET_DYN)) {
        is_static = true;
        for (int i = 0; i < eh.e_phnum; ++i) {
            Elf64_Phdr ph{};
            if (pread(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + i * eh.e_phentsize)) !=
                static_cast<ssize_t>(sizeof ph)) {
                break;
            }
            if (ph.p_type == PT_INTERP) {
                is_static = false;
                break;
            }
        }
    } else if (memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 && eh.e_ident[EI_CLASS] == ELFCLASS32) {
        is_static = true;  // a 32-bit program cannot load this interposer
    }
    close(fd);
    return is_static;
}

// The program execvp() would run.
bool search_path(const char* file, char* out, size_t size)
{
    if (strchr(file, '/')) {
        snprintf(out, size, "%s", file);
        return true;
    }
    const char* path = getenv("PATH");
    if (!path) {
        path = "/bin:/usr/bin";
    }
    while (*path) {
        const char* end = strchrnul(path, ':');
        snprintf(out, size, "%.*s/%s", static_cast<int>(end - path), path, file);
        if (access(out, X_OK) == 0) {
            return true;
        }
        path = *end ? end + 1 : end;
    }
    return false;
}

bool refuse_static(const char* path)
{
    if (!active() || !statically_linked(path)) {
        return false;
    }
    char what[400];
    snprintf(what, sizeof what, "a statically linked program (%s)", path);
    refuse(what);
    errno = ENOEXEC;
    return true;
}

// An environment for a program we start: ours may have been dropped by the
// mission (env={} in Python); virtual time must reach every process.
struct Env {
    char** envp;
    char* store[4096];
    char clock_var[600];
    char preload_var[1100];
    explicit Env(char* const* given)
    {
        envp = const_cast<char**>(given);
        if (!active() || given == nullptr) {
            return;
        }
        size_t n = 0;
        bool has_clock = false;
        bool has_preload = false;
        for (; given[n] && n < 4000; ++n) {
            has_clock = has_clock || strncmp(given[n], "KELVEX_CLOCK=", 13) == 0;
            has_preload = has_preload || (strncmp(given[n], "LD_PRELOAD=", 11) == 0 &&
                                          strstr(given[n], g_preload) != nullptr);
        }
        if ((has_clock && has_preload) || given[n]) {
            return;
        }
        size_t k = 0;
        for (size_t i = 0; i < n; ++i) {
            if (strncmp(given[i], "LD_PRELOAD=", 11) != 0 && strncmp(given[i], "KELVEX_CLOCK=", 13) != 0) {
                store[k++] = given[i];
            }
        }
        snprintf(clock_var, sizeof clock_var, "KELVEX_CLOCK=%s", g_seg_path);
        snprintf(preload_var, sizeof preload_var, "LD_PRELOAD=%s", g_preload);
        store[k++] = clock_var;
        store[k++] = preload_var;
        store[k] = nullptr;
        envp = store;
    }
};

struct SpawnSlot {
    Party* slot = nullptr;
    SpawnSlot()
    {
        if (self()) {
            slot = claim(State::Pending, getpid(), my_tid(), getpid());
        }
    }
    // The child took it (or never will).
    void started(pid_t child)
    {
        if (slot && state_of(slot) == State::Pending) {
            slot->pid.store(child);
        }
    }
    void failed()
    {
        uint32_t pending = static_cast<uint32_t>(State::Pending);
        if (slot && slot->state.compare_exchange_strong(pending, static_cast<uint32_t>(State::Running))) {
            release(slot);
        }
    }
};

bool is_clock_file(int fd)
{
    struct stat st {};
    return fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == g_seg_dev && st.st_ino == g_seg_ino;
}

// The life lock is carried through exec (its descriptor kept open), so that
// the simulator never sees this process without one while the new image
// loads: however long that takes under load, the clock waits for it.
void before_exec()
{
    if (!active() || t_self == nullptr) {
        return;
    }
    if (!is_clock_file(g_life_fd)) {
        // Closed by the mission (a child closing every descriptor): anew.
        g_life_fd = hold_life(g_seg, g_seg_path, &g_life);
        t_self->life.store(g_life);
    }
    if (g_life_fd >= 0) {
        fcntl(g_life_fd, F_SETFD, 0);
    }
    set_state(t_self, state_of(t_self));
}

void exec_failed()
{
    if (active() && g_life_fd >= 0) {
        fcntl(g_life_fd, F_SETFD, FD_CLOEXEC);
    }
}

// The life the image before us carried through exec: ours is held now.
void close_carried_lives()
{
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return;
    }
    const int own = dirfd(d);
    while (const dirent* e = readdir(d)) {
        const int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != own && fd != g_life_fd && is_clock_file(fd) &&
            (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) {
            close(fd);
        }
    }
    closedir(d);
}

__attribute__((constructor)) void start()
{
    const char* path = getenv("KELVEX_CLOCK");
    if (!path || !*path) {
        return;
    }
    set_real_clock(next_fn<ClockFn>("clock_gettime"));
    snprintf(g_seg_path, sizeof g_seg_path, "%s", path);
    const char* preload = getenv("LD_PRELOAD");
    snprintf(g_preload, sizeof g_preload, "%s", preload ? preload : "");
    g_seg = map_segment(path);
    if (!g_seg) {
        char msg[700];
        snprintf(msg, sizeof msg, "kelvex-sim: the run's clock %s cannot be mapped (%s)\n", path,
                 strerror(errno));
        (void)!write(2, msg, strlen(msg));
        _exit(125);
    }
    const char* role = getenv("KELVEX_CLOCK_ROLE");
    g_observer = role && strcmp(role, "observer") == 0;
    if (g_observer) {
        return;
    }
    pthread_key_create(&g_key, thread_gone);
    g_life_fd = hold_life(g_seg, g_seg_path, &g_life);
    struct stat st {};
    if (fstat(g_life_fd, &st) == 0) {
        g_seg_dev = st.st_dev;
        g_seg_ino = st.st_ino;
    }
    const pid_t me = getpid();
    const pid_t tid = my_tid();
    // After an exec the slots of the image before us are ours: keep one (the
    // clock stays held throughout), let the other threads' go.
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        const State s = state_of(&p);
        if (s == State::Free || s == State::Pending || s == State::ExitHold || p.pid.load() != me) {
            continue;
        }
        if (t_self == nullptr) {
            t_self = &p;
            p.tid.store(tid);
            p.life.store(g_life);
            set_state(&p, State::Running);
        } else {
            release(&p);
        }
    }
    // A process started by posix_spawn() or system() takes the slot its
    // parent kept for it.
    const pid_t parent = getppid();
    for (uint32_t i = 0; i < top && t_self == nullptr; ++i) {
        Party& p = g_seg->parties[i];
        uint32_t pending = static_cast<uint32_t>(State::Pending);
        const pid_t owner = p.owner.load();
        if ((owner == parent || owner == kAnyParent) &&
            p.state.compare_exchange_strong(pending, static_cast<uint32_t>(State::Running))) {
            p.pid.store(me);
            p.tid.store(tid);
            p.life.store(g_life);
            t_self = &p;
        }
    }
    if (self()) {
        pthread_setspecific(g_key, t_self);
    }
    close_carried_lives();
}

// Our life lock goes with this image: a fresh look from now on, so that the
// simulator does not take the new image's start-up for our end.
// At exit the process's slots go; the main one is held for a parent that
// waits for us, so the clock cannot move between our end and its waking.
void leave()
{
    if (!active()) {
        return;
    }
    const pid_t me = getpid();
    const pid_t parent = getppid();
    // A parent of ours that waits for us, or the simulator (no party: it
    // started the mission and lets go when it has seen the end).
    bool parent_party = false;
    bool parent_waits = false;
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        const State s = state_of(&p);
        if (p.pid.load() == parent && s != State::Free && s != State::Pending && s != State::ExitHold) {
            parent_party = true;
            parent_waits = parent_waits || s == State::Passive;
        }
    }
    parent_waits = parent_waits || !parent_party;
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        const State s = state_of(&p);
        if (p.pid.load() != me || s == State::Free || s == State::Pending || s == State::ExitHold) {
            continue;
        }
        if (&p == t_self && parent_waits) {
            p.owner.store(parent);
            set_state(&p, State::ExitHold);
        } else {
            release(&p);
        }
    }
    t_self = nullptr;
    g_seg = nullptr;  // nothing after this point follows the clock
}

__attribute__((destructor)) void stop() { leave(); }

}  // namespace
}  // namespace kelvex::clock

using namespace kelvex::clock;

extern "C" {

// ---- clock reads ------------------------------------------------------------

int clock_gettime(clockid_t id, timespec* ts)
{
    REAL(clock_gettime);
    if (g_seg == nullptr || !follows(id)) {
        return real_clock_gettime(id, ts);
    }
    if (!g_observer && ++t_reads >= kReadsPerStep) {
        // Watching the clock in a loop: a step of waiting.
        Party* p = self();
        t_reads = 0;
        if (p) {
            virtual_wait(p, vnow() + kReadStepNs, nullptr, false);
        }
    }
    *ts = ns_ts(virtual_clock_ns(*g_seg, id));
    if (id == CLOCK_REALTIME_COARSE || id == CLOCK_MONOTONIC_COARSE) {
        ts->tv_nsec -= ts->tv_nsec % 4000000;  // the coarse clocks tick in jiffies
    }
    return 0;
}

int gettimeofday(struct timeval* tv, void* tz)
{
    REAL(gettimeofday);
    if (g_seg == nullptr) {
        return real_gettimeofday(tv, tz);
    }
    if (tz) {
        memset(tz, 0, sizeof(struct timezone));
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

time_t time(time_t* out)
{
    REAL(time);
    if (g_seg == nullptr) {
        return real_time(out);
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (out) {
        *out = ts.tv_sec;
    }
    return ts.tv_sec;
}

// ---- sleeps -------------------------------------------------------------------

int nanosleep(const timespec* req, timespec* rem)
{
    REAL(nanosleep);
    if (!active()) {
        return real_nanosleep(req, rem);
    }
    if (req == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (bad_ts(req)) {
        errno = EINVAL;
        return -1;
    }
    int64_t left = 0;
    const int r = sleep_ns(ts_ns(*req), &left);
    if (r < 0 && rem) {
        *rem = ns_ts(left);
    }
    return r;
}

int clock_nanosleep(clockid_t id, int flags, const timespec* req, timespec* rem)
{
    REAL(clock_nanosleep);
    if (!active() || !follows(id)) {
        return real_clock_nanosleep(id, flags, req, rem);
    }
    if (id == CLOCK_MONOTONIC_RAW || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_REALTIME_COARSE) {
        return ENOTSUP;  // as the kernel answers for these
    }
    if (req == nullptr) {
        return EFAULT;
    }
    if (bad_ts(req)) {
        return EINVAL;
    }
    const int64_t ns = (flags & TIMER_ABSTIME) ? ts_ns(*req) - virtual_clock_ns(*g_seg, id) : ts_ns(*req);
    int64_t left = 0;
    const int saved = errno;
    const int r = sleep_ns(ns, &left);
    if (r < 0) {
        if (rem && !(flags & TIMER_ABSTIME)) {
            *rem = ns_ts(left);
        }
        errno = saved;
        return EINTR;
    }
    return 0;
}

int usleep(useconds_t us)
{
    REAL(usleep);
    if (!active()) {
        return real_usleep(us);
    }
    return sleep_ns(static_cast<int64_t>(us) * 1000, nullptr);
}

unsigned int sleep(unsigned int s)
{
    REAL(sleep);
    if (!active()) {
        return real_sleep(s);
    }
    int64_t left = 0;
    if (sleep_ns(static_cast<int64_t>(s) * kNsPerS, &left) < 0) {
        return static_cast<unsigned>(left / kNsPerS);  // whole seconds, as glibc counts
    }
    return 0;
}

// ---- waits with a time-out ------------------------------------------------------

}  // extern "C"

namespace kelvex::clock {
namespace {

Kind classify_pollfds(const pollfd* fds, nfds_t n)
{
    bool line = false;
    bool other = false;
    for (nfds_t i = 0; i < n; ++i) {
        if (fds[i].fd < 0) {
            continue;
        }
        (is_line(fds[i].fd) ? line : other) = true;
    }
    return other ? Kind::Real : (line ? Kind::Line : Kind::Sleep);
}

struct PollProbe : Probe {
    pollfd* fds;
    nfds_t n;
    const sigset_t* mask;
    PollProbe(pollfd* f, nfds_t c, const sigset_t* m) : fds(f), n(c), mask(m) {}
    int operator()(int64_t t) override
    {
        REAL(ppoll);
        timespec ts = ns_ts(t);
        return real_ppoll(fds, n, t < 0 ? nullptr : &ts, mask);
    }
};

int follow_poll(pollfd* fds, nfds_t n, int64_t timeout_ns, const sigset_t* mask)
{
    PollProbe probe(fds, n, mask);
    const Kind kind = classify_pollfds(fds, n);
    sigset_t old;
    if (mask && kind != Kind::Real) {
        pthread_sigmask(SIG_SETMASK, mask, &old);
    }
    const int r = follow(kind, timeout_ns, probe);
    if (mask && kind != Kind::Real) {
        const int err = errno;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        errno = err;
    }
    return r;
}

struct SelectProbe : Probe {
    int n;
    fd_set *r, *w, *e;
    fd_set r0, w0, e0;
    const sigset_t* mask;
    SelectProbe(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, const sigset_t* m)
        : n(nfds), r(rd), w(wr), e(ex), mask(m)
    {
        FD_ZERO(&r0);
        FD_ZERO(&w0);
        FD_ZERO(&e0);
        if (r) r0 = *r;
        if (w) w0 = *w;
        if (e) e0 = *e;
    }
    int operator()(int64_t t) override
    {
        REAL(pselect);
        if (r) *r = r0;
        if (w) *w = w0;
        if (e) *e = e0;
        timespec ts = ns_ts(t);
        const int res = real_pselect(n, r, w, e, t < 0 ? nullptr : &ts, mask);
        if (res == 0) {
            // A time-out leaves the sets empty, as select does.
            if (r) FD_ZERO(r);
            if (w) FD_ZERO(w);
            if (e) FD_ZERO(e);
        }
        return res;
    }
};

Kind classify_select(int n, const fd_set* r, const fd_set* w, const fd_set* e)
{
    bool line = false;
    bool other = false;
    for (int fd = 0; fd < n && fd < FD_SETSIZE; ++fd) {
        if ((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (e && FD_ISSET(fd, e))) {
            (is_line(fd) ? line : other) = true;
        }
    }
    return other ? Kind::Real : (line ? Kind::Line : Kind::Sleep);
}

int follow_select(int n, fd_set* r, fd_set* w, fd_set* e, int64_t timeout_ns, const sigset_t* mask)
{
    if (n < 0 || n > FD_SETSIZE) {
        errno = EINVAL;
        return -1;
    }
    SelectProbe probe(n, r, w, e, mask);
    const Kind kind = classify_select(n, r, w, e);
    sigset_t old;
    if (mask && kind != Kind::Real) {
        pthread_sigmask(SIG_SETMASK, mask, &old);
    }
    int res = follow(kind, timeout_ns, probe);
    if (res == 0 && kind == Kind::Sleep) {
        if (r) FD_ZERO(r);
        if (w) FD_ZERO(w);
        if (e) FD_ZERO(e);
    }
    if (mask && kind != Kind::Real) {
        const int err = errno;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        errno = err;
    }
    return res;
}

struct EpollProbe : Probe {
    int epfd;
    epoll_event* ev;
    int max;
    const sigset_t* mask;
    EpollProbe(int fd, epoll_event* e, int m, const sigset_t* s) : epfd(fd), ev(e), max(m), mask(s) {}
    int operator()(int64_t t) override
    {
        REAL(epoll_pwait);
        return real_epoll_pwait(epfd, ev, max, ms_of(t), mask);
    }
};

int follow_epoll(int epfd, epoll_event* ev, int max, int timeout_ms, const sigset_t* mask)
{
    EpollProbe probe(epfd, ev, max, mask);
    if (max <= 0 || epfd < 0) {
        return probe(0);  // the kernel's own EINVAL / EBADF
    }
    const unsigned k = epfd < kMaxFds ? g_epoll_kind[epfd] : unsigned{kEpollOther};
    const Kind kind = (k & kEpollOther) ? Kind::Real : ((k & kEpollLine) ? Kind::Line : Kind::Sleep);
    const int64_t timeout = timeout_ms < 0 ? -1 : static_cast<int64_t>(timeout_ms) * 1000000;
    if (kind == Kind::Sleep) {
        // An empty set: only the time-out (or a signal) ends the wait.
        return follow(Kind::Sleep, timeout, probe);
    }
    return follow(kind, timeout, probe);
}

}  // namespace
}  // namespace kelvex::clock

extern "C" {

int poll(pollfd* fds, nfds_t n, int timeout)
{
    REAL(poll);
    if (!active()) {
        return real_poll(fds, n, timeout);
    }
    return follow_poll(fds, n, timeout < 0 ? -1 : static_cast<int64_t>(timeout) * 1000000, nullptr);
}

int ppoll(pollfd* fds, nfds_t n, const timespec* tmo, const sigset_t* mask)
{
    REAL(ppoll);
    if (!active()) {
        return real_ppoll(fds, n, tmo, mask);
    }
    if (tmo && bad_ts(tmo)) {
        errno = EINVAL;
        return -1;
    }
    return follow_poll(fds, n, tmo ? ts_ns(*tmo) : -1, mask);
}

int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv)
{
    REAL(select);
    if (!active()) {
        return real_select(n, r, w, e, tv);
    }
    // The kernel takes 1000000 µs and more as whole seconds; only negatives fail.
    if (tv && (tv->tv_sec < 0 || tv->tv_usec < 0)) {
        errno = EINVAL;
        return -1;
    }
    const int64_t timeout = tv ? static_cast<int64_t>(tv->tv_sec) * kNsPerS + tv->tv_usec * 1000 : -1;
    const int64_t start = vnow();
    const int res = follow_select(n, r, w, e, timeout, nullptr);
    if (tv) {
        // Linux leaves the time not slept in the timeval.
        const int64_t left = std::max<int64_t>(0, timeout - (vnow() - start));
        tv->tv_sec = left / kNsPerS;
        tv->tv_usec = (left % kNsPerS) / 1000;
    }
    return res;
}

int pselect(int n, fd_set* r, fd_set* w, fd_set* e, const timespec* tmo, const sigset_t* mask)
{
    REAL(pselect);
    if (!active()) {
        return real_pselect(n, r, w, e, tmo, mask);
    }
    if (tmo && bad_ts(tmo)) {
        errno = EINVAL;
        return -1;
    }
    return follow_select(n, r, w, e, tmo ? ts_ns(*tmo) : -1, mask);
}

int epoll_wait(int epfd, epoll_event* ev, int max, int timeout)
{
    REAL(epoll_wait);
    if (!active()) {
        return real_epoll_wait(epfd, ev, max, timeout);
    }
    return follow_epoll(epfd, ev, max, timeout, nullptr);
}

int epoll_pwait(int epfd, epoll_event* ev, int max, int timeout, const sigset_t* mask)
{
    REAL(epoll_pwait);
    if (!active()) {
        return real_epoll_pwait(epfd, ev, max, timeout, mask);
    }
    return follow_epoll(epfd, ev, max, timeout, mask);
}

int epoll_create(int size)
{
    REAL(epoll_create);
    const int fd = real_epoll_create(size);
    if (fd >= 0 && fd < kMaxFds) {
        g_epoll_kind[fd] = 0;
    }
    return fd;
}

int epoll_create1(int flags)
{
    REAL(epoll_create1);
    const int fd = real_epoll_create1(flags);
    if (fd >= 0 && fd < kMaxFds) {
        g_epoll_kind[fd] = 0;
    }
    return fd;
}

int epoll_ctl(int epfd, int op, int fd, epoll_event* ev)
{
    REAL(epoll_ctl);
    const int r = real_epoll_ctl(epfd, op, fd, ev);
    if (r == 0 && op == EPOLL_CTL_ADD && epfd >= 0 && epfd < kMaxFds) {
        g_epoll_kind[epfd] |= is_line(fd) ? kEpollLine : kEpollOther;
    }
    return r;
}

// ---- the line's bytes, counted so the clock never moves with bytes in flight ---

ssize_t write(int fd, const void* buf, size_t n)
{
    REAL(write);
    const ssize_t r = real_write(fd, buf, n);
    if (r > 0 && is_line(fd)) {
        g_seg->mission_tx.fetch_add(static_cast<uint64_t>(r));
        ring();
    }
    return r;
}

ssize_t read(int fd, void* buf, size_t n)
{
    REAL(read);
    const ssize_t r = real_read(fd, buf, n);
    if (r > 0 && is_line(fd)) {
        g_seg->mission_rx.fetch_add(static_cast<uint64_t>(r));
    }
    return r;
}

int tcflush(int fd, int queue)
{
    REAL(tcflush);
    const int r = real_tcflush(fd, queue);
    if (r == 0 && (queue == TCIFLUSH || queue == TCIOFLUSH) && is_line(fd)) {
        // Whatever the simulator sent is gone: none of it is still on its way.
        uint64_t sent = g_seg->sim_tx.load();
        uint64_t got = g_seg->mission_rx.load();
        while (got < sent && !g_seg->mission_rx.compare_exchange_weak(got, sent)) {
        }
    }
    return r;
}

// ---- datagrams to the run's station ---------------------------------------------

ssize_t sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* to, socklen_t len)
{
    REAL(sendto);
    bool counted = false;
    if (active() && g_seg->ground[0] && to && to->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(to)->sin_addr, addr, sizeof addr);
        int type = 0;
        socklen_t tl = sizeof type;
        counted = strcmp(addr, g_seg->ground) == 0 &&
                  getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) == 0 && type == SOCK_DGRAM;
        if (counted) {
            g_seg->dgrams_sent.fetch_add(1);
        }
    }
    const ssize_t r = real_sendto(fd, buf, n, flags, to, len);
    if (counted && r < 0) {
        g_seg->dgrams_taken.fetch_add(1);  // never sent: nothing to wait for
    }
    return r;
}

ssize_t recvfrom(int fd, void* buf, size_t n, int flags, sockaddr* from, socklen_t* len)
{
    REAL(recvfrom);
    if (g_seg == nullptr || !g_observer) {
        return real_recvfrom(fd, buf, n, flags, from, len);
    }
    // The station: the datagram before this one has been stamped and queued.
    if (t_taken) {
        g_seg->dgrams_taken.fetch_add(static_cast<uint64_t>(t_taken));
        t_taken = 0;
    }
    const ssize_t r = real_recvfrom(fd, buf, n, flags, from, len);
    int type = 0;
    socklen_t tl = sizeof type;
    if (r >= 0 && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) == 0 && type == SOCK_DGRAM) {
        t_taken = 1;
    }
    return r;
}

// ---- processes and threads ---------------------------------------------------------

pid_t fork(void)
{
    REAL(fork);
    Party* me = self();
    if (me == nullptr) {
        return real_fork();
    }
    // The child's slot exists (and holds the clock) before the child does.
    Party* child = claim(State::Running, getpid(), my_tid(), 0);
    const pid_t pid = real_fork();
    if (pid == 0) {
        t_self = child;
        // The parent's life lock is shared with us through the inherited
        // descriptor: ours must end with us alone.
        if (g_life_fd >= 0) {
            close(g_life_fd);
        }
        g_life_fd = hold_life(g_seg, g_seg_path, &g_life);
        if (child) {
            child->life.store(g_life);
            child->pid.store(getpid());
            child->tid.store(my_tid());
            pthread_setspecific(g_key, child);
        }
        return 0;
    }
    if (pid < 0) {
        const int err = errno;
        release(child);
        errno = err;
    } else if (child) {
        child->pid.store(pid);
        child->tid.store(pid);
    }
    return pid;
}

// vfork's child shares our memory until it execs; a plain fork is a correct
// stand-in and lets the child take its own slot.
pid_t vfork(void) { return fork(); }

int system(const char* command)
{
    REAL(system);
    if (command == nullptr || self() == nullptr) {
        return real_system(command);
    }
    SpawnSlot slot;
    const int r = passive([&] { return real_system(command); });
    slot.failed();
    return r;
}

FILE* popen(const char* command, const char* mode)
{
    REAL(popen);
    SpawnSlot slot;
    FILE* f = real_popen(command, mode);
    if (f == nullptr) {
        slot.failed();
    }
    return f;
}

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* fa,
                const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    REAL(posix_spawn);
    if (refuse_static(path)) {
        return ENOEXEC;
    }
    Env env(envp);
    SpawnSlot slot;
    pid_t child = 0;
    const int r = real_posix_spawn(&child, path, fa, attr, argv, env.envp);
    if (r == 0) {
        slot.started(child);
        if (pid) *pid = child;
    } else {
        slot.failed();
    }
    return r;
}

int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* fa,
                 const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    REAL(posix_spawnp);
    char path[4096];
    if (search_path(file, path, sizeof path) && refuse_static(path)) {
        return ENOEXEC;
    }
    Env env(envp);
    SpawnSlot slot;
    pid_t child = 0;
    const int r = real_posix_spawnp(&child, file, fa, attr, argv, env.envp);
    if (r == 0) {
        slot.started(child);
        if (pid) *pid = child;
    } else {
        slot.failed();
    }
    return r;
}

int execve(const char* path, char* const argv[], char* const envp[])
{
    REAL(execve);
    if (refuse_static(path)) {
        return -1;
    }
    Env env(envp);
    before_exec();
    const int r = real_execve(path, argv, env.envp);
    exec_failed();
    return r;
}

int execv(const char* path, char* const argv[]) { return execve(path, argv, environ); }

int execvpe(const char* file, char* const argv[], char* const envp[])
{
    REAL(execvpe);
    char path[4096];
    if (search_path(file, path, sizeof path) && refuse_static(path)) {
        return -1;
    }
    Env env(envp);
    before_exec();
    const int r = real_execvpe(file, argv, env.envp);
    exec_failed();
    return r;
}

int execvp(const char* file, char* const argv[]) { return execvpe(file, argv, environ); }

}  // extern "C"

namespace {
// execl's variadic arguments as an array.
template <typename F>
int with_list(const char* arg, va_list ap, bool with_env, F&& exec)
{
    char* argv[1024];
    int n = 0;
    argv[n++] = const_cast<char*>(arg);
    while (arg && n < 1023) {
        arg = va_arg(ap, const char*);
        argv[n++] = const_cast<char*>(arg);
    }
    argv[n] = nullptr;
    char* const* envp = with_env ? va_arg(ap, char* const*) : environ;
    return exec(argv, envp);
}
}  // namespace

extern "C" {

int execl(const char* path, const char* arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const int r = with_list(arg, ap, false, [&](char** a, char* const* e) { return execve(path, a, e); });
    va_end(ap);
    return r;
}

int execle(const char* path, const char* arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const int r = with_list(arg, ap, true, [&](char** a, char* const* e) { return execve(path, a, e); });
    va_end(ap);
    return r;
}

int execlp(const char* file, const char* arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const int r = with_list(arg, ap, false, [&](char** a, char* const* e) { return execvpe(file, a, e); });
    va_end(ap);
    return r;
}

pid_t waitpid(pid_t pid, int* status, int options)
{
    REAL(waitpid);
    if (!active() || (options & WNOHANG)) {
        return real_waitpid(pid, status, options);
    }
    return passive([&] { return real_waitpid(pid, status, options); });
}

pid_t wait(int* status)
{
    REAL(waitpid);
    if (!active()) {
        return real_waitpid(-1, status, 0);
    }
    return passive([&] { return real_waitpid(-1, status, 0); });
}

pid_t wait4(pid_t pid, int* status, int options, struct rusage* ru)
{
    REAL(wait4);
    if (!active() || (options & WNOHANG)) {
        return real_wait4(pid, status, options, ru);
    }
    return passive([&] { return real_wait4(pid, status, options, ru); });
}

pid_t wait3(int* status, int options, struct rusage* ru)
{
    REAL(wait3);
    if (!active() || (options & WNOHANG)) {
        return real_wait3(status, options, ru);
    }
    return passive([&] { return real_wait3(status, options, ru); });
}

int waitid(idtype_t type, id_t id, siginfo_t* info, int options)
{
    REAL(waitid);
    if (!active() || (options & WNOHANG)) {
        return real_waitid(type, id, info, options);
    }
    return passive([&] { return real_waitid(type, id, info, options); });
}

}  // extern "C"

namespace {
struct ThreadStart {
    void* (*fn)(void*);
    void* arg;
    Party* slot;
};

void* thread_trampoline(void* a)
{
    ThreadStart start = *static_cast<ThreadStart*>(a);
    delete static_cast<ThreadStart*>(a);
    if (start.slot) {
        t_self = start.slot;
        start.slot->tid.store(my_tid());
        pthread_setspecific(g_key, start.slot);
    }
    return start.fn(start.arg);
}
}  // namespace

extern "C" {

int pthread_create(pthread_t* t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg)
{
    REAL(pthread_create);
    if (self() == nullptr) {
        return real_pthread_create(t, attr, fn, arg);
    }
    // The thread's slot holds the clock from now, not from its first call.
    auto* start = new ThreadStart{fn, arg, claim(State::Running, getpid(), my_tid(), 0)};
    const int r = real_pthread_create(t, attr, thread_trampoline, start);
    if (r != 0) {
        release(start->slot);
        delete start;
    }
    return r;
}

int pthread_join(pthread_t t, void** ret)
{
    REAL(pthread_join);
    if (!active()) {
        return real_pthread_join(t, ret);
    }
    return passive([&] { return real_pthread_join(t, ret); });
}

void _exit(int status)
{
    REAL(_exit);
    leave();
    real__exit(status);
    __builtin_unreachable();
}

// ---- signals: a signal ends a wait at the virtual instant it was sent ------------

}  // extern "C"

namespace {

// A signal is on its way to `pid` (0 or negative: a group, taken as anyone):
// its waiting parties hold the clock until they have seen it.
void poke(pid_t pid)
{
    if (!active()) {
        return;
    }
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        uint32_t waiting = static_cast<uint32_t>(State::Waiting);
        if (pid <= 0 || p.pid.load() == pid) {
            p.state.compare_exchange_strong(waiting, static_cast<uint32_t>(State::Running));
        }
    }
}

void poked()
{
    if (active()) {
        g_seg->seq.fetch_add(1);
        futex_wake_all(&g_seg->seq);
    }
}

}  // namespace

extern "C" {

int kill(pid_t pid, int sig)
{
    REAL(kill);
    if (sig != 0) {
        poke(pid);
    }
    const int r = real_kill(pid, sig);
    if (sig != 0) {
        poked();
    }
    return r;
}

int killpg(pid_t group, int sig) { return kill(-group, sig); }

int raise(int sig)
{
    REAL(raise);
    poke(getpid());
    const int r = real_raise(sig);
    poked();
    return r;
}

int sigqueue(pid_t pid, int sig, const union sigval value)
{
    REAL(sigqueue);
    poke(pid);
    const int r = real_sigqueue(pid, sig, value);
    poked();
    return r;
}

int pthread_kill(pthread_t thread, int sig)
{
    REAL(pthread_kill);
    if (sig != 0) {
        poke(getpid());
    }
    const int r = real_pthread_kill(thread, sig);
    if (sig != 0) {
        poked();
    }
    return r;
}

}  // extern "C"

namespace {

struct sigaction g_user[NSIG];  // the mission's own handlers, by signal

void on_signal(int sig, siginfo_t* info, void* context)
{
    const int saved = errno;
    if (g_seg && t_self) {
        ++t_signals;
        // Hold the clock from here; the changed word makes a futex wait that
        // is about to start return at once.
        uint32_t waiting = static_cast<uint32_t>(State::Waiting);
        t_self->state.compare_exchange_strong(waiting, static_cast<uint32_t>(State::Running));
        g_seg->seq.fetch_add(1);
    }
    errno = saved;
    const struct sigaction& user = g_user[sig];
    if (user.sa_flags & SA_SIGINFO) {
        user.sa_sigaction(sig, info, context);
    } else if (user.sa_handler != SIG_DFL && user.sa_handler != SIG_IGN) {
        user.sa_handler(sig);
    }
}

}  // namespace

extern "C" {

int sigaction(int sig, const struct sigaction* act, struct sigaction* old)
{
    REAL(sigaction);
    if (!active() || sig <= 0 || sig >= NSIG) {
        return real_sigaction(sig, act, old);
    }
    struct sigaction mine {};
    const struct sigaction* given = act;
    const bool handled = act && (act->sa_flags & SA_SIGINFO ? act->sa_sigaction != nullptr
                                                             : (act->sa_handler != SIG_DFL && act->sa_handler != SIG_IGN));
    if (handled) {
        mine = *act;
        mine.sa_flags |= SA_SIGINFO;
        mine.sa_sigaction = on_signal;
        given = &mine;
    }
    struct sigaction before {};
    const int r = real_sigaction(sig, given, &before);
    if (r != 0) {
        return r;
    }
    if (old) {
        *old = before.sa_sigaction == on_signal && (before.sa_flags & SA_SIGINFO) ? g_user[sig] : before;
        if (before.sa_sigaction == on_signal && (before.sa_flags & SA_SIGINFO)) {
            old->sa_mask = before.sa_mask;
        }
    }
    if (handled) {
        g_user[sig] = *act;
    }
    return 0;
}

sighandler_t signal(int sig, sighandler_t handler)
{
    struct sigaction act {};
    struct sigaction old {};
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESTART;
    if (sigaction(sig, &act, &old) != 0) {
        return SIG_ERR;
    }
    return old.sa_handler;
}

// ---- what virtual time cannot follow ---------------------------------------------

int setitimer(int which, const struct itimerval* value, struct itimerval* old)
{
    REAL(setitimer);
    if (active() && value && (value->it_value.tv_sec || value->it_value.tv_usec)) {
        return refuse("setitimer()");
    }
    return real_setitimer(static_cast<__itimer_which_t>(which), value, old);
}

unsigned int alarm(unsigned int seconds)
{
    REAL(alarm);
    if (active() && seconds > 0) {
        refuse("alarm()");
        return 0;
    }
    return real_alarm(seconds);
}

unsigned int ualarm(useconds_t value, useconds_t interval)
{
    REAL(ualarm);
    if (active() && (value > 0 || interval > 0)) {
        refuse("ualarm()");
        return 0;
    }
    return static_cast<unsigned>(real_ualarm(value, interval));
}

int timer_create(clockid_t id, struct sigevent* ev, timer_t* timer)
{
    REAL(timer_create);
    if (active() && follows(id)) {
        return refuse("timer_create()");
    }
    return real_timer_create(id, ev, timer);
}

int timerfd_create(int id, int flags)
{
    REAL(timerfd_create);
    if (active() && follows(id)) {
        return refuse("timerfd_create()");
    }
    return real_timerfd_create(id, flags);
}

}  // extern "C"

// ---- waits between threads: their deadlines are virtual, the kernel's real ------

namespace {

// The clock an absolute deadline of unknown clock was read from: virtual
// REALTIME starts in 2026, virtual MONOTONIC near 1000 s.
clockid_t guess_clock(const timespec* abs)
{
    return abs->tv_sec >= kRealtimeBase / kNsPerS - 86400LL * 365 * 20 ? CLOCK_REALTIME : CLOCK_MONOTONIC;
}

int64_t virtual_left(clockid_t id, const timespec* abs)
{
    return ts_ns(*abs) - virtual_clock_ns(*g_seg, id);
}

timespec real_deadline(clockid_t id, int64_t left_ns)
{
    return ns_ts(real_ns(id) + std::max<int64_t>(0, left_ns));
}

// A wait for another thread: real (the other thread runs meanwhile), holding
// the clock; at its virtual time-out the clock catches up, as for a socket.
template <typename Call>
struct LockProbe : Probe {
    Call call;
    int last = 0;
    explicit LockProbe(Call c) : call(c) {}
    int operator()(int64_t t) override
    {
        last = call(t);
        return last == ETIMEDOUT ? 0 : 1;
    }
};

template <typename Call>
int follow_lock(clockid_t id, const timespec* abs, Call call)
{
    const int64_t left = virtual_left(id, abs);
    if (g_observer) {
        return call(left);
    }
    LockProbe<Call> probe(call);
    const int r = follow(Kind::Real, std::max<int64_t>(0, left), probe);
    return r == 0 ? ETIMEDOUT : probe.last;
}

}  // namespace

extern "C" {

int pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, const timespec* abs)
{
    REAL(pthread_cond_timedwait);
    if (g_seg == nullptr || bad_ts(abs)) {
        return real_pthread_cond_timedwait(c, m, abs);
    }
    const clockid_t id = guess_clock(abs);
    return follow_lock(id, abs, [&](int64_t t) {
        const timespec d = real_deadline(id, t);
        return real_pthread_cond_timedwait(c, m, &d);
    });
}

int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t id, const timespec* abs)
{
    REAL(pthread_cond_clockwait);
    if (g_seg == nullptr || bad_ts(abs) || !follows(id)) {
        return real_pthread_cond_clockwait(c, m, id, abs);
    }
    return follow_lock(id, abs, [&](int64_t t) {
        const timespec d = real_deadline(id, t);
        return real_pthread_cond_clockwait(c, m, id, &d);
    });
}

int sem_timedwait(sem_t* s, const timespec* abs)
{
    REAL(sem_timedwait);
    if (g_seg == nullptr || bad_ts(abs)) {
        return real_sem_timedwait(s, abs);
    }
    const int r = follow_lock(CLOCK_REALTIME, abs, [&](int64_t t) {
        const timespec d = real_deadline(CLOCK_REALTIME, t);
        return real_sem_timedwait(s, &d) == 0 ? 0 : errno;
    });
    if (r != 0) {
        errno = r;
        return -1;
    }
    return 0;
}

int sem_clockwait(sem_t* s, clockid_t id, const timespec* abs)
{
    REAL(sem_clockwait);
    if (g_seg == nullptr || bad_ts(abs) || !follows(id)) {
        return real_sem_clockwait(s, id, abs);
    }
    const int r = follow_lock(id, abs, [&](int64_t t) {
        const timespec d = real_deadline(id, t);
        return real_sem_clockwait(s, id, &d) == 0 ? 0 : errno;
    });
    if (r != 0) {
        errno = r;
        return -1;
    }
    return 0;
}

}  // extern "C"

#pragma GCC visibility pop
