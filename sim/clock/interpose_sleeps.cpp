// Sleeps take no real time: they wait on the virtual clock.
#include "interpose.h"

using namespace kelvex::clock;

#pragma GCC visibility push(default)
extern "C" {

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

}  // extern "C"
#pragma GCC visibility pop
