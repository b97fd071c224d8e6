// Slots and turns: every thread of the mission that reads the clock or
// waits is a party with a slot in the clock's file; a wait on the clock
// ends only when the simulator hands the clock back.
#include "interpose.h"

#include <optional>

namespace kelvex::clock {

Segment* g_seg = nullptr;
bool g_observer = false;
int g_bell = -1;
int g_turn = -1;
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
    // Ordered before ring()'s look at sim_asleep: the simulator either sees
    // the new state before it sleeps or is rung.
    p->state.store(static_cast<uint32_t>(s), std::memory_order_seq_cst);
}


// Wakes the simulator when it sleeps waiting for a change.
void ring()
{
    if (!g_seg->sim_asleep.exchange(0, std::memory_order_seq_cst)) {
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

namespace {
int turn_fd()
{
    if (g_turn == -1) {
        char path[600];
        snprintf(path, sizeof path, "%s%s", g_seg_path, turn_suffix());
        // Read and write: never a hang-up while we hold it.
        g_turn = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (g_turn < 0) {
            g_turn = -2;
        }
    }
    return g_turn;
}
}  // namespace

void ring_turn()
{
    if (g_seg->line_pollers.load() == 0 || turn_fd() < 0) {
        return;
    }
    REAL(write);
    const char b = 1;
    g_seg->turn_rung.store(1);
    (void)real_write(g_turn, &b, 1);
}

namespace {
// What each slot of this process waits on without a time-out (0: nothing),
// and which thread of ours holds it: a hand-over is between threads of one
// process, whose addresses mean something only here.
std::atomic<uintptr_t> g_waits_on[kMaxParties];
std::atomic<uintptr_t> g_thread_of[kMaxParties];
constexpr uintptr_t kThreadStarting = 1;
constexpr uintptr_t kThreadEnded = 2;
std::atomic<uint32_t> g_armed{0};
// A condition's waiter's mutex, and each slot's count of waits (a mark owed
// to one wait is not given to the next).
std::atomic<uintptr_t> g_mutex_of[kMaxParties];
std::atomic<uint32_t> g_wait_of[kMaxParties];

size_t slot_of(const Party* p) { return static_cast<size_t>(p - g_seg->parties); }

bool change(Party* p, State from, State to)
{
    uint32_t expected = static_cast<uint32_t>(from);
    return p->state.compare_exchange_strong(expected, static_cast<uint32_t>(to));
}
}  // namespace

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
        g_waits_on[i].store(0);
        g_thread_of[i].store(0);
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
    if (slot != nullptr) {
        // Whoever joins us holds the clock before our slot goes.
        thread_ended(static_cast<Party*>(slot));
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
    // Our pid only when there is a hold to look at: most of the time there
    // is none, and the look is a system call.
    pid_t me = 0;
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = g_seg->parties[i];
        if (state_of(&p) != State::ExitHold) {
            continue;
        }
        if (me == 0) {
            me = getpid();
        }
        if (p.owner.load() == me) {
            release(&p);
        }
    }
}

namespace {
// Descriptors known to be the line: every exchange writes, waits on and
// reads it, and a look at what a descriptor is costs a system call each
// time. Forgotten when the descriptor is closed or replaced (forget_fd).
std::atomic<uint8_t> g_line_fds[kMaxFds];
}  // namespace

bool is_line(int fd)
{
    if (fd < 0 || !active()) {
        return false;
    }
    if (fd < kMaxFds && g_line_fds[fd].load(std::memory_order_relaxed)) {
        return true;
    }
    struct stat st {};
    const bool line = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == g_seg->line_rdev;
    if (line && fd < kMaxFds) {
        g_line_fds[fd].store(1, std::memory_order_relaxed);
    }
    return line;
}

void forget_fds(unsigned first, unsigned last)
{
    for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(kMaxFds); ++fd) {
        g_line_fds[fd].store(0, std::memory_order_relaxed);
    }
    // Our own FIFOs, closed by the mission (a child closing every
    // descriptor): opened anew when next needed, never written through a
    // number that may have become one of the mission's files.
    for (int* own : {&g_bell, &g_turn}) {
        if (*own >= 0 && static_cast<unsigned>(*own) >= first && static_cast<unsigned>(*own) <= last) {
            *own = -1;
        }
    }
}

void forget_fd(int fd)
{
    if (fd >= 0) {
        forget_fds(static_cast<unsigned>(fd), static_cast<unsigned>(fd));
    }
}



