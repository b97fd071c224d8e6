// The controller pass-through arduino_send on the wire of the fake bus
// controller.
#include <unistd.h>

#include <cstring>

#include "fakes/device_fixture.h"
#include "kelvex/radio.h"

namespace kelvex::testing {
namespace {

using Frames = std::vector<Bytes>;

constexpr size_t kAnswerRoom = 1025;

class ControllerTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        silent();
        std::memset(answer_, 0x55, sizeof answer_);
    }

    void silent() { answer([](const Bytes&) { return std::nullopt; }); }

    static Bytes message(uint16_t num, uint16_t msg_id, const std::string& text)
    {
        return header(FamilyId::controller, 0x00, num) + le16({msg_id}) + Bytes(text.begin(), text.end());
    }

    Bytes held(size_t n) const { return Bytes(answer_, answer_ + n); }

    char answer_[kAnswerRoom + 1];  // one byte more, to see it stays untouched
};

TEST_F(ControllerTest, MessagesCarryIdAndTextWithoutItsNul)
{
    std::string text = "mode=2";
    EXPECT_EQ(arduino_send(15, 0x1234, text.data(), nullptr, 0), 0);
    EXPECT_EQ(arduino_send(0, 7, nullptr, nullptr, 0), 0);
    EXPECT_EQ(wire(), (Frames{message(15, 0x1234, "mode=2"), message(0, 7, "")}));
    EXPECT_EQ(message(0, 7, "").size(), 8u);

    // 247 characters make the longest message, 255 bytes; one more is refused.
    std::string longest(247, 'x');
    for (size_t i = 0; i < longest.size(); ++i) {
        longest[i] = static_cast<char>('A' + i % 26);
    }
    EXPECT_EQ(arduino_send(3, 1, longest.data(), nullptr, 0), 0);
    const Frames sent = wire();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 255u);
    EXPECT_EQ(sent[0], message(3, 1, longest));

    std::string too_long = longest + "y";
    char room[kAnswerRoom];
    EXPECT_EQ(arduino_send(3, 1, too_long.data(), nullptr, 0), 1);
    EXPECT_EQ(arduino_send(3, 1, too_long.data(), room, 0), 1);
    EXPECT_EQ(arduino_send(16, 1, text.data(), nullptr, 0), 1);
    EXPECT_EQ(arduino_send(16, 1, text.data(), room, 0), 1);
    EXPECT_TRUE(wire().empty());
}

TEST_F(ControllerTest, WithoutAnAnswerBufferTheCommandsResultIsReturned)
{
    // Nobody answers a command, and none is awaited.
    EXPECT_EQ(arduino_send(2, 9, nullptr, nullptr, 0), 0);
    EXPECT_EQ(wire(), (Frames{message(2, 9, "")}));

    // A write that fails is not reported as success.
    const int line = G.fd;
    G.fd = -1;
    EXPECT_EQ(arduino_send(2, 9, nullptr, nullptr, 0), 1);
    G.fd = line;
    EXPECT_TRUE(wire().empty());
}

TEST_F(ControllerTest, TheAnswerMovesDownByEightBytes)
{
    std::string text = "status";
    answer([](const Bytes& req) { return std::optional<Bytes>(answer_to(req, Bytes{req[6], req[7], 'O', 'K'})); });
    EXPECT_EQ(arduino_send(5, 0x0102, text.data(), answer_, 0), 0);
    const Bytes a = answer_to(message(5, 0x0102, "status"), {0x02, 0x01, 'O', 'K'});
    ASSERT_EQ(a.size(), 10u);
    // 4F 4B, then the former bytes 2 to 9, then what was there before.
    EXPECT_EQ(held(11), (Bytes{'O', 'K', a[2], a[3], a[4], a[5], a[6], a[7], 'O', 'K', 0x55}));
    EXPECT_EQ(wire(), (Frames{message(5, 0x0102, "status")}));

    // Nothing behind the header: the empty text.
    for (size_t values : {0u, 1u}) {
        answer([values](const Bytes& req) { return std::optional<Bytes>(answer_to(req, Bytes(values, 'Z'))); });
        std::memset(answer_, 0x55, sizeof answer_);
        EXPECT_EQ(arduino_send(5, 1, nullptr, answer_, 0), 0);
        EXPECT_EQ(answer_[0], '\0');
    }

    // Room for 1025 bytes is used; a longer answer fails the exchange and
    // leaves the buffer alone.
    for (size_t total : {kAnswerRoom, kAnswerRoom + 1}) {
        SCOPED_TRACE(total);
        Bytes values(total - 6);
        for (size_t i = 0; i < values.size(); ++i) {
            values[i] = static_cast<uint8_t>(1 + i % 250);
        }
        answer([values](const Bytes& req) { return std::optional<Bytes>(answer_to(req, values)); });
        std::memset(answer_, 0x55, sizeof answer_);
        const int r = arduino_send(5, 1, nullptr, answer_, 0);
        if (total == kAnswerRoom) {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(held(total - 8), Bytes(values.begin() + 2, values.end()));
            EXPECT_EQ(held(total).back(), values.back());  // the former last 8 bytes stay
            EXPECT_EQ(static_cast<uint8_t>(answer_[kAnswerRoom]), 0x55);
        } else {
            EXPECT_EQ(r, 1);
            EXPECT_EQ(held(sizeof answer_), Bytes(sizeof answer_, 0x55));
        }
    }
    wire();

    // No answer at all: every retry goes out, the buffer stays as it was.
    silent();
    std::memset(answer_, 0x55, sizeof answer_);
    EXPECT_EQ(arduino_send(5, 1, nullptr, answer_, 0), 1);
    EXPECT_EQ(held(sizeof answer_), Bytes(sizeof answer_, 0x55));
    EXPECT_EQ(wire().size(), static_cast<size_t>(G.retries));
}

TEST_F(ControllerTest, TimeoutOfTheCallReplacesTheConfiguredOne)
{
    G.retries = 1;
    G.timeout = 40;
    // The controller takes 200 ms to answer.
    bus_.on_frame([](const Frame& f) -> Reply {
        if (!f.valid || f.decoded == marker()) {
            return {};
        }
        return {Step{200, wire_frame(answer_to(f.decoded, {0, 0, 'L', 'A', 'T', 'E'}))}};
    });
    EXPECT_EQ(arduino_send(1, 0, nullptr, answer_, 500), 0);
    EXPECT_EQ(std::string(answer_, 4), "LATE");
    EXPECT_EQ(G.timeout, 40);

    std::memset(answer_, 0x55, sizeof answer_);
    EXPECT_EQ(arduino_send(1, 0, nullptr, answer_, 0), 1);
    EXPECT_EQ(held(4), Bytes(4, 0x55));
    // The late answer must not reach the next suite's exchange.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint8_t drain[256];
    while (read(G.fd, drain, sizeof drain) > 0) {
    }
}

}  // namespace
}  // namespace kelvex::testing
