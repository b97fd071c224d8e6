/** @file
 * Everything a mission program needs: include this one header. */
#ifndef KELVEX_KELVEX_H
#define KELVEX_KELVEX_H

#include "kelvex/cobs.h"
#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "kelvex/devices.h"
#include "kelvex/battery.h"
#include "kelvex/radio.h"

#endif
