// Clock reads give virtual time on every clock that measures passing time;
// CPU-time clocks stay real.
#include "interpose.h"

using namespace kelvex::clock;

#pragma GCC visibility push(default)
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

}  // extern "C"
#pragma GCC visibility pop
