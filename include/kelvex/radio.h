/* Radio, camera, instrument link and controller pass-through. */
#ifndef KELVEX_RADIO_H
#define KELVEX_RADIO_H

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

KELVEX_END_DECLS

#endif
