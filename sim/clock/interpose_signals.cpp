// A signal ends a wait at the virtual instant it was sent: its sender marks
// the waiting target, which holds the clock until it has seen it.
#include "interpose.h"

using namespace kelvex::clock;

#pragma GCC visibility push(default)
extern "C" {

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
        ring_turn();
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

}  // extern "C"
#pragma GCC visibility pop
