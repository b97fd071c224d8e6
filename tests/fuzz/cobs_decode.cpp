// cobs_decode on arbitrary input: stays inside both buffers, reports only
// defined status bits, gives the reference byte loop's result (length,
// status and bytes) for every input and room, and a smaller output buffer
// yields a prefix of the full decoding.
#include <cstring>
#include <memory>

#include "fakes/fake_bus.h"
#include "fuzz/fuzz_check.h"
#include "kelvex/cobs.h"
#include "link/cobs_reference.h"

namespace {

constexpr uint8_t kCanary = 0xA5;

struct Run {
    kelvex::testing::Bytes out;
    unsigned status;
};

// Decodes into a heap buffer of exactly `cap` bytes, so that one byte too far
// is an AddressSanitizer report, and checks that nothing past out_len moved
// and that the reference gives the same.
Run decode_into(size_t cap, const uint8_t* src, size_t n)
{
    std::unique_ptr<uint8_t[]> dst(new uint8_t[cap == 0 ? 1 : cap]);
    std::memset(dst.get(), kCanary, cap);
    const cobs_decode_result r = cobs_decode(cap == 0 ? dst.get() + 1 : dst.get(), cap, src, n);
    std::unique_ptr<uint8_t[]> want(new uint8_t[cap == 0 ? 1 : cap]);
    const cobs_decode_result w = kelvex::link::reference::decode(want.get(), cap, src, n);
    FUZZ_CHECK(r.status == w.status && r.out_len == w.out_len);
    FUZZ_CHECK(r.out_len > cap || std::memcmp(dst.get(), want.get(), r.out_len) == 0);
    FUZZ_CHECK(r.out_len <= cap);
    FUZZ_CHECK(r.out_len <= n);
    for (size_t i = r.out_len; i < cap; ++i) {
        FUZZ_CHECK(dst[i] == kCanary);
    }
    kelvex::fuzz::keep(dst.get(), r.out_len);
    return {kelvex::testing::Bytes(dst.get(), dst.get() + std::min(r.out_len, cap)),
            static_cast<unsigned>(r.status)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    // The first byte chooses the room of the small output buffer.
    const size_t small = data[0];
    const uint8_t* src = data + 1;
    const size_t n = size - 1;
    // A buffer of nothing but the input's own bytes, so a read past src_len is
    // caught as well.
    std::unique_ptr<uint8_t[]> input(new uint8_t[n == 0 ? 1 : n]);
    std::memcpy(input.get(), src, n);

    const Run full = decode_into(n, input.get(), n);
    constexpr unsigned kDefined = COBS_DECODE_OUT_BUFFER_OVERFLOW | COBS_DECODE_ZERO_BYTE_IN_INPUT |
                                  COBS_DECODE_INPUT_TOO_SHORT;
    FUZZ_CHECK((full.status & ~kDefined) == 0);
    // Decoding never yields more than its input, so n bytes of room never
    // overflow.
    FUZZ_CHECK((full.status & COBS_DECODE_OUT_BUFFER_OVERFLOW) == 0);
    if (n == 0) {
        FUZZ_CHECK(full.status == COBS_DECODE_OK && full.out.empty());
        return 0;
    }
    kelvex::testing::Bytes ref;
    const bool ref_ok = kelvex::testing::cobs_decode_ref(kelvex::testing::Bytes(src, src + n), ref);
    FUZZ_CHECK(ref_ok == (full.status == COBS_DECODE_OK));
    if (ref_ok) {
        FUZZ_CHECK(full.out == ref);
    }

    const Run cut = decode_into(small, input.get(), n);
    FUZZ_CHECK(cut.out.size() <= full.out.size());
    FUZZ_CHECK(std::equal(cut.out.begin(), cut.out.end(), full.out.begin()));
    if (cut.out.size() < full.out.size()) {
        FUZZ_CHECK((cut.status & COBS_DECODE_OUT_BUFFER_OVERFLOW) != 0);
    }
    return 0;
}
