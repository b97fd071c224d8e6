// Request transport against a scripted bus controller on a pty.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fakes/dump_text.h"
#include "fakes/fake_bus.h"
#include "kelvex/link.h"
#include "kelvex/runner.h"

// A write seam: the transport's write() resolves to this one, the program
// coming first in the lookup (so it must be visible to the dynamic linker,
// whatever visibility the suite is compiled with). Armed for one descriptor it cuts the next write
// there to `cut` bytes, and while `refusing` it fails every later write there
// with `refusal` (0: returns 0, as a line that takes nothing).
namespace write_shim {
std::atomic<int> fd{-1};
std::atomic<long> cut{-1};
std::atomic<bool> refusing{false};
std::atomic<int> refusal{0};
}  // namespace write_shim

extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* p, size_t n)
{
    if (fd >= 0 && fd == write_shim::fd) {
        const long cut = write_shim::cut.exchange(-1);
        if (cut >= 0) {
            n = std::min(n, static_cast<size_t>(cut));
        } else if (write_shim::refusing) {
            if (write_shim::refusal != 0) {
                errno = write_shim::refusal;
                return -1;
            }
            return 0;
        }
    }
    return syscall(SYS_write, fd, p, n);
}

namespace kelvex::testing {
namespace {

using namespace std::chrono_literals;

// msg_code 0x2300, dev_addr 0x0230, src_addr 1.
const Bytes kRequest = {0x00, 0x23, 0x30, 0x02, 0x01, 0x00};

struct Exchange {
    int result = -1;
    int n = 0;
    Bytes answer;
};

// Runs a request into a buffer of `capacity` bytes pre-filled with 0xEE.
template <typename Fn>
Exchange run(Fn fn, int capacity = 64)
{
    Exchange e;
    e.answer.assign(static_cast<size_t>(capacity), 0xEE);
    uint8_t* p = e.answer.data();
    e.n = capacity;
    e.result = fn(&p, &e.n);
    return e;
}

Exchange single(const Bytes& request = kRequest, int capacity = 64)
{
    return run(
        [&](uint8_t** p, int* n) {
            return do_single_request(p, n, request.data(), static_cast<int>(request.size()));
        },
        capacity);
}

Exchange retried(const Bytes& request = kRequest)
{
    return run([&](uint8_t** p, int* n) {
        return do_request(p, n, request.data(), static_cast<int>(request.size()));
    });
}

Bytes answer_bytes(const Exchange& e)
{
    return Bytes(e.answer.begin(), e.answer.begin() + std::max(e.n, 0));
}

struct Output {
    std::string out;
    std::string err;
};

template <typename Fn>
Output captured(Fn fn)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    fn();
    fflush(stdout);
    Output o;
    o.err = ::testing::internal::GetCapturedStderr();
    o.out = ::testing::internal::GetCapturedStdout();
    return o;
}

// The dump the transport prints under a label (the dump's own text is
// checked by the link tests).
std::string labelled(const char* label, Bytes bytes)
{
    return std::string(label) + "\n" +
           kelvex::testing::dump_as_text(bytes.data(), bytes.size(), bytes.data()).text;
}

class Transport : public ::testing::Test {
protected:
    void SetUp() override
    {
        G.fd = bus.mission_fd();
        G.timeout = 100;
        G.retries = 5;
        debug = 0;
    }
    void TearDown() override
    {
        debug = 0;
        write_shim::fd = -1;
        write_shim::refusing = false;
    }

    // Drops whatever is still on the line from the bus.
    void drain()
    {
        uint8_t sink[4096];
        while (read(G.fd, sink, sizeof sink) > 0) {
        }
    }

