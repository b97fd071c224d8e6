// Benchmarks of the link, the transport, the battery loop and the Python
// call, each printed next to the baseline it is measured against in the same
// run:
//   - the COBS codec against memcpy of the same bytes;
//   - one do_request exchange against a minimal controller on a pty, beside
//     the raw ping-pong of the same bytes on the same pty, with the reads per
//     answer and the heap allocations per exchange;
//   - the battery integration loop: CPU share of one core and charge error
//     against the exact integral (--battery-seconds=N, default 10);
//   - one Python call of a device function against the same call from C
//     (--python-calls=N, when the module is built).
// Not run by the tests.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kelvex/battery.h"
#include "kelvex/cobs.h"
#include "kelvex/devices.h"
#include "kelvex/runner.h"
#include "placed_buffer.h"

// ---------------------------------------------------------------------------
// Counting hooks: reads and heap allocations made by the measuring thread
// while counting is on.

static __thread int counting = 0;
static __thread long reads_counted = 0;
static __thread long allocs_counted = 0;
static __thread long flushes_counted = 0;

// The hooks must be visible to the libraries, whatever the build's default.
#define KELVEX_HOOK __attribute__((visibility("default")))

extern "C" {
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

KELVEX_HOOK void* malloc(size_t n)
{
    if (counting) {
        ++allocs_counted;
    }
    return __libc_malloc(n);
}

KELVEX_HOOK void* calloc(size_t n, size_t m)
{
    if (counting) {
        ++allocs_counted;
    }
    return __libc_calloc(n, m);
}

KELVEX_HOOK void* realloc(void* p, size_t n)
{
    if (counting) {
        ++allocs_counted;
    }
    return __libc_realloc(p, n);
}

KELVEX_HOOK ssize_t read(int fd, void* buf, size_t n)
{
    using Read = ssize_t (*)(int, void*, size_t);
    static const Read real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
    if (counting) {
        ++reads_counted;
    }
    return real(fd, buf, n);
}

KELVEX_HOOK int tcflush(int fd, int queue)
{
    using Flush = int (*)(int, int);
    static const Flush real = reinterpret_cast<Flush>(dlsym(RTLD_NEXT, "tcflush"));
    if (counting) {
        ++flushes_counted;
    }
    return real(fd, queue);
}
}

namespace {

// ---------------------------------------------------------------------------
// Codec against memcpy.

// Zero-dense: every other byte zero, as little-endian words of small values.
std::vector<uint8_t> payload(size_t n, bool zero_dense)
{
    std::mt19937 rng(static_cast<uint32_t>(n * 2 + zero_dense));
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(zero_dense ? (i % 2 == 1 ? 0 : rng() % 255 + 1) : rng());
    }
    return v;
}

// Source and destination in allocations of their own, half a page apart.
struct CodecBuffers {
    explicit CodecBuffers(size_t n)
        : in(n, kelvex::bench::kSourceOffset), out(n + n / 254 + 2, kelvex::bench::kDestinationOffset)
    {
    }
    kelvex::bench::PlacedBuffer in;
    kelvex::bench::PlacedBuffer out;
};

