// The greeting frame written to the bus controller at start-up.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/protocol.h"
#include "kelvex/cobs.h"
#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "runner/greeting.h"

namespace kelvex::runner {

void cobs_greeting(int line)
{
    uint8_t hi[sizeof common::kGreeting];
    memcpy(hi, common::kGreeting, sizeof hi);  // the dump takes a mutable buffer
    uint8_t z[common::encoded_room(sizeof hi)];
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
