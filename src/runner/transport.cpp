// Request transport: one COBS frame out, one COBS frame back, matched to the
// request by its mirrored addresses.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kelvex/cobs.h"
#include "kelvex/link.h"
#include "kelvex/runner.h"

namespace kelvex::runner {
namespace {

constexpr int kCommand = 1;
constexpr size_t kBufferSize = 4096;
constexpr size_t kHeaderSize = 6;

void dump(const char* label, uint8_t* p, size_t n)
{
    printf("%s\n", label);
    diag_vdump_buf_with_offset(printf, p, n, p);
}

int64_t now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Collects bytes until a frame's delimiter arrives or the wait runs out. The
// wait is counted once from the write, so G.timeout bounds the whole answer.
size_t receive(uint8_t* inp, size_t capacity)
{
    size_t count = 0;
    if (G.timeout < 0) {
        return count;
    }
    const int64_t deadline = now_ms() + G.timeout;
    bool hung_up = false;
    for (bool first = true;; first = false) {
        const int64_t left = deadline - now_ms();
        const int wait = left > 0 ? static_cast<int>(left) : 0;
        // A line that stays readable must not keep the loop alive past the
        // deadline; the first look happens even with no time to wait.
        if (wait == 0 && !first) {
            break;
        }
        if (count == capacity || hung_up) {
            // Nothing more fits, or nothing more can come: leave the rest on
            // the line and sit out the wait instead of spinning on it.
            if (wait > 0) {
                poll(nullptr, 0, wait);
            }
            break;
        }
        pollfd line{G.fd, POLLIN, 0};
        if (poll(&line, 1, wait) <= 0 || (line.revents & POLLNVAL) != 0) {
            break;
        }
        const ssize_t got = read(G.fd, inp + count, capacity - count);
        if (got > 0) {
            count += static_cast<size_t>(got);
        } else if (got == 0 || (line.revents & POLLHUP) != 0) {
            hung_up = true;
        } else if (errno != EAGAIN && errno != EINTR) {
            // A read that failed on a line still up may succeed next time;
            // pause briefly so a persistent failure cannot spin the loop.
            poll(nullptr, 0, 1);
        }
        if (count > 1 && inp[count - 1] == 0) {
            break;
        }
    }
    return count;
}

// After a short write the rest of the frame still goes out: a cut frame would
// run into the next attempt's frame and reach the controller as another
// request with the same addresses, whose answer would then be taken as this
// one's. Bounded by G.timeout.
void finish_frame(const uint8_t* rest, size_t n)
{
    const int64_t deadline = now_ms() + (G.timeout > 0 ? G.timeout : 0);
    while (n > 0) {
        const ssize_t w = write(G.fd, rest, n);
        if (w > 0) {
            rest += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        const int64_t left = deadline - now_ms();
        if (left <= 0) {
            return;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
            poll(nullptr, 0, 1);  // a failing line: try again shortly
            continue;
        }
        pollfd line{G.fd, POLLOUT, 0};
        poll(&line, 1, static_cast<int>(left));
    }
}

bool mirrors(const uint8_t* answer, size_t n, const uint8_t* request)
{
    return n >= kHeaderSize && memcmp(answer + 2, request + 4, 2) == 0 &&
           memcmp(answer + 4, request + 2, 2) == 0;
}

int do_request_or_command(uint8_t** zRes, int* nRes, const uint8_t* z, int n, int flags)
{
    const bool command = (flags & kCommand) != 0;
    // A request too short to carry the addresses could never be matched.
    if (n < 0 || (!command && static_cast<size_t>(n) < kHeaderSize)) {
        return 1;
    }
    uint8_t out[kBufferSize];
    uint8_t inp[kBufferSize];
    if (debug > 1) {
        dump(">Origins:", const_cast<uint8_t*>(z), static_cast<size_t>(n));
    }
    // One byte stays free for the delimiter.
    const cobs_encode_result enc = cobs_encode(out, sizeof out - 1, z, static_cast<size_t>(n));
    if (enc.status != COBS_ENCODE_OK) {
        if (debug != 0) {
            fprintf(stderr, "COBS encode failed (status = %#x)\n", static_cast<unsigned>(enc.status));
        }
        return 1;
    }
    out[enc.out_len] = 0;
    const size_t frame = enc.out_len + 1;
    if (debug > 1) {
        dump(">Encoded:", out, frame);
    }
    const ssize_t written = write(G.fd, out, frame);
    if (written != static_cast<ssize_t>(frame)) {
        perror("write");
        if (written > 0) {
            finish_frame(out + written, frame - static_cast<size_t>(written));
        }
        return 1;
    }
    if (command) {
        return 0;
    }

    const size_t count = receive(inp, sizeof inp - 1);
    if (debug > 1 && count > 0) {
        dump("=Arrived:", inp, count);
    }
    size_t first = 0;
    size_t end = count;
    while (first < end && inp[first] == 0) {
        ++first;
    }
    while (end > first && inp[end - 1] == 0) {
        --end;
    }
    if (first == end) {
        if (debug != 0) {
            fprintf(stderr, "Timeout!\n");
        }
        return 1;
    }
    const cobs_decode_result dec = cobs_decode(out, sizeof out, inp + first, end - first);
    if (dec.status != COBS_DECODE_OK) {
        if (debug != 0) {
            fprintf(stderr, "COBS decode failed (status = %#x)\n", static_cast<unsigned>(dec.status));
        }
        return 1;
    }
    if (debug > 1) {
        dump("<Decoded:", out, dec.out_len);
    }
    if (!mirrors(out, dec.out_len, z)) {
        return 1;
    }
    if (zRes != nullptr) {
        // *nRes on entry is the room behind *zRes; an answer that doesn't fit
        // is refused rather than cut or written past the caller's buffer.
        const int room = nRes != nullptr && *zRes != nullptr ? *nRes : 0;
        if (room < 0 || dec.out_len > static_cast<size_t>(room)) {
            return 1;
        }
        memcpy(*zRes, out, dec.out_len);
    }
    if (nRes != nullptr) {
        *nRes = static_cast<int>(dec.out_len);
    }
    return 0;
}

int attempts(uint8_t** zRes, int* nRes, const uint8_t* z, int n)
{
    int result = 1;
    for (int i = 0; i < G.retries; ++i) {
        result = do_request_or_command(zRes, nRes, z, n, 0);
        if (result == 0) {
            break;
        }
    }
    return result;
}

} // namespace
} // namespace kelvex::runner

extern "C" {

KELVEX_API int do_command(const uint8_t* z, int n)
{
    return kelvex::runner::do_request_or_command(nullptr, nullptr, z, n, kelvex::runner::kCommand);
}

KELVEX_API int do_single_request(uint8_t** zRes, int* nRes, const uint8_t* z, int n)
{
    return kelvex::runner::do_request_or_command(zRes, nRes, z, n, 0);
}

KELVEX_API int do_request(uint8_t** zRes, int* nRes, const uint8_t* z, int n)
{
    return kelvex::runner::attempts(zRes, nRes, z, n);
}

KELVEX_API int do_request_timeout(uint8_t** zRes, int* nRes, const uint8_t* z, int n,
                                  const int timeout)
{
    const int timeout_save = G.timeout;
    if (timeout > 0) {
        G.timeout = timeout;
    }
    const int result = kelvex::runner::attempts(zRes, nRes, z, n);
    G.timeout = timeout_save;
    return result;
}

KELVEX_API int do_setup_bus(void)
{
    const uint8_t zero = 0;
    if (write(G.fd, &zero, 1) != 1) {
        perror("write");
        return 1;
    }
    return 0;
}

}
