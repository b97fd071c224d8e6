// The pattern every unit family shares: request header, answer handling,
// range and switched-on guards, the common operations, value reads, settings
// and the set-and-confirm exchange. The exported functions are shims that
// hand a row of the family table (families.h) to these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/protocol.h"
#include "devices/families.h"

namespace kelvex::devices {

// Results of the device operations.
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;  // out of range, failed exchange, short answer
inline constexpr int kOff = 2;     // unit switched off

inline constexpr uint16_t kComputerAddress = 1;
using common::kHeaderBytes;
inline constexpr size_t kAnswerCapacity = 64;
// The longest message (the controller pass-through) is 255 bytes.
inline constexpr size_t kMaxMessage = 256;

// A request on the caller's stack: the header, then payload appended in wire
// order (little-endian words).
class Message {
public:
    Message(const Target& t, uint16_t num);

    // msg_code = class * 256 + offset + num; dev_addr = base + num.
    static uint16_t code(const Target& t, uint16_t num);
    static uint16_t address(const Family& f, uint16_t num);

    Message& u8(uint8_t v);
    Message& u16(uint16_t v);
    // Appends up to the free room; returns the bytes appended.
    size_t bytes(const uint8_t* p, size_t n);

    const uint8_t* data() const { return bytes_; }
    int size() const { return static_cast<int>(size_); }

private:
    uint8_t bytes_[kMaxMessage] = {};
    size_t size_ = 0;
};

// The 64-byte answer buffer of one operation.
class Answer {
public:
    // The answer carries `n` value bytes behind the header.
    bool carries(size_t n) const { return size_ >= 0 && static_cast<size_t>(size_) >= kHeaderBytes + n; }
    // Little-endian word `i` of the values (word 0 is byte offset 6).
    uint16_t word(size_t i) const;
    uint8_t byte(size_t i) const { return buf_[kHeaderBytes + i]; }
    const uint8_t* values() const { return buf_ + kHeaderBytes; }
    int size() const { return size_; }

    // Transport calls; each offers the whole capacity.
    int request(const Message& m);         // with the transport's retries
    int single_request(const Message& m);  // one exchange

private:
    using Transport = int (*)(uint8_t**, int*, const uint8_t*, int);
    int exchange(Transport transport, const Message& m);

    uint8_t buf_[kAnswerCapacity] = {};
    int size_ = 0;
};

int command(const Message& m);

int* states(const Family& f);

// 1 when num is out of range, 2 when the family is switched and the unit is
// off, else 0.
int guard(const Family& f, uint16_t num);

int request_reset(const Family& f, uint16_t num);
int get_state(const Family& f, uint16_t num);
int turn_on(const Family& f, uint16_t num);
int turn_off(const Family& f, uint16_t num);

// Marks a unit on or off and books its draw, for families that switch with
// messages of their own. Unit numbers must have been checked.
void book_on(const Family& f, uint16_t num);
void book_off(const Family& f, uint16_t num);

// Guarded header-only request; on 0 stores `count` answer words in `out`.
int read_words(const Target& t, uint16_t num, uint16_t* out, size_t count);
// Guarded three-axis read in the family's axis order and signs.
int read_axes(const Target& t, uint16_t num, int16_t* x, int16_t* y, int16_t* z);
// Guarded command: the header and `n` payload bytes; the transport's result.
int setting(const Target& t, uint16_t num, const uint8_t* payload, size_t n);

// Guarded request for a block of n bytes; `out` is cleared first and
// receives them only from an answer that carries all n.
int read_block(const Target& t, uint16_t num, uint8_t* out, size_t n);
// Unguarded request whose answer switches the unit (turn_on or turn_off)
// and books its draw; nothing changes without an answer.
int confirmed_switch(const Target& t, uint16_t num);
// Guarded commands carrying `len` data bytes for unit `to`, in pieces
// (radio.cpp).
int send_pieces(const Target& t, uint16_t num, uint16_t to, const uint8_t* data, uint16_t len);
// Guarded pass-through message to the controller's handler `id`
// (controller.cpp).
int pass_through(const Target& t, uint16_t num, uint16_t id, char* args, char* answer, uint16_t timeout);

// Guarded set-and-confirm: sends `value` up to the family's attempt count
// until the unit echoes it. Defined for uint8_t (one byte) and int16_t.
template <typename T>
int set_and_confirm(const Target& t, uint16_t num, T value, T* confirm);

}  // namespace kelvex::devices
