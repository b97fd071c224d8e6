// Request transport: one COBS frame out, one COBS frame back, matched to the
// request by its mirrored addresses.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "kelvex/cobs.h"
#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "runner/transport.h"

namespace kelvex::runner {
namespace {

constexpr int kCommand = 1;
// The request's first attempt: nothing already on the line can answer it.
constexpr int kFirstAttempt = 2;
constexpr size_t kBufferSize = 4096;
constexpr size_t kHeaderSize = 6;
// The room taken for granted behind *zRes when the caller gives no length:
// the device API's answer buffer (runner.h).
constexpr int kUnstatedRoom = 64;
// Bytes that must reach the controller before the next frame when a frame
// could not be finished (at most a code byte and a delimiter).
constexpr size_t kMaxStubEnd = 2;

// What the line owes the controller for a frame cut short: the bytes that
// make it refuse the stub instead of reading it together with the next
// frame.
struct StubEnd {
    uint8_t bytes[kMaxStubEnd] = {};
    size_t n = 0;
};
StubEnd stub_end;

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
        // The first wait is the whole time-out: no second look at the clock.
        const int64_t left = first ? G.timeout : deadline - now_ms();
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

// Writes what it can of p[0..n) until the deadline and returns how much that
// was; *err is the errno of the last failed write, 0 when none failed.
size_t write_until(const uint8_t* p, size_t n, int64_t deadline, int* err)
{
    size_t done = 0;
    *err = 0;
    while (done < n) {
        const ssize_t w = write(G.fd, p + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0) {
            *err = errno;
        }
        const int64_t left = deadline - now_ms();
        if (left <= 0) {
            break;
        }
        if (w < 0 && *err != EAGAIN && *err != EINTR) {
            poll(nullptr, 0, 1);  // a failing line: try again shortly
            continue;
        }
        pollfd line{G.fd, POLLOUT, 0};
        poll(&line, 1, static_cast<int>(left));
    }
    return done;
}

// A cut frame ends either inside a COBS block, which a delimiter leaves too
// short to decode, or between two blocks, where a delimiter alone would make
// it a valid shorter message: there a code byte promising more data than will
// ever come goes first.
void leave_stub(const uint8_t* frame, size_t sent)
{
    size_t at = 0;
    while (at < sent) {
        at += frame[at];
    }
    stub_end = at == sent ? StubEnd{{0xFF, 0x00}, 2} : StubEnd{{0x00}, 1};
}

// A short write sets no errno: it is told as what it is.
void report_write(int err, size_t sent, size_t total)
{
    if (err != 0) {
        errno = err;
        perror("write");
    } else {
        fprintf(stderr, "write: short write, %zu of %zu bytes\n", sent, total);
    }
}

// Writes the frame at `frame`, which has room for kMaxStubEnd bytes before
// it, behind whatever the line still owes for an earlier frame. A short write
// is finished within G.timeout, so that the controller runs the request once
// and the attempt goes on to wait for its answer; what cannot be finished is
// left for the controller to refuse, never to read into the next frame.
bool send_frame(uint8_t* frame, size_t n)
{
    const size_t lead = stub_end.n;
    uint8_t* const start = frame - lead;
    memcpy(start, stub_end.bytes, lead);
    const size_t total = lead + n;
    const ssize_t w = write(G.fd, start, total);
    if (w <= 0) {
        report_write(w < 0 ? errno : 0, 0, n);
        return false;
    }
    size_t sent = static_cast<size_t>(w);
    int err = 0;
    if (sent < total) {
        const int64_t deadline = now_ms() + (G.timeout > 0 ? G.timeout : 0);
        sent += write_until(start + sent, total - sent, deadline, &err);
    }
    if (sent == total) {
        stub_end.n = 0;
        return true;
    }
    if (sent <= lead) {
        memmove(stub_end.bytes, stub_end.bytes + sent, lead - sent);
        stub_end.n = lead - sent;
        report_write(err, 0, n);
    } else {
        leave_stub(frame, sent - lead);
        report_write(err, sent - lead, n);
    }
    return false;
}

// The line whose input holds nothing an earlier exchange left behind, as far
// as the transport can tell; -1 when none. A stale answer can only be waiting
// after an exchange that did not end with its own answer: a request that gave
// up or refused what came, or a command, whose frame may ask for an answer
// nobody reads. While every exchange on the line ended with its own answer,
// nothing can be waiting and a request goes out without one more system call.
int settled_line = -1;

// Until when answers to attempts that gave up may still arrive (CLOCK_MONOTONIC
// ms; 0 when none can). An attempt the controller answers late is answered
// after the request has moved on, even after later requests ended with their
// own answers: while that can happen, every request discards first.
int64_t stale_until = 0;

// How long after a failed attempt its answer is still looked for: every
// attempt a request may still make, and a second for a busy controller.
int64_t stale_window()
{
    const int64_t per_attempt = G.timeout > 0 ? G.timeout : 0;
    return per_attempt * (G.retries > 0 ? G.retries : 1) + 1000;
}

// Whatever the line holds before a request is first written was sent for
// earlier exchanges (a late answer, the answer to a retried attempt) and
// cannot answer this one. Later attempts of the same request do not discard:
// a late answer to an earlier attempt still counts.
void discard_stale()
{
    if (stale_until != 0) {
        if (now_ms() < stale_until) {
            settled_line = -1;
        } else {
            stale_until = 0;
        }
    }
    if (G.fd != settled_line) {
        tcflush(G.fd, TCIFLUSH);
        settled_line = stale_until == 0 ? G.fd : -1;
    }
}

bool mirrors(const uint8_t* answer, size_t n, const uint8_t* request)
{
    return n >= kHeaderSize && memcmp(answer + 2, request + 4, 2) == 0 &&
           memcmp(answer + 4, request + 2, 2) == 0;
}

// The frame among the `count` bytes received, decoded into `out` (room
// kBufferSize): the zeros at both ends go, and what is left must be one valid
// frame. Any status but OK means no answer, reported at debug 1.
cobs_decode_result decode_answer(uint8_t* out, uint8_t* inp, size_t count)
{
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
        return {0, COBS_DECODE_INPUT_TOO_SHORT};
    }
    const cobs_decode_result dec = cobs_decode(out, kBufferSize, inp + first, end - first);
    if (dec.status != COBS_DECODE_OK && debug != 0) {
        fprintf(stderr, "COBS decode failed (status = %#x)\n", static_cast<unsigned>(dec.status));
    }
    if (dec.status == COBS_DECODE_OK && debug > 1) {
        dump("<Decoded:", out, dec.out_len);
    }
    return dec;
}

int exchange(uint8_t** zRes, int* nRes, const uint8_t* z, int n, int flags)
{
    const bool command = (flags & kCommand) != 0;
    // A request too short to carry the addresses could never be matched.
    if (n < 0 || (!command && static_cast<size_t>(n) < kHeaderSize)) {
        return 1;
    }
    // The frame is encoded behind room for what an earlier cut frame still
    // needs, so that both go out in one write.
    uint8_t line[kMaxStubEnd + kBufferSize];
    uint8_t* const out = line + kMaxStubEnd;
    if (debug > 1) {
        dump(">Origins:", const_cast<uint8_t*>(z), static_cast<size_t>(n));
    }
    // One byte stays free for the delimiter.
    const cobs_encode_result enc = cobs_encode(out, kBufferSize - 1, z, static_cast<size_t>(n));
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
    if ((flags & kFirstAttempt) != 0) {
        discard_stale();
    }
    if (!send_frame(out, frame)) {
        return 1;
    }
    if (command) {
        return 0;
    }
    uint8_t inp[kBufferSize];
    const size_t count = receive(inp, sizeof inp - 1);
    const cobs_decode_result dec = decode_answer(out, inp, count);
    if (dec.status != COBS_DECODE_OK) {
        return 1;
    }
    if (!mirrors(out, dec.out_len, z)) {
        return 1;
    }
    if (zRes != nullptr) {
        // *nRes on entry is the room behind *zRes; an answer that doesn't fit
        // is refused rather than cut or written past the caller's buffer.
        const int room = *zRes == nullptr ? 0 : nRes != nullptr ? *nRes : kUnstatedRoom;
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

int do_request_or_command(uint8_t** zRes, int* nRes, const uint8_t* z, int n, int flags)
{
    const int result = exchange(zRes, nRes, z, n, flags);
    if (result != 0 || (flags & kCommand) != 0) {
        settled_line = -1;
    }
    if (result != 0) {
        stale_until = now_ms() + stale_window();
    }
    return result;
}

int attempts(uint8_t** zRes, int* nRes, const uint8_t* z, int n)
{
    int result = 1;
    for (int i = 0; i < G.retries; ++i) {
        result = do_request_or_command(zRes, nRes, z, n, i == 0 ? kFirstAttempt : 0);
        if (result == 0) {
            break;
        }
    }
    return result;
}

} // namespace

void forget_line()
{
    settled_line = -1;
}

} // namespace kelvex::runner

extern "C" {

KELVEX_API int do_command(const uint8_t* z, int n)
{
    return kelvex::runner::do_request_or_command(nullptr, nullptr, z, n, kelvex::runner::kCommand);
}

KELVEX_API int do_single_request(uint8_t** zRes, int* nRes, const uint8_t* z, int n)
{
    return kelvex::runner::do_request_or_command(zRes, nRes, z, n, kelvex::runner::kFirstAttempt);
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
    // The zero goes out behind what a cut frame still needs, as a frame does.
    uint8_t line[kelvex::runner::kMaxStubEnd + 1] = {};
    return kelvex::runner::send_frame(line + kelvex::runner::kMaxStubEnd, 1) ? 0 : 1;
}

}
