// Transmitter, receiver and transceiver operations beyond the common pattern.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "devices/shell_command.h"
#include "devices/perform.h"
#include "kelvex/devices.h"
#include "kelvex/link.h"
#include "kelvex/radio.h"
#include "kelvex/runner.h"

using namespace kelvex::devices;

namespace {

constexpr size_t kPiece = 32;         // data bytes per transceiver message
constexpr int kPiecePauseMs = 100;    // after every piece, the last included

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

int transmitter_turn_on(uint16_t num) { return perform<OperationId::transmitter_turn_on>(num); }

int transmitter_turn_off(uint16_t num) { return perform<OperationId::transmitter_turn_off>(num); }

int transmitter_transmit_photo(uint16_t num, uint16_t nPhoto) { return transmitter_transmit_photo_ftp(num, nPhoto); }

int receiver_request_state(uint16_t num, float* quality)
{
    return perform<OperationId::receiver_request_state>(num, quality);
}

namespace kelvex::devices {

int send_pieces(const Target& t, uint16_t num, uint16_t to, const uint8_t* data, uint16_t len)
{
    if (to > t.family->highest) {
        return kFailed;
    }
    if (const int g = guard(*t.family, num); g != kDone) {
        return g;
    }
    int r = kDone;
    for (size_t done = 0; done < len && r == kDone;) {
        const size_t n = std::min<size_t>(len - done, kPiece);
        Message m(t, num);
        m.u16(to);
        m.bytes(data + done, n);
        r = command(m);
        msleep(kPiecePauseMs);
        done += n;
    }
    return r;
}

}  // namespace kelvex::devices

int transceiver_send(uint16_t tx_num, uint16_t rx_num, const uint8_t* data, uint16_t len)
{
    return perform<OperationId::transceiver_send>(tx_num, rx_num, data, len);
}

int transceiver_request_buff(uint16_t num, uint8_t* data) { return perform<OperationId::transceiver_request_buff>(num, data); }
