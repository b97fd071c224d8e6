// The COBS codec against a plain byte-loop codec and memcpy, on the data the
// line carries: zero-dense bytes (every other byte zero, as little-endian
// words of small values are), random bytes, and a corpus of the device API's
// own requests and answers built from the family table.
//
// Each case rotates over several inputs, so that no single input trains the
// branch predictor. A round measures every contender in short batches that
// take turns, in an order that rotates, and keeps each contender's fastest
// batch; the figure of a case is the median over the rounds of the per-round
// ratio, with the lowest and highest ratio as its spread. Not run by the
// tests.
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
#include "placed_buffer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kelvex::bench::PlacedBuffer;

// ---------------------------------------------------------------------------
// The baseline: the codec as a plain loop over bytes, with the same results
// and bounds as the library's (checked at start-up against it).

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

using Encode = cobs_encode_result (*)(uint8_t*, size_t, const uint8_t*, size_t);
using Decode = cobs_decode_result (*)(uint8_t*, size_t, const uint8_t*, size_t);
// Volatile, so that no call is resolved at compile time.
Encode volatile g_encode = cobs_encode;
Encode volatile g_loop_encode = loop_encode;
Decode volatile g_decode = cobs_decode;
Decode volatile g_loop_decode = loop_decode;

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

    // Both codecs give the same frames and the same decodings.
    bool agree() const
    {
        PlacedBuffer a(out_->size(), 0);
        PlacedBuffer b(out_->size(), 64);
        for (const Item& it : items_) {
            const uint8_t* in = plain_->data() + it.plain_at;
            const cobs_encode_result x = cobs_encode(a.data(), bound(it.plain_len), in, it.plain_len);
            const cobs_encode_result y = loop_encode(b.data(), bound(it.plain_len), in, it.plain_len);
            if (x.out_len != y.out_len || x.status != y.status || std::memcmp(a.data(), b.data(), x.out_len) != 0) {
                return false;
            }
            const uint8_t* enc = encoded_->data() + it.enc_at;
            const cobs_decode_result u = cobs_decode(a.data(), it.plain_len, enc, it.enc_len);
            const cobs_decode_result v = loop_decode(b.data(), it.plain_len, enc, it.enc_len);
            if (u.out_len != it.plain_len || v.out_len != it.plain_len || u.status != 0 || v.status != 0 ||
                std::memcmp(a.data(), in, it.plain_len) != 0 || std::memcmp(b.data(), in, it.plain_len) != 0) {
                return false;
            }
        }
        return true;
    }

    enum class Run { encode, loop_encode, decode, loop_decode, copy, count };

    // One pass over every input; returns a value the compiler must compute.
    // Every codec is called through a pointer, so that the library's
    // functions and the baseline in this program are called alike.
    size_t pass(Run r) const
    {
        const Encode encode_fn = r == Run::encode ? g_encode : g_loop_encode;
        const Decode decode_fn = r == Run::decode ? g_decode : g_loop_decode;
        size_t sink = 0;
        uint8_t* out = out_->data();
        for (const Item& it : items_) {
            const uint8_t* in = plain_->data() + it.plain_at;
            const uint8_t* enc = encoded_->data() + it.enc_at;
            // The room the transport gives: enough for any frame.
            const size_t room = bound(it.plain_len);
            switch (r) {
            case Run::encode:
            case Run::loop_encode:
                sink += encode_fn(out, room, in, it.plain_len).out_len;
                break;
            case Run::decode:
            case Run::loop_decode:
                sink += decode_fn(out, it.plain_len, enc, it.enc_len).out_len;
                break;
            case Run::copy:
                std::memcpy(out, in, it.plain_len);
                sink += out[0];
                break;
            case Run::count:
                break;
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
double time_passes(const Case& c, Case::Run r, int passes)
{
    size_t sink = 0;
    const double t0 = now_ns();
    for (int i = 0; i < passes; ++i) {
        sink += c.pass(r);
    }
    const double t = now_ns() - t0;
    g_sink = sink;
    return t / (static_cast<double>(passes) * static_cast<double>(c.messages()));
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

void measure(const Case& c, int rounds, double batch_us)
{
    constexpr int kRuns = static_cast<int>(Case::Run::count);
    // Passes per batch so that a batch takes about batch_us.
    const double one = std::max(1.0, time_passes(c, Case::Run::loop_encode, 10) * static_cast<double>(c.messages()));
    const int passes = std::max(1, static_cast<int>(batch_us * 1000.0 / one));
    std::vector<double> ns[kRuns];
    // Other processes take the processor away at random: each round keeps,
    // per contender, the fastest of a few short interleaved batches.
    constexpr int kTries = 5;
    for (int round = 0; round < rounds; ++round) {
        double best[kRuns];
        std::fill(best, best + kRuns, 1e300);
        for (int t = 0; t < kTries; ++t) {
            for (int k = 0; k < kRuns; ++k) {
                const int r = (k + round + t) % kRuns;
                best[r] = std::min(best[r], time_passes(c, static_cast<Case::Run>(r), passes));
            }
        }
        for (int r = 0; r < kRuns; ++r) {
            ns[r].push_back(best[r]);
        }
    }
    auto ratios = [&](Case::Run a, Case::Run b) {
        std::vector<double> q;
        for (int i = 0; i < rounds; ++i) {
            q.push_back(ns[static_cast<int>(a)][i] / ns[static_cast<int>(b)][i]);
        }
        return spread(q);
    };
    auto median_ns = [&](Case::Run r) { return spread(ns[static_cast<int>(r)]).median; };
    const Spread enc = ratios(Case::Run::encode, Case::Run::loop_encode);
    const Spread dec = ratios(Case::Run::decode, Case::Run::loop_decode);
    const Spread cpy = ratios(Case::Run::encode, Case::Run::copy);
    std::printf("%-22s %6.1f %8.1f %8.1f %5.2f [%4.2f-%4.2f] %8.1f %8.1f %5.2f [%4.2f-%4.2f] %7.1f %6.1f\n",
                c.name().c_str(), c.mean_bytes(), median_ns(Case::Run::encode),
                median_ns(Case::Run::loop_encode), enc.median, enc.low, enc.high, median_ns(Case::Run::decode),
                median_ns(Case::Run::loop_decode), dec.median, dec.low, dec.high,
                median_ns(Case::Run::copy), cpy.median);
}

// The memcpy baseline's placement. Heap blocks of 4 KiB allocated one after
// the other lie 4096 bytes plus the allocator's 16-byte header apart (the
// earlier benchmark's buffers were 8272 bytes apart); against the placed
// buffers of these benchmarks.
void memcpy_placement(int rounds)
{
    constexpr size_t kBytes = 4096;
    constexpr int kCopies = 2000;
    constexpr std::ptrdiff_t kApart[] = {4096 + 16, 8192 + 80};
    PlacedBuffer arena(4 * kBytes, 0);
    PlacedBuffer placed_in(kBytes, kelvex::bench::kSourceOffset);
    PlacedBuffer placed_out(kBytes, kelvex::bench::kDestinationOffset);
    std::memset(arena.data(), 1, arena.size());
    std::memset(placed_in.data(), 1, kBytes);
    auto copies = [&](uint8_t* out, const uint8_t* in) {
        double best = 1e300;
        for (int t = 0; t < 5; ++t) {
            const double t0 = now_ns();
            for (int i = 0; i < kCopies; ++i) {
                std::memcpy(out, in, kBytes);
                asm volatile("" : : "r"(out) : "memory");
            }
            best = std::min(best, (now_ns() - t0) / kCopies);
        }
        return best;
    };
    std::printf("\nmemcpy of 4096 bytes, medians of %d rounds taking turns:\n", rounds);
    for (const std::ptrdiff_t apart : kApart) {
        // Where malloc puts a block: 16 bytes into its chunk.
        uint8_t* const in = arena.data() + 16;
        std::vector<double> adjacent;
        std::vector<double> placed;
        std::vector<double> ratio;
        for (int round = 0; round < rounds; ++round) {
            adjacent.push_back(copies(in + apart, in));
            placed.push_back(copies(placed_out.data(), placed_in.data()));
            ratio.push_back(adjacent.back() / placed.back());
        }
        const Spread r = spread(ratio);
        std::printf("  destination %td bytes after the source: %.1f ns; placed buffers: %.1f ns;"
                    " ratio %.2f [%.2f-%.2f]\n",
                    apart, spread(adjacent).median, spread(placed).median, r.median, r.low, r.high);
    }
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

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = std::max(1, static_cast<int>(flag(argc, argv, "--rounds", 21)));
    const double batch_us = flag(argc, argv, "--batch-us", 200);
    constexpr int kInputsPerSize = 16;

    std::vector<Case> cases;
    std::mt19937 rng(1);
    for (size_t n : {16, 64, 256, 1024, 4096}) {
        std::vector<Bytes> in;
        for (int i = 0; i < kInputsPerSize; ++i) {
            in.push_back(zero_dense(n, rng));
        }
        cases.emplace_back("zero-dense " + std::to_string(n), std::move(in));
    }
    for (size_t n : {16, 64, 256, 1024, 4096}) {
        std::vector<Bytes> in;
        for (int i = 0; i < kInputsPerSize; ++i) {
            in.push_back(random_bytes(n, rng));
        }
        cases.emplace_back("random " + std::to_string(n), std::move(in));
    }
    cases.emplace_back("device requests", device_corpus(false));
    cases.emplace_back("device answers", device_corpus(true));

    std::printf("COBS codec against a plain byte loop and memcpy: ns per message, medians of %d rounds;\n"
                "ratio = kelvex / byte loop, median [lowest-highest] of the per-round ratios\n",
                rounds);
    std::printf("%-22s %6s %8s %8s %18s %8s %8s %18s %7s %6s\n", "case", "bytes", "encode", "loop", "enc ratio",
                "decode", "loop", "dec ratio", "memcpy", "e/cpy");
    const char* only = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--case=", 7) == 0) {
            only = argv[i] + 7;
        }
    }
    for (const Case& c : cases) {
        if (only != nullptr && c.name().find(only) == std::string::npos) {
            continue;
        }
        if (!c.agree()) {
            std::printf("%s: the two codecs disagree\n", c.name().c_str());
            return 1;
        }
        measure(c, rounds, batch_us);
    }
    if (only == nullptr || std::strstr("memcpy", only) != nullptr) {
        memcpy_placement(rounds);
    }
    return 0;
}
