/* The shared records as a C mission sees them. Compiled as C into the layout
 * suite, which compares these numbers with what C++ sees. */
#include "layout_facts.h"

_Static_assert(sizeof(VirtualAccumulator) == 24, "the battery record is 24 bytes");
_Static_assert(offsetof(VirtualAccumulator, charge) == 0, "charge at 0");
_Static_assert(offsetof(VirtualAccumulator, charge_limit) == 8, "charge_limit at 8");
_Static_assert(offsetof(VirtualAccumulator, discharge_limit) == 12, "discharge_limit at 12");
_Static_assert(offsetof(VirtualAccumulator, charging_current) == 16, "charging_current at 16");
_Static_assert(offsetof(VirtualAccumulator, discharging_current) == 20,
               "discharging_current at 20");

size_t kelvex_layout_seen_from_c[] = {KELVEX_LAYOUT_FACTS};
size_t kelvex_layout_fact_count = sizeof kelvex_layout_seen_from_c / sizeof(size_t);