    FakeBus bus;
};

double cpu_ms(const timespec& a, const timespec& b)
{
    return static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 +
           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
}

Reply reply(std::initializer_list<Step> steps)
{
    return Reply(steps);
}

Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(Transport, FramesOnTheWireAndTheMatchedAnswer)
{
    bus.answer_all({0x34, 0x12});
    const Exchange e = single();
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer_to(kRequest, {0x34, 0x12}));
    EXPECT_EQ(e.n, 8);
    EXPECT_EQ(e.answer[8], 0xEE); // nothing written past the answer
    EXPECT_EQ(bus.received(), (Bytes{0x01, 0x05, 0x23, 0x30, 0x02, 0x01, 0x01, 0x00}));

    // A null answer buffer drops the answer; the length is still reported.
    int n = 0;
    EXPECT_EQ(do_single_request(nullptr, &n, kRequest.data(), 6), 0);
    EXPECT_EQ(n, 8);
    EXPECT_EQ(do_single_request(nullptr, nullptr, kRequest.data(), 6), 0);

    // A command returns once written, without waiting for an answer.
    bus.clear();
    bus.on_frame([](const Frame&) { return Reply{}; });
    G.timeout = 5000;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(do_command(kRequest.data(), 6), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
    ASSERT_TRUE(bus.wait_frames(1, 1s));
    EXPECT_EQ(bus.frames()[0].decoded, kRequest);

    // The bus set-up is one zero byte.
    bus.clear();
    EXPECT_EQ(do_setup_bus(), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(bus.received(), Bytes{0x00});
}

TEST_F(Transport, ReceivesWhateverWayTheAnswerArrives)
{
    const Bytes answer = answer_to(kRequest, {0x10, 0x20, 0x30});
    const Bytes wire = wire_frame(answer);
    const Bytes part(wire.begin(), wire.begin() + 4);
    const Bytes rest(wire.begin() + 4, wire.end());
    const Bytes unterminated(wire.begin(), wire.end() - 1);
    struct Case {
        const char* name;
        Reply reply;
    };
    const Case cases[] = {
        {"stray zeros before the frame", reply({{0, cat({0x00, 0x00}, wire)}})},
        {"split across reads", reply({{0, part}, {20, rest}})},
        {"a lone zero does not end the wait", reply({{0, {0x00}}, {20, wire}})},
        {"zeros after the delimiter", reply({{0, cat(wire, {0x00, 0x00})}})},
        {"partial frame when the wait runs out", reply({{0, unterminated}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Reply r = c.reply;
        bus.on_frame([r](const Frame&) { return r; });
        const Exchange e = single();
        EXPECT_EQ(e.result, 0);
        EXPECT_EQ(answer_bytes(e), answer);
        std::this_thread::sleep_for(30ms);
        drain();
    }
}

TEST_F(Transport, RefusesAnswersThatAreNotTheRequestsOwn)
{
    debug = 1;
    const Bytes good = answer_to(kRequest, {0x01, 0x02, 0x03, 0x04});
    Bytes swapped_wrong = good;
    std::swap(swapped_wrong[2], swapped_wrong[4]);
    Bytes other_unit = good;
    other_unit[4] = 0x31;
    struct Case {
        const char* name;
        Bytes wire;
        std::string report;
    };
    const Case cases[] = {
        {"addresses not mirrored", wire_frame(swapped_wrong), ""},
        {"another unit's answer", wire_frame(other_unit), ""},
        {"five bytes", wire_frame(Bytes(good.begin(), good.begin() + 5)), ""},
        {"two frames glued", cat(wire_frame(good), wire_frame(good)),
         "COBS decode failed (status = 0x4)\n"},
        {"code byte promising more than came", {0x07, 0x23, 0x01, 0x00},
         "COBS decode failed (status = 0x8)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes wire = c.wire;
        bus.on_frame([wire](const Frame&) { return Reply{{0, wire}}; });
        Exchange e;
        const Output o = captured([&] { e = single(); });
        EXPECT_EQ(e.result, 1);
        EXPECT_EQ(e.n, 64);
        EXPECT_EQ(e.answer, Bytes(64, 0xEE));
        EXPECT_EQ(o.err, c.report);
        std::this_thread::sleep_for(20ms);
        drain();
    }
}

TEST_F(Transport, AnswerLongerThanTheCallersBufferIsRefused)
{
    const Bytes values(10, 0x5A); // a 16-byte answer
    bus.answer_all(values);
    const Exchange tight = single(kRequest, 15);
    EXPECT_EQ(tight.result, 1);
    EXPECT_EQ(tight.n, 15);
    EXPECT_EQ(tight.answer, Bytes(15, 0xEE));
    std::this_thread::sleep_for(20ms);
    drain();

    const Exchange exact = single(kRequest, 16);
    EXPECT_EQ(exact.result, 0);
    EXPECT_EQ(answer_bytes(exact), answer_to(kRequest, values));

    // The retries apply to a refused answer as to any failed exchange.
    bus.clear();
    G.retries = 3;
    const Exchange again = run(
        [](uint8_t** p, int* n) { return do_request(p, n, kRequest.data(), 6); }, 15);
    EXPECT_EQ(again.result, 1);
    EXPECT_EQ(bus.frames().size(), 3u);

    // Without a length the buffer is taken to hold the device API's 64
    // bytes: a 64-byte answer fits, a 65-byte one is refused.
    for (size_t size : {64u, 65u}) {
        SCOPED_TRACE(size);
        const Bytes values(size - 6, 0x5A);
        bus.answer_all(values);
        Bytes room(80, 0xEE);
        uint8_t* p = room.data();
        const bool fits = size <= 64;
        EXPECT_EQ(do_single_request(&p, nullptr, kRequest.data(), 6), fits ? 0 : 1);
        const Bytes expected = fits ? answer_to(kRequest, values) : Bytes();
        EXPECT_EQ(Bytes(room.begin(), room.begin() + static_cast<long>(expected.size())), expected);
        EXPECT_EQ(Bytes(room.begin() + static_cast<long>(expected.size()), room.end()),
                  Bytes(room.size() - expected.size(), 0xEE));
    }
}

TEST_F(Transport, SilenceAtEachDebugLevel)
{
    bus.on_frame([](const Frame&) { return Reply{}; });
    G.timeout = 20;
    const Bytes frame = {0x01, 0x05, 0x23, 0x30, 0x02, 0x01, 0x01, 0x00};
    const std::string dumps = labelled(">Origins:", kRequest) + labelled(">Encoded:", frame);
    const std::string expected_out[] = {"", "", dumps, dumps};
    const std::string expected_err[] = {"", "Timeout!\n", "Timeout!\n", "Timeout!\n"};
    for (int level = 0; level <= 3; ++level) {
        SCOPED_TRACE(level);
        debug = level;
        Exchange e;
        const Output o = captured([&] { e = single(); });
        EXPECT_EQ(e.result, 1);
        EXPECT_EQ(o.out, expected_out[level]);
        EXPECT_EQ(o.err, expected_err[level]);
    }

    // Zeros alone count as silence, and are dumped as they came (within a
    // wait a loaded machine's wake-ups keep).
    debug = 2;
    G.timeout = 150;
    bus.on_frame([](const Frame&) { return Reply{{0, {0x00, 0x00, 0x00}}}; });
    Exchange e;
    const Output o = captured([&] { e = single(); });
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(o.out, dumps + labelled("=Arrived:", {0x00, 0x00, 0x00}));
    EXPECT_EQ(o.err, "Timeout!\n");
}

TEST_F(Transport, DumpsEveryStageOfASuccessfulExchange)
{
    debug = 2;
    const Bytes answer = answer_to(kRequest, {0x0A, 0x00});
    const Bytes wire = cat({0x00}, wire_frame(answer));
    bus.on_frame([wire](const Frame&) { return Reply{{0, wire}}; });
    Exchange e;
    const Output o = captured([&] { e = single(); });
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, labelled(">Origins:", kRequest) +
                         labelled(">Encoded:", {0x01, 0x05, 0x23, 0x30, 0x02, 0x01, 0x01, 0x00}) +
                         labelled("=Arrived:", wire) + labelled("<Decoded:", answer));
}

TEST_F(Transport, RetriesUntilTheFirstSuccess)
{
    G.timeout = 20;
    bus.on_frame([](const Frame&) { return Reply{}; });
    for (int retries : {0, -2}) {
        G.retries = retries;
        EXPECT_EQ(retried().result, 1);
    }
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(bus.received().empty());

    G.retries = 3;
    EXPECT_EQ(retried().result, 1);
    ASSERT_TRUE(bus.wait_frames(3, 1s));
    EXPECT_EQ(bus.frames().size(), 3u);

    // The second attempt is answered: two frames, then success.
    bus.clear();
    int seen = 0;
    bus.on_frame([&seen](const Frame& f) -> Reply {
        if (++seen < 2) {
            return {};
        }
        return {{0, wire_frame(answer_to(f.decoded, {0x07}))}};
    });
    G.retries = 5;
    const Exchange e = retried();
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(bus.frames().size(), 2u);
}

TEST_F(Transport, LateAnswerIsReadByTheNextAttempt)
{
    // The answer comes halfway through the second attempt, with room for a
    // busy machine's late wake-ups on either side.
    G.timeout = 100;
    G.retries = 2;
    int seen = 0;
    bus.on_frame([&seen](const Frame& f) -> Reply {
        if (++seen > 1) {
            return {};
        }
        return {{150, wire_frame(answer_to(f.decoded, {0x42}))}};
    });
    const Exchange e = retried();
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer_to(kRequest, {0x42}));
    EXPECT_EQ(bus.frames().size(), 2u);
}

TEST_F(Transport, RequestTimeoutLastsForTheCallOnly)
{
    G.timeout = 30;
    G.retries = 1;
    bus.on_frame([](const Frame& f) -> Reply {
        return {{200, wire_frame(answer_to(f.decoded, {0x01}))}};
    });
    auto timed = [](int timeout) {
        return run([timeout](uint8_t** p, int* n) {
            return do_request_timeout(p, n, kRequest.data(), 6, timeout);
        });
    };
    for (int timeout : {0, -100}) {
        SCOPED_TRACE(timeout);
        EXPECT_EQ(timed(timeout).result, 1);
        EXPECT_EQ(G.timeout, 30);
        std::this_thread::sleep_for(250ms);
        drain();
    }
    EXPECT_EQ(timed(600).result, 0);
    EXPECT_EQ(G.timeout, 30);

    // A negative wait fails at once, even with the answer already there.
    bus.answer_all({0x01});
    G.timeout = -1;
    bus.send(wire_frame(answer_to(kRequest, {0x01})));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(single().result, 1);
}

TEST_F(Transport, FullReceiveBufferWaitsOutTheTimeout)
{
    // An answer whose frame is exactly 4095 bytes, followed by more bytes
    // that must stay on the line.
    Bytes values;
    Bytes encoded;
    while (encoded.size() < 4095) {
        values.push_back(0x55);
        encoded = cobs_encode_ref(answer_to(kRequest, values));
    }
    ASSERT_EQ(encoded.size(), 4095u);
    const Bytes extra = {0x02, 0x77, 0x00};
    bus.on_frame([encoded, extra](const Frame&) { return Reply{{0, cat(encoded, extra)}}; });
    G.timeout = 300;

    timespec cpu0{};
    timespec cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    const Exchange e = single(kRequest, 4096);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer_to(kRequest, values));
    EXPECT_LT(cpu_ms(cpu0, cpu1), 100.0) << "the wait spun on the descriptor";

    uint8_t left[16];
    ASSERT_EQ(read(G.fd, left, sizeof left), 3);
    EXPECT_EQ(Bytes(left, left + 3), extra);
}

// The frame of kRequest is 01 05 23 30 02 01 01 00: a cut after 1 or 6 bytes
// falls between two COBS blocks, after 3 inside one, after 7 before the
// delimiter.
TEST_F(Transport, ACutFrameIsFinishedOrRefusedNeverRunTwice)
{
    const Bytes frame = {0x01, 0x05, 0x23, 0x30, 0x02, 0x01, 0x01, 0x00};
    bus.answer_all({0x07});
    write_shim::fd = G.fd;
    // Finished within the wait: one request, answered, and no report (a
    // short write sets no errno).
    for (long cut : {1, 3, 6, 7}) {
        SCOPED_TRACE(cut);
        bus.clear();
        write_shim::cut = cut;
        errno = 0;
        Exchange e;
        const Output o = captured([&] { e = retried(); });
        EXPECT_EQ(e.result, 0);
        EXPECT_EQ(answer_bytes(e), answer_to(kRequest, {0x07}));
        EXPECT_EQ(o.err, "");
        write_shim::cut = cut;
        EXPECT_EQ(do_command(kRequest.data(), 6), 0);
        ASSERT_TRUE(bus.wait_frames(2, 1s));
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(bus.received(), cat(frame, frame));
        drain();
    }

    // Not finished within the wait: the call fails, and the next frame is
    // preceded by bytes that make the controller refuse the stub whatever
    // its cut. Only the next request is run.
    struct Case {
        long cut;
        int refusal;
        std::string report;
    };
    const Case cases[] = {
        {1, EAGAIN, "write: Resource temporarily unavailable\n"},
        {3, EIO, "write: Input/output error\n"},
        {6, EAGAIN, "write: Resource temporarily unavailable\n"},
        {7, 0, "write: short write, 7 of 8 bytes\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cut);
        bus.clear();
        write_shim::cut = c.cut;
        write_shim::refusing = true;
        write_shim::refusal = c.refusal;
        Exchange e;
        G.timeout = 20;
        const Output o = captured([&] { e = single(); });
        write_shim::refusing = false;
        EXPECT_EQ(e.result, 1);
        EXPECT_EQ(o.err, c.report);
        G.timeout = 500;
        EXPECT_EQ(single().result, 0);
        ASSERT_TRUE(bus.wait_frames(2, 1s));
        const std::vector<Frame> frames = bus.frames();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_FALSE(frames[0].valid);
        EXPECT_EQ(Bytes(frames[0].raw.begin(), frames[0].raw.begin() + c.cut),
                  Bytes(frame.begin(), frame.begin() + c.cut));
        EXPECT_EQ(frames[1].decoded, kRequest);
        drain();
    }
}

// Bytes already on the line when a request is first written belong to an
// earlier exchange: one that gave up waiting, a command, or another line's
// past. A late answer to an earlier attempt of the same request still counts
// (LateAnswerIsReadByTheNextAttempt).
TEST_F(Transport, OnlyAnswersArrivingAfterTheFirstWriteCount)
{
    bus.answer_all({0x02});
    ASSERT_EQ(retried().result, 0);

    // A line the transport has not used yet, with an old answer waiting.
    FakeBus other;
    other.answer_all({0x03});
    other.send(wire_frame(answer_to(kRequest, {0x01})));
    std::this_thread::sleep_for(100ms);
    G.fd = other.mission_fd();
    Exchange e = retried();
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer_to(kRequest, {0x03}));
    G.fd = bus.mission_fd();

    // A request that gave up before its answer came.
    G.retries = 1;
    G.timeout = 30;
    bus.on_frame([](const Frame& f) -> Reply { return {{60, wire_frame(answer_to(f.decoded, {0x01}))}}; });
    EXPECT_EQ(retried().result, 1);
    std::this_thread::sleep_for(200ms);
    G.timeout = 500;
    bus.answer_all({0x02});
    e = single();
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer_to(kRequest, {0x02}));

    // A command whose frame the controller answers all the same.
    ASSERT_EQ(do_command(kRequest.data(), static_cast<int>(kRequest.size())), 0);
    std::this_thread::sleep_for(100ms);
    bus.answer_all({0x04});
    e = single();
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer_to(kRequest, {0x04}));
}

// The answer to an attempt that gave up can come after later requests ended
// with their own answers: until it can no longer come, each request discards
// what the line holds before its first write.
TEST_F(Transport, LateAnswerAfterALaterSuccessIsDiscarded)
{
    G.retries = 1;
    G.timeout = 30;
    bus.on_frame([](const Frame&) -> Reply { return {}; });
    ASSERT_EQ(retried().result, 1);

    G.timeout = 500;
    bus.answer_all({0x02});
    Exchange e = single();
    ASSERT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer_to(kRequest, {0x02}));

