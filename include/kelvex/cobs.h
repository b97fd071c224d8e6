/** @file
 * COBS framing of the messages on the serial line.
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

/** How an encoding ended. */
typedef enum {
    COBS_ENCODE_OK = 0x00,                 /**< the whole input is encoded */
    COBS_ENCODE_NULL_POINTER = 0x01,       /**< dst or src is null; nothing written */
    COBS_ENCODE_OUT_BUFFER_OVERFLOW = 0x02 /**< dst was too small; it holds a cut frame */
} cobs_encode_status;

/** Result of cobs_encode(), returned by value. */
typedef struct {
    size_t out_len;            /**< bytes written to dst */
    cobs_encode_status status; /**< how the encoding ended */
} cobs_encode_result;

/** How a decoding ended. A bit set: several values may be combined, except
 * NULL_POINTER. */
typedef enum {
    COBS_DECODE_OK = 0x00,                  /**< a valid frame, decoded whole */
    COBS_DECODE_NULL_POINTER = 0x01,        /**< dst or src is null; nothing written */
    COBS_DECODE_OUT_BUFFER_OVERFLOW = 0x02, /**< dst was too small; decoding stopped at its end */
    COBS_DECODE_ZERO_BYTE_IN_INPUT = 0x04,  /**< the input holds a zero byte (a delimiter) */
    COBS_DECODE_INPUT_TOO_SHORT = 0x08      /**< the input ends inside a block */
} cobs_decode_status;

/** Result of cobs_decode(), returned by value. */
typedef struct {
    size_t out_len;            /**< bytes written to dst, whatever the status */
    cobs_decode_status status; /**< how the decoding ended */
} cobs_decode_result;

/** Encodes src_len bytes into dst (capacity dst_buf_len). An input of n >= 1
 * bytes needs at most n + 1 + (n - 1) / 254 bytes; an empty input gives 01.
 * On overflow out_len equals dst_buf_len and the buffer holds a cut frame.
 * Both buffers stay the caller's; nothing is allocated.
 * @return the bytes written and the status. */
KELVEX_API cobs_encode_result cobs_encode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                                          const uint8_t* src_ptr, size_t src_len);

/** Decodes src_len encoded bytes (without the delimiter) into dst (capacity
 * dst_buf_len). Both buffers stay the caller's; nothing is allocated.
 * @return the bytes written (whatever the status) and the status bits. */
KELVEX_API cobs_decode_result cobs_decode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                                          const uint8_t* src_ptr, size_t src_len);

KELVEX_END_DECLS

#endif
