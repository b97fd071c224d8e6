#include "link/cobs_fast.h"

#include <cstring>

#include "common/protocol.h"

namespace kelvex::link::fast {
namespace {

using kelvex::common::kMaxRun;
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
// Every other byte zero, the shape of little-endian words below 256, the most
// common values on the line. As the decoder sees them: one-byte blocks, code
// bytes 2 at the even bytes ...
constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;
constexpr uint64_t kTwoAtEvenBytes = 0x0002000200020002ull;
// ... and as the encoder sees them; the last zero of a word keeps its place
// for the next code byte.
constexpr uint64_t kZerosAtOddBytes = 0x8000800080008000ull;
constexpr uint64_t kZerosAtEvenBytes = 0x0080008000800080ull;
constexpr uint64_t kTwoAtOddBytes = 0x0000020002000200ull;
constexpr uint64_t kTwoAtEvenBytesButLast = 0x0000000200020002ull;
// A word goes out whole only while the open block (its code byte included)
// cannot reach 255 bytes within it.
constexpr ptrdiff_t kLastWordStart = static_cast<ptrdiff_t>(kMaxRun) - 8;
// Below this a zero is looked for in place; above it memchr is faster.
constexpr size_t kLongScan = 64;
// Inputs up to this long are encoded in place (in_place): below 254 bytes, so
// that no block can fill.
constexpr size_t kInPlace = 128;

// Words are little-endian whatever the processor, so that byte i of a word is
// bits 8i to 8i+7.
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

// 0x80 in exactly the zero bytes of v (no borrow runs into the next byte).
uint64_t zero_bytes(uint64_t v)
{
    constexpr uint64_t kLow7 = ~kHighs;
    return ~(((v & kLow7) + kLow7) | v | kLow7);
}

// Sixteen bytes as one vector (the compiler's generic vectors: SSE2 on x86,
// NEON on ARM), for the test that most often says "no zero here".
typedef uint8_t Vector16 __attribute__((vector_size(16)));
typedef uint64_t Words16 __attribute__((vector_size(16)));

inline __attribute__((always_inline)) Vector16 load16(const uint8_t* p)
{
    Vector16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline __attribute__((always_inline)) bool any_set(Vector16 v)
{
    const Words16 w = reinterpret_cast<Words16>(v);
    return (w[0] | w[1]) != 0;
}

unsigned first_marked_byte(uint64_t marks)
{
    return static_cast<unsigned>(__builtin_ctzll(marks)) >> 3;
}

// The n bytes at src, 1 <= n < 8, as a word whose bytes from n up are zero:
// two overlapping loads rather than a loop.
inline __attribute__((always_inline)) uint64_t load_short(const uint8_t* src, size_t n)
{
    if (n >= 4) {
        const uint64_t a = load<uint32_t>(src);
        const uint64_t b = load<uint32_t>(src + n - 4);
        return a | b << (8 * (n - 4));
    }
    if (n >= 2) {
        const uint64_t a = load<uint16_t>(src);
        const uint64_t b = load<uint16_t>(src + n - 2);
        return a | b << (8 * (n - 2));
    }
    return *src;
}

// Moves n bytes, 1 <= n < 8, as two overlapping moves.
inline __attribute__((always_inline)) void move_short(uint8_t* dst, const uint8_t* src, size_t n)
{
    if (n >= 4) {
        const uint32_t a = load<uint32_t>(src);
        const uint32_t b = load<uint32_t>(src + n - 4);
        store<uint32_t>(dst, a);
        store<uint32_t>(dst + n - 4, b);
    } else if (n >= 2) {
        const uint16_t a = load<uint16_t>(src);
        const uint16_t b = load<uint16_t>(src + n - 2);
        store<uint16_t>(dst, a);
        store<uint16_t>(dst + n - 2, b);
    } else {
        *dst = *src;
    }
}

// Copies exactly n bytes. A block of a few bytes, the rule in messages of
// small numbers, is moved in place: a library call would cost more than its
// copy. Long blocks go at memcpy's speed. A full block (254 bytes, what a
// long run is cut into) has its length fixed here, and the compiler moves it
// in sixteen-byte steps without a call: as fast as the library's memcpy on an
// idle core, and it keeps that speed when a busy neighbouring core halves the
// speed of the library's widest moves.
inline __attribute__((always_inline)) void copy(uint8_t* dst, const uint8_t* src, size_t n)
{
    if (n == kMaxRun) {
        std::memcpy(dst, src, kMaxRun);
    } else if (n > 16) {
        std::memcpy(dst, src, n);
    } else if (n >= 8) {
        const uint64_t a = load<uint64_t>(src);
        const uint64_t b = load<uint64_t>(src + n - 8);
        store<uint64_t>(dst, a);
        store<uint64_t>(dst + n - 8, b);
    } else if (n != 0) {
        move_short(dst, src, n);
    }
}

// The first zero at or after src, or end.
const uint8_t* find_zero(const uint8_t* src, const uint8_t* end)
{
    const void* zero = std::memchr(src, 0, static_cast<size_t>(end - src));
    return zero != nullptr ? static_cast<const uint8_t*>(zero) : end;
}

// The encoder's output: the open block's code byte goes to `code`, its next
// data byte to `out`. The output is the input moved up by one byte, with
// every zero replaced by a code byte: a zero's place becomes the next block's
// code byte, and the previous code byte gets the distance.
struct Output {
    uint8_t* code;
    uint8_t* out;
    // The input up to here is already in its place in the output.
    const uint8_t* moved;

    void close_at(uint8_t* next_code)
    {
        *code = static_cast<uint8_t>(next_code - code);
        code = next_code;
    }
    bool word_fits() const { return out - code <= kLastWordStart; }
};

// One word out whole at `at`, each of its zeros closing a block. Words of
// every other byte zero (x 00 x 00 x 00 x 00 and 00 x 00 x 00 x 00 x) close
// their blocks in one move: the zeros but the last become code bytes 2.
inline __attribute__((always_inline)) void word_out(Output& o, uint8_t* at, uint64_t v, uint64_t zeros)
{
    if (zeros == kZerosAtOddBytes) {
        store<uint64_t>(at, v | kTwoAtOddBytes);
        o.close_at(at + 1);
        o.code = at + 7;
    } else if (zeros == kZerosAtEvenBytes) {
        store<uint64_t>(at, v | kTwoAtEvenBytesButLast);
        o.close_at(at);
        o.code = at + 6;
    } else {
        store<uint64_t>(at, v);
        for (; zeros != 0; zeros &= zeros - 1) {
            o.close_at(at + first_marked_byte(zeros));
        }
    }
}

// Words holding a zero, as long as they come and the open block cannot fill
// within one. Returns where the input goes on.
const uint8_t* words_with_zeros(Output& o, const uint8_t* src, const uint8_t* end)
{
    while (end - src >= 8 && o.word_fits()) {
        const uint64_t v = load<uint64_t>(src);
        const uint64_t zeros = zero_bytes(v);
        if (zeros == 0) {
            break;
        }
        word_out(o, o.out, v, zeros);
        o.out += 8;
        src += 8;
    }
    return src;
}

// The run up to the next zero or the end of the input, copied block by block;
// a block that fills closes with code 255 when anything follows it. Takes the
// zero too, and returns where the input goes on. The copy of the run's last
// block goes on as far as that block could reach: what lies behind its zero
// keeps its place (no full block comes in between), so the next runs find
// their bytes already moved, up to `o.moved`.
const uint8_t* run_to_zero(Output& o, const uint8_t* src, const uint8_t* end)
{
    const uint8_t* const stop = find_zero(src, end);
    for (;;) {
        const size_t room = kMaxRun + 1 - static_cast<size_t>(o.out - o.code);
        const size_t len = static_cast<size_t>(stop - src);
        if (len < room) {
            if (stop > o.moved) {
                const uint8_t* const from = src > o.moved ? src : o.moved;
                const size_t reach = static_cast<size_t>(end - src) < room ? static_cast<size_t>(end - src) : room;
                copy(o.out + (from - src), from, reach - static_cast<size_t>(from - src));
                o.moved = src + reach;
            }
            o.out += len;
            src = stop;
            break;
        }
        if (src + room > o.moved) {
            const uint8_t* const from = src > o.moved ? src : o.moved;
            copy(o.out + (from - src), from, room - static_cast<size_t>(from - src));
        }
        o.out += room;
        src += room;
        o.moved = src;
        if (src == end) {
            return src;
        }
        *o.code = 0xFF;
        o.code = o.out++;
    }
    if (src != end) {
        o.close_at(o.out++);
        ++src;
    }
    return src;
}

// The last few bytes, fewer than a word, when they cannot fill the open
// block: moved at once, their zeros found in the word they make.
inline __attribute__((always_inline)) void short_tail(Output& o, const uint8_t* src, size_t n)
{
    move_short(o.out, src, n);
    for (uint64_t zeros = zero_bytes(load_short(src, n) | ~uint64_t{0} << (8 * n)); zeros != 0; zeros &= zeros - 1) {
        o.close_at(o.out + first_marked_byte(zeros));
    }
    o.out += n;
}

// Four one-byte blocks (02 x 02 x 02 x 02 x) in the word at src decode to
// x 00 x 00 x 00 x 00 in one move. The caller makes sure more input follows,
// so that the last of them ends with its zero, and that the room takes eight.
inline __attribute__((always_inline)) bool one_byte_blocks(uint8_t* dst, const uint8_t* src)
{
    const uint64_t v = load<uint64_t>(src);
    if ((v & kEvenBytes) != kTwoAtEvenBytes) {
        return false;
    }
    store<uint64_t>(dst, (v >> 8) & kEvenBytes);
    return true;
}

// m >= 8 bytes that cannot fill the open block (it holds at most 253 - m):
// the output is the input moved up by one byte, each zero's place the code
// byte of the block after it. Sixteen bytes are moved and tested at a time,
// and only those holding a zero are looked at word by word.
void in_place(Output& o, const uint8_t* src, size_t m)
{
    // The last word first: the words before it then cover what it shares
    // with them before any code byte goes there.
    const uint64_t last = load<uint64_t>(src + m - 8);
    store<uint64_t>(o.out + m - 8, last);
    size_t i = 0;
    for (; i + 16 <= m; i += 16) {
        const Vector16 v = load16(src + i);
        std::memcpy(o.out + i, &v, sizeof v);
        if (any_set(v == 0)) {
            const uint64_t a = load<uint64_t>(src + i);
            const uint64_t b = load<uint64_t>(src + i + 8);
            word_out(o, o.out + i, a, zero_bytes(a));
            word_out(o, o.out + i + 8, b, zero_bytes(b));
        }
    }
    if (i + 8 <= m) {
        const uint64_t v = load<uint64_t>(src + i);
        word_out(o, o.out + i, v, zero_bytes(v));
        i += 8;
    }
    if (i < m) {
        // Only the bytes of the last word that no word before it held.
        uint64_t zeros = zero_bytes(last) & ~uint64_t{0} << (8 * (i + 8 - m));
        for (; zeros != 0; zeros &= zeros - 1) {
            o.close_at(o.out + m - 8 + first_marked_byte(zeros));
        }
    }
    o.out += m;
}

// Whether any of the n >= 1 bytes at src is zero.
bool has_zero(const uint8_t* src, size_t n)
{
    if (n >= kLongScan) {
        return std::memchr(src, 0, n) != nullptr;
    }
    if (n >= 8) {
        uint64_t zero = zero_flags(load<uint64_t>(src + n - 8));
        for (size_t i = 0; i + 8 < n; i += 8) {
            zero |= zero_flags(load<uint64_t>(src + i));
        }
        return zero != 0;
    }
    return zero_bytes(load_short(src, n) | ~uint64_t{0} << (8 * n)) != 0;
}

// A frame of at most 255 bytes without zeros holds no complete full block, so
// every code byte but the first stands for a zero in its own place: the data
// is the frame moved down by one byte, with a zero where each later code byte
// was. Room for n - 1 bytes takes all of it.
cobs_decode_result decode_shifted(uint8_t* dst, const uint8_t* src, size_t n)
{
    copy(dst, src + 1, n - 1);
    size_t at = src[0];
    while (at < n) {
        dst[at - 1] = 0;
        at += src[at];
    }
    return {n - 1, at == n ? COBS_DECODE_OK : COBS_DECODE_INPUT_TOO_SHORT};
}

// Any frame without zeros, block by block, with the room checked for each.
cobs_decode_result decode_blocks(uint8_t* dst, size_t dst_len, const uint8_t* src, size_t n)
{
    // Decoding never yields more bytes than its input has: more room changes
    // nothing, and the bound keeps the pointer arithmetic inside the buffers.
    dst_len = dst_len < n ? dst_len : n;
    uint8_t* const start = dst;
    uint8_t* const dst_end = dst + dst_len;
    const uint8_t* const end = src + n;
    unsigned status = COBS_DECODE_OK;
    for (;;) {
        if (end - src > 8 && dst_end - dst >= 8 && one_byte_blocks(dst, src)) {
            src += 8;
            dst += 8;
            continue;
        }
        size_t k = *src++ - 1u;
        if (k > static_cast<size_t>(end - src)) {
            status |= COBS_DECODE_INPUT_TOO_SHORT;
            k = static_cast<size_t>(end - src);
        }
        if (k > static_cast<size_t>(dst_end - dst)) {
            status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
            k = static_cast<size_t>(dst_end - dst);
        }
        copy(dst, src, k);
        src += k;
        dst += k;
        if (src == end) {
            break;
        }
        if (k != kMaxRun) {
            if (dst == dst_end) {
                status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
                break;
            }
            *dst++ = 0;
        }
    }
    return {static_cast<size_t>(dst - start), static_cast<cobs_decode_status>(status)};
}

}  // namespace

size_t encode(uint8_t* dst, const uint8_t* src, size_t n)
{
    Output o{dst, dst + 1, src};
    const uint8_t* const end = src + n;
    if (n < 8) {
        if (n != 0) {
            short_tail(o, src, n);
        }
        *o.code = static_cast<uint8_t>(o.out - o.code);
        return n + 1;
    }
    // Short inputs go in place whole (no block can fill within them); long
    // runs are faster with memchr and memcpy.
    if (n <= kInPlace) {
        in_place(o, src, n);
        *o.code = static_cast<uint8_t>(o.out - o.code);
        return n + 1;
    }
    while (src != end) {
        src = words_with_zeros(o, src, end);
        if (end - src < 8 && src != end && o.word_fits()) {
            short_tail(o, src, static_cast<size_t>(end - src));
            break;
        }
        if (src != end) {
            src = run_to_zero(o, src, end);
        }
    }
    *o.code = static_cast<uint8_t>(o.out - o.code);
    return static_cast<size_t>(o.out - dst);
}

cobs_decode_result decode(uint8_t* dst, size_t dst_len, const uint8_t* src, size_t n)
{
    if (has_zero(src, n)) {
        return {0, kNotTaken};
    }
    if (n <= kMaxRun + 1 && dst_len >= n - 1) {
        return decode_shifted(dst, src, n);
    }
    return decode_blocks(dst, dst_len, src, n);
}

}  // namespace kelvex::link::fast