    // The silent attempt's answer, arriving now.
    bus.send(wire_frame(answer_to(kRequest, {0x01})));
    std::this_thread::sleep_for(20ms);
    bus.answer_all({0x03});
    e = single();
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer_to(kRequest, {0x03}));
}

TEST(TransportLine, FailedReadsNeverLowerTheCount)
{
    // The controller sends half a frame and hangs up: every later read of the
    // line fails until the wait runs out, and what came is still decoded.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int line = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(line, 0);
    termios raw{};
    tcgetattr(line, &raw);
    cfmakeraw(&raw);
    tcsetattr(line, TCSANOW, &raw);

    const Bytes answer = answer_to(kRequest, {0x11, 0x22});
    const Bytes wire = wire_frame(answer);
    std::thread controller([&] {
        uint8_t request[64];
        size_t got = 0;
        for (int i = 0; i < 200 && (got == 0 || request[got - 1] != 0); ++i) {
            const ssize_t n = read(master, request + got, sizeof request - got);
            if (n > 0) {
                got += static_cast<size_t>(n);
            } else {
                std::this_thread::sleep_for(5ms);
            }
        }
        (void)!write(master, wire.data(), wire.size() - 1);
        std::this_thread::sleep_for(60ms);
        close(master);
    });
    G.fd = line;
    G.timeout = 300;
    timespec cpu0{};
    timespec cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    const Exchange e = single();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    controller.join();
    close(line);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(answer_bytes(e), answer);
    EXPECT_LT(cpu_ms(cpu0, cpu1), 100.0) << "the wait spun on the hung-up line";
}

