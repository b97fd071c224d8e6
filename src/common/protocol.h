// Facts of the line protocol that the mission side and the virtual
// satellite must agree on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvex::common {

// msg_code, dev_addr, src_addr: three little-endian words before any value.
inline constexpr size_t kHeaderBytes = 6;

// The mission runner's first frame: "HI ALL!" with its terminator.
inline constexpr uint8_t kGreeting[] = {'H', 'I', ' ', 'A', 'L', 'L', '!', 0};

// The longest block of the frame encoding: a code byte stands for at most
// this many data bytes.
inline constexpr size_t kMaxRun = 254;

// Room that holds the encoding of any n bytes and the frame's delimiter
// (the worst case is n + 1 + (n - 1) / kMaxRun encoded bytes).
constexpr size_t encoded_room(size_t n) { return n + 2 + n / kMaxRun; }

}  // namespace kelvex::common
