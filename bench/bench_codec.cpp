// The COBS codec against codecs shaped as its public peers are: a plain loop
// over bytes, and block copies with memchr and memcpy (find a block's end,
// copy it whole). All give the library's results on every input measured
// (checked at start-up against the reference byte loop), and memcpy of the
// same bytes is measured beside them as the floor. The data: random bytes,
// zero-dense bytes (every other byte zero, as little-endian words of small
// values are), zero-free bytes (the longest blocks), and the device API's own
// requests and answers built from the family table.
//
// Each case rotates over several inputs, so that no single input trains the
// branch predictor. A round measures every contender in short batches that
// take turns, in an order that rotates, and keeps each contender's fastest
// batch; the figure of a case is the median over the rounds of the per-round
// ratio to the faster peer, with the lowest and highest ratio as its spread.
// Not run by the tests.
//   build/bench/bench_codec [--rounds=N] [--batch-us=N] [--case=TEXT]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "devices/families.h"
#include "kelvex/cobs.h"
#include "link/cobs_reference.h"
#include "placed_buffer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kelvex::bench::PlacedBuffer;

// ---------------------------------------------------------------------------
// The peers' shapes. Each is given room for the worst case, as the transport
// gives the library; with less they report an overflow without matching the
// library's cut frame byte for byte.

// A plain loop over bytes.
__attribute__((noinline)) cobs_encode_result loop_encode(uint8_t* dst, size_t cap, const uint8_t* src,
                                                         size_t n)
{
    size_t code = 0;
    size_t w = 1;
    uint8_t run = 1;
    for (size_t i = 0; i < n; ++i) {
        if (w >= cap) {
            return {cap, COBS_ENCODE_OUT_BUFFER_OVERFLOW};
        }
        const uint8_t b = src[i];
        if (b == 0) {
            dst[code] = run;
            code = w++;
            run = 1;
        } else {
            dst[w++] = b;
            if (++run == 0xFF && i + 1 < n) {
                dst[code] = 0xFF;
                code = w++;
                run = 1;
            }
        }
    }
    if (code >= cap) {
        return {cap, COBS_ENCODE_OUT_BUFFER_OVERFLOW};
    }
    dst[code] = run;
    return {w, COBS_ENCODE_OK};
}

__attribute__((noinline)) cobs_decode_result loop_decode(uint8_t* dst, size_t cap, const uint8_t* src,
                                                         size_t n)
{
    unsigned status = 0;
    const uint8_t* const end = src + n;
    uint8_t* const dst_end = dst + cap;
    uint8_t* const start = dst;
    while (src < end) {
        const uint8_t code = *src++;
        if (code == 0) {
            status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
            break;
        }
        size_t k = code - 1u;
        if (k > static_cast<size_t>(end - src)) {
            status |= COBS_DECODE_INPUT_TOO_SHORT;
            k = static_cast<size_t>(end - src);
        }
        if (k > static_cast<size_t>(dst_end - dst)) {
            status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
            k = static_cast<size_t>(dst_end - dst);
        }
        for (size_t i = 0; i < k; ++i) {
            const uint8_t b = *src++;
            if (b == 0) {
                status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
            }
            *dst++ = b;
        }
        if (src >= end) {
            break;
        }
        if (k != 0xFE) {
            if (dst >= dst_end) {
                status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
                break;
            }
            *dst++ = 0;
        }
    }
    return {static_cast<size_t>(dst - start), static_cast<cobs_decode_status>(status)};
}

// Block copies: memchr finds where a block ends (a zero, or 254 bytes on),
// memcpy moves it whole.
__attribute__((noinline)) cobs_encode_result block_encode(uint8_t* dst, size_t cap, const uint8_t* src,
                                                          size_t n)
{
    const uint8_t* const end = src + n;
    uint8_t* code = dst;
    uint8_t* out = dst + 1;
    for (;;) {
        const size_t left = static_cast<size_t>(end - src);
        const size_t chunk = left < 254 ? left : 254;
        if (static_cast<size_t>(out - dst) + chunk + 1 > cap) {
            return {cap, COBS_ENCODE_OUT_BUFFER_OVERFLOW};
        }
        const auto* zero = static_cast<const uint8_t*>(std::memchr(src, 0, chunk));
        const size_t len = zero != nullptr ? static_cast<size_t>(zero - src) : chunk;
        std::memcpy(out, src, len);
        out += len;
        src += len;
        if (zero != nullptr) {
            *code = static_cast<uint8_t>(len + 1);
            code = out++;
            ++src;
        } else if (chunk == 254 && src != end) {
            *code = 0xFF;
            code = out++;
        } else {
            break;
        }
    }
    *code = static_cast<uint8_t>(out - code);
    return {static_cast<size_t>(out - dst), COBS_ENCODE_OK};
}

