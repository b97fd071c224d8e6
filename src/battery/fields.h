// Whole-field access to the 32-bit fields of the shared battery record, which
// other processes update at the same time.
#pragma once

#include <cstdint>
#include <cstring>

namespace kelvex::battery {

// The float fields are accessed through their bits.
typedef uint32_t __attribute__((may_alias)) Bits;
static_assert(sizeof(Bits) == sizeof(float), "32-bit floats");

inline float load(const float* field)
{
    const Bits bits = __atomic_load_n(reinterpret_cast<const Bits*>(field), __ATOMIC_RELAXED);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

inline void store(float* field, float v)
{
    Bits bits;
    std::memcpy(&bits, &v, sizeof bits);
    __atomic_store_n(reinterpret_cast<Bits*>(field), bits, __ATOMIC_RELAXED);
}

}  // namespace kelvex::battery
