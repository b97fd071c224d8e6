#include "line/framer.h"

#include "common/protocol.h"
#include "kelvex/cobs.h"

namespace kelvex::sim {

Frame decode_frame(const Bytes& raw)
{
    Frame f;
    f.raw = raw;
    f.decoded.resize(raw.size() + 1);
    const cobs_decode_result r =
        cobs_decode(f.decoded.data(), f.decoded.size(), raw.data(), raw.size());
    f.decoded.resize(r.out_len);
    f.status = r.status;
    f.ok = r.status == COBS_DECODE_OK && !raw.empty();
    return f;
}

std::vector<Frame> FrameReader::feed(const uint8_t* data, size_t n)
{
    std::vector<Frame> frames;
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == 0) {
            if (!buf_.empty()) {
                frames.push_back(decode_frame(buf_));
                buf_.clear();
            }
            continue;
        }
        buf_.push_back(data[i]);
        if (buf_.size() >= kMaxFrame) {
            frames.push_back(decode_frame(buf_));
            buf_.clear();
        }
    }
    return frames;
}

Bytes encode_frame(const Bytes& message)
{
    Bytes out(common::encoded_room(message.size()));
    const cobs_encode_result r =
        cobs_encode(out.data(), out.size(), message.data(), message.size());
    out.resize(r.out_len);
    out.push_back(0);
    return out;
}

}  // namespace kelvex::sim
