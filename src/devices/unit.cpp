#include "devices/unit.h"

#include <algorithm>
#include <cstring>

#include "common/le.h"
#include "kelvex/battery.h"
#include "kelvex/runner.h"

namespace kelvex::devices {

namespace {

// All off when the library is loaded.
UnitStates unit_states{};

Target reset_of(const Family& f) { return Target{&f, Op::request_reset, f.offset(Op::request_reset)}; }

int16_t axis_value(const Axis& axis, const uint16_t* words)
{
    const uint16_t w = words[axis.word];
    return static_cast<int16_t>(axis.negate ? static_cast<uint16_t>(0u - w) : w);
}

template <typename T>
T echoed_value(const Answer& a);

template <>
uint8_t echoed_value<uint8_t>(const Answer& a)
{
    return a.byte(0);
}

template <>
int16_t echoed_value<int16_t>(const Answer& a)
{
    return static_cast<int16_t>(a.word(0));
}

}  // namespace

Message::Message(const Target& t, uint16_t num)
{
    u16(code(t, num));
    u16(address(*t.family, num));
    u16(kComputerAddress);
}

uint16_t Message::code(const Target& t, uint16_t num)
{
    return static_cast<uint16_t>((t.family->unit_class << 8) + t.offset + num);
}

uint16_t Message::address(const Family& f, uint16_t num)
{
    return static_cast<uint16_t>(f.base + num);
}

Message& Message::u8(uint8_t v)
{
    bytes(&v, 1);
    return *this;
}

Message& Message::u16(uint16_t v)
{
    uint8_t le[2];
    common::put_le16(le, v);
    bytes(le, 2);
    return *this;
}

size_t Message::bytes(const uint8_t* p, size_t n)
{
    n = std::min(n, kMaxMessage - size_);
    if (n > 0) {
        std::memcpy(bytes_ + size_, p, n);
        size_ += n;
    }
    return n;
}

uint16_t Answer::word(size_t i) const
{
    return common::le16(buf_ + kHeaderBytes + 2 * i);
}

int Answer::exchange(Transport transport, const Message& m)
{
    uint8_t* p = buf_;
    size_ = static_cast<int>(sizeof buf_);
    const int r = transport(&p, &size_, m.data(), m.size());
    if (r != 0) {
        size_ = 0;
    }
    return r;
}

int Answer::request(const Message& m) { return exchange(do_request, m); }

int Answer::single_request(const Message& m) { return exchange(do_single_request, m); }

int command(const Message& m) { return do_command(m.data(), m.size()); }

int* states(const Family& f)
{
    if (!f.switched()) {
        return nullptr;
    }
    return reinterpret_cast<int*>(reinterpret_cast<char*>(&unit_states) + f.state.offset);
}

int guard(const Family& f, uint16_t num)
{
    if (num > f.highest) {
        return kFailed;
    }
    if (f.switched() && states(f)[num] == 0) {
        return kOff;
    }
    return kDone;
}

int request_reset(const Family& f, uint16_t num)
{
    if (num > f.highest || !f.has(Op::request_reset)) {
        return kFailed;
    }
    return command(Message(reset_of(f), num));
}

int get_state(const Family& f, uint16_t num)
{
    if (num > f.highest || !f.switched()) {
        return 1;
    }
    return states(f)[num];
}

int turn_on(const Family& f, uint16_t num)
{
    if (num > f.highest || !f.switched()) {
        return kFailed;
    }
    if (states(f)[num] != 0) {
        return kDone;
    }
    if (f.has(Op::request_reset)) {
        (void)request_reset(f, num);  // a unit that misses its reset still counts as on
    }
    book_on(f, num);
    return kDone;
}

int turn_off(const Family& f, uint16_t num)
{
    if (num > f.highest || !f.switched()) {
        return kFailed;
    }
    if (states(f)[num] != 0) {
        book_off(f, num);
    }
    return kDone;
}

void book_on(const Family& f, uint16_t num)
{
    increase_consumption(f.consumption);
    states(f)[num] = 1;
}

void book_off(const Family& f, uint16_t num)
{
    decrease_consumption(f.consumption);
    states(f)[num] = 0;
}

int read_words(const Target& t, uint16_t num, uint16_t* out, size_t count)
{
    if (const int g = guard(*t.family, num); g != kDone) {
        return g;
    }
    Answer a;
    if (a.request(Message(t, num)) != 0 || !a.carries(2 * count)) {
        return kFailed;
    }
    for (size_t i = 0; i < count; ++i) {
        out[i] = a.word(i);
    }
    return kDone;
}

int read_axes(const Target& t, uint16_t num, int16_t* x, int16_t* y, int16_t* z)
{
    uint16_t w[3];
    if (const int r = read_words(t, num, w, 3); r != kDone) {
        return r;
    }
    const Axes& axes = t.family->axes;
    *x = axis_value(axes[0], w);
    *y = axis_value(axes[1], w);
    *z = axis_value(axes[2], w);
    return kDone;
}

int read_block(const Target& t, uint16_t num, uint8_t* out, size_t n)
{
    std::memset(out, 0, n);
    if (const int g = guard(*t.family, num); g != kDone) {
        return g;
    }
    Answer a;
    if (a.request(Message(t, num)) != 0 || !a.carries(n)) {
        return kFailed;
    }
    std::memcpy(out, a.values(), n);
    return kDone;
}

int confirmed_switch(const Target& t, uint16_t num)
{
    const Family& f = *t.family;
    if (num > f.highest) {
        return kFailed;
    }
    Answer a;
    if (a.request(Message(t, num)) != 0) {
        return kFailed;
    }
    if (t.op == Op::turn_on) {
        book_on(f, num);
    } else {
        book_off(f, num);
    }
    return kDone;
}

int setting(const Target& t, uint16_t num, const uint8_t* payload, size_t n)
{
    if (const int g = guard(*t.family, num); g != kDone) {
        return g;
    }
    Message m(t, num);
    m.bytes(payload, n);
    return command(m);
}

template <typename T>
int set_and_confirm(const Target& t, uint16_t num, T value, T* confirm)
{
    static_assert(sizeof(T) == 1 || sizeof(T) == 2, "values are one byte or one word");
    if (const int g = guard(*t.family, num); g != kDone) {
        return g;
    }
    Message m(t, num);
    if constexpr (sizeof(T) == 1) {
        m.u8(static_cast<uint8_t>(value));
    } else {
        m.u16(static_cast<uint16_t>(value));
    }
    // Stays 0 unless an attempt brings an answer, so *confirm never holds
    // anything this call did not receive.
    T echoed = 0;
    int ret = kFailed;
    for (int i = 0; i < t.family->set_attempts; ++i) {
        Answer a;
        ret = a.single_request(m);
        if (ret == 0 && !a.carries(sizeof(T))) {
            ret = kFailed;
        }
        if (ret != 0) {
            continue;
        }
        echoed = echoed_value<T>(a);
        if (echoed == value) {
            break;
        }
    }
    *confirm = echoed;
    return ret;
}

template int set_and_confirm<uint8_t>(const Target&, uint16_t, uint8_t, uint8_t*);
template int set_and_confirm<int16_t>(const Target&, uint16_t, int16_t, int16_t*);

}  // namespace kelvex::devices
