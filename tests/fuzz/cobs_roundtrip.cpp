// Encode then decode: the encoding has no zero byte, stays within the size
// bound, matches the reference byte loop and decodes back to the input; with
// less room than it needs, the encoder gives the reference's cut frame and
// stays inside the buffer.
#include <cstring>
#include <memory>

#include "fakes/fake_bus.h"
#include "fuzz/fuzz_check.h"
#include "kelvex/cobs.h"
#include "link/cobs_reference.h"

namespace {

size_t bound(size_t n) { return n == 0 ? 1 : n + 1 + (n - 1) / 254; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using kelvex::testing::Bytes;
    std::unique_ptr<uint8_t[]> input(new uint8_t[size == 0 ? 1 : size]);
    if (size > 0) {
        std::memcpy(input.get(), data, size);
    }
    const size_t cap = bound(size);
    std::unique_ptr<uint8_t[]> enc(new uint8_t[cap]);
    const cobs_encode_result e = cobs_encode(enc.get(), cap, input.get(), size);
    FUZZ_CHECK(e.status == COBS_ENCODE_OK);
    FUZZ_CHECK(e.out_len >= 1 && e.out_len <= cap);
    FUZZ_CHECK(std::memchr(enc.get(), 0, e.out_len) == nullptr);
    const Bytes encoded(enc.get(), enc.get() + e.out_len);
    FUZZ_CHECK(encoded == kelvex::testing::cobs_encode_ref(Bytes(data, data + size)));

    // With room to spare the encoder takes its word-wise path: same frame,
    // and nothing written past the (exactly sized) buffer.
    const size_t roomy = cap + 2;
    std::unique_ptr<uint8_t[]> wide(new uint8_t[roomy]);
    const cobs_encode_result w = cobs_encode(wide.get(), roomy, input.get(), size);
    FUZZ_CHECK(w.status == COBS_ENCODE_OK);
    FUZZ_CHECK(w.out_len == e.out_len);
    FUZZ_CHECK(std::memcmp(wide.get(), enc.get(), e.out_len) == 0);

    std::unique_ptr<uint8_t[]> dec(new uint8_t[size == 0 ? 1 : size]);
    const cobs_decode_result d = cobs_decode(dec.get(), size, enc.get(), e.out_len);
    FUZZ_CHECK(d.status == COBS_DECODE_OK);
    FUZZ_CHECK(d.out_len == size);
    FUZZ_CHECK(size == 0 || std::memcmp(dec.get(), data, size) == 0);
    kelvex::fuzz::keep(dec.get(), d.out_len);

    // The encoder with too little room: an overflow, out_len equal to the
    // room, and no byte written past it (the buffer is exactly that long).
    const size_t tight = e.out_len - 1;
    std::unique_ptr<uint8_t[]> small(new uint8_t[tight == 0 ? 1 : tight]);
    const cobs_encode_result s = cobs_encode(small.get(), tight, input.get(), size);
    FUZZ_CHECK(s.status == COBS_ENCODE_OUT_BUFFER_OVERFLOW);
    FUZZ_CHECK(s.out_len == tight);
    kelvex::fuzz::keep(small.get(), tight);
    // Room cut anywhere (the first input byte chooses where): the reference's
    // result, byte for byte.
    const size_t cut = size == 0 ? 0 : data[0] % (e.out_len + 1);
    std::unique_ptr<uint8_t[]> got(new uint8_t[cut == 0 ? 1 : cut]);
    std::unique_ptr<uint8_t[]> want(new uint8_t[cut == 0 ? 1 : cut]);
    const cobs_encode_result g = cobs_encode(got.get(), cut, input.get(), size);
    const cobs_encode_result r = kelvex::link::reference::encode(want.get(), cut, input.get(), size);
    FUZZ_CHECK(g.status == r.status && g.out_len == r.out_len);
    FUZZ_CHECK(std::memcmp(got.get(), want.get(), g.out_len) == 0);
    return 0;
}
