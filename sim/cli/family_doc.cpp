#include "cli/family_doc.h"

#include <cstdio>

#include "devices/families.h"

namespace kelvex::sim {
namespace {

using devices::Family;
using devices::Op;

const char* booked_on(const Family& f)
{
    if (!f.switched()) {
        return "never switched";
    }
    if (f.has(Op::turn_on)) {
        return "`turn_on`, when the unit answers (each time)";
    }
    return f.op_count > 0 ? "`turn_on` (sends the unit's reset)" : "`turn_on` (no message: the board's own)";
}

const char* booked_off(const Family& f)
{
    if (!f.switched()) {
        return "";
    }
    return f.has(Op::turn_off) ? "`turn_off`, when the unit answers" : "`turn_off`: nothing is sent";
}

}  // namespace

std::string families_markdown()
{
    std::string md = "| Family | Units | Draw per unit, mA | Booked on by | Booked off by |\n|---|---|---|---|---|\n";
    for (const Family& f : devices::kFamilyTable) {
        char draw[32];
        std::snprintf(draw, sizeof draw, "%.1f", f.switched() ? f.consumption : 0.0f);
        md += std::string("| `") + f.prefix + "` | " + std::to_string(devices::unit_count(f.id)) + " | " +
              (f.switched() ? draw : "none") + " | " + booked_on(f) + " | " + booked_off(f) + " |\n";
    }
    return md;
}

}  // namespace kelvex::sim
