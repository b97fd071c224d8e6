#include "model/units.h"

namespace kelvex::sim {

Units::Units()
{
    for (const devices::Family& f : devices::kFamilyTable) {
        units_[index(f.id)].resize(devices::unit_count(f.id));
    }
}

uint32_t Units::mask(FamilyId f) const
{
    uint32_t m = 0;
    for (size_t i = 0; i < count(f) && i < 32; ++i) {
        if (units_[index(f)][i].powered) {
            m |= 1u << i;
        }
    }
    return m;
}

}  // namespace kelvex::sim
