/* Serial line, hex dump and millisecond sleep. */
#ifndef KELVEX_LINK_H
#define KELVEX_LINK_H

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

KELVEX_END_DECLS

#endif
