// What the bus controller remembers about its units between messages.
#pragma once

#include <array>
#include <cstdint>

#include "devices/families.h"

namespace kelvex::sim {

using devices::FamilyId;
using devices::kFamilyCount;

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

    bool& on(FamilyId f, int unit) { return powered[static_cast<size_t>(f)][unit]; }
    bool on(FamilyId f, int unit) const { return powered[static_cast<size_t>(f)][unit]; }
    // Bit i set when unit i is powered.
    uint32_t mask(FamilyId f) const;
};

}  // namespace kelvex::sim
