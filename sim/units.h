// What the bus controller remembers about its units between messages.
#pragma once

#include <array>
#include <cstdint>

#include "protocol_table.h"

namespace kelvex::sim {

inline constexpr size_t kMaxUnits = 16;
inline constexpr size_t kTransceiverBuffer = 32;

struct Units {
    // A unit is powered once it has had its reset (the device API's turn-on
    // sends one); the transmitter has its own on and off messages.
    std::array<std::array<bool, kMaxUnits>, kFamilyCount> powered{};
    std::array<std::array<uint32_t, kMaxUnits>, kFamilyCount> resets{};
    std::array<uint8_t, 4> arm{};
    std::array<int16_t, 4> engine{};
    std::array<int16_t, 16> coil{};
    std::array<uint16_t, 8> light_min{};
    std::array<uint8_t, 8> light_calibrate{};
    std::array<uint16_t, 8> sun_min{};
    std::array<std::array<uint8_t, kTransceiverBuffer>, 16> transceiver{};

    bool& on(Family f, int unit) { return powered[static_cast<size_t>(f)][unit]; }
    bool on(Family f, int unit) const { return powered[static_cast<size_t>(f)][unit]; }
    // Bit i set when unit i is powered.
    uint32_t mask(Family f) const;
};

}  // namespace kelvex::sim
