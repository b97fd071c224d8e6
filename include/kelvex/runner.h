/* Mission runner: configuration record, globals, transport, ground log, GPIO. */
#ifndef KELVEX_RUNNER_H
#define KELVEX_RUNNER_H

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

KELVEX_END_DECLS

#endif
