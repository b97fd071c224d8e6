// Pass-through to the transport and the utilities, for missions and scripts.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "kelvex/devices.h"
#include "kelvex/link.h"
#include "kelvex/runner.h"

namespace {

constexpr int kRawAnswerCapacity = 128;

using Exchange = int (*)(uint8_t**, int*, const uint8_t*, int);

int raw_request(Exchange exchange, const uint8_t* z, int n, uint8_t** zz, int* nn)
{
    *zz = static_cast<uint8_t*>(std::calloc(kRawAnswerCapacity, 1));
    if (*zz == nullptr) {
        *nn = 0;
        return 1;
    }
    *nn = kRawAnswerCapacity;
    return exchange(zz, nn, z, n);
}

}  // namespace

int cobs_command(const uint8_t* z, int n) { return do_command(z, n); }

int cobs_single_request(const uint8_t* z, int n, uint8_t** zz, int* nn)
{
    return raw_request(do_single_request, z, n, zz, nn);
}

int cobs_request(const uint8_t* z, int n, uint8_t** zz, int* nn) { return raw_request(do_request, z, n, zz, nn); }

int bus_setup(void) { return do_setup_bus(); }

void Sleep(int sec)
{
    // A negative count would become an unsigned sleep of decades.
    if (sec > 0) {
        sleep(static_cast<unsigned>(sec));
    }
}

void mSleep(int msec) { msleep(msec); }

void dump_buffer(uint8_t* buf, size_t len) { diag_vdump_buf_with_offset(printf, buf, len, buf); }
