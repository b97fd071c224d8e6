#include "units.h"

namespace kelvex::sim {

uint32_t Units::mask(FamilyId f) const
{
    uint32_t m = 0;
    for (size_t i = 0; i < kMaxUnits; ++i) {
        if (on(f, static_cast<int>(i))) {
            m |= 1u << i;
        }
    }
    return m;
}

}  // namespace kelvex::sim
