/* COBS framing of the messages on the serial line.
 *
 * The codec works on caller buffers, never allocates and never reads or
 * writes beyond the lengths it is given. It neither adds nor removes the zero
 * byte that ends a frame on the line. */
#ifndef KELVEX_COBS_H
#define KELVEX_COBS_H

#include <stddef.h>
#include <stdint.h>

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

typedef enum {
    COBS_ENCODE_OK = 0x00,
    COBS_ENCODE_NULL_POINTER = 0x01,
    COBS_ENCODE_OUT_BUFFER_OVERFLOW = 0x02
} cobs_encode_status;

typedef struct {
    size_t out_len;
    cobs_encode_status status;
} cobs_encode_result;

/* Bit set: several values may be combined, except NULL_POINTER. */
typedef enum {
    COBS_DECODE_OK = 0x00,
    COBS_DECODE_NULL_POINTER = 0x01,
    COBS_DECODE_OUT_BUFFER_OVERFLOW = 0x02,
    COBS_DECODE_ZERO_BYTE_IN_INPUT = 0x04,
    COBS_DECODE_INPUT_TOO_SHORT = 0x08
} cobs_decode_status;

typedef struct {
    size_t out_len;
    cobs_decode_status status;
} cobs_decode_result;

/* Encodes src_len bytes into dst (capacity dst_buf_len). An input of n >= 1
 * bytes needs at most n + 1 + (n - 1) / 254 bytes; an empty input gives 01.
 * On overflow out_len equals dst_buf_len and the buffer holds a cut frame. */
KELVEX_API cobs_encode_result cobs_encode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                                          const uint8_t* src_ptr, size_t src_len);

/* Decodes src_len encoded bytes (without the delimiter) into dst. out_len is
 * the number of bytes written whatever the status. */
KELVEX_API cobs_decode_result cobs_decode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                                          const uint8_t* src_ptr, size_t src_len);

KELVEX_END_DECLS

#endif
