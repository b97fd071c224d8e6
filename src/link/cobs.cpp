#include "kelvex/cobs.h"

#include <cstring>

cobs_encode_result cobs_encode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                               const uint8_t* src_ptr, size_t src_len)
{
    cobs_encode_result result = {0, COBS_ENCODE_OK};
    if (dst_buf_ptr == nullptr || src_ptr == nullptr) {
        result.status = COBS_ENCODE_NULL_POINTER;
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
        if (n > 0) {
            std::memcpy(dst, src, n);
            if (std::memchr(src, 0, n) != nullptr) {
                status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
            }
            src += n;
            dst += n;
        }
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
