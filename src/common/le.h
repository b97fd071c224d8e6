// Little-endian words as the line carries them, whatever the host's order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvex::common {

constexpr uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

constexpr uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(le16(p)) | (static_cast<uint32_t>(le16(p + 2)) << 16);
}

constexpr void put_le16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Appends v to a byte container (std::vector<uint8_t> and the like).
template <typename Bytes>
void append_le16(Bytes& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

}  // namespace kelvex::common
