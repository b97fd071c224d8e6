/* Battery model: shared record, consumption accounting, integration loop. */
#ifndef KELVEX_BATTERY_H
#define KELVEX_BATTERY_H

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

KELVEX_END_DECLS

#endif
