// Classic hex dump through a printf-like function.
#include <stdint.h>

#include "kelvex/link.h"

extern "C" KELVEX_API void diag_vdump_buf_with_offset(__printf_fun* pf, uint8_t* p, size_t s,
                                                      uint8_t* base)
{
    // Callers may pass the end address instead of a length.
    const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
    long iSize = s > addr ? static_cast<long>(s - addr) : static_cast<long>(s);
    while (iSize > 0) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(p);
        // Full width for addresses above 4 GiB; identical text below.
        pf("%08lx  ", static_cast<unsigned long>(base != nullptr ? at - reinterpret_cast<uintptr_t>(base) : at));
        for (long i = 0; i < 16; ++i) {
            if (i < iSize) {
                pf("%02x ", p[i]);
            } else {
                pf("   ");
            }
            if (i == 7) {
                pf(" ");
            }
        }
        pf(" |");
        for (long i = 0; i < 16; ++i) {
            int c = ' ';
            if (i < iSize) {
                c = p[i] >= 0x20 && p[i] <= 0x7E ? p[i] : '.';
            }
            pf("%c", c);
        }
        pf("|\n");
        iSize -= 16;
        if (iSize > 0) {
            p += 16;
        }
    }
    if (static_cast<long>(s) > 0) {
        pf("%08lx\n", static_cast<unsigned long>(s));
    }
}
