#include "kelvex/cobs.h"

#include <algorithm>
#include <cstring>

#include "common/protocol.h"

namespace {

using kelvex::common::kMaxRun;
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
// Every other byte zero: runs of one-byte blocks as the decoder sees them
// (code bytes 2 at the even bytes) ...
constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;
constexpr uint64_t kTwoAtEvenBytes = 0x0002000200020002ull;
// ... and as the encoder sees them; the last zero of a word keeps its place
// for the next code byte.
constexpr uint64_t kZerosAtOddBytes = 0x8000800080008000ull;
constexpr uint64_t kZerosAtEvenBytes = 0x0080008000800080ull;
constexpr uint64_t kTwoAtOddBytes = 0x0000020002000200ull;
constexpr uint64_t kTwoAtEvenBytesButLast = 0x0000000200020002ull;

// Words rather than bytes: moving and testing eight bytes at once keeps the
// codec clear of a branch per byte and of library calls, which cost more than
// a short message itself. Words are little-endian whatever the processor, so
// that byte i of a word is bits 8i to 8i+7.
template <typename Word>
Word little_endian(Word v)
{
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    if constexpr (sizeof(Word) == 8) {
        return __builtin_bswap64(v);
    } else if constexpr (sizeof(Word) == 4) {
        return __builtin_bswap32(v);
    } else {
        return __builtin_bswap16(v);
    }
#else
    return v;
#endif
}

template <typename Word>
Word load(const uint8_t* p)
{
    Word v;
    std::memcpy(&v, p, sizeof v);
    return little_endian(v);
}

template <typename Word>
void store(uint8_t* p, Word v)
{
    v = little_endian(v);
    std::memcpy(p, &v, sizeof v);
}

// Non-zero when some byte of v is zero (the bits set need not mark which).
uint64_t zero_flags(uint64_t v)
{
    return (v - kOnes) & ~v & kHighs;
}

bool has_zero_byte(uint32_t v)
{
    return ((v - 0x01010101u) & ~v & 0x80808080u) != 0;
}

bool has_zero_byte(uint16_t v)
{
    const uint32_t w = v;
    return ((w - 0x0101u) & ~w & 0x8080u) != 0;
}

// 0x80 in exactly the zero bytes of v (no borrow runs into the next byte).
uint64_t zero_bytes(uint64_t v)
{
    constexpr uint64_t kLow7 = ~kHighs;
    return ~(((v & kLow7) + kLow7) | v | kLow7);
}

// Encodes a whole input into a buffer known to be large enough, so none of
// the bounds checks of the general loop are needed. The output is the input
// moved up by one byte, with every zero replaced by a code byte, so a word
// goes out as it is and only its zeros need work: each becomes the code
// position of the next block, and the previous code byte gets the distance.
size_t encode_unbounded(uint8_t* dst, const uint8_t* src, size_t src_len)
{
    // A block of 254 bytes needs a code byte of its own, so a word goes out
    // whole only while the block cannot reach 254 within it.
    constexpr ptrdiff_t kLastWordStart = static_cast<ptrdiff_t>(kMaxRun) - 8;
    const uint8_t* const end = src + src_len;
    uint8_t* code = dst;
    uint8_t* out = dst + 1;
    for (;;) {
        if (end - src >= 8 && out - code <= kLastWordStart) {
            // Zero-free words: as many as the block and the input take.
            const ptrdiff_t block_words = (kLastWordStart - (out - code)) / 8 + 1;
            const uint8_t* const stop = src + 8 * std::min(block_words, (end - src) / 8);
            uint64_t v = 0;
            uint64_t zeros = 0;
            while (src != stop) {
                v = load<uint64_t>(src);
                zeros = zero_bytes(v);
                if (zeros != 0) {
                    break;
                }
                store<uint64_t>(out, v);
                out += 8;
                src += 8;
            }
            // Words with zeros, as long as they come: each closes its block
            // within itself, so the block stays short and only the input
            // bounds the run.
            while (zeros != 0) {
                if (zeros == kZerosAtOddBytes) {
                    // x 00 x 00 x 00 x 00, little-endian words below 256: the
                    // zeros but the last become code bytes 2 in place.
                    store<uint64_t>(out, v | kTwoAtOddBytes);
                    *code = static_cast<uint8_t>(out + 1 - code);
                    code = out + 7;
                } else if (zeros == kZerosAtEvenBytes) {
                    store<uint64_t>(out, v | kTwoAtEvenBytesButLast);
                    *code = static_cast<uint8_t>(out - code);
                    code = out + 6;
                } else {
                    store<uint64_t>(out, v);
                    for (; zeros != 0; zeros &= zeros - 1) {
                        uint8_t* const zero = out + (__builtin_ctzll(zeros) >> 3);
                        *code = static_cast<uint8_t>(zero - code);
                        code = zero;
                    }
                }
                out += 8;
                src += 8;
                if (end - src < 8) {
                    break;
                }
                v = load<uint64_t>(src);
                zeros = zero_bytes(v);
            }
            continue;
        }
        if (src == end) {
            break;
        }
        if (out - code <= kLastWordStart) {
            // Fewer than eight bytes are left and none of them can fill the
            // block: they go out with two overlapping moves and are read as
            // one word, whose bytes beyond the input count as non-zero.
            const size_t left = static_cast<size_t>(end - src);
            uint64_t v = 0;
            if (left >= 4) {
                const uint32_t a = load<uint32_t>(src);
                const uint32_t b = load<uint32_t>(src + left - 4);
                store<uint32_t>(out, a);
                store<uint32_t>(out + left - 4, b);
                v = a | static_cast<uint64_t>(b) << (8 * (left - 4));
            } else if (left >= 2) {
                const uint16_t a = load<uint16_t>(src);
                const uint16_t b = load<uint16_t>(src + left - 2);
                store<uint16_t>(out, a);
                store<uint16_t>(out + left - 2, b);
                v = a | static_cast<uint64_t>(b) << (8 * (left - 2));
            } else {
                v = *src;
                *out = *src;
            }
            for (uint64_t zeros = zero_bytes(v | ~uint64_t{0} << (8 * left)); zeros != 0; zeros &= zeros - 1) {
                uint8_t* const zero = out + (__builtin_ctzll(zeros) >> 3);
                *code = static_cast<uint8_t>(zero - code);
                code = zero;
            }
            out += left;
            break;
        }
        const uint8_t b = *src++;
        if (b == 0) {
            *code = static_cast<uint8_t>(out - code);
            code = out++;
        } else {
            *out++ = b;
            if (out - code == 0xFF && src != end) {
                *code = 0xFF;
                code = out++;
            }
        }
    }
    *code = static_cast<uint8_t>(out - code);
    return static_cast<size_t>(out - dst);
}

// Copies one block's n data bytes, exactly those, and tells whether any of
// them was zero. Short blocks, the rule in messages of small numbers, take
// two overlapping moves instead of a loop. Inlined: the call would cost more
// than the copy of a short block.
inline __attribute__((always_inline)) bool copy_block(uint8_t* dst, const uint8_t* src, size_t n)
{
    if (n < 8) {
        if (n >= 4) {
            const uint32_t a = load<uint32_t>(src);
            const uint32_t b = load<uint32_t>(src + n - 4);
            store<uint32_t>(dst, a);
            store<uint32_t>(dst + n - 4, b);
            return has_zero_byte(a) || has_zero_byte(b);
        }
        if (n >= 2) {
            const uint16_t a = load<uint16_t>(src);
            const uint16_t b = load<uint16_t>(src + n - 2);
            store<uint16_t>(dst, a);
            store<uint16_t>(dst + n - 2, b);
            return has_zero_byte(a) || has_zero_byte(b);
        }
        if (n == 1) {
            dst[0] = src[0];
            return src[0] == 0;
        }
        return false;
    }
    uint64_t zero = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t v = load<uint64_t>(src + i);
        store<uint64_t>(dst + i, v);
        zero |= zero_flags(v);
    }
    if (i < n) {
        const uint64_t v = load<uint64_t>(src + n - 8);
        store<uint64_t>(dst + n - 8, v);
        zero |= zero_flags(v);
    }
    return zero != 0;
}

