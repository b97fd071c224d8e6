#include "link/cobs_reference.h"

namespace kelvex::link::reference {

// code: where the current block's code byte goes; out: where the next data
// byte goes; run: the block's length so far, its code byte included.
cobs_encode_result encode(uint8_t* dst, size_t dst_len, const uint8_t* src, size_t src_len)
{
    cobs_encode_status status = COBS_ENCODE_OK;
    size_t code = 0;
    size_t out = 1;
    uint8_t run = 1;
    for (size_t i = 0; i < src_len; ++i) {
        if (out >= dst_len) {
            status = COBS_ENCODE_OUT_BUFFER_OVERFLOW;
            break;
        }
        const uint8_t b = src[i];
        if (b == 0) {
            dst[code] = run;
            code = out++;
            run = 1;
            continue;
        }
        dst[out++] = b;
        ++run;
        // A full block closes here only if more input follows: the last
        // block never needs a code byte of its own.
        if (run == 0xFF && i + 1 < src_len) {
            dst[code] = 0xFF;
            code = out++;
            run = 1;
        }
    }
    if (code >= dst_len) {
        return {dst_len, COBS_ENCODE_OUT_BUFFER_OVERFLOW};
    }
    dst[code] = run;
    return {out, status};
}

cobs_decode_result decode(uint8_t* dst, size_t dst_len, const uint8_t* src, size_t src_len)
{
    unsigned status = COBS_DECODE_OK;
    size_t in = 0;
    size_t out = 0;
    while (in < src_len) {
        const uint8_t code = src[in++];
        if (code == 0) {
            status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
            break;
        }
        size_t n = code - 1u;
        if (n > src_len - in) {
            status |= COBS_DECODE_INPUT_TOO_SHORT;
            n = src_len - in;
        }
        if (n > dst_len - out) {
            status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
            n = dst_len - out;
        }
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = src[in++];
            if (b == 0) {
                status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
            }
            dst[out++] = b;
        }
        if (in >= src_len) {
            break;
        }
        // A full block of 254 bytes stands for its data alone.
        if (n != 0xFE) {
            if (out >= dst_len) {
                status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
                break;
            }
            dst[out++] = 0;
        }
    }
    return {out, static_cast<cobs_decode_status>(status)};
}

}  // namespace kelvex::link::reference
