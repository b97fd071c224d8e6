// Waits with a time-out: on the serial line they follow the simulator's
// answers in virtual time; on anything else they are real waits that hold
// the clock (party.cpp real_wait). Waits between threads likewise.
#include "interpose.h"

using namespace kelvex::clock;

namespace kelvex::clock {
namespace {
// Which epoll sets hold the line / anything else, by descriptor.
unsigned char g_epoll_kind[kMaxFds];
enum : unsigned char { kEpollLine = 1, kEpollOther = 2 };
}  // namespace
}  // namespace kelvex::clock

#pragma GCC visibility push(default)
extern "C" {

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
    bool reads_only() const override
    {
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].fd >= 0 && (fds[i].events & ~(POLLIN | POLLRDNORM)) != 0) {
                return false;
            }
        }
        return true;
    }
    bool with(int fd, int64_t t, int* result, bool* extra) override
    {
        constexpr nfds_t kMost = 16;
        if (n >= kMost) {
            return false;
        }
        REAL(ppoll);
        pollfd all[kMost + 1];
        std::copy(fds, fds + n, all);
        all[n] = pollfd{fd, POLLIN, 0};
        timespec ts = ns_ts(t);
        const int r = real_ppoll(all, n + 1, t < 0 ? nullptr : &ts, mask);
        *extra = r > 0 && all[n].revents != 0;
        if (r < 0) {
            *result = r;
            return true;
        }
        for (nfds_t i = 0; i < n; ++i) {
            fds[i].revents = all[i].revents;
        }
        *result = r - (*extra ? 1 : 0);
        return true;
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
    if (r == 0) {
        // Timed out, maybe without a look at the descriptors: nothing ready.
        for (nfds_t i = 0; i < n; ++i) {
            fds[i].revents = 0;
        }
    }
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
    bool reads_only() const override
    {
        for (int fd = 0; fd < n; ++fd) {
            if ((w && FD_ISSET(fd, &w0)) || (e && FD_ISSET(fd, &e0))) {
                return false;
            }
        }
        return true;
    }
    bool with(int fd, int64_t t, int* result, bool* extra) override
    {
        if (fd >= FD_SETSIZE || r == nullptr) {
            return false;
        }
        REAL(pselect);
        fd_set reads = r0;
        FD_SET(fd, &reads);
        if (w) *w = w0;
        if (e) *e = e0;
        timespec ts = ns_ts(t);
        const int res = real_pselect(std::max(n, fd + 1), &reads, w, e, t < 0 ? nullptr : &ts, mask);
        if (res < 0) {
            *extra = false;
            *result = res;
            return true;
        }
        *extra = FD_ISSET(fd, &reads);
        FD_CLR(fd, &reads);
        *r = reads;
        *result = res - (*extra ? 1 : 0);
        if (*result == 0) {
            FD_ZERO(r);
            if (w) FD_ZERO(w);
            if (e) FD_ZERO(e);
        }
        return true;
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
    // Timed out, maybe without a look at the descriptors: the sets empty.
    if (res == 0) {
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
    const int r = follow_lock(id, abs, [&](int64_t t) {
        const timespec d = real_deadline(id, t);
        return real_pthread_cond_timedwait(c, m, &d);
    });
    if (r == 0) {
        promise_taken(c);
    }
    return r;
}

int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t id, const timespec* abs)
{
    REAL(pthread_cond_clockwait);
    if (g_seg == nullptr || bad_ts(abs) || !follows(id)) {
        return real_pthread_cond_clockwait(c, m, id, abs);
    }
    const int r = follow_lock(id, abs, [&](int64_t t) {
        const timespec d = real_deadline(id, t);
        return real_pthread_cond_clockwait(c, m, id, &d);
    });
    if (r == 0) {
        promise_taken(c);
    }
    return r;
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

// Waits without a time-out for another thread of ours hold nothing, or a
// thread waiting for one that sleeps would hold the clock for ever; the
// thread that hands them work marks them (party.cpp hand_over), so that the
// clock does not move before they run.
int sem_wait(sem_t* s)
{
    REAL(sem_wait);
    REAL(sem_trywait);
    REAL(sem_clockwait);
    // Taken at once (an uncontended lock, as most of Python's are): we never
    // let go of the clock, or it could move in the middle of our work.
    const int saved = errno;
    if (real_sem_trywait(s) == 0) {
        return 0;
    }
    if (errno != EAGAIN) {
        return -1;
    }
    errno = saved;
    Party* p = self();
    if (p == nullptr) {
        return real_sem_wait(s);
    }
    release_exit_holds();
    arm(p, s);
    const sig_atomic_t signals = t_signals;
    int r = 0;
    for (;;) {
        // The last look, armed: a post it misses marks us.
        r = real_sem_trywait(s);
        if (r == 0 || errno != EAGAIN) {
            break;
        }
        go_passive(p);
        // In slices, so that a mark whose token another thread took goes.
        const timespec slice = ns_ts(real_ns() + kHandSliceNs);
        r = real_sem_clockwait(s, CLOCK_MONOTONIC, &slice);
        if (r == 0 || errno != ETIMEDOUT) {
            break;
        }
        if (t_signals != signals) {
            // A handler ran between two slices: the one call was interrupted.
            r = -1;
            errno = EINTR;
            break;
        }
        look_again(p);
    }
    const int err = errno;
    disarm(p, s, false);
    release_exit_holds();
    errno = r == 0 ? saved : err;
    return r;
}

int sem_post(sem_t* s)
{
    REAL(sem_post);
    const int r = real_sem_post(s);
    if (r == 0) {
        hand_over(s, 0);
    }
    return r;
}

int pthread_cond_wait(pthread_cond_t* c, pthread_mutex_t* m)
{
    REAL(pthread_cond_wait);
    Party* p = self();
    if (p == nullptr) {
        return real_pthread_cond_wait(c, m);
    }
    const int saved = errno;
    release_exit_holds();
    // Armed and passive while we hold the mutex: a signal sent under it
    // finds us waiting.
    arm(p, c, m);
    go_passive(p);
    const int r = real_pthread_cond_wait(c, m);
    disarm(p, c, true);
    release_exit_holds();
    errno = saved;
    return r;
}

int pthread_cond_signal(pthread_cond_t* c)
{
    REAL(pthread_cond_signal);
    const int r = real_pthread_cond_signal(c);
    hand_over(c, 1);
    return r;
}

int pthread_cond_broadcast(pthread_cond_t* c)
{
    REAL(pthread_cond_broadcast);
    const int r = real_pthread_cond_broadcast(c);
    hand_over(c, -1);
    return r;
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
