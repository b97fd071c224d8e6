#include "devices/shell_command.h"

#include <cstdlib>

#include "devices/unit.h"

namespace kelvex::devices {

int run_command(const char* z)
{
    // What the mission printed so far comes before the tool's own output.
    std::fflush(nullptr);
    // The capture and upload tools are outside the system: only their command
    // lines and exit status are fixed, and the board's shell finds them on
    // its PATH and runs them in the mission's working directory, where the
    // relative "photos" names point.
    return std::system(z) == 0 ? kDone : kFailed;
}

}  // namespace kelvex::devices
