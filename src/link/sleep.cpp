// Millisecond sleep that survives signal interruptions.
#include <errno.h>
#include <sched.h>
#include <time.h>

#include "kelvex/link.h"

extern "C" KELVEX_API void msleep(int msecs)
{
    if (msecs <= 0) {
        sched_yield();
        return;
    }
    timespec rqtp{msecs / 1000, (msecs % 1000) * 1000000L};
    timespec rmtp{};
    while (nanosleep(&rqtp, &rmtp) != 0) {
        if (errno != EINTR) {
            return;
        }
        rqtp = rmtp;
    }
}
