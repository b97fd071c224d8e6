#include "kelvex/cobs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fakes/fake_bus.h"
#include "link/cobs_reference.h"

namespace {

using kelvex::testing::Bytes;
using kelvex::testing::cobs_decode_ref;
using kelvex::testing::cobs_encode_ref;

// An empty vector's data() may be null, which the codec rightly refuses.
const uint8_t* src_of(const Bytes& b)
{
    static const uint8_t empty = 0;
    return b.empty() ? &empty : b.data();
}

Bytes encode(const Bytes& in, size_t cap, cobs_encode_status* status = nullptr)
{
    Bytes out(cap + 1, 0xEE);  // one guard byte past the capacity
    cobs_encode_result r = cobs_encode(out.data(), cap, src_of(in), in.size());
    EXPECT_EQ(out[cap], 0xEE) << "encoder wrote past its capacity";
    if (status) {
        *status = r.status;
    } else {
        EXPECT_EQ(r.status, COBS_ENCODE_OK);
    }
    out.resize(r.out_len);
    return out;
}

struct Decoded {
    Bytes out;
    unsigned status;
};

Decoded decode(const Bytes& in, size_t cap)
{
    Bytes out(cap + 1, 0xEE);
    cobs_decode_result r = cobs_decode(out.data(), cap, src_of(in), in.size());
    EXPECT_EQ(out[cap], 0xEE) << "decoder wrote past its capacity";
    out.resize(r.out_len);
    return {out, static_cast<unsigned>(r.status)};
}

TEST(CobsEncode, KnownVectors)
{
    EXPECT_EQ(encode({0x48, 0x49, 0x20, 0x41, 0x4C, 0x4C, 0x21, 0x00}, 64),
              (Bytes{0x08, 0x48, 0x49, 0x20, 0x41, 0x4C, 0x4C, 0x21, 0x01}));
    EXPECT_EQ(encode({}, 4), (Bytes{0x01}));
    EXPECT_EQ(encode({0x00}, 4), (Bytes{0x01, 0x01}));
    EXPECT_EQ(encode({0x00, 0x23, 0x30, 0x02, 0x01, 0x00}, 16),
              (Bytes{0x01, 0x05, 0x23, 0x30, 0x02, 0x01, 0x01}));

    Bytes run254(254, 0x41);
    Bytes e = encode(run254, 512);
    ASSERT_EQ(e.size(), 255u);
    EXPECT_EQ(e[0], 0xFF);

    Bytes run255(255, 0x41);
    e = encode(run255, 512);
    ASSERT_EQ(e.size(), 257u);
    EXPECT_EQ(e[0], 0xFF);
    EXPECT_EQ(e[255], 0x02);
    EXPECT_EQ(e[256], 0x41);
}

TEST(CobsEncode, FailuresReportTheirStatus)
{
    uint8_t buf[4];
    const uint8_t src[1] = {1};
    EXPECT_EQ(cobs_encode(nullptr, 4, src, 1).status, COBS_ENCODE_NULL_POINTER);
    cobs_encode_result r = cobs_encode(buf, 4, nullptr, 1);
    EXPECT_EQ(r.status, COBS_ENCODE_NULL_POINTER);
    EXPECT_EQ(r.out_len, 0u);

    cobs_encode_status st;
    Bytes hi = {0x48, 0x49, 0x20, 0x41, 0x4C, 0x4C, 0x21, 0x00};
    Bytes cut = encode(hi, 8, &st);  // needs 9
    EXPECT_EQ(st, COBS_ENCODE_OUT_BUFFER_OVERFLOW);
    EXPECT_EQ(cut.size(), 8u);

    encode({}, 0, &st);
    EXPECT_EQ(st, COBS_ENCODE_OUT_BUFFER_OVERFLOW);
}

TEST(CobsDecode, KnownVectorsAndStatuses)
{
    Decoded d = decode({0x08, 0x48, 0x49, 0x20, 0x41, 0x4C, 0x4C, 0x21, 0x01}, 64);
    EXPECT_EQ(d.status, 0u);
    EXPECT_EQ(d.out, (Bytes{0x48, 0x49, 0x20, 0x41, 0x4C, 0x4C, 0x21, 0x00}));

    d = decode({0x01, 0x01}, 8);
    EXPECT_EQ(d.out, (Bytes{0x00}));

    d = decode({0x03, 0x41}, 8);
    EXPECT_EQ(d.status, unsigned(COBS_DECODE_INPUT_TOO_SHORT));
    EXPECT_EQ(d.out, (Bytes{0x41}));

    d = decode({0x02, 0x41, 0x00, 0x02, 0x42}, 8);
    EXPECT_EQ(d.status, unsigned(COBS_DECODE_ZERO_BYTE_IN_INPUT));
    EXPECT_EQ(d.out, (Bytes{0x41, 0x00}));

    d = decode({0x03, 0x41, 0x00}, 8);
    EXPECT_EQ(d.status, unsigned(COBS_DECODE_ZERO_BYTE_IN_INPUT));
    EXPECT_EQ(d.out.size(), 2u);

    d = decode({0x05, 0x41, 0x42}, 1);
    EXPECT_EQ(d.status, unsigned(COBS_DECODE_INPUT_TOO_SHORT | COBS_DECODE_OUT_BUFFER_OVERFLOW));
    EXPECT_EQ(d.out, (Bytes{0x41}));

    // The implied zero between blocks needs room too.
    d = decode({0x02, 0x41, 0x02, 0x42}, 1);
    EXPECT_EQ(d.status, unsigned(COBS_DECODE_OUT_BUFFER_OVERFLOW));

    d = decode({}, 8);
    EXPECT_EQ(d.status, 0u);
    EXPECT_TRUE(d.out.empty());

    uint8_t buf[4];
    const uint8_t src[1] = {1};
    EXPECT_EQ(cobs_decode(nullptr, 4, src, 1).status, COBS_DECODE_NULL_POINTER);
    EXPECT_EQ(cobs_decode(buf, 4, nullptr, 1).status, COBS_DECODE_NULL_POINTER);
}

// Each path of the codec against the reference byte loop: the same length,
// status and bytes, with the source and destination at every offset within a
// word, and nothing written past out_len (decode) or the capacity (encode).
constexpr uint8_t kGuard = 0xEE;

// `lib` and `ref` take (dst, room, src, n) and return an encode or decode
// result; the whole destination is compared, so a byte written past out_len
// shows too.
template <typename Lib, typename Ref>
void expect_as_reference(Lib lib, Ref ref, const Bytes& in, size_t cap)
{
    for (size_t shift = 0; shift < 8; ++shift) {
        Bytes src(shift + in.size() + 1, 0x5A);
        std::copy(in.begin(), in.end(), src.begin() + static_cast<long>(shift));
        Bytes want(cap + 8, kGuard);
        Bytes got(shift + cap + 8, kGuard);
        const auto w = ref(want.data(), cap, src.data() + shift, in.size());
        const auto g = lib(got.data() + shift, cap, src.data() + shift, in.size());
        ASSERT_EQ(g.status, w.status) << "n=" << in.size() << " cap=" << cap << " shift=" << shift;
        ASSERT_EQ(g.out_len, w.out_len) << "n=" << in.size() << " cap=" << cap;
        ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin() + static_cast<long>(shift)))
            << "n=" << in.size() << " cap=" << cap << " shift=" << shift;
    }
}

