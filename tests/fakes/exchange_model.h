// What one exchange of the request transport makes of the bytes it received,
// written from the protocol rules with the reference decoder, independently
// of the transport's code: leading and trailing zeros dropped, the rest one
// COBS frame, an answer of at least six bytes carrying the request's two
// addresses swapped, and no longer than the caller's buffer.
#pragma once

#include <cstddef>
#include <vector>

#include "fakes/fake_bus.h"

namespace kelvex::testing {

struct ExpectedExchange {
    int result = 1;
    Bytes answer;  // the decoded answer when result is 0
};

inline ExpectedExchange expected_exchange(const Bytes& received, const Bytes& request, size_t room,
                                          bool has_buffer = true)
{
    size_t first = 0;
    size_t end = received.size();
    while (first < end && received[first] == 0) {
        ++first;
    }
    while (end > first && received[end - 1] == 0) {
        --end;
    }
    ExpectedExchange e;
    Bytes decoded;
    if (first == end ||
        !cobs_decode_ref(Bytes(received.begin() + first, received.begin() + end), decoded)) {
        return e;
    }
    const bool mirrored = decoded.size() >= 6 && request.size() >= 6 && decoded[2] == request[4] &&
                          decoded[3] == request[5] && decoded[4] == request[2] && decoded[5] == request[3];
    if (!mirrored || (has_buffer && decoded.size() > room)) {
        return e;
    }
    e.result = 0;
    e.answer = decoded;
    return e;
}

// The answers an exchange may accept when `stream` reaches it in pieces of
// unknown size: it stops at the first read that ends in a zero after more
// than one byte, so any prefix ending in a zero (or the whole stream, when
// the wait runs out) is a possible frame.
inline std::vector<Bytes> acceptable_answers(const Bytes& stream, const Bytes& request, size_t room,
                                             size_t receive_room = 4095, bool has_buffer = true)
{
    std::vector<Bytes> out;
    const size_t last = std::min(stream.size(), receive_room);
    for (size_t end = 1; end <= last; ++end) {
        if ((end >= 2 && stream[end - 1] == 0) || end == last) {
            const ExpectedExchange e =
                expected_exchange(Bytes(stream.begin(), stream.begin() + end), request, room, has_buffer);
            if (e.result == 0) {
                out.push_back(e.answer);
            }
        }
    }
    return out;
}

}  // namespace kelvex::testing