__attribute__((noinline)) cobs_decode_result block_decode(uint8_t* dst, size_t cap, const uint8_t* src,
                                                          size_t n)
{
    unsigned status = 0;
    const uint8_t* const end = src + n;
    uint8_t* const dst_end = dst + cap;
    uint8_t* const start = dst;
    while (src < end) {
        const uint8_t code = *src++;
        if (code == 0) {
            status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
            break;
        }
        size_t k = code - 1u;
        if (k > static_cast<size_t>(end - src)) {
            status |= COBS_DECODE_INPUT_TOO_SHORT;
            k = static_cast<size_t>(end - src);
        }
        if (k > static_cast<size_t>(dst_end - dst)) {
            status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
            k = static_cast<size_t>(dst_end - dst);
        }
        std::memcpy(dst, src, k);
        // The same results as the others: a zero inside a block is reported.
        if (std::memchr(src, 0, k) != nullptr) {
            status |= COBS_DECODE_ZERO_BYTE_IN_INPUT;
        }
        src += k;
        dst += k;
        if (src >= end) {
            break;
        }
        if (k != 0xFE) {
            if (dst >= dst_end) {
                status |= COBS_DECODE_OUT_BUFFER_OVERFLOW;
                break;
            }
            *dst++ = 0;
        }
    }
    return {static_cast<size_t>(dst - start), static_cast<cobs_decode_status>(status)};
}

using Encode = cobs_encode_result (*)(uint8_t*, size_t, const uint8_t*, size_t);
using Decode = cobs_decode_result (*)(uint8_t*, size_t, const uint8_t*, size_t);

// The contenders, each called through a volatile pointer so that no call is
// resolved at compile time and the library's functions and the peers in this
// program are called alike.
struct Codec {
    const char* name;
    Encode volatile encode;
    Decode volatile decode;
};
Codec g_codecs[] = {
    {"kelvex", cobs_encode, cobs_decode},
    {"byte loop", loop_encode, loop_decode},
    {"memchr+memcpy", block_encode, block_decode},
};
constexpr int kPeers = 2;

// ---------------------------------------------------------------------------
// Inputs.

Bytes zero_dense(size_t n, std::mt19937& rng)
{
    Bytes v(n);
    for (size_t i = 0; i < n; i += 2) {
        v[i] = static_cast<uint8_t>(rng() % 255 + 1);
    }
    return v;
}

Bytes random_bytes(size_t n, std::mt19937& rng)
{
    Bytes v(n);
    for (uint8_t& b : v) {
        b = static_cast<uint8_t>(rng());
    }
    return v;
}

Bytes zero_free(size_t n, std::mt19937& rng)
{
    Bytes v(n);
    for (uint8_t& b : v) {
        b = static_cast<uint8_t>(rng() % 255 + 1);
    }
    return v;
}

