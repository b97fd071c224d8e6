/* Device API: request header, unit families, sensors, actuators, pass-through. */
#ifndef KELVEX_DEVICES_H
#define KELVEX_DEVICES_H

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

KELVEX_END_DECLS

#endif
