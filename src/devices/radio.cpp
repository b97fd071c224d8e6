// Transmitter, receiver and transceiver operations beyond the common pattern.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "devices/shell_command.h"
#include "devices/unit.h"
#include "kelvex/devices.h"
#include "kelvex/link.h"
#include "kelvex/radio.h"
#include "kelvex/runner.h"

using namespace kelvex::devices;

namespace {

constexpr size_t kPiece = 32;         // data bytes per transceiver message
constexpr int kPiecePauseMs = 100;    // after every piece, the last included
constexpr size_t kTransceiverBuffer = 32;

// The unit must confirm the switch before it is booked.
template <Op O>
int switch_transmitter(uint16_t num)
{
    const Family& f = family(F::transmitter);
    if (num > f.highest) {
        return kFailed;
    }
    Answer a;
    if (a.request(Message(target<F::transmitter, O>(), num)) != 0) {
        return kFailed;
    }
    if constexpr (O == Op::turn_on) {
        book_on(f, num);
    } else {
        book_off(f, num);
    }
    return kDone;
}

int transmitter_transmit_photo_ftp(uint16_t num, uint16_t nPhoto)
{
    if (transmitter_get_state(num) == 0) {
        return kOff;
    }
    // A destination beginning with "-" would reach curl as one of its
    // options (-K names a file of further options), not as a URL.
    if (ftp_path == nullptr || ftp_path[0] == '-') {
        return kFailed;
    }
    CommandLine z;
    if (!upload_command(z, ftp_path, nPhoto, std::time(nullptr))) {
        return kFailed;
    }
    return run_command(z);
}

}  // namespace

int transmitter_turn_on(uint16_t num) { return switch_transmitter<Op::turn_on>(num); }

int transmitter_turn_off(uint16_t num) { return switch_transmitter<Op::turn_off>(num); }

int transmitter_transmit_photo(uint16_t num, uint16_t nPhoto) { return transmitter_transmit_photo_ftp(num, nPhoto); }

int receiver_request_state(uint16_t num, float* quality)
{
    uint16_t w[2];
    const int r = read_words(target<F::receiver, Op::request_state>(), num, w, 2);
    if (r == kDone) {
        const uint32_t bits = static_cast<uint32_t>(w[0]) | (static_cast<uint32_t>(w[1]) << 16);
        std::memcpy(quality, &bits, sizeof *quality);
    }
    return r;
}

int transceiver_send(uint16_t tx_num, uint16_t rx_num, const uint8_t* data, uint16_t len)
{
    const Target t = target<F::transceiver, Op::send>();
    if (rx_num > t.family->highest) {
        return kFailed;
    }
    if (const int g = guard(*t.family, tx_num); g != kDone) {
        return g;
    }
    int r = kDone;
    for (size_t done = 0; done < len && r == kDone;) {
        const size_t n = std::min<size_t>(len - done, kPiece);
        Message m(t, tx_num);
        m.u16(rx_num);
        m.bytes(data + done, n);
        r = command(m);
        msleep(kPiecePauseMs);
        done += n;
    }
    return r;
}

int transceiver_request_buff(uint16_t num, uint8_t* data)
{
    std::memset(data, 0, kTransceiverBuffer);
    uint16_t w[kTransceiverBuffer / 2];
    const int r = read_words(target<F::transceiver, Op::request_buff>(), num, w, kTransceiverBuffer / 2);
    if (r == kDone) {
        for (size_t i = 0; i < kTransceiverBuffer / 2; ++i) {
            data[2 * i] = static_cast<uint8_t>(w[i] & 0xFF);
            data[2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
        }
    }
    return r;
}
