// Set-and-confirm of every actuator family and the speed queries, on the
// wire.
#include <atomic>

#include "fakes/device_fixture.h"

namespace kelvex::testing {
namespace {

using Frames = std::vector<Bytes>;

// The five set operations, seen alike: the value travels as int and the echo
// comes back widened the same way.
struct SetOp {
    const char* name;
    FamilyId id;
    int attempts;
    size_t value_bytes;
    int (*turn_on)(uint16_t);
    std::function<int(uint16_t num, int value, int* confirm)> set;
};

std::vector<SetOp> set_operations()
{
    auto wide = [](int (*op)(uint16_t, int16_t, int16_t*)) {
        return [op](uint16_t num, int value, int* confirm) {
            int16_t c = static_cast<int16_t>(*confirm);
            const int r = op(num, static_cast<int16_t>(value), &c);
            *confirm = c;
            return r;
        };
    };
    return {
        {"arm_set_value", FamilyId::arm, 3, 1, arm_turn_on,
         [](uint16_t num, int value, int* confirm) {
             uint8_t c = static_cast<uint8_t>(*confirm);
             const int r = arm_set_value(num, static_cast<uint8_t>(value), &c);
             *confirm = c;
             return r;
         }},
        {"motor_set_speed", FamilyId::motor, 5, 2, motor_turn_on, wide(motor_set_speed)},
        {"fan_set_speed", FamilyId::fan, 5, 2, fan_turn_on, wide(fan_set_speed)},
        {"coil_set_value", FamilyId::coil, 2, 2, coil_turn_on, wide(coil_set_value)},
        {"engine_set_value", FamilyId::engine, 2, 2, engine_turn_on, wide(engine_set_value)},
    };
}

Bytes value_bytes(int value, size_t n)
{
    Bytes b{static_cast<uint8_t>(value & 0xFF)};
    if (n == 2) {
        b.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    }
    return b;
}

TEST_F(DeviceTest, SetAndConfirmStopsAtTheFirstEcho)
{
    for (const SetOp& op : set_operations()) {
        SCOPED_TRACE(op.name);
        const devices::Family& f = row_of(op.id);
        ASSERT_EQ(f.set_attempts, op.attempts);
        op.turn_on(f.highest);
        wire();
        const uint8_t set = f.offset(devices::Op::set_value) | f.offset(devices::Op::set_speed);
        const Bytes request = header(op.id, set, f.highest) + value_bytes(100, op.value_bytes);

        // Echoed at once: one request.
        answer([](const Bytes& req) { return std::optional<Bytes>(answer_to(req, Bytes(req.begin() + 6, req.end()))); });
        int confirm = -1;
        EXPECT_EQ(op.set(f.highest, 100, &confirm), 0);
        EXPECT_EQ(confirm, 100);
        EXPECT_EQ(wire(), (Frames{request}));

        // Another value every time: every attempt, result 0, the last echo.
        auto answers = std::make_shared<std::atomic<int>>(0);
        answer([answers, &op](const Bytes& req) {
            return std::optional<Bytes>(answer_to(req, value_bytes(10 + ++*answers, op.value_bytes)));
        });
        EXPECT_EQ(op.set(f.highest, 100, &confirm), 0);
        EXPECT_EQ(confirm, 10 + op.attempts);
        EXPECT_EQ(wire(), Frames(op.attempts, request));

        // A failed first exchange, then the echo.
        answers->store(0);
        answer([answers](const Bytes& req) -> std::optional<Bytes> {
            if (++*answers == 1) {
                return std::nullopt;
            }
            return answer_to(req, Bytes(req.begin() + 6, req.end()));
        });
        confirm = -1;
        EXPECT_EQ(op.set(f.highest, 100, &confirm), 0);
        EXPECT_EQ(confirm, 100);
        EXPECT_EQ(wire().size(), 2u);

        // Beyond the range: nothing sent, confirm untouched.
        confirm = 77;
        EXPECT_EQ(op.set(f.highest + 1, 100, &confirm), 1);
        EXPECT_EQ(confirm, 77);
        EXPECT_TRUE(wire().empty());
    }
}

TEST_F(DeviceTest, SetAndConfirmWithoutAnyAnswerStoresZero)
{
    G.retries = 9;  // a set makes single exchanges: the retries play no part
    for (const SetOp& op : set_operations()) {
        SCOPED_TRACE(op.name);
        op.turn_on(0);
        wire();

        // Silence: the attempts, result 1, and 0 rather than stale bytes.
        bus_.on_frame(nullptr);
        int confirm = 0x5A;
        EXPECT_EQ(op.set(0, 33, &confirm), 1);
        EXPECT_EQ(confirm, 0);
        EXPECT_EQ(wire().size(), static_cast<size_t>(op.attempts));

        // Answers too short to carry the value count as failed exchanges.
        answer_values(Bytes(op.value_bytes - 1, 33));
        confirm = 0x5A;
        EXPECT_EQ(op.set(0, 33, &confirm), 1);
        EXPECT_EQ(confirm, 0);
        EXPECT_EQ(wire().size(), static_cast<size_t>(op.attempts));

        // The last full answer counts even when later attempts fail.
        auto answers = std::make_shared<std::atomic<int>>(0);
        answer([answers, &op](const Bytes& req) -> std::optional<Bytes> {
            if (++*answers == 1) {
                return answer_to(req, value_bytes(44, op.value_bytes));
            }
            return std::nullopt;
        });
        EXPECT_EQ(op.set(0, 33, &confirm), 1);
        EXPECT_EQ(confirm, 44);
        wire();
    }
}

TEST_F(DeviceTest, ValuesTravelAsTwosComplementAndBytes)
{
    answer([](const Bytes& req) { return std::optional<Bytes>(answer_to(req, Bytes(req.begin() + 6, req.end()))); });
    motor_turn_on(0);
    arm_turn_on(1);
    wire();

    int16_t confirm = 0;
    EXPECT_EQ(motor_set_speed(0, -1500, &confirm), 0);
    EXPECT_EQ(confirm, -1500);
    EXPECT_EQ(wire(), (Frames{{0x00, 0x0D, 0x00, 0x01, 0x01, 0x00, 0x24, 0xFA}}));

    uint8_t arm = 0;
    EXPECT_EQ(arm_set_value(1, 255, &arm), 0);
    EXPECT_EQ(arm, 255);
    EXPECT_EQ(wire(), (Frames{{0x01, 0x27, 0x71, 0x02, 0x01, 0x00, 0xFF}}));

    // The arm compares one byte: a longer answer confirms on its first byte.
    answer_values({0xFF, 0x12});
    EXPECT_EQ(arm_set_value(1, 255, &arm), 0);
    EXPECT_EQ(wire().size(), 1u);
}

TEST_F(DeviceTest, SpeedQueriesReadTheSignedWord)
{
    struct Query {
        const char* name;
        FamilyId id;
        int (*turn_on)(uint16_t);
        int (*query)(uint16_t, int16_t*);
    };
    const Query queries[] = {
        {"motor_request_speed", FamilyId::motor, motor_turn_on, motor_request_speed},
        {"fan_request_speed", FamilyId::fan, fan_turn_on, fan_request_speed},
    };
    for (const Query& q : queries) {
        SCOPED_TRACE(q.name);
        int16_t rpm = 99;
        EXPECT_EQ(q.query(2, &rpm), 2);
        q.turn_on(2);
        wire();

        answer_values(le16({static_cast<uint16_t>(-3000)}));
        EXPECT_EQ(q.query(2, &rpm), 0);
        EXPECT_EQ(rpm, -3000);
        EXPECT_EQ(wire(), (Frames{header(q.id, 0x08, 2)}));

        // Failed after the transport's retries, or too short: untouched.
        rpm = 99;
        bus_.on_frame(nullptr);
        EXPECT_EQ(q.query(2, &rpm), 1);
        EXPECT_EQ(wire().size(), static_cast<size_t>(G.retries));
        answer_values({0x01});
        EXPECT_EQ(q.query(2, &rpm), 1);
        EXPECT_EQ(rpm, 99);
        EXPECT_EQ(q.query(4, &rpm), 1);
        wire();
    }
}

// A unit answering later than the wait: the set succeeds on its second
// attempt with the first one's answer, and the second attempt's answer is
// left on the line, where the next request must not take it for its own.
TEST_F(DeviceTest, AnAnswerLeftOnTheLineDoesNotAnswerTheNextRequest)
{
    G.retries = 5;  // the runner's default: room for a busy machine
    motor_turn_on(0);
    wire();
    answer(
        [](const Bytes& req) {
            const bool set = req[0] == row_of(FamilyId::motor).offset(devices::Op::set_speed);
            return std::optional<Bytes>(answer_to(req, set ? Bytes(req.begin() + 6, req.end()) : le16({1200})));
        },
        55);
    int16_t confirm = 0;
    EXPECT_EQ(motor_set_speed(0, 1500, &confirm), 0);
    EXPECT_EQ(confirm, 1500);
    // The mission goes on; the answers still due (55 ms apart, one for each
    // attempt after the first) arrive meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    int16_t rpm = 0;
    EXPECT_EQ(motor_request_speed(0, &rpm), 0);
    EXPECT_EQ(rpm, 1200);
}

}  // namespace
}  // namespace kelvex::testing
