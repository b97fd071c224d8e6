// The controller pass-through: free-form messages to the bus controller's own
// handler.
#include <cstring>

#include "devices/perform.h"
#include "kelvex/radio.h"
#include "kelvex/runner.h"

namespace kelvex::devices {

namespace {

constexpr size_t kMaxArgs = 247;  // 8 + 247 bytes: the 255-byte message limit
constexpr size_t kAnswerMove = 8;  // header and message id are dropped
// What the Python binding offers; C callers are told to offer as much.
constexpr int kPassThroughAnswerCapacity = 1025;

}  // namespace

int pass_through(const Target& t, uint16_t num, uint16_t id, char* args, char* answer, uint16_t timeout)
{
    if (const int g = guard(*t.family, num); g != kDone) {
        return g;
    }
    Message m(t, num);
    m.u16(id);
    if (args != nullptr) {
        const size_t args_len = std::strlen(args);
        if (args_len > kMaxArgs) {
            return kFailed;
        }
        m.bytes(reinterpret_cast<const uint8_t*>(args), args_len);
    }
    if (answer == nullptr) {
        return command(m);
    }
    uint8_t* p = reinterpret_cast<uint8_t*>(answer);
    int answer_len = kPassThroughAnswerCapacity;
    const int status = do_request_timeout(&p, &answer_len, m.data(), m.size(), timeout);
    if (status != 0) {
        return status;
    }
    if (static_cast<size_t>(answer_len) < kAnswerMove) {
        answer[0] = '\0';  // nothing behind the header: the empty text
    } else {
        std::memmove(answer, answer + kAnswerMove, static_cast<size_t>(answer_len) - kAnswerMove);
    }
    return status;
}

}  // namespace kelvex::devices

int arduino_send(const uint16_t num, const uint16_t msg_id, char* args, char* answer, const uint16_t timeout)
{
    return kelvex::devices::perform<kelvex::devices::OperationId::arduino_send>(num, msg_id, args, answer, timeout);
}