// Frames up to this long are the device API's messages: they take a path of
// their own with no per-block tests beyond the block's length.
constexpr size_t kShortFrame = 16;

// Whether a short input (1 to kShortFrame bytes) holds a zero byte.
inline __attribute__((always_inline)) bool short_has_zero(const uint8_t* p, size_t n)
{
    if (n >= 8) {
        uint64_t zero = zero_flags(load<uint64_t>(p + n - 8));
        for (size_t i = 0; i + 8 < n; i += 8) {
            zero |= zero_flags(load<uint64_t>(p + i));
        }
        return zero != 0;
    }
    if (n >= 4) {
        return has_zero_byte(load<uint32_t>(p)) || has_zero_byte(load<uint32_t>(p + n - 4));
    }
    return p[0] == 0 || p[n / 2] == 0 || p[n - 1] == 0;
}

// Copies n bytes, n below kShortFrame, that are known to hold no zero.
inline __attribute__((always_inline)) void short_copy(uint8_t* dst, const uint8_t* src, size_t n)
{
    if (n >= 8) {
        const uint64_t last = load<uint64_t>(src + n - 8);
        for (size_t i = 0; i + 8 < n; i += 8) {
            store<uint64_t>(dst + i, load<uint64_t>(src + i));
        }
        store<uint64_t>(dst + n - 8, last);
    } else if (n >= 4) {
        const uint32_t a = load<uint32_t>(src);
        const uint32_t b = load<uint32_t>(src + n - 4);
        store<uint32_t>(dst, a);
        store<uint32_t>(dst + n - 4, b);
    } else if (n >= 2) {
        const uint16_t a = load<uint16_t>(src);
        const uint16_t b = load<uint16_t>(src + n - 2);
        store<uint16_t>(dst, a);
        store<uint16_t>(dst + n - 2, b);
    } else if (n == 1) {
        dst[0] = src[0];
    }
}

