// Transmitter switching, receiver quality and the transceiver's pieces and
// buffer, on the wire of the fake bus controller.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "fakes/device_fixture.h"
#include "kelvex/radio.h"

namespace kelvex::testing {
namespace {

using Frames = std::vector<Bytes>;
using Clock = std::chrono::steady_clock;

class RadioTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        // The transmitter is switched by answered messages only.
        answer_values({});
        for (uint16_t n = 0; n <= 3; ++n) {
            ASSERT_EQ(transmitter_turn_off(n), 0);
        }
        set_discharging(0.0f, 0.0f);
        wire();
    }

    static Bytes pattern(size_t n)
    {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) {
            b[i] = static_cast<uint8_t>(i + 1);
        }
        return b;
    }

    // One transceiver data message: header, rx_num, the piece.
    static Bytes piece(uint16_t tx, uint16_t rx, const Bytes& data, size_t from, size_t n)
    {
        return header(FamilyId::transceiver, 0x00, tx) + le16({rx}) +
               Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + n));
    }
};

TEST_F(RadioTest, TransmitterSwitchingIsConfirmedAndBookedOnEveryAnswer)
{
    const Bytes on0 = header(FamilyId::transmitter, 0x00, 0);
    const Bytes off0 = header(FamilyId::transmitter, 0x04, 0);

    EXPECT_EQ(transmitter_turn_on(4), 1);
    EXPECT_EQ(transmitter_turn_off(4), 1);
    EXPECT_TRUE(wire().empty());

    // No state check: both answered switch-ons book the draw.
    EXPECT_EQ(transmitter_turn_on(0), 0);
    EXPECT_EQ(transmitter_turn_on(0), 0);
    EXPECT_EQ(transmitter_get_state(0), 1);
    EXPECT_FLOAT_EQ(battery_get_discharging_current(), 2 * 6100.0f);
    EXPECT_EQ(wire(), (Frames{on0, on0}));

    // Switch-off is sent to a transmitter that is off too; the draw never
    // falls below 0.
    EXPECT_EQ(transmitter_turn_off(0), 0);
    EXPECT_EQ(transmitter_get_state(0), 0);
    EXPECT_FLOAT_EQ(battery_get_discharging_current(), 6100.0f);
    EXPECT_EQ(transmitter_turn_off(0), 0);
    EXPECT_EQ(transmitter_turn_off(0), 0);
    EXPECT_FLOAT_EQ(battery_get_discharging_current(), 0.0f);
    EXPECT_EQ(wire(), (Frames{off0, off0, off0}));

    // Unanswered: every retry goes out, flag and draw stay.
    EXPECT_EQ(transmitter_turn_on(3), 0);
    wire();
    answer([](const Bytes&) { return std::nullopt; });
    EXPECT_EQ(transmitter_turn_off(3), 1);
    EXPECT_EQ(transmitter_get_state(3), 1);
    EXPECT_EQ(transmitter_turn_on(2), 1);
    EXPECT_EQ(transmitter_get_state(2), 0);
    EXPECT_FLOAT_EQ(battery_get_discharging_current(), 6100.0f);
    const Bytes off3 = header(FamilyId::transmitter, 0x04, 3);
    const Bytes on2 = header(FamilyId::transmitter, 0x00, 2);
    EXPECT_EQ(wire(), (Frames{off3, off3, on2, on2}));
}

TEST_F(RadioTest, ReceiverQualityIsTheFloatAtOffsetSix)
{
    float quality = -5.0f;
    answer_values({0x00, 0x00, 0x80, 0x3F});
    EXPECT_EQ(receiver_request_state(15, &quality), 0);
    EXPECT_EQ(quality, 1.0f);
    // Bytes past offset 9 play no part.
    answer_values({0xDB, 0x0F, 0x49, 0xC0, 0x11, 0x22});
    EXPECT_EQ(receiver_request_state(0, &quality), 0);
    EXPECT_EQ(quality, -3.14159274f);
    EXPECT_EQ(wire(), (Frames{header(FamilyId::receiver, 0x00, 15), header(FamilyId::receiver, 0x00, 0)}));

    // Out of range, too short an answer, no answer: 1 and quality untouched.
    quality = -5.0f;
    EXPECT_EQ(receiver_request_state(16, &quality), 1);
    EXPECT_TRUE(wire().empty());
    answer_values({0x00, 0x00, 0x80});
    EXPECT_EQ(receiver_request_state(1, &quality), 1);
    answer([](const Bytes&) { return std::nullopt; });
    EXPECT_EQ(receiver_request_state(1, &quality), 1);
    EXPECT_EQ(quality, -5.0f);
    // The short answer is accepted by the transport at once; the silence
    // costs every retry.
    EXPECT_EQ(wire().size(), 1u + G.retries);
}

