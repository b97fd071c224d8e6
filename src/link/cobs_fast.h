// The codec's fast paths: whole words for short blocks, memchr and memcpy for
// long ones. Each takes only the inputs it is written for; cobs_encode and
// cobs_decode choose, and hand everything else to the plain byte loop of
// cobs_reference.h, whose results these paths give byte for byte.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kelvex/cobs.h"

namespace kelvex::link::fast {

// Encodes n bytes into dst, which has room for the worst case (n + 1 +
// (n - 1) / 254 bytes, 1 for an empty input); returns the encoded length.
size_t encode(uint8_t* dst, const uint8_t* src, size_t n);

// What decode returns for a frame it leaves to the byte loop: a status no
// decoding of an input (never null) can give.
constexpr cobs_decode_status kNotTaken = COBS_DECODE_NULL_POINTER;

// Decodes n >= 1 bytes into dst_len bytes of room, if none of them is zero
// (a clean frame: no code byte is zero and no data byte a delimiter); a
// frame with a zero is left to the byte loop, with status kNotTaken.
cobs_decode_result decode(uint8_t* dst, size_t dst_len, const uint8_t* src, size_t n);

}  // namespace kelvex::link::fast
