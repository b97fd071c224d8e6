// The library's own mission hook, replaced by the mission program's.
#include <unistd.h>

#include "kelvex/runner.h"

// A runner linked without a mission idles until it is killed.
extern "C" KELVEX_API __attribute__((weak)) void control(void)
{
    for (;;) {
        sleep(1);
    }
}
