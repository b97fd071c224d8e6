#include "clock/choice.h"

#include <cstdlib>

namespace kelvex::sim {

bool choose_clock(const std::string& clock, const std::string& speed, bool judged,
                  ClockChoice& out, std::string& error)
{
    if (clock.empty()) {
        out.is_virtual = judged;
    } else if (clock == "virtual" || clock == "real") {
        out.is_virtual = clock == "virtual";
    } else {
        error = "--clock takes virtual or real, not '" + clock + "'";
        return false;
    }
    if (speed.empty()) {
        out.speed = out.is_virtual && judged ? 0 : 1;
        return true;
    }
    if (speed == "max") {
        out.speed = 0;
    } else {
        char* end = nullptr;
        const double v = std::strtod(speed.c_str(), &end);
        if (end == speed.c_str() || *end != '\0' || !(v > 0 && v <= 1e6)) {
            error = "--speed takes a number above 0 or max, not '" + speed + "'";
            return false;
        }
        out.speed = v;
    }
    if (!out.is_virtual && out.speed != 1) {
        error = "--speed needs --clock virtual: a real clock runs at its own pace";
        return false;
    }
    return true;
}

}  // namespace kelvex::sim