// A short frame without zero bytes into room for any decoding of it: no
// block can hit a zero, run out of room or be a full 254-byte block, so only
// the last block's length needs a test.
cobs_decode_result decode_short(uint8_t* dst, const uint8_t* src, size_t src_len)
{
    uint8_t* const start = dst;
    const uint8_t* const end = src + src_len;
    unsigned status = COBS_DECODE_OK;
    for (;;) {
        size_t n = *src++ - 1u;
        const size_t left = static_cast<size_t>(end - src);
        if (n >= left) {
            if (n > left) {
                status = COBS_DECODE_INPUT_TOO_SHORT;
                n = left;
            }
            short_copy(dst, src, n);
            dst += n;
            break;
        }
        short_copy(dst, src, n);
        src += n;
        dst += n;
        *dst++ = 0;
    }
    return {static_cast<size_t>(dst - start), static_cast<cobs_decode_status>(status)};
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
    // A frame of n bytes decodes to at most n - 1.
    if (src_len - 1 < kShortFrame && dst_buf_len >= src_len - 1 && !short_has_zero(src_ptr, src_len)) {
        return decode_short(dst_buf_ptr, src_ptr, src_len);
    }

    unsigned status = COBS_DECODE_OK;
    bool zero_in_data = false;
    const uint8_t* src = src_ptr;
    const uint8_t* const src_end = src_ptr + src_len;
    uint8_t* dst = dst_buf_ptr;
    uint8_t* const dst_end = dst_buf_ptr + dst_buf_len;

    while (src < src_end) {
        // Little-endian words below 256, the most common value on the line,
        // encode as blocks of one byte, 02 x: four of them fill a word and
        // decode as x 00 in one move, with no code byte to follow. More input
        // must follow, so that the last of them ends with its zero.
        if (src_end - src > 8 && dst_end - dst >= 8) {
            const uint64_t v = load<uint64_t>(src);
            if ((v & kEvenBytes) == kTwoAtEvenBytes) {
                const uint64_t data = (v >> 8) & kEvenBytes;
                store<uint64_t>(dst, data);
                zero_in_data |= zero_flags(data | ~kEvenBytes) != 0;
                src += 8;
                dst += 8;
                continue;
            }
        }
        const uint8_t code = *src++;
        if (code == 0) {
            status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
            break;
        }
        size_t n = code - 1u;
        const size_t src_left = static_cast<size_t>(src_end - src);
        const size_t dst_left = static_cast<size_t>(dst_end - dst);
        if (n > src_left) {
            status |= COBS_DECODE_INPUT_TOO_SHORT;
            n = src_left;
        }
        if (n > dst_left) {
            status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
            n = dst_left;
        }
        zero_in_data |= copy_block(dst, src, n);
        src += n;
        dst += n;
        if (src >= src_end) {
            break;
        }
        if (n != kMaxRun) {
            if (dst >= dst_end) {
                status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
                break;
            }
            *dst++ = 0;
        }
    }
    if (zero_in_data) {
        status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
    }

    result.out_len = static_cast<size_t>(dst - dst_buf_ptr);
    result.status = static_cast<cobs_decode_status>(status);
    return result;
}
