// Deployment defaults fixed when the software is built.
#pragma once

#include "kelvex_build_config.h"

namespace kelvex::runner {

constexpr const char* kGroundStation = KELVEX_GROUND_STATION;
constexpr const char* kDefaultFtpPath = "ftp://" KELVEX_GROUND_STATION "/incoming";

} // namespace kelvex::runner