TEST_F(Transport, RequestsThatCannotBeSent)
{
    debug = 1;
    // 4078 bytes encode to 4095 and fit with their delimiter; 4079 don't.
    Bytes big(4078, 0x61);
    Output o = captured([&] { EXPECT_EQ(do_command(big.data(), 4078), 0); });
    EXPECT_EQ(o.err, "");
    ASSERT_TRUE(bus.wait_frames(1, 2s));
    EXPECT_EQ(bus.frames()[0].decoded, big);

    bus.clear();
    big.push_back(0x61);
    o = captured([&] { EXPECT_EQ(do_command(big.data(), 4079), 1); });
    EXPECT_EQ(o.err, "COBS encode failed (status = 0x2)\n");

    // Too short to be matched, or a negative length: nothing goes out.
    EXPECT_EQ(single(Bytes(kRequest.begin(), kRequest.begin() + 5)).result, 1);
    EXPECT_EQ(do_command(kRequest.data(), -1), 1);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(bus.received().empty());

    // A line that can't be written is reported whatever the level.
    debug = 0;
    G.fd = -1;
    o = captured([&] {
        EXPECT_EQ(do_command(kRequest.data(), 6), 1);
        EXPECT_EQ(single().result, 1);
        EXPECT_EQ(do_setup_bus(), 1);
    });
    EXPECT_EQ(o.err, "write: Bad file descriptor\nwrite: Bad file descriptor\n"
                     "write: Bad file descriptor\n");
}

} // namespace
} // namespace kelvex::testing
