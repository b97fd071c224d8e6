#include "kelvex/cobs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fakes/fake_bus.h"

namespace {

using kelvex::testing::Bytes;

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
        ASSERT_EQ(enc, kelvex::testing::cobs_encode_ref(in)) << "n=" << n;
        // A buffer with room to spare takes the encoder's word-wise path,
        // which must give the same frame.
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
