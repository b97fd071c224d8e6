// What each simulated unit family is, one row a family: what its units
// answer to the reads the model simulates, what an actuator does with a
// command, and what a dead unit stops driving. The bus controller answers
// by these rows as the device API is built from the family table; a family
// without a row answers its reads with zeros and holds what it is told.
#pragma once

#include <cstdint>
#include <vector>

#include "devices/families.h"
#include "model/physics.h"
#include "model/sensors.h"
#include "model/units.h"

namespace kelvex::sim {

struct Request;

// The parts of the satellite a unit reads and drives.
struct ModelParts {
    Physics& physics;
    Sensors& sensors;
    Units& units;
};

struct UnitModel {
    struct Read {
        devices::Op op;
        // The answer's values (after the header) to one request.
        std::vector<uint8_t> (*values)(ModelParts& m, const Request& r);
    };

    devices::FamilyId family;
    std::vector<Read> reads;
    // A three-axis unit's reading, counts in the device API's axes.
    Axes (*axes)(ModelParts& m, int unit) = nullptr;
    // Takes a commanded value (when powered) and gives what the unit holds.
    int16_t (*actuate)(ModelParts& m, int unit, int16_t value, bool on) = nullptr;
    // What the unit drives stops (or goes on again) as it dies (or is revived).
    void (*dead)(ModelParts& m, int unit, bool on) = nullptr;
};

// The family's row, or null when the model has none.
const UnitModel* unit_model(devices::FamilyId f);

}  // namespace kelvex::sim