void put16(Bytes& m, unsigned v)
{
    m.push_back(static_cast<uint8_t>(v & 0xFF));
    m.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

// Sensor readings, speeds and settings: small numbers, some negative.
unsigned small_value(std::mt19937& rng)
{
    const int v = static_cast<int>(rng() % 1400) - 300;
    return static_cast<unsigned>(v) & 0xFFFF;
}

size_t raw_words(kelvex::devices::FamilyId id)
{
    using kelvex::devices::FamilyId;
    switch (id) {
    case FamilyId::sun_sensor:
        return 2;
    case FamilyId::accelerometer:
    case FamilyId::magnetometer:
    case FamilyId::hyro:
        return 3;
    default:
        return 1;
    }
}

// Every operation of every family for every unit, as the device API builds
// the request and the controller answers it (addresses swapped).
std::vector<Bytes> device_corpus(bool answers)
{
    using kelvex::devices::Op;
    std::mt19937 rng(7);
    std::vector<Bytes> out;
    for (const kelvex::devices::Family& f : kelvex::devices::kFamilyTable) {
        for (size_t i = 0; i < f.op_count; ++i) {
            const Op op = f.ops[i].op;
            size_t request_words = 0;
            size_t answer_words = 0;
            Bytes extra;
            switch (op) {
            case Op::request_raw:
            case Op::request_maxraw:
                answer_words = raw_words(f.id);
                break;
            case Op::request_speed:
            case Op::request_state:
                answer_words = 1;
                break;
            case Op::set_value:
            case Op::set_speed:
                request_words = 1;
                answer_words = 1;  // the echo the setting is confirmed by
                break;
            case Op::set_minvalue:
            case Op::set_calibrate:
                request_words = 1;
                break;
            case Op::request_buff:
                answer_words = 16;
                break;
            case Op::send:
                request_words = 1;  // the receiving unit, then a piece of data
                extra = {'p', 'o', 's', 'i', 't', 'i', 'o', 'n', ' ', '4', '2'};
                break;
            case Op::message:
                request_words = 1;  // the message id, then its arguments
                extra = {'s', 't', 'a', 't', 'u', 's'};
                answer_words = 1;
                break;
            default:
                break;
            }
            for (unsigned unit = 0; unit <= f.highest; ++unit) {
                const unsigned code = f.unit_class * 256u + f.ops[i].offset + unit;
                const unsigned device = f.base + unit;
                Bytes m;
                put16(m, code);
                if (answers) {
                    if (answer_words == 0) {
                        continue;
                    }
                    put16(m, 1);
                    put16(m, device);
                    for (size_t w = 0; w < answer_words; ++w) {
                        put16(m, small_value(rng));
                    }
                } else {
                    put16(m, device);
                    put16(m, 1);
                    for (size_t w = 0; w < request_words; ++w) {
                        put16(m, small_value(rng));
                    }
                    m.insert(m.end(), extra.begin(), extra.end());
                }
                out.push_back(std::move(m));
            }
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// One case: its inputs, their encodings, and buffers placed apart.

size_t bound(size_t n) { return n + n / 254 + 2; }

class Case {
public:
    Case(std::string name, std::vector<Bytes> inputs) : name_(std::move(name))
    {
        size_t in_total = 0;
        size_t largest = 0;
        for (const Bytes& b : inputs) {
            in_total += b.size();
            largest = std::max(largest, b.size());
        }
        // Inputs one after another, as frames follow each other on the line;
        // a large input starts a page of its own.
        const size_t stride_of_large = largest >= 1024 ? PlacedBuffer::kPage : 1;
        auto place = [&](size_t n) { return (n + stride_of_large - 1) / stride_of_large * stride_of_large; };
        size_t in_room = 0;
        size_t enc_room = 0;
        for (const Bytes& b : inputs) {
            in_room += place(b.size());
            enc_room += place(bound(b.size()));
        }
        plain_ = std::make_unique<PlacedBuffer>(in_room, kelvex::bench::kSourceOffset);
        encoded_ = std::make_unique<PlacedBuffer>(enc_room, kelvex::bench::kSourceOffset + 1024);
        out_ = std::make_unique<PlacedBuffer>(bound(largest), kelvex::bench::kDestinationOffset);
        size_t at = 0;
        size_t enc_at = 0;
        for (const Bytes& b : inputs) {
            std::memcpy(plain_->data() + at, b.data(), b.size());
            const cobs_encode_result e =
                cobs_encode(encoded_->data() + enc_at, bound(b.size()), plain_->data() + at, b.size());
            items_.push_back({at, b.size(), enc_at, e.out_len});
            at += place(b.size());
            enc_at += place(bound(b.size()));
        }
        bytes_per_pass_ = in_total;
    }

    const std::string& name() const { return name_; }
    size_t messages() const { return items_.size(); }
    double mean_bytes() const { return static_cast<double>(bytes_per_pass_) / static_cast<double>(items_.size()); }
    size_t shortest() const
    {
        size_t n = items_.front().plain_len;
        for (const Item& it : items_) {
            n = std::min(n, it.plain_len);
        }
        return n;
    }
    size_t longest() const
    {
        size_t n = 0;
        for (const Item& it : items_) {
            n = std::max(n, it.plain_len);
        }
        return n;
    }

    // Every contender gives the reference's frames and decodings.
    bool agree() const
    {
        const size_t room = bound(out_->size());
        PlacedBuffer want(room, 0);
        PlacedBuffer got(room, 64);
        for (const Item& it : items_) {
            const uint8_t* in = plain_->data() + it.plain_at;
            const uint8_t* enc = encoded_->data() + it.enc_at;
            const size_t cap = bound(it.plain_len);
            const cobs_encode_result x = kelvex::link::reference::encode(want.data(), cap, in, it.plain_len);
            if (x.status != COBS_ENCODE_OK) {
                return false;
            }
            for (const Codec& c : g_codecs) {
                const cobs_encode_result y = c.encode(got.data(), cap, in, it.plain_len);
                if (y.out_len != x.out_len || y.status != x.status ||
                    std::memcmp(got.data(), want.data(), x.out_len) != 0) {
                    return false;
                }
                const cobs_decode_result v = c.decode(got.data(), it.plain_len, enc, it.enc_len);
                if (v.out_len != it.plain_len || v.status != COBS_DECODE_OK ||
                    std::memcmp(got.data(), in, it.plain_len) != 0) {
                    return false;
                }
            }
        }
        return true;
    }

    // What one batch runs: a codec's encoder or decoder, or memcpy.
    struct Task {
        int codec;  // index into g_codecs; -1 for memcpy
        bool decode;
    };

    // One pass over every input; returns a value the compiler must compute.
    size_t pass(Task t) const
    {
        size_t sink = 0;
        uint8_t* out = out_->data();
        const Encode encode_fn = t.codec < 0 ? nullptr : g_codecs[t.codec].encode;
        const Decode decode_fn = t.codec < 0 ? nullptr : g_codecs[t.codec].decode;
        for (const Item& it : items_) {
            const uint8_t* in = plain_->data() + it.plain_at;
            if (t.codec < 0) {
                std::memcpy(out, in, it.plain_len);
                sink += out[0];
            } else if (t.decode) {
                // Exactly the decoded length as room, as a caller who knows it gives.
                sink += decode_fn(out, it.plain_len, encoded_->data() + it.enc_at, it.enc_len).out_len;
            } else {
                // The room the transport gives: enough for any frame.
                sink += encode_fn(out, bound(it.plain_len), in, it.plain_len).out_len;
            }
            asm volatile("" : : "r"(out) : "memory");
        }
        return sink;
    }

private:
    struct Item {
        size_t plain_at;
        size_t plain_len;
        size_t enc_at;
        size_t enc_len;
    };
    std::string name_;
    std::unique_ptr<PlacedBuffer> plain_;
    std::unique_ptr<PlacedBuffer> encoded_;
    std::unique_ptr<PlacedBuffer> out_;
    std::vector<Item> items_;
    size_t bytes_per_pass_ = 0;
};

double now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

volatile size_t g_sink;

// ns per message of `passes` passes.
double time_passes(const Case& c, Case::Task t, int passes)
{
    size_t sink = 0;
    const double t0 = now_ns();
    for (int i = 0; i < passes; ++i) {
        sink += c.pass(t);
    }
    const double elapsed = now_ns() - t0;
    g_sink = sink;
    return elapsed / (static_cast<double>(passes) * static_cast<double>(c.messages()));
}

struct Spread {
    double median;
    double low;
    double high;
};

Spread spread(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

// Every encoder, every decoder and memcpy, in that order.
std::vector<Case::Task> tasks()
{
    std::vector<Case::Task> t;
    for (bool decode : {false, true}) {
        for (int codec = 0; codec <= kPeers; ++codec) {
            t.push_back({codec, decode});
        }
    }
    t.push_back({-1, false});
    return t;
}

// ns per message of each task, one entry per round.
std::vector<std::vector<double>> timings(const Case& c, int rounds, double batch_us)
{
    const std::vector<Case::Task> all = tasks();
    const int n = static_cast<int>(all.size());
    // Passes per batch so that a batch of the byte loop takes about batch_us.
    const double one = time_passes(c, {1, false}, 10) * static_cast<double>(c.messages());
    const int passes = std::max(1, static_cast<int>(batch_us * 1000.0 / std::max(one, 1.0)));
    std::vector<std::vector<double>> ns(all.size());
    // Other processes take the processor away at random: each round keeps,
    // per task, the fastest of a few short interleaved batches.
    constexpr int kTries = 5;
    for (int round = 0; round < rounds; ++round) {
        std::vector<double> best(all.size(), 1e300);
        for (int t = 0; t < kTries; ++t) {
            for (int k = 0; k < n; ++k) {
                const int i = (k + round + t) % n;
                best[i] = std::min(best[i], time_passes(c, all[i], passes));
            }
        }
        for (int i = 0; i < n; ++i) {
            ns[i].push_back(best[i]);
        }
    }
    return ns;
}

// Prints one row per direction; returns the highest median ratio to the
// faster peer.
double measure(const Case& c, int rounds, double batch_us)
{
    const std::vector<std::vector<double>> ns = timings(c, rounds, batch_us);
    const size_t copy = ns.size() - 1;
    double worst = 0;
    for (size_t dir = 0; dir < 2; ++dir) {
        const size_t base = dir * (kPeers + 1);
        std::vector<double> to_peer;
        std::vector<double> to_copy;
        for (int r = 0; r < rounds; ++r) {
            const double peer = std::min(ns[base + 1][r], ns[base + 2][r]);
            to_peer.push_back(ns[base][r] / peer);
            to_copy.push_back(ns[base][r] / ns[copy][r]);
        }
        const Spread p = spread(to_peer);
        worst = std::max(worst, p.median);
        std::printf("%-16s %6.1f %-6s %8.1f %8.1f %8.1f %7.1f  %5.2f [%4.2f-%4.2f]%s %6.2f\n", c.name().c_str(),
                    c.mean_bytes(), dir == 0 ? "encode" : "decode", spread(ns[base]).median,
                    spread(ns[base + 1]).median, spread(ns[base + 2]).median, spread(ns[copy]).median, p.median,
                    p.low, p.high, p.median > 1.0 ? " <-- above" : "          ", spread(to_copy).median);
    }
    return worst;
}

double flag(int argc, char** argv, const char* name, double fallback)
{
    const size_t len = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, len) == 0 && argv[i][len] == '=') {
            return std::atof(argv[i] + len + 1);
        }
    }
    return fallback;
}

std::vector<Case> all_cases()
{
    constexpr int kInputsPerSize = 16;
    std::vector<Case> cases;
    std::mt19937 rng(1);
    const std::pair<const char*, Bytes (*)(size_t, std::mt19937&)> kinds[] = {
        {"random", random_bytes}, {"zero-dense", zero_dense}, {"zero-free", zero_free}};
    for (const auto& [kind, make] : kinds) {
        for (size_t n : {16, 64, 256, 1024, 4096}) {
            std::vector<Bytes> in;
            for (int i = 0; i < kInputsPerSize; ++i) {
                in.push_back(make(n, rng));
            }
            cases.emplace_back(std::string(kind) + " " + std::to_string(n), std::move(in));
        }
    }
    cases.emplace_back("device requests", device_corpus(false));
    cases.emplace_back("device answers", device_corpus(true));
    return cases;
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = std::max(1, static_cast<int>(flag(argc, argv, "--rounds", 21)));
    const double batch_us = flag(argc, argv, "--batch-us", 200);
    const char* only = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--case=", 7) == 0) {
            only = argv[i] + 7;
        }
    }
    std::printf("COBS codec against its peers' shapes: ns per message, medians of %d rounds taking turns;\n"
                "ratio = kelvex / the faster peer that round, median [lowest-highest] over the rounds;\n"
                "last column kelvex / memcpy of the same bytes\n",
                rounds);
    std::printf("%-16s %6s %-6s %8s %8s %8s %7s  %-18s %16s\n", "case", "bytes", "", "kelvex", "loop", "blocks",
                "memcpy", "ratio to peer", "to memcpy");
    double worst = 0;
    for (const Case& c : all_cases()) {
        if (only != nullptr && c.name().find(only) == std::string::npos) {
            continue;
        }
        if (!c.agree()) {
            std::printf("%s: a contender disagrees with the reference\n", c.name().c_str());
            return 1;
        }
        worst = std::max(worst, measure(c, rounds, batch_us));
    }
    for (const Case& c : all_cases()) {
        if (c.shortest() != c.longest()) {
            std::printf("%s: %zu messages of %zu to %zu bytes\n", c.name().c_str(), c.messages(), c.shortest(),
                        c.longest());
        }
    }
    std::printf("highest median ratio to the faster peer: %.2f\n", worst);
    return 0;
}
