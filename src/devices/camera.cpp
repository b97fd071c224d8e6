// Photos with the board's camera, through the external capture tool.
#include <sys/stat.h>

#include "devices/shell_command.h"
#include "devices/unit.h"
#include "kelvex/devices.h"
#include "kelvex/radio.h"

using namespace kelvex::devices;

int camera_take_photo(uint16_t num)
{
    if (camera_get_state() == 0) {
        return kOff;
    }
    // An existing directory is fine; any other failure shows as the tool's.
    (void)mkdir(kPhotoDirectory, 0775);
    CommandLine z;
    if (!capture_command(z, num)) {
        return kFailed;
    }
    return run_command(z);
}
