// The virtual satellite's line handling: bytes in chunks of random size
// through its frame reader, every valid frame through its bus controller,
// every answer framed again. Checks that no byte is lost or invented by the
// reader, that it agrees with the reference decoder, and that every answer
// carries the request's addresses swapped and frames cleanly.
#include <algorithm>
#include <random>

#include "model/bus.h"
#include "fakes/fake_bus.h"
#include "line/framer.h"
#include "fuzz/fuzz_check.h"
#include "model/physics.h"
#include "model/sensors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using kelvex::sim::Frame;
    if (size == 0) {
        return 0;
    }
    kelvex::sim::Physics physics{kelvex::sim::PhysicsParams{}};
    kelvex::sim::Sensors sensors(1.0, 7);
    kelvex::sim::Bus bus(physics, sensors);
    kelvex::sim::FrameReader reader;
    std::minstd_rand rng(data[0]);

    size_t nonzero_in = std::count_if(data + 1, data + size, [](uint8_t b) { return b != 0; });
    size_t kept = 0;
    size_t at = 1;
    while (at < size) {
        const size_t chunk = std::min<size_t>(size - at, 1 + rng() % 300);
        for (const Frame& f : reader.feed(data + at, chunk)) {
            FUZZ_CHECK(!f.raw.empty() && f.raw.size() <= kelvex::sim::FrameReader::kMaxFrame);
            FUZZ_CHECK(std::find(f.raw.begin(), f.raw.end(), 0) == f.raw.end());
            kept += f.raw.size();
            kelvex::testing::Bytes ref;
            const bool ref_ok = kelvex::testing::cobs_decode_ref(f.raw, ref);
            FUZZ_CHECK(f.ok == ref_ok);
            if (!f.ok || kelvex::sim::is_greeting(f.decoded)) {
                continue;
            }
            FUZZ_CHECK(f.decoded == ref);
            physics.step(0.01);
            const kelvex::sim::Outcome out = bus.handle(f.decoded, physics.time());
            if (!out.answered) {
                continue;
            }
            const auto& a = out.answer;
            FUZZ_CHECK(a.size() >= 6);
            FUZZ_CHECK(a[2] == f.decoded[4] && a[3] == f.decoded[5] && a[4] == f.decoded[2] &&
                       a[5] == f.decoded[3]);
            const kelvex::testing::Bytes wire = kelvex::sim::encode_frame(a);
            FUZZ_CHECK(!wire.empty() && wire.back() == 0);
            kelvex::testing::Bytes back;
            FUZZ_CHECK(kelvex::testing::cobs_decode_ref(kelvex::testing::Bytes(wire.begin(), wire.end() - 1), back));
            FUZZ_CHECK(back == a);
            kelvex::fuzz::keep(wire.data(), wire.size());
        }
        at += chunk;
    }
    FUZZ_CHECK(kept + reader.pending() == nonzero_in);
    return 0;
}
