// The public codec: the fast paths of cobs_fast.cpp where they apply, the
// plain byte loop of cobs_reference.cpp everywhere else. Both give the same
// bytes and results; the fast paths only skip work their inputs cannot need.
#include "kelvex/cobs.h"

#include "link/cobs_fast.h"
#include "link/cobs_reference.h"

namespace {

// Room for the worst case: no bound check of the encoding can fire. Written
// so that no sum can wrap, whatever the sizes.
bool room_for_any_encoding(size_t dst_len, size_t src_len)
{
    if (src_len == 0) {
        return dst_len >= 1;
    }
    return src_len < dst_len && dst_len - src_len - 1 >= (src_len - 1) / 254;
}

}  // namespace

cobs_encode_result cobs_encode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                               const uint8_t* src_ptr, size_t src_len)
{
    if (dst_buf_ptr == nullptr || src_ptr == nullptr) {
        return {0, COBS_ENCODE_NULL_POINTER};
    }
    if (room_for_any_encoding(dst_buf_len, src_len)) {
        return {kelvex::link::fast::encode(dst_buf_ptr, src_ptr, src_len), COBS_ENCODE_OK};
    }
    return kelvex::link::reference::encode(dst_buf_ptr, dst_buf_len, src_ptr, src_len);
}

cobs_decode_result cobs_decode(uint8_t* dst_buf_ptr, size_t dst_buf_len,
                               const uint8_t* src_ptr, size_t src_len)
{
    if (dst_buf_ptr == nullptr || src_ptr == nullptr) {
        return {0, COBS_DECODE_NULL_POINTER};
    }
    // What the line delivers between two delimiters holds no zero; a zero is
    // a broken frame, which the byte loop takes apart as it must.
    if (src_len != 0) {
        const cobs_decode_result result = kelvex::link::fast::decode(dst_buf_ptr, dst_buf_len, src_ptr, src_len);
        if (result.status != kelvex::link::fast::kNotTaken) {
            return result;
        }
    }
    return kelvex::link::reference::decode(dst_buf_ptr, dst_buf_len, src_ptr, src_len);
}
