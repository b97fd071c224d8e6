/* The smallest useful mission: greet the ground station, then ask sun
 * battery 0 for its raw reading through the request transport.
 *
 *   cc hello_mission.c $(pkg-config --cflags --libs kelvex) -o hello_mission
 *   ./hello_mission /dev/ptmx      (then attach a simulator to the printed pty)
 */
#include <stdint.h>
#include <stdio.h>

#include "kelvex/kelvex.h"

void control(void)
{
    /* msg_code 0x2300, dev_addr 0x0230, src_addr 1, little-endian. */
    const uint8_t request[6] = {0x00, 0x23, 0x30, 0x02, 0x01, 0x00};
    uint8_t answer[64];
    uint8_t* p = answer;
    int n = sizeof answer;

    buzz_printf("hello from orbit, %d retries of %d ms\n", G.retries, G.timeout);
    if (do_request(&p, &n, request, sizeof request) == 0 && n >= 8) {
        const unsigned raw = answer[6] | (unsigned)answer[7] << 8;
        printf("sun battery 0 reads %u\n", raw);
        buzz_printf("sun battery 0 reads %u\n", raw);
    } else {
        printf("no answer from the bus controller\n");
    }
}
