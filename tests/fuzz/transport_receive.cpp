// The request transport's receive path on a socketpair standing in for the
// serial line. The first input byte picks the mode, the rest is what the
// controller sends:
//   - all at once, before the call, with a wait of 0 ms: the result is fully
//     determined, and is compared with an independent model of the exchange;
//   - in chunks of random size from a second thread while the call waits:
//     any answer accepted must be the decoding of a prefix the exchange could
//     have stopped at.
// In both, the caller's buffer (exactly its announced size on the heap) is
// never written past, nothing is touched on failure, and the request goes out
// as one valid frame.
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include "fakes/exchange_model.h"
#include "fakes/fake_bus.h"
#include "fuzz/fuzz_check.h"
#include "kelvex/runner.h"

namespace {

using kelvex::testing::Bytes;
using kelvex::testing::ExpectedExchange;
using kelvex::testing::expected_exchange;

const Bytes kRequest = {0x00, 0x23, 0x30, 0x02, 0x01, 0x00, 0x07};
constexpr size_t kReceiveRoom = 4095;
constexpr uint8_t kUntouched = 0x5A;

enum Mode : uint8_t {
    kChunked = 1 << 0,
    kRetries = 1 << 1,   // do_request with two attempts (all-at-once only)
    kNullBuffer = 1 << 2,
    kDumps = 1 << 3,     // debug 2: every exchange is dumped
};

struct Line {
    int mission = -1;
    int peer = -1;
};

const Line& line()
{
    static const Line l = [] {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
            std::abort();
        }
        return Line{sv[0], sv[1]};
    }();
    return l;
}

Bytes drain(int fd)
{
    Bytes all;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n <= 0) {
            return all;
        }
        all.insert(all.end(), chunk, chunk + n);
    }
}

void send_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            std::abort();
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Runs the call with stdout closed when it dumps, so the fuzzer's own output
// stays readable.
int call(bool retries, bool dumps, uint8_t** zRes, int* nRes)
{
    int saved = -1;
    if (dumps) {
        fflush(stdout);
        saved = dup(1);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        close(devnull);
    }
    debug = dumps ? 2 : 0;
    const int n = static_cast<int>(kRequest.size());
    const int r = retries ? do_request(zRes, nRes, kRequest.data(), n)
                          : do_single_request(zRes, nRes, kRequest.data(), n);
    debug = 0;
    if (saved >= 0) {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const uint8_t mode = data[0];
    const bool chunked = (mode & kChunked) != 0;
    const bool retries = !chunked && (mode & kRetries) != 0;
    const bool has_buffer = (mode & kNullBuffer) == 0;
    // The caller's room: the device API's 64 or 128 bytes, or anything.
    const size_t rooms[] = {64, 128, 6, static_cast<size_t>(data[1])};
    const size_t room = rooms[(mode >> 4) & 3];
    Bytes stream(data + 2, data + size);
    if (chunked && stream.size() > 4000) {
        stream.resize(4000);
    }

    const Line& l = line();
    drain(l.mission);
    drain(l.peer);
    G.fd = l.mission;
    G.retries = 2;

    std::unique_ptr<uint8_t[]> buffer(new uint8_t[room == 0 ? 1 : room]);
    std::memset(buffer.get(), kUntouched, room);
    uint8_t* target = room == 0 ? buffer.get() + 1 : buffer.get();
    uint8_t** z_res = has_buffer ? &target : nullptr;
    int n_res = static_cast<int>(room);

    int result;
    std::vector<Bytes> allowed;
    if (!chunked) {
        send_all(l.peer, stream.data(), stream.size());
        G.timeout = 0;
        result = call(retries, (mode & kDumps) != 0, z_res, &n_res);
        // Every attempt takes what is there, at most the receive room.
        size_t at = 0;
        ExpectedExchange e;
        for (int attempt = 0; attempt < (retries ? G.retries : 1); ++attempt) {
            const size_t take = std::min(kReceiveRoom, stream.size() - at);
            e = expected_exchange(Bytes(stream.begin() + at, stream.begin() + at + take), kRequest, room,
                                  has_buffer);
            at += take;
            if (e.result == 0) {
                break;
            }
        }
        FUZZ_CHECK(result == e.result);
        if (e.result == 0) {
            allowed.push_back(e.answer);
        }
    } else {
        // The feeder ends the stream with a delimiter so that the call returns
        // as soon as the bytes are in rather than at the end of its wait.
        stream.push_back(0);
        if (stream.size() < 2) {
            stream.push_back(0);
        }
        G.timeout = 1000;
        std::thread feeder([&stream, &l, seed = data[1]] {
            std::minstd_rand rng(seed);
            size_t at = 0;
            while (at < stream.size()) {
                const size_t chunk = std::min<size_t>(stream.size() - at, 1 + rng() % 64);
                send_all(l.peer, stream.data() + at, chunk);
                at += chunk;
                if (rng() % 2 == 0) {
                    sched_yield();
                }
            }
        });
        result = call(false, (mode & kDumps) != 0, z_res, &n_res);
        feeder.join();
        allowed = kelvex::testing::acceptable_answers(stream, kRequest, room, kReceiveRoom, has_buffer);
        FUZZ_CHECK(result == 0 || result == 1);
        FUZZ_CHECK(result == 1 || !allowed.empty());
    }

    if (result == 0) {
        bool matched = false;
        for (const Bytes& a : allowed) {
            matched = matched || (static_cast<size_t>(n_res) == a.size() &&
                                  (!has_buffer || std::memcmp(target, a.data(), a.size()) == 0));
        }
        FUZZ_CHECK(matched);
    } else {
        FUZZ_CHECK(n_res == static_cast<int>(room));
    }
    const size_t written = result == 0 && has_buffer ? static_cast<size_t>(n_res) : 0;
    for (size_t i = written; i < room; ++i) {
        FUZZ_CHECK(buffer[i] == kUntouched);
    }
    kelvex::fuzz::keep(buffer.get(), room);

    // The request went out as one valid frame per attempt.
    const Bytes sent = drain(l.peer);
    FUZZ_CHECK(!sent.empty() && sent.back() == 0);
    Bytes decoded;
    const auto first_end = std::find(sent.begin(), sent.end(), 0);
    FUZZ_CHECK(kelvex::testing::cobs_decode_ref(Bytes(sent.begin(), first_end), decoded));
    FUZZ_CHECK(decoded == kRequest);
    drain(l.mission);
    return 0;
}
