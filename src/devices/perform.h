// The one body of every exported device function that talks to a unit:
// perform<OperationId::name>(arguments) does what the operation's row says
// (operations.h), with the family row's addresses, guards and attempts.
#pragma once

#include <cstring>
#include <type_traits>

#include "common/le.h"
#include "devices/operations.h"
#include "devices/unit.h"

namespace kelvex::devices {

namespace detail {

// A value of T from its little-endian bytes.
template <typename T>
T from_le(const uint8_t* p)
{
    static_assert(sizeof(T) == 2 || sizeof(T) == 4, "answer values are words or double words");
    T v;
    if constexpr (sizeof(T) == 2) {
        const uint16_t bits = common::le16(p);
        std::memcpy(&v, &bits, sizeof v);
    } else {
        const uint32_t bits = common::le32(p);
        std::memcpy(&v, &bits, sizeof v);
    }
    return v;
}

// Guarded header-only request; on 0 the outputs receive the answer's values
// in order.
template <typename... Out>
int read_values(const Target& t, uint16_t num, Out*... outs)
{
    if (const int g = guard(*t.family, num); g != kDone) {
        return g;
    }
    Answer a;
    if (a.request(Message(t, num)) != 0 || !a.carries((0 + ... + sizeof(Out)))) {
        return kFailed;
    }
    size_t at = 0;
    ((*outs = from_le<Out>(a.values() + at), at += sizeof(Out)), ...);
    return kDone;
}

// The value in its little-endian bytes, zeros up to the payload size.
template <size_t Bytes, typename V>
int send_setting(const Target& t, uint16_t num, V value)
{
    static_assert(Bytes >= sizeof(V) && sizeof(V) <= 2, "the payload holds the value, a byte or a word");
    uint8_t payload[Bytes] = {};
    if constexpr (sizeof(V) == 1) {
        payload[0] = static_cast<uint8_t>(value);
    } else {
        common::put_le16(payload, static_cast<uint16_t>(value));
    }
    return setting(t, num, payload, Bytes);
}

inline uint16_t unit_of() { return 0; }  // the camera's only unit
template <typename... Rest>
uint16_t unit_of(uint16_t num, Rest...)
{
    return num;
}

}  // namespace detail

template <OperationId Id, typename... Args>
int perform(Args... args)
{
    constexpr const Operation& o = operation(Id);
    constexpr const Family& f = family(o.family);
    if constexpr (o.kind == OpKind::get_state) {
        return get_state(f, detail::unit_of(args...));
    } else if constexpr (o.kind == OpKind::turn_on) {
        return turn_on(f, detail::unit_of(args...));
    } else if constexpr (o.kind == OpKind::turn_off) {
        return turn_off(f, detail::unit_of(args...));
    } else if constexpr (o.kind == OpKind::reset) {
        return request_reset(f, args...);
    } else {
        constexpr Target t = target<o.family, o.op>();
        if constexpr (o.kind == OpKind::setting) {
            return detail::send_setting<o.bytes>(t, args...);
        } else if constexpr (o.kind == OpKind::read) {
            return detail::read_values(t, args...);
        } else if constexpr (o.kind == OpKind::read_axes) {
            return read_axes(t, args...);
        } else if constexpr (o.kind == OpKind::read_buffer) {
            return read_block(t, args..., o.bytes);
        } else if constexpr (o.kind == OpKind::set_and_confirm) {
            return set_and_confirm(t, args...);
        } else if constexpr (o.kind == OpKind::confirmed_switch) {
            return confirmed_switch(t, args...);
        } else if constexpr (o.kind == OpKind::send) {
            return send_pieces(t, args...);
        } else if constexpr (o.kind == OpKind::message) {
            return pass_through(t, args...);
        } else {
            static_assert(o.kind != OpKind::board, "board operations have bodies of their own");
        }
    }
}

}  // namespace kelvex::devices