void BM_encode(benchmark::State& state)
{
    const auto data = payload(static_cast<size_t>(state.range(0)), state.range(1) != 0);
    CodecBuffers b(data.size());
    std::memcpy(b.in.data(), data.data(), data.size());
    for (auto _ : state) {
        const cobs_encode_result r = cobs_encode(b.out.data(), b.out.size(), b.in.data(), data.size());
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_decode(benchmark::State& state)
{
    const auto data = payload(static_cast<size_t>(state.range(0)), state.range(1) != 0);
    kelvex::bench::PlacedBuffer enc(data.size() + data.size() / 254 + 2, kelvex::bench::kSourceOffset);
    const size_t enc_len = cobs_encode(enc.data(), enc.size(), data.data(), data.size()).out_len;
    kelvex::bench::PlacedBuffer out(data.size(), kelvex::bench::kDestinationOffset);
    for (auto _ : state) {
        const cobs_decode_result r = cobs_decode(out.data(), out.size(), enc.data(), enc_len);
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_memcpy(benchmark::State& state)
{
    const auto data = payload(static_cast<size_t>(state.range(0)), state.range(1) != 0);
    CodecBuffers b(data.size());
    std::memcpy(b.in.data(), data.data(), data.size());
    for (auto _ : state) {
        std::memcpy(b.out.data(), b.in.data(), data.size());
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void codec_args(benchmark::internal::Benchmark* b)
{
    for (int zero_dense : {0, 1}) {
        for (int n : {8, 64, 254, 4096}) {
            b->Args({n, zero_dense});
        }
    }
}

BENCHMARK(BM_encode)->Apply(codec_args);
BENCHMARK(BM_decode)->Apply(codec_args);
BENCHMARK(BM_memcpy)->Apply(codec_args);

// ---------------------------------------------------------------------------
// A minimal bus controller on the master side of a pty: every frame is
// answered at once with the sun battery's raw reading 512 of 1023.

void make_raw(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

class Peer {
public:
    Peer()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        make_raw(master_);
        if (pipe(stop_) != 0) {
            std::abort();
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~Peer()
    {
        (void)!write(stop_[1], "x", 1);
        thread_.join();
        close(master_);
        close(stop_[0]);
        close(stop_[1]);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // The mission's side, opened as the serial line would be.
    int open_line() const
    {
        const int fd = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        make_raw(fd);
        return fd;
    }
    const std::string& path() const { return path_; }

private:
    void serve()
    {
        uint8_t chunk[4096];
        std::vector<uint8_t> pending;
        for (;;) {
            pollfd p[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || p[1].revents != 0) {
                return;
            }
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] != 0) {
                    pending.push_back(chunk[i]);
                } else if (!pending.empty()) {
                    answer(pending);
                    pending.clear();
                }
            }
        }
    }

    void answer(const std::vector<uint8_t>& frame)
    {
        uint8_t req[4096];
        const cobs_decode_result d = cobs_decode(req, sizeof req, frame.data(), frame.size());
        if (d.status != COBS_DECODE_OK || d.out_len < 6) {
            return;
        }
        const uint8_t a[10] = {req[0], req[1], req[4], req[5], req[2], req[3], 0x00, 0x02, 0xFF, 0x03};
        uint8_t out[16];
        const cobs_encode_result e = cobs_encode(out, sizeof out - 1, a, sizeof a);
        out[e.out_len] = 0;
        (void)!write(master_, out, e.out_len + 1);
    }

    int master_ = -1;
    int stop_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
};

// Request raw reading of sun battery 0, as the device API sends it.
const uint8_t kRequest[6] = {0x00, 0x23, 0x30, 0x02, 0x01, 0x00};

struct Percentiles {
    double p50_us = 0;
    double p99_us = 0;
};

Percentiles percentiles(std::vector<double>& ns)
{
    if (ns.empty()) {
        return {};
    }
    std::sort(ns.begin(), ns.end());
    return {ns[ns.size() / 2] / 1000.0, ns[std::min(ns.size() - 1, ns.size() * 99 / 100)] / 1000.0};
}

double now_ns()
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// One exchange of each kind. The raw ping-pong writes the request frame and
// reads until the answer's delimiter: the least any transport must do.
struct Sides {
    int fd;
    const uint8_t* frame;
    size_t frame_len;
    long failures = 0;

    // With `flush`, the input is flushed first, as the transport did before
    // every request: what that system call costs the exchange.
    void raw(bool flush = false) const
    {
        uint8_t in[64];
        if (flush) {
            tcflush(fd, TCIFLUSH);
        }
        (void)!write(fd, frame, frame_len);
        size_t count = 0;
        while (count < 2 || in[count - 1] != 0) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 1000);
            const ssize_t got = read(fd, in + count, sizeof in - count);
            if (got > 0) {
                count += static_cast<size_t>(got);
            }
        }
    }
    void request()
    {
        uint8_t answer[64];
        uint8_t* a = answer;
        int n = sizeof answer;
        failures += do_request(&a, &n, kRequest, sizeof kRequest);
    }
};

// What one side did over a round: times, reads, allocations and flushes.
struct Tally {
    std::vector<double> ns;
    long reads = 0;
    long allocs = 0;
    long flushes = 0;

    template <typename Fn>
    void time(Fn fn)
    {
        reads_counted = allocs_counted = flushes_counted = 0;
        const double t0 = now_ns();
        counting = 1;
        fn();
        counting = 0;
        ns.push_back(now_ns() - t0);
        reads += reads_counted;
        allocs += allocs_counted;
        flushes += flushes_counted;
    }
};

struct Ratios {
    double median = 0;
    double low = 0;
    double high = 0;
};

Ratios ratios(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

constexpr int kExchangeRounds = 10;
constexpr int kExchangesPerRound = 2000;

// The raw ping-pong, do_request, and the raw ping-pong behind a flush of the
// input take turns on the same line and controller, each going first in
// turn, so that all see the same machine at the same moment. Each round's p50 and p99 ratio is one sample; the
// figures are their medians, lowest and highest.
void BM_exchange(benchmark::State& state)
{
    Peer peer;
    const int fd = peer.open_line();
    G.fd = fd;
    G.timeout = 1000;
    G.retries = 1;
    debug = 0;
    uint8_t frame[16];
    const cobs_encode_result e = cobs_encode(frame, sizeof frame - 1, kRequest, sizeof kRequest);
    frame[e.out_len] = 0;
    Sides sides{fd, frame, e.out_len + 1};
    Tally raw_all;
    Tally req_all;
    Tally flushed_all;
    std::vector<double> p50;
    std::vector<double> p99;
    std::vector<double> flushed_p50;
    for (auto _ : state) {
        Tally raw;
        Tally req;
        Tally flushed;
        for (int i = 0; i < kExchangesPerRound; ++i) {
            // Each of the three goes first, second and third in turn.
            for (int k = 0; k < 3; ++k) {
                switch ((i + k) % 3) {
                case 0:
                    raw.time([&] { sides.raw(); });
                    break;
                case 1:
                    req.time([&] { sides.request(); });
                    break;
                default:
                    flushed.time([&] { sides.raw(true); });
                    break;
                }
            }
        }
        const Percentiles r = percentiles(raw.ns);
        const Percentiles q = percentiles(req.ns);
        p50.push_back(q.p50_us / r.p50_us);
        p99.push_back(q.p99_us / r.p99_us);
        flushed_p50.push_back(percentiles(flushed.ns).p50_us / r.p50_us);
        for (auto [all, one] : {std::pair{&raw_all, &raw}, std::pair{&req_all, &req}, std::pair{&flushed_all, &flushed}}) {
            all->ns.insert(all->ns.end(), one->ns.begin(), one->ns.end());
            all->reads += one->reads;
            all->allocs += one->allocs;
            all->flushes += one->flushes;
        }
    }
    const double it = static_cast<double>(raw_all.ns.size());
    const Ratios r50 = ratios(p50);
    const Ratios r99 = ratios(p99);
    const Percentiles raw = percentiles(raw_all.ns);
    const Percentiles req = percentiles(req_all.ns);
    state.counters["raw_p50_us"] = raw.p50_us;
    state.counters["raw_p99_us"] = raw.p99_us;
    state.counters["raw_reads"] = static_cast<double>(raw_all.reads) / it;
    state.counters["raw_allocs"] = static_cast<double>(raw_all.allocs) / it;
    state.counters["req_p50_us"] = req.p50_us;
    state.counters["req_p99_us"] = req.p99_us;
    state.counters["req_reads"] = static_cast<double>(req_all.reads) / it;
    state.counters["req_allocs"] = static_cast<double>(req_all.allocs) / it;
    state.counters["req_flushes"] = static_cast<double>(req_all.flushes) / it;
    state.counters["p50_ratio"] = r50.median;
    state.counters["p50_ratio_low"] = r50.low;
    state.counters["p50_ratio_high"] = r50.high;
    state.counters["p99_ratio"] = r99.median;
    state.counters["p99_ratio_low"] = r99.low;
    state.counters["p99_ratio_high"] = r99.high;
    const Ratios flushed = ratios(flushed_p50);
    state.counters["flushed_p50_ratio"] = flushed.median;
    state.counters["flushed_p50_ratio_low"] = flushed.low;
    state.counters["flushed_p50_ratio_high"] = flushed.high;
    state.counters["failures"] = static_cast<double>(sides.failures);
    close(fd);
}

BENCHMARK(BM_exchange)->Iterations(kExchangeRounds)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// Keeps every run's figures for the ratio table.

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration) {
                results[r.benchmark_name()] = r;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, Run> results;
};

void print_codec_ratios(const Collector& c)
{
    std::printf("\nCOBS codec against memcpy (ns per message; ratio = codec / memcpy)\n");
    std::printf("%-6s %-11s %10s %10s %10s %9s %9s %11s %11s\n", "bytes", "data", "encode", "decode", "memcpy",
                "enc/cpy", "dec/cpy", "enc GB/s", "dec GB/s");
    for (int zero_dense : {0, 1}) {
        for (int n : {8, 64, 254, 4096}) {
            const std::string args = "/" + std::to_string(n) + "/" + std::to_string(zero_dense);
            const auto e = c.results.find("BM_encode" + args);
            const auto d = c.results.find("BM_decode" + args);
            const auto m = c.results.find("BM_memcpy" + args);
            if (e == c.results.end() || d == c.results.end() || m == c.results.end()) {
                continue;
            }
            const double en = e->second.GetAdjustedRealTime();
            const double de = d->second.GetAdjustedRealTime();
            const double me = m->second.GetAdjustedRealTime();
            std::printf("%-6d %-11s %10.1f %10.1f %10.1f %9.1f %9.1f %11.2f %11.2f\n", n,
                        zero_dense ? "zero-dense" : "random", en, de, me, en / me, de / me, n / en, n / de);
        }
    }
}

void print_exchange_ratios(const Collector& c)
{
    const auto r = c.results.find("BM_exchange/iterations:" + std::to_string(kExchangeRounds));
    if (r == c.results.end()) {
        return;
    }
    auto k = [&](const char* name) {
        const auto it = r->second.counters.find(name);
        return it == r->second.counters.end() ? 0.0 : static_cast<double>(it->second);
    };
    // A live hook counts this allocation; otherwise the zeros below mean nothing.
    counting = 1;
    allocs_counted = 0;
    delete new int(1);
    counting = 0;
    std::printf("\nExchange on a pty: do_request against the raw ping-pong of the same bytes, taking turns,\n"
                "%d rounds of %d each (all rounds pooled)\n",
                kExchangeRounds, kExchangesPerRound);
    std::printf("%-14s %10s %10s %8s %8s %8s\n", "", "p50 us", "p99 us", "reads", "allocs", "flushes");
    std::printf("%-14s %10.1f %10.1f %8.2f %8.2f %8s\n", "raw ping-pong", k("raw_p50_us"), k("raw_p99_us"),
                k("raw_reads"), k("raw_allocs"), "-");
    std::printf("%-14s %10.1f %10.1f %8.2f %8.2f %8.2f\n", "do_request", k("req_p50_us"), k("req_p99_us"),
                k("req_reads"), k("req_allocs"), k("req_flushes"));
    std::printf("ratio do_request / raw, median [lowest-highest] of the rounds: p50 %.3f [%.3f-%.3f],"
                " p99 %.3f [%.3f-%.3f]\n",
                k("p50_ratio"), k("p50_ratio_low"), k("p50_ratio_high"), k("p99_ratio"), k("p99_ratio_low"),
                k("p99_ratio_high"));
    std::printf("raw ping-pong with a flush before each write / raw: p50 %.3f [%.3f-%.3f]\n", k("flushed_p50_ratio"),
                k("flushed_p50_ratio_low"), k("flushed_p50_ratio_high"));
    std::printf("(failed exchanges: %.0f; allocation hook %s)\n", k("failures"),
                allocs_counted > 0 ? "live" : "NOT LIVE");
}

// ---------------------------------------------------------------------------
// The battery loop in a process of its own, on a segment of its own: a
// constant draw and no charging, ended by the discharge limit after about
// `seconds`.

double wall_s()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void battery_loop(double seconds)
{
    char key[] = "/tmp/kelvex-bench-XXXXXX";
    const int kf = mkstemp(key);
    if (kf >= 0) {
        close(kf);
    }
    const int id = accumulator_create(key);
    if (id < 0) {
        std::printf("\nbattery loop: no shared memory segment\n");
        return;
    }
    accumulator_attach(id);
    constexpr double kStart = 1.0;    // ampere-hours
    constexpr float kDraw = 3600.0f;  // milliamperes: 0.001 Ah per second
    const double drained = kDraw / 1000.0 / 3600.0 * seconds;
    battery_set_charge(kStart);
    set_charging(0.0f, 0.0f);
    set_discharging(kDraw, static_cast<float>(kStart - drained));
    const double limit = static_cast<double>(static_cast<float>(kStart - drained));

    Peer peer;  // takes the loop's reset request
    int times[2];
    if (pipe(times) != 0) {
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        G.fd = peer.open_line();
        G.timeout = 100;
        G.retries = 1;
        donotpollsunbattery = 1;
        const double t0 = wall_s();
        accumulator();
        const double t1 = wall_s();
        const double span[2] = {t0, t1};
        (void)!write(times[1], span, sizeof span);
        _exit(0);
    }
    double span[2] = {0, 0};
    (void)!::read(times[0], span, sizeof span);
    int status = 0;
    rusage use{};
    wait4(child, &status, 0, &use);
    const double cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                       static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    const double elapsed = span[1] - span[0];
    const double removed = kStart - vacc->charge;
    const double exact = kDraw / 1000.0 / 3600.0 * elapsed;
    std::printf("\nBattery integration loop, %.2f s at %.0f mA (ended at the limit %.6f Ah)\n", elapsed, kDraw,
                limit);
    std::printf("CPU share of one core: %.2f %% (%.3f s of CPU)\n", 100.0 * cpu / elapsed, cpu);
    std::printf("charge taken %.9f Ah, exact integral over the run %.9f Ah, error %.3f %%\n", removed, exact,
                100.0 * std::fabs(removed - exact) / exact);
    accumulator_detach();
    shmctl(id, IPC_RMID, nullptr);
    unlink(key);
    close(times[0]);
    close(times[1]);
}

// ---------------------------------------------------------------------------
// One device call from Python and from C, against the same controller.

double c_calls(const Peer& peer, int calls);
// Time of one call of a device function that does no exchange, from Python.
double python_state_ns = -1;

// In a process of its own, as the Python interpreter is, so that both
// callers reach the controller the same way.
double c_call_median_us(const Peer& peer, int calls)
{
    int result[2];
    if (pipe(result) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        const double us = c_calls(peer, calls);
        (void)!write(result[1], &us, sizeof us);
        _exit(0);
    }
    double us = -1;
    if (::read(result[0], &us, sizeof us) != static_cast<ssize_t>(sizeof us)) {
        us = -1;
    }
    waitpid(child, nullptr, 0);
    close(result[0]);
    close(result[1]);
    return us;
}

double c_calls(const Peer& peer, int calls)
{
    G.fd = peer.open_line();
    G.timeout = 1000;
    G.retries = 1;
    std::vector<double> ns;
    for (int i = 0; i < calls + 100; ++i) {
        uint16_t raw = 0;
        const double t0 = now_ns();
        const int r = sunbattery_request_raw(0, &raw);
        const double t = now_ns() - t0;
        if (i >= 100 && r == 0) {
            ns.push_back(t);
        }
    }
    close(G.fd);
    return percentiles(ns).p50_us;
}

double python_call_median_us(const Peer& peer, int calls)
{
#ifdef KELVEX_PYTHON_DIR
    const std::string script =
        "import sys, time\n"
        "sys.path.insert(0, '" KELVEX_PYTHON_DIR "')\n"
        "import _kelvex as k\n"
        "k.Global_timeout_set(k.cvar.G, 1000)\n"
        "k.Global_retries_set(k.cvar.G, 1)\n"
        "k.online(sys.argv[1])\n"
        "ns = []\n"
        "for i in range(int(sys.argv[2]) + 100):\n"
        "    t0 = time.perf_counter_ns()\n"
        "    k.sunbattery_request_raw(0)\n"
        "    t = time.perf_counter_ns() - t0\n"
        "    if i >= 100: ns.append(t)\n"
        "k.offline()\n"
        "ns.sort()\n"
        "print(ns[len(ns) // 2] / 1000.0)\n"
        "t0 = time.perf_counter_ns()\n"
        "for i in range(200000): k.motor_get_state(0)\n"
        "print((time.perf_counter_ns() - t0) / 200000.0)\n";
    const std::string cmd = "/usr/bin/python3 -c \"$KELVEX_BENCH_SCRIPT\" " + peer.path() + " " + std::to_string(calls);
    setenv("KELVEX_BENCH_SCRIPT", script.c_str(), 1);
    // The interpreter is a program of its own; the shell only starts it with
    // the script from the environment and the two arguments.
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    double us = -1;
    if (std::fscanf(p, "%lf %lf", &us, &python_state_ns) != 2) {
        us = -1;
    }
    pclose(p);
    return us;
#else
    (void)peer;
    (void)calls;
    return -1;
#endif
}

void python_against_c(int calls)
{
    // The machine's wake-up latency drifts between runs, so C and Python
    // take turns and each keeps its least disturbed round.
    Peer peer;
    constexpr int kRounds = 3;
    double c_best = 1e300;
    double py_best = 1e300;
    std::printf("\nsunbattery_request_raw(0) against a pty controller, median of %d calls per round\n", calls);
    for (int round = 0; round < kRounds; ++round) {
        const double c_us = c_call_median_us(peer, calls);
        const double py_us = python_call_median_us(peer, calls);
        std::printf("round %d: from C %.1f us, from Python %.1f us\n", round + 1, c_us, py_us);
        c_best = std::min(c_best, c_us);
        if (py_us > 0) {
            py_best = std::min(py_best, py_us);
        }
    }
    if (py_best < 1e300) {
        std::printf("best rounds: C %.1f us, Python %.1f us, ratio Python / C %.2f\n", c_best, py_best,
                    py_best / c_best);
        // The same without the exchange: what the interpreter and the wrapper
        // add to every call.
        constexpr int kStateCalls = 10000000;
        const double t0 = now_ns();
        int sum = 0;
        for (int i = 0; i < kStateCalls; ++i) {
            sum += motor_get_state(0);
            benchmark::DoNotOptimize(sum);
        }
        const double c_state_ns = (now_ns() - t0) / kStateCalls;
        std::printf("motor_get_state(0), no exchange: C %.1f ns, Python %.1f ns per call (Python adds %.2f us)\n",
                    c_state_ns, python_state_ns, (python_state_ns - c_state_ns) / 1000.0);
    } else {
        std::printf("from Python: module not built or not loadable\n");
    }
}

// Takes this program's own flags out of argv.
double take_flag(int& argc, char** argv, const char* name, double fallback)
{
    const size_t len = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, len) == 0 && argv[i][len] == '=') {
            const double v = std::atof(argv[i] + len + 1);
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            return v;
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv)
{
    const double battery_seconds = take_flag(argc, argv, "--battery-seconds", 10.0);
    const int python_calls = static_cast<int>(take_flag(argc, argv, "--python-calls", 2000));
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    print_codec_ratios(collector);
    print_exchange_ratios(collector);
    if (battery_seconds > 0) {
        battery_loop(battery_seconds);
    }
    if (python_calls > 0) {
        python_against_c(python_calls);
    }
    benchmark::Shutdown();
    return 0;
}