namespace {
// Bytes the simulator wrote to the line that no process of the mission has
// read yet: an answer on its way to whoever waits on the line.
bool answer_on_way() { return g_seg->sim_tx.load() > g_seg->mission_rx.load(); }

// Bytes the mission wrote that the simulator has not taken yet: they wake
// it, and it looks at every party before it sleeps again.
bool request_on_way() { return g_seg->mission_tx.load() != g_seg->sim_rx.load(); }
}  // namespace

// Waits on the virtual clock until `deadline` (kNever: until woken), or
// until probe(0) says ready. Returns the probe's result, 0 at the deadline,
// -1 with EINTR after a signal's handler ran.
int virtual_wait(Party* p, int64_t deadline, Probe* probe, bool on_line)
{
    settle_owed();
    p->deadline.store(deadline);
    p->on_line.store(on_line ? 1 : 0);
    const sig_atomic_t signals = t_signals;
    set_state(p, State::Waiting);
    // Looked at after our state changed: a simulator that takes the bytes
    // after this look sees us waiting.
    if (!request_on_way()) {
        ring();
    }
    // A wait for bytes on the line and nothing else need not look at the
    // line until the simulator's count says some are on their way (nothing
    // else writes to it); then it waits on the line itself, so that the
    // kernel wakes it once they are there (the clock cannot move meanwhile).
    // Until then it sleeps on the clock among the line's sleepers, whom the
    // simulator wakes when it writes. A look at an empty pseudo-terminal
    // costs a system call and often a sleep while the kernel flushes it.
    const bool reads = probe != nullptr && on_line && probe->reads_only();
    bool look = probe != nullptr && !reads;
    // Once a turn byte that was not for us woke us, the FIFO stays readable
    // until the simulator empties it: sleep on the clock that once.
    bool on_clock = false;
    int result = 0;
    for (;;) {
        const uint32_t seq = g_seg->seq.load();
        if (t_signals != signals) {
            result = -1;
            break;
        }
        const bool coming = reads && answer_on_way();
        if (look || coming) {
            look = !reads;
            const int r = (*probe)(coming ? kRecheckNs : 0);
            if (r != 0) {
                result = r;
                break;
            }
            if (coming) {
                continue;
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
        if (reads && !on_clock && turn_fd() >= 0) {
            // On the line itself, and on the turn FIFO: the kernel wakes us
            // when the answer is there, the simulator when the clock is
            // handed to us without one. Counted first, then our state and
            // the line's count looked at again: a turn handed or an answer
            // sent after that look finds us counted.
            g_seg->line_pollers.fetch_add(1);
            if (p->state.load(std::memory_order_seq_cst) != static_cast<uint32_t>(State::Waiting) ||
                answer_on_way()) {
                g_seg->line_pollers.fetch_sub(1);
                continue;
            }
            int r = 0;
            bool turned = false;
            const bool polled = probe->with(g_turn, kRecheckNs, &r, &turned);
            g_seg->line_pollers.fetch_sub(1);
            if (polled && r != 0) {
                result = r;
                break;
            }
            on_clock = !polled || (turned && state_of(p) == State::Waiting);
            continue;
        }
        on_clock = false;
        if (reads) {
            // Counted before the second look at the count: an answer sent
            // after that look finds us counted and wakes us.
            g_seg->line_sleepers.fetch_add(1);
            if (answer_on_way()) {
                g_seg->line_sleepers.fetch_sub(1);
                continue;
            }
        }
        // With a time-out the kernel reports a signal's handler as EINTR
        // even under SA_RESTART, as nanosleep does.
        const int slept = futex_wait(&g_seg->seq, seq, kRecheckNs);
        const int err = errno;
        if (reads) {
            g_seg->line_sleepers.fetch_sub(1);
        }
        if (slept != 0 && err == EINTR) {
            result = -1;
            break;
        }
        // Nothing for a while: one real look (the simulator may be gone).
        look = look || (slept != 0 && err == ETIMEDOUT && probe != nullptr);
    }
    // Running first: a simulator that looked between the two would see a
    // waiter off the line, and move the clock with its answer still on the
    // way to us.
    set_state(p, State::Running);
    p->on_line.store(0);
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
    settle_owed();
    const int64_t bound = g_seg->bound_ns;
    const int64_t start_v = vnow();
    // The other side (the station's FTP server, another program, another
    // thread) is given at least kRealGraceNs of real time to answer before a
    // shorter time-out counts: an answer that comes within it comes at the
    // same virtual instant however loaded the machine is.
    const int64_t first = timeout_ns < 0 ? bound : std::min(std::max(timeout_ns, kRealGraceNs), bound);
    int r = probe(first);
    if (r != 0) {
        return r;
    }
    if (timeout_ns >= 0 && timeout_ns <= bound) {
        // Nothing came within the real time given: the time-out is taken in
        // virtual time. Whether something would have come had the other side
        // been given more (a station starved on a loaded machine) the clock
        // cannot know, so the run says that it may not repeat.
        if (g_seg->fallbacks.fetch_add(1) == 0 && g_seg->fallback_note[0] == 0) {
            snprintf(g_seg->fallback_note, sizeof g_seg->fallback_note,
                     "a wait on something outside the run's clock (a socket, a pipe, another "
                     "program) had no answer within %g s of real time: its time-out was taken",
                     static_cast<double>(first) / kNsPerS);
        }
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


// ---- hand-overs between threads of this process

namespace {
// Wake-ups promised on a condition by signals that found waiters, not taken
// yet. Under a spin lock: taken only when some thread of ours waits on
// something, for the length of a look at the slots.
struct Promise {
    uintptr_t object;
    int count;
};
constexpr int kPromises = 32;
Promise g_promises[kPromises];
std::atomic_flag g_promises_busy = ATOMIC_FLAG_INIT;
// Objects with promises: none most of the time, and a woken thread then
// looks no further (Python's interpreter lock is a condition, handed over
// many times a second).
std::atomic<int> g_promised{0};

struct PromisesLock {
    PromisesLock()
    {
        while (g_promises_busy.test_and_set(std::memory_order_acquire)) {
            sched_yield();
        }
    }
    ~PromisesLock() { g_promises_busy.clear(std::memory_order_release); }
};

// The marks on threads still waiting on `object` go: no wake-up promised is
// left for them.
void let_marks_go(uintptr_t object)
{
    bool changed = false;
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        if (g_waits_on[i].load() == object && change(&g_seg->parties[i], State::Handed, State::Passive)) {
            changed = true;
        }
    }
    if (changed) {
        ring();
    }
}

bool promised(uintptr_t object)
{
    for (const Promise& pr : g_promises) {
        if (pr.object == object && pr.count > 0) {
            return true;
        }
    }
    return false;
}

void take_promise(uintptr_t object)
{
    for (Promise& pr : g_promises) {
        if (pr.object == object && pr.count > 0) {
            if (--pr.count == 0) {
                pr.object = 0;
                g_promised.fetch_sub(1);
                let_marks_go(object);
            }
            return;
        }
    }
}
}  // namespace

namespace {
// Marks this thread owes: it signalled a condition while holding the mutex
// its waiter must take back, so the waiter cannot run before the unlock.
// Given at our next wait (or end) once we no longer hold the mutex; until
// then we hold the clock ourselves, or the waiter holds nothing (a signal
// and then a nap under the mutex).
struct Owed {
    uint32_t slot;
    uint32_t wait;
    uintptr_t object;
    const pthread_mutex_t* mutex;
};
constexpr int kOwed = 8;
thread_local Owed t_owed[kOwed];
thread_local int t_owed_n = 0;

bool held_by_me(const pthread_mutex_t* m)
{
    return t_self != nullptr && __atomic_load_n(&m->__data.__owner, __ATOMIC_RELAXED) == t_self->tid.load();
}

void mark(Party* q)
{
    q->since.store(real_ns(), std::memory_order_relaxed);
    // Passive: blocked; Running: about to go passive (it then sees the mark).
    if (!change(q, State::Passive, State::Handed)) {
        change(q, State::Running, State::Handed);
    }
}
}  // namespace

void settle_owed(const pthread_mutex_t* releasing)
{
    if (t_owed_n == 0) {
        return;
    }
    // With the promises: a waiter that woke before us may have taken the
    // last of them, and then no mark is owed to the others.
    PromisesLock lock;
    int kept = 0;
    for (int i = 0; i < t_owed_n; ++i) {
        const Owed o = t_owed[i];
        if (g_waits_on[o.slot].load() != o.object || g_wait_of[o.slot].load() != o.wait) {
            continue;  // it woke and went on
        }
        if (o.mutex != releasing && held_by_me(o.mutex)) {
            t_owed[kept++] = o;
        } else if (promised(o.object)) {
            mark(&g_seg->parties[o.slot]);
        }
    }
    t_owed_n = kept;
}

void arm(Party* p, const void* object, const pthread_mutex_t* mutex)
{
    // A condition's wait lets go of its mutex: whoever we signalled under it
    // runs once we wait.
    settle_owed(mutex);
    // A followed wait, like a sleep: the clock reads before it do not add
    // up with the ones after (see kReadsPerStep).
    t_reads = 0;
    g_mutex_of[slot_of(p)].store(reinterpret_cast<uintptr_t>(mutex), std::memory_order_relaxed);
    g_wait_of[slot_of(p)].fetch_add(1, std::memory_order_relaxed);
    g_waits_on[slot_of(p)].store(reinterpret_cast<uintptr_t>(object), std::memory_order_release);
    g_armed.fetch_add(1, std::memory_order_seq_cst);
    // Before the caller's last look at the object: a hand-over that this
    // look misses sees us armed (its own fence sits between the two).
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void go_passive(Party* p)
{
    p->since.store(real_ns(), std::memory_order_relaxed);
    if (change(p, State::Running, State::Passive)) {
        ring();
    }
}

void look_again(Party* p)
{
    p->since.store(real_ns(), std::memory_order_relaxed);
    if (change(p, State::Handed, State::Running)) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

void disarm(Party* p, const void* object, bool woken)
{
    // Unarmed first: no hand-over marks us from here, as we run.
    t_reads = 0;
    g_waits_on[slot_of(p)].store(0);
    g_armed.fetch_sub(1);
    set_state(p, State::Running);
    if (woken) {
        promise_taken(object);
    }
}

void promise_taken(const void* object)
{
    if (g_seg == nullptr || g_promised.load() == 0) {
        return;
    }
    PromisesLock lock;
    take_promise(reinterpret_cast<uintptr_t>(object));
}

void hand_over(const void* object, int promise)
{
    // After the post or signal, before the look: a waiter arming meanwhile
    // either sees the post or is seen here.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (g_armed.load(std::memory_order_relaxed) == 0 || !active()) {
        return;
    }
    const int saved = errno;
    const uintptr_t key = reinterpret_cast<uintptr_t>(object);
    // Promises are counted under the lock, with the marks they go with; a
    // semaphore's marks go by their waiters' own looks (kHandSliceNs).
    std::optional<PromisesLock> lock;
    if (promise != 0) {
        lock.emplace();
    }
    int waiters = 0;
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        if (g_waits_on[i].load() != key) {
            continue;
        }
        ++waiters;
        const auto* mutex = reinterpret_cast<const pthread_mutex_t*>(g_mutex_of[i].load());
        if (mutex != nullptr && t_owed_n < kOwed && held_by_me(mutex)) {
            t_owed[t_owed_n++] = Owed{i, g_wait_of[i].load(), key, mutex};
        } else {
            mark(&g_seg->parties[i]);
        }
    }
    if (promise != 0 && waiters > 0) {
        const int count = promise < 0 ? waiters : promise;
        Promise* slot = nullptr;
        for (Promise& pr : g_promises) {
            if (pr.object == key || (slot == nullptr && pr.object == 0)) {
                slot = &pr;
                if (pr.object == key) {
                    break;
                }
            }
        }
        // No room: the marks wait for their owners or the simulator's bound.
        if (slot != nullptr && slot->object == key) {
            slot->count += count;
        } else if (slot != nullptr) {
            *slot = Promise{key, count};
            g_promised.fetch_add(1);
        }
    }
    errno = saved;
}

void thread_starting(Party* slot) { g_thread_of[slot_of(slot)].store(kThreadStarting); }

void thread_started(Party* slot, pthread_t t)
{
    // By the thread itself, or by its creator if that comes first; never
    // over the mark of its end.
    uintptr_t starting = kThreadStarting;
    g_thread_of[slot_of(slot)].compare_exchange_strong(starting, static_cast<uintptr_t>(t));
}

void thread_ended(Party* slot)
{
    if (g_seg == nullptr) {
        return;
    }
    const pthread_t me = pthread_self();
    // Cancelled in a wait: what it waited on is nothing to its slot's next
    // holder.
    if (g_waits_on[slot_of(slot)].exchange(0) != 0) {
        g_armed.fetch_sub(1);
    }
    settle_owed();
    g_thread_of[slot_of(slot)].store(kThreadEnded, std::memory_order_seq_cst);
    hand_over(reinterpret_cast<const void*>(me), 0);
}

bool thread_on_clock(pthread_t t)
{
    const uintptr_t key = static_cast<uintptr_t>(t);
    const uint32_t top = g_seg->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        if (g_thread_of[i].load() == key) {
            return true;
        }
    }
    return false;
}

void forget_hand_overs()
{
    for (int i = 0; i < kMaxParties; ++i) {
        g_waits_on[i].store(0);
        g_thread_of[i].store(0);
    }
    t_owed_n = 0;
    g_armed.store(0);
    g_promised.store(0);
    for (Promise& pr : g_promises) {
        pr = Promise{0, 0};
    }
    g_promises_busy.clear();
}

}  // namespace kelvex::clock
