/* The layout facts of the shared records, one list evaluated by the C and the
 * C++ compiler alike (tests/abi/layout_check.c, tests/abi/layout_test.cpp). */
#ifndef KELVEX_TESTS_LAYOUT_FACTS_H
#define KELVEX_TESTS_LAYOUT_FACTS_H

#include <stddef.h>

#include "kelvex/battery.h"
#include "kelvex/cobs.h"

#define KELVEX_LAYOUT_FACTS                           \
    sizeof(VirtualAccumulator),                       \
    offsetof(VirtualAccumulator, charge),             \
    offsetof(VirtualAccumulator, charge_limit),       \
    offsetof(VirtualAccumulator, discharge_limit),    \
    offsetof(VirtualAccumulator, charging_current),   \
    offsetof(VirtualAccumulator, discharging_current), \
    sizeof(cobs_encode_result),                       \
    offsetof(cobs_encode_result, out_len),            \
    offsetof(cobs_encode_result, status),             \
    sizeof(cobs_decode_result),                       \
    offsetof(cobs_decode_result, out_len),            \
    offsetof(cobs_decode_result, status),             \
    sizeof(cobs_encode_status),                       \
    sizeof(cobs_decode_status)

#endif