TEST_F(RadioTest, TransceiverSendsPiecesOf32BytesEachFollowedByAPause)
{
    ASSERT_EQ(transceiver_turn_on(0), 0);
    wire();
    std::mutex m;
    std::vector<Clock::time_point> arrivals;
    bus_.on_frame([&](const Frame&) -> Reply {
        std::lock_guard<std::mutex> lock(m);
        arrivals.push_back(Clock::now());
        return {};
    });

    const Bytes data = pattern(70);
    const auto start = Clock::now();
    EXPECT_EQ(transceiver_send(0, 3, data.data(), 70), 0);
    const auto took = Clock::now() - start;
    EXPECT_EQ(wire(), (Frames{piece(0, 3, data, 0, 32), piece(0, 3, data, 32, 32), piece(0, 3, data, 64, 6)}));
    EXPECT_EQ(piece(0, 3, data, 64, 6).size(), 14u);
    // The pause follows every piece, the last one included.
    EXPECT_GE(took, std::chrono::milliseconds(300));
    {
        std::lock_guard<std::mutex> lock(m);
        ASSERT_GE(arrivals.size(), 3u);
        EXPECT_GE(arrivals[1] - arrivals[0], std::chrono::milliseconds(90));
        EXPECT_GE(arrivals[2] - arrivals[1], std::chrono::milliseconds(90));
    }

    EXPECT_EQ(transceiver_send(0, 15, data.data(), 32), 0);
    EXPECT_EQ(wire(), (Frames{piece(0, 15, data, 0, 32)}));
    EXPECT_EQ(transceiver_send(0, 1, data.data(), 33), 0);
    EXPECT_EQ(wire(), (Frames{piece(0, 1, data, 0, 32), piece(0, 1, data, 32, 1)}));

    // Nothing to send, a unit out of range, the sender off.
    EXPECT_EQ(transceiver_send(0, 3, data.data(), 0), 0);
    EXPECT_EQ(transceiver_send(0, 16, data.data(), 4), 1);
    EXPECT_EQ(transceiver_send(16, 0, data.data(), 4), 1);
    EXPECT_EQ(transceiver_send(1, 0, data.data(), 4), 2);
    EXPECT_TRUE(wire().empty());
}

TEST_F(RadioTest, TransceiverStopsAtTheFirstPieceThatFails)
{
    ASSERT_EQ(transceiver_turn_on(0), 0);
    wire();
    signal(SIGPIPE, SIG_IGN);
    int broken[2];
    ASSERT_EQ(pipe(broken), 0);
    close(broken[0]);
    // The mission writes to one descriptor number; while it points at a pipe
    // without reader, writes fail. It is broken on the first piece's arrival
    // and mended 150 ms later, so a third piece would reach the bus.
    const int line = dup(bus_.mission_fd());
    ASSERT_GE(line, 0);
    G.fd = line;
    bus_.on_frame([&](const Frame&) -> Reply {
        if (bus_.frames().size() == 1) {
            dup2(broken[1], line);
        }
        return {};
    });
    std::thread mend([&] {
        bus_.wait_frames(1, std::chrono::seconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        dup2(bus_.mission_fd(), line);
    });

    const Bytes data = pattern(70);
    EXPECT_EQ(transceiver_send(0, 2, data.data(), 70), 1);
    mend.join();
    EXPECT_EQ(wire(), (Frames{piece(0, 2, data, 0, 32)}));
    G.fd = bus_.mission_fd();
    close(line);
    close(broken[1]);
}

TEST_F(RadioTest, TransceiverBufferHoldsOnlyBytesTheAnswerCarried)
{
    uint8_t data[32];
    const Bytes zeros(32, 0);
    auto fill = [&] { std::memset(data, 0xAA, sizeof data); };
    auto held = [&] { return Bytes(data, data + 32); };

    // Cleared first, whatever the outcome.
    fill();
    EXPECT_EQ(transceiver_request_buff(16, data), 1);
    EXPECT_EQ(held(), zeros);
    fill();
    EXPECT_EQ(transceiver_request_buff(7, data), 2);
    EXPECT_EQ(held(), zeros);
    EXPECT_TRUE(wire().empty());

    ASSERT_EQ(transceiver_turn_on(7), 0);
    wire();
    // Bytes beyond the 32 stay behind.
    const Bytes received = pattern(32);
    answer_values(received + Bytes{0xFE, 0xFE});
    fill();
    EXPECT_EQ(transceiver_request_buff(7, data), 0);
    EXPECT_EQ(held(), received);
    EXPECT_EQ(wire(), (Frames{header(FamilyId::transceiver, 0x20, 7)}));

    // A short answer counts as a failed exchange.
    answer_values(pattern(31));
    fill();
    EXPECT_EQ(transceiver_request_buff(7, data), 1);
    EXPECT_EQ(held(), zeros);
    answer([](const Bytes&) { return std::nullopt; });
    fill();
    EXPECT_EQ(transceiver_request_buff(7, data), 1);
    EXPECT_EQ(held(), zeros);
}

}  // namespace
}  // namespace kelvex::testing