void expect_encode_as_reference(const Bytes& in, size_t cap)
{
    expect_as_reference(cobs_encode, kelvex::link::reference::encode, in, cap);
}

void expect_decode_as_reference(const Bytes& in, size_t cap)
{
    expect_as_reference(cobs_decode, kelvex::link::reference::decode, in, cap);
}

Bytes run_of(size_t n, uint8_t first = 1)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(first + i % 250);
    }
    return b;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

size_t worst_case(size_t n) { return n == 0 ? 1 : n + 1 + (n - 1) / 254; }

// Inputs with a zero at each place, with zeros everywhere and nowhere, and
// with every other byte zero from an odd and an even start.
std::vector<Bytes> zero_patterns(size_t n)
{
    std::vector<Bytes> out = {run_of(n), Bytes(n, 0)};
    for (size_t at = 0; at < n; ++at) {
        Bytes b = run_of(n);
        b[at] = 0;
        out.push_back(b);
    }
    for (size_t start : {0, 1}) {
        Bytes b = run_of(n);
        for (size_t i = start; i < n; i += 2) {
            b[i] = 0;
        }
        out.push_back(b);
    }
    return out;
}

// Encoding with room for the worst case, inputs of less than a word: moved at
// once, their zeros found in the word they make. Every pattern of zeros.
TEST(CobsEncodePaths, InputsShorterThanAWord)
{
    EXPECT_EQ(encode({0x11, 0x00, 0x22}, 4), (Bytes{0x02, 0x11, 0x02, 0x22}));
    EXPECT_EQ(encode({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 8), Bytes(8, 0x01));
    for (size_t n = 0; n < 8; ++n) {
        for (unsigned zeros = 0; zeros < (1u << n); ++zeros) {
            Bytes in = run_of(n);
            for (size_t i = 0; i < n; ++i) {
                if ((zeros >> i & 1) != 0) {
                    in[i] = 0;
                }
            }
            expect_encode_as_reference(in, worst_case(n));
        }
    }
}

// Inputs of a word up to 128 bytes, encoded in place sixteen bytes at a time
// (no block can fill): words of every other byte zero in one move, other
// words zero by zero, the bytes past the last whole sixteen from the last word.
TEST(CobsEncodePaths, InputsUpTo128InPlace)
{
    EXPECT_EQ(encode({7, 0, 9, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 8}, 64),
              (Bytes{2, 7, 2, 9, 2, 1, 2, 2, 2, 3, 2, 4, 2, 5, 2, 6, 2, 8}));
    EXPECT_EQ(encode({0, 7, 0, 9, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6}, 64),
              (Bytes{1, 2, 7, 2, 9, 2, 1, 2, 2, 2, 3, 2, 4, 2, 5, 2, 6}));
    for (size_t n : {8, 9, 15, 16, 17, 23, 24, 31, 32, 33, 63, 64, 65, 127, 128}) {
        for (const Bytes& in : zero_patterns(n)) {
            expect_encode_as_reference(in, worst_case(n));
        }
    }
    // Dense pattern broken once: the word after the break zero by zero.
    Bytes broken(40, 0);
    for (size_t i = 0; i < broken.size(); i += 2) {
        broken[i] = static_cast<uint8_t>(i + 1);
    }
    broken[9] = 5;
    expect_encode_as_reference(broken, worst_case(broken.size()));
}

// Longer inputs, run by run: words holding zeros one after another, then
// memchr to the next zero and memcpy block by block; full blocks of 254
// bytes, zeros right behind them, and the last bytes short of a word.
TEST(CobsEncodePaths, LongerInputsRunByRun)
{
    const Bytes runs[] = {
        run_of(129),
        run_of(253),
        run_of(254),
        run_of(255),
        join({run_of(254), {0}}),
        join({run_of(254), {0}, run_of(3)}),
        join({{0}, run_of(508), {0}}),
        join({run_of(509), {0, 0}}),
        join({run_of(250), {1, 2, 0, 4, 5, 6, 7, 8}, run_of(20)}),
        join({run_of(246), {1, 0, 3, 4, 5, 6, 7, 8}, run_of(300)}),
        join({Bytes(300, 0), run_of(300)}),
        run_of(4096),
    };
    EXPECT_EQ(encode(join({run_of(254), {0}}), 300).size(), 257u);
    EXPECT_EQ(encode(join({run_of(254), {0}}), 300)[255], 0x01);
    for (const Bytes& in : runs) {
        expect_encode_as_reference(in, worst_case(in.size()));
        expect_encode_as_reference(in, worst_case(in.size()) + 9);
    }
    for (size_t n : {129, 300}) {
        for (const Bytes& in : zero_patterns(n)) {
            expect_encode_as_reference(in, worst_case(n));
        }
    }
    // Every ending up to a few words behind a run that nearly fills a block.
    for (size_t n = 0; n < 40; ++n) {
        const Bytes ends = n == 0 ? Bytes{} : join({{0}, run_of(n - std::min<size_t>(n, 2)), Bytes(n >= 2, 0)});
        for (const Bytes& in : {run_of(n), Bytes(n, 0), ends, join({run_of(n / 2), Bytes(n - n / 2, 0)})}) {
            ASSERT_EQ(in.size(), n);
            expect_encode_as_reference(join({run_of(250), in}), worst_case(250 + n));
        }
    }
}

// Too little room for the worst case: the byte loop itself, cut where the
// room ends.
TEST(CobsEncodePaths, RoomShortOfTheWorstCase)
{
    const Bytes in = join({run_of(300), {0, 0}, run_of(20)});
    for (size_t cap = 0; cap < worst_case(in.size()); cap += 7) {
        expect_encode_as_reference(in, cap);
    }
    expect_encode_as_reference(in, worst_case(in.size()) - 1);
    expect_encode_as_reference(run_of(254), 255);
    expect_encode_as_reference(run_of(254), 254);
}

// Every cut of the room a frame's decoding may get: to spare, exact, short.
void expect_decode_as_reference_in_any_room(const Bytes& frame)
{
    Bytes full;
    cobs_decode_ref(frame, full);
    for (size_t cap : {frame.size() + 4, frame.size(), full.size(), full.size() / 2, size_t{1}, size_t{0}}) {
        expect_decode_as_reference(frame, cap);
    }
}

// A clean frame (no zero byte) of at most 255 bytes with room for all of it:
// one move down by one byte, a zero where each later code byte stood; and
// frames that end inside a block.
TEST(CobsDecodePaths, ShortFramesMovedDown)
{
    EXPECT_EQ(decode({0x03, 0x11, 0x22, 0x02, 0x33}, 4).out, (Bytes{0x11, 0x22, 0x00, 0x33}));
    for (size_t n : {0, 1, 7, 8, 16, 17, 64, 200, 253, 254}) {
        for (const Bytes& in : zero_patterns(n)) {
            expect_decode_as_reference_in_any_room(cobs_encode_ref(in));
        }
    }
    for (const Bytes& cut : {Bytes{0xFF, 1, 2}, Bytes{0x05, 1, 2, 3, 4}, Bytes{0x02, 1, 0x04, 2}, Bytes{0x01}}) {
        expect_decode_as_reference_in_any_room(cut);
    }
}

// Longer clean frames, or room short of the frame, block by block: one-byte
// blocks four to a word, short blocks moved in place, long ones copied whole,
// the room checked for each.
TEST(CobsDecodePaths, LongFramesBlockByBlock)
{
    const Bytes dense = {2, 7, 2, 9, 2, 1, 2, 2, 2, 3, 2, 4, 2, 5, 2, 6, 2, 8, 3, 1, 1};
    EXPECT_EQ(decode(dense, 64).out, (Bytes{7, 0, 9, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 8, 0, 1, 1}));
    Bytes long_dense(600, 0);
    for (size_t i = 1; i < long_dense.size(); i += 2) {
        long_dense[i] = static_cast<uint8_t>(i);
    }
    const Bytes frames[] = {
        dense,
        cobs_encode_ref(join({run_of(5), {0}, run_of(12), {0}, run_of(16), {0}, run_of(17)})),
        cobs_encode_ref(run_of(255)),
        cobs_encode_ref(join({run_of(254), {0}, run_of(254)})),
        cobs_encode_ref(join({{0}, run_of(600), {0, 0}})),
        cobs_encode_ref(long_dense),
        cobs_encode_ref(run_of(4000)),
        join({cobs_encode_ref(run_of(300)), {0x09, 1, 2}}),  // cut inside its last block
    };
    for (const Bytes& f : frames) {
        expect_decode_as_reference_in_any_room(f);
    }
}

// A zero byte anywhere, first, last or inside a block, of frames short and
// long: the byte loop takes them apart.
TEST(CobsDecodePaths, FramesWithAZero)
{
    for (size_t n : {1, 2, 3, 7, 8, 9, 16, 63, 64, 65, 300}) {
        const Bytes clean = cobs_encode_ref(run_of(n));
        for (size_t at : {size_t{0}, clean.size() / 2, clean.size() - 1}) {
            Bytes broken = clean;
            broken[at] = 0;
            expect_decode_as_reference(broken, clean.size());
            expect_decode_as_reference(broken, n / 2);
            EXPECT_NE(decode(broken, clean.size()).status & COBS_DECODE_ZERO_BYTE_IN_INPUT, 0u) << n;
        }
    }
}

// The shapes of data the codec takes different paths for: zeros sparse or
// dense at random, every other byte zero (small little-endian words) from an
// odd or an even start with breaks in the pattern, long zero-free runs that
// meet the 254-byte block limit, and messages of a few bytes.
Bytes shaped(std::mt19937& rng, int shape)
{
    const size_t n = shape == 4 ? rng() % 40 : std::uniform_int_distribution<size_t>(0, 5000)(rng);
    const auto nonzero = [&] { return static_cast<uint8_t>(1 + rng() % 255); };
    Bytes in(n);
    for (size_t i = 0; i < n; ++i) {
        switch (shape) {
        case 0:
            in[i] = rng() % 400 == 0 ? 0 : nonzero();
            break;
        case 1:
            in[i] = rng() % 3 == 0 ? 0 : nonzero();
            break;
        case 2:
            in[i] = (i % 2 == 1) == (n % 3 == 0) && rng() % 50 != 0 ? 0 : nonzero();
            break;
        case 3:
            in[i] = rng() % 600 == 0 || i % 254 == 0 ? 0 : nonzero();
            break;
        default:
            in[i] = rng() % 3 == 0 ? 0 : nonzero();
            break;
        }
    }
    return in;
}

TEST(CobsRoundTrip, ShapedBuffersAgreeWithReference)
{
    std::mt19937 rng(20261208);
    for (int iter = 0; iter < 1000; ++iter) {
        const Bytes in = shaped(rng, iter % 5);
        const size_t n = in.size();
        const size_t bound = n == 0 ? 1 : n + 1 + (n - 1) / 254;
        Bytes enc = encode(in, bound);
        ASSERT_LE(enc.size(), bound);
        ASSERT_EQ(enc, cobs_encode_ref(in)) << "n=" << n;
        // A buffer with room to spare takes the encoder's fast path, which
        // must give the same frame.
        ASSERT_EQ(encode(in, bound + 2), enc) << "n=" << n;
        for (uint8_t b : enc) {
            ASSERT_NE(b, 0);
        }
        // Exactly the room the data needs, and room to spare: the bytes past
        // the decoded ones stay as they were.
        Decoded d = decode(enc, n);
        ASSERT_EQ(d.status, 0u) << "n=" << n;
        ASSERT_EQ(d.out, in);
        Bytes wide(n + 16, 0xEE);
        const cobs_decode_result r = cobs_decode(wide.data(), wide.size(), enc.data(), enc.size());
        ASSERT_EQ(r.status, COBS_DECODE_OK);
        ASSERT_EQ(r.out_len, n);
        ASSERT_TRUE(std::equal(in.begin(), in.end(), wide.begin()));
        ASSERT_EQ(Bytes(wide.begin() + static_cast<long>(n), wide.end()), Bytes(16, 0xEE)) << "n=" << n;
    }
}

}  // namespace
