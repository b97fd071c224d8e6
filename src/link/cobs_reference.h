// The codec as a plain loop over bytes, step for step as the frame layout
// reads: the library's answer for every input and every buffer size. The
// library takes it where speed cannot matter (a buffer too small for the
// worst case, an input that is not a clean frame), and the tests, the fuzz
// targets and the benchmark hold the fast paths to it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kelvex/cobs.h"

namespace kelvex::link::reference {

// Both take non-null buffers; the null checks are the public functions'.
cobs_encode_result encode(uint8_t* dst, size_t dst_len, const uint8_t* src, size_t src_len);
cobs_decode_result decode(uint8_t* dst, size_t dst_len, const uint8_t* src, size_t src_len);

}  // namespace kelvex::link::reference
