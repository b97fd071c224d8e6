// The codec's fast paths: whole words for short blocks, memchr and memcpy for
// long ones. Each takes only the inputs it is written for; cobs_encode and
// cobs_decode choose, and hand everything else to the plain byte loop of
// cobs_reference.h, whose results these paths give byte for byte.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "kelvex/cobs.h"

namespace kelvex::link::fast {

// The most an input of n bytes encodes to.
constexpr size_t encoded_bound(size_t n) { return n == 0 ? 1 : n + 1 + (n - 1) / 254; }

// Encodes n bytes into dst, which has room for encoded_bound(n); returns the
// encoded length.
size_t encode(uint8_t* dst, const uint8_t* src, size_t n);

// Whether any of the n bytes at src is zero.
bool has_zero(const uint8_t* src, size_t n);

// Decodes n >= 1 bytes none of which is zero (so every code byte is one and
// no data byte can be a delimiter) into dst_len bytes of room.
cobs_decode_result decode_zero_free(uint8_t* dst, size_t dst_len, const uint8_t* src, size_t n);

}  // namespace kelvex::link::fast
