// The greeting frame written to the bus controller at start-up.
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include "kelvex/cobs.h"
#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "runner/greeting.h"

namespace kelvex::runner {

void cobs_greeting(int line)
{
    uint8_t hi[] = {'H', 'I', ' ', 'A', 'L', 'L', '!', 0};
    uint8_t z[64];
    if (debug > 1) {
        printf(">Origins:\n");
        diag_vdump_buf_with_offset(printf, hi, sizeof hi, hi);
    }
    const cobs_encode_result enc = cobs_encode(z, sizeof z, hi, sizeof hi);
    if (enc.status == COBS_ENCODE_OK) {
        z[enc.out_len] = 0;
        if (write(line, z, enc.out_len + 1) != static_cast<ssize_t>(enc.out_len + 1)) {
            perror("write");
        }
    }
    if (debug > 1) {
        printf(">Encoded:\n");
        diag_vdump_buf_with_offset(printf, z, enc.out_len + 1, z);
    }
}

} // namespace kelvex::runner
