// COBS frames on the line: cutting the incoming byte stream at zero bytes,
// and framing outgoing answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvex::sim {

using Bytes = std::vector<uint8_t>;

struct Frame {
    Bytes raw;        // encoded bytes without the delimiter
    Bytes decoded;    // valid only when ok
    bool ok = false;  // raw was one complete COBS frame
    unsigned status = 0;
};

class FrameReader {
public:
    // Longest encoded frame kept; longer runs without a delimiter are cut
    // there, as the mission side's 4096-byte buffers would be.
    static constexpr size_t kMaxFrame = 4096;

    // Feeds received bytes; returns the frames they complete. Empty frames
    // (runs of zero bytes, such as the bus set-up byte) are skipped.
    std::vector<Frame> feed(const uint8_t* data, size_t n);
    size_t pending() const { return buf_.size(); }

private:
    Bytes buf_;
};

Frame decode_frame(const Bytes& raw);
// The encoding of `message` followed by the zero delimiter.
Bytes encode_frame(const Bytes& message);

}  // namespace kelvex::sim
