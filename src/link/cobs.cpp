#include "kelvex/cobs.h"

#include <cstring>

#include "common/protocol.h"

namespace {

using kelvex::common::kMaxRun;
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Eight bytes at a time: moving and testing whole words keeps the codec
// clear of per-byte branches and of library calls, which cost more than a
// short message itself.
uint64_t load8(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store8(uint8_t* p, uint64_t v)
{
    std::memcpy(p, &v, sizeof v);
}

bool has_zero_byte(uint64_t v)
{
    return ((v - kOnes) & ~v & kHighs) != 0;
}

// Encodes a whole input into a buffer known to be large enough, so none of
// the bounds checks of the general loop are needed.
size_t encode_unbounded(uint8_t* dst, const uint8_t* src, size_t src_len)
{
    const uint8_t* const end = src + src_len;
    size_t code_pos = 0;
    size_t write_pos = 1;
    for (;;) {
        const size_t left = static_cast<size_t>(end - src);
        const uint8_t* const block_end = src + (left < kMaxRun ? left : kMaxRun);
        uint8_t* out = dst + write_pos;
        const uint8_t* p = src;
        while (block_end - p >= 8) {
            const uint64_t v = load8(p);
            if (has_zero_byte(v)) {
                break;
            }
            store8(out, v);
            out += 8;
            p += 8;
        }
        while (p < block_end && *p != 0) {
            *out++ = *p++;
        }
        const size_t run = static_cast<size_t>(p - src);
        write_pos += run;
        if (p < block_end) {
            // The block ends at a zero, which its code byte stands for.
            dst[code_pos] = static_cast<uint8_t>(run + 1);
            code_pos = write_pos++;
            src = p + 1;
        } else if (run == kMaxRun && p < end) {
            dst[code_pos] = 0xFF;
            code_pos = write_pos++;
            src = p;
        } else {
            dst[code_pos] = static_cast<uint8_t>(run + 1);
            return write_pos;
        }
    }
}

// Copies one block's data bytes and tells whether any of them was zero.
bool copy_block(uint8_t* dst, const uint8_t* src, size_t n)
{
    uint64_t zero = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t v = load8(src + i);
        store8(dst + i, v);
        zero |= (v - kOnes) & ~v & kHighs;
    }
    bool tail_zero = false;
    for (; i < n; ++i) {
        dst[i] = src[i];
        tail_zero |= src[i] == 0;
    }
    return zero != 0 || tail_zero;
}

}  // namespace

cobs_encode_result cobs_encode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                               const uint8_t* src_ptr, size_t src_len)
{
    cobs_encode_result result = {0, COBS_ENCODE_OK};
    if (dst_buf_ptr == nullptr || src_ptr == nullptr) {
        result.status = COBS_ENCODE_NULL_POINTER;
        return result;
    }
    // With room for the worst case the bounds checks below can never fire.
    if (src_len <= dst_buf_len && dst_buf_len - src_len >= 2 + src_len / kMaxRun) {
        result.out_len = encode_unbounded(dst_buf_ptr, src_ptr, src_len);
        return result;
    }

    size_t code_pos = 0;
    size_t write_pos = 1;
    uint8_t run = 1;
    const uint8_t* const src_end = src_ptr + src_len;

    while (src_ptr < src_end) {
        if (write_pos >= dst_buf_len) {
            result.status = COBS_ENCODE_OUT_BUFFER_OVERFLOW;
            break;
        }
        const uint8_t b = *src_ptr++;
        if (b == 0) {
            dst_buf_ptr[code_pos] = run;
            code_pos = write_pos++;
            run = 1;
            if (src_ptr >= src_end) {
                break;
            }
        } else {
            dst_buf_ptr[write_pos++] = b;
            ++run;
            if (src_ptr >= src_end) {
                break;
            }
            if (run == 0xFF) {
                dst_buf_ptr[code_pos] = 0xFF;
                code_pos = write_pos++;
                run = 1;
            }
        }
    }

    if (code_pos < dst_buf_len) {
        dst_buf_ptr[code_pos] = run;
        result.out_len = write_pos;
    } else {
        result.status = COBS_ENCODE_OUT_BUFFER_OVERFLOW;
        result.out_len = dst_buf_len;
    }
    return result;
}

cobs_decode_result cobs_decode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                               const uint8_t* src_ptr, size_t src_len)
{
    cobs_decode_result result = {0, COBS_DECODE_OK};
    if (dst_buf_ptr == nullptr || src_ptr == nullptr) {
        result.status = COBS_DECODE_NULL_POINTER;
        return result;
    }

    unsigned status = COBS_DECODE_OK;
    const uint8_t* src = src_ptr;
    const uint8_t* const src_end = src_ptr + src_len;
    uint8_t* dst = dst_buf_ptr;
    uint8_t* const dst_end = dst_buf_ptr + dst_buf_len;

    while (src < src_end) {
        const uint8_t code = *src++;
        if (code == 0) {
            status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
            break;
        }
        size_t n = code - 1u;
        const size_t src_left = static_cast<size_t>(src_end - src);
        if (n > src_left) {
            status |= COBS_DECODE_INPUT_TOO_SHORT;
            n = src_left;
        }
        const size_t dst_left = static_cast<size_t>(dst_end - dst);
        if (n > dst_left) {
            status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
            n = dst_left;
        }
        if (copy_block(dst, src, n)) {
            status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
        }
        src += n;
        dst += n;
        if (src >= src_end) {
            break;
        }
        if (n != 0xFE) {
            if (dst >= dst_end) {
                status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
                break;
            }
            *dst++ = 0;
        }
    }

    result.out_len = static_cast<size_t>(dst - dst_buf_ptr);
    result.status = static_cast<cobs_decode_status>(status);
    return result;
}
