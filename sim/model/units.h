// What the bus controller remembers about its units between messages: one
// state per unit of every family, as many as the family table numbers.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "devices/families.h"

namespace kelvex::sim {

using devices::FamilyId;
using devices::kFamilyCount;

inline constexpr size_t kTransceiverBuffer = 32;

// A family as the telemetry, the faults and the notes name it: its prefix
// without the underscore ("motor").
inline std::string family_name(const devices::Family& f) { return std::string(f.prefix, std::strlen(f.prefix) - 1); }

struct UnitState {
    // Powered once it has had its reset (the device API's turn-on sends
    // one); the transmitter has its own on and off messages.
    bool powered = false;
    uint32_t resets = 0;
    int16_t held = 0;  // an actuator's value: arm position, coil or engine command
    std::array<uint16_t, devices::kWireOpCount> settings{};  // by setting operation
    std::array<uint8_t, kTransceiverBuffer> received{};       // a transceiver's buffer
    // Unit faults: a dead unit takes nothing and answers nothing; a stuck
    // one answers its reading with these values whatever it measures.
    bool dead = false;
    std::vector<uint8_t> stuck;
};

class Units {
public:
    Units();

    size_t count(FamilyId f) const { return units_[index(f)].size(); }
    bool exists(FamilyId f, int unit) const { return unit >= 0 && static_cast<size_t>(unit) < count(f); }
    UnitState& at(FamilyId f, int unit) { return units_[index(f)].at(static_cast<size_t>(unit)); }
    const UnitState& at(FamilyId f, int unit) const { return units_[index(f)].at(static_cast<size_t>(unit)); }

    bool& on(FamilyId f, int unit) { return at(f, unit).powered; }
    bool on(FamilyId f, int unit) const { return at(f, unit).powered; }
    uint32_t resets(FamilyId f, int unit) const { return at(f, unit).resets; }
    // Bit i set when unit i is powered.
    uint32_t mask(FamilyId f) const;

private:
    static size_t index(FamilyId f) { return static_cast<size_t>(f); }

    std::array<std::vector<UnitState>, kFamilyCount> units_;
};

}  // namespace kelvex::sim
