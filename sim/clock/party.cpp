// Slots and turns: every thread of the mission that reads the clock or
// waits is a party with a slot in the clock's file; a wait on the clock
// ends only when the simulator hands the clock back.
#include "interpose.h"

namespace kelvex::clock {

Segment* g_seg = nullptr;
bool g_observer = false;
int g_bell = -1;
int g_life_fd = -1;
int32_t g_life = -1;
dev_t g_seg_dev = 0;
ino_t g_seg_ino = 0;
pthread_key_t g_key;
char g_seg_path[512];
char g_preload[1024];
thread_local Party* t_self = nullptr;
thread_local int t_reads = 0;
thread_local int t_taken = 0;
thread_local volatile sig_atomic_t t_signals = 0;

void set_state(Party* p, State s)
{
    p->since.store(real_ns(), std::memory_order_relaxed);
    p->state.store(static_cast<uint32_t>(s), std::memory_order_release);
}


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
        const bool handed = state_of(p) != State::Waiting;
        if (handed && vnow() >= deadline) {
            // Our turn: the simulator hands the clock to one party at a
            // time. Never on our own at the deadline: two parties due at one
            // instant would then race.
            break;
        }
        if (handed) {
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
    if (g_seg->fallbacks.fetch_add(1) == 0 && g_seg->fallback_note[0] == 0) {
        snprintf(g_seg->fallback_note, sizeof g_seg->fallback_note,
                 "a wait on something outside the run's clock (a socket, a pipe, another "
                 "program) lasted past %g s",
                 static_cast<double>(bound) / kNsPerS);
    }
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


}  // namespace kelvex::clock
