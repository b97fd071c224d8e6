// Serial line to the bus controller, or a pseudo-terminal master standing in
// for it on a desk.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "kelvex/link.h"

namespace kelvex::link {
namespace {

struct BaudRow {
    int bps;
    speed_t code;
};

#define BAUD(n) {n, B##n}
constexpr BaudRow kBaudTable[] = {
    BAUD(9600), BAUD(19200), BAUD(38400), BAUD(57600), BAUD(115200),
};
#undef BAUD

// There is no error return for a speed the kit can't run: both callers would
// end the program anyway.
speed_t int2cbaud(int baudrate)
{
    for (const BaudRow& row : kBaudTable) {
        if (row.bps == baudrate) {
            return row.code;
        }
    }
    fprintf(stderr, "No support for B%d\n", baudrate);
    exit(1);
}

int open_ptmx(int line, termios* tios)
{
    tios->c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOPRT | ECHOKE);
    // INLCR stays cleared as the raw preset leaves it: mapping NL to CR would
    // turn every 0x0A of a frame into 0x0D on the simulator's side.
    tios->c_iflag &= ~ICRNL;
    if (tcsetattr(line, TCSANOW, tios) != 0 || grantpt(line) != 0 || unlockpt(line) != 0) {
        return -1;
    }
    const char* slave = ptsname(line);
    if (slave == nullptr) {
        return -1;
    }
    printf("pseudo-terminal is %s\n", slave);
    return line;
}

int open_serial(int line, termios* tios, int baudrate, int flow_type, speed_t* old_ispeed,
                speed_t* old_ospeed)
{
    *old_ispeed = cfgetispeed(tios);
    *old_ospeed = cfgetospeed(tios);
    tios->c_iflag &= ~IXOFF;
    tios->c_cflag &= ~CRTSCTS;
    const speed_t code = int2cbaud(baudrate);
    cfsetispeed(tios, code);
    cfsetospeed(tios, code);
    if (flow_type == 1) {
        tios->c_cflag |= CRTSCTS;
    } else if (flow_type == 2) {
        tios->c_iflag |= IXON | IXOFF;
    }
    tios->c_cc[VMIN] = 1;
    tios->c_cc[VTIME] = 0;
    tcsetattr(line, TCSADRAIN, tios);
    return line;
}

} // namespace
} // namespace kelvex::link

extern "C" {

KELVEX_API int tty_open(const char* ttypath, struct termios* tios, int baudrate, int flow_type,
                        speed_t* old_ispeed, speed_t* old_ospeed)
{
    using namespace kelvex::link;
    const bool pty = strcmp(ttypath, "/dev/ptmx") == 0;
    // Both callers end the program when this fails, so a descriptor opened
    // before a later failure is left to the exit.
    const int line = open(ttypath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line < 0) {
        return -1;
    }
    memset(tios, 0, sizeof *tios);
    if (tcgetattr(line, tios) != 0) {
        return -1;
    }
    cfmakeraw(tios);
    if (pty) {
        return open_ptmx(line, tios);
    }
    return open_serial(line, tios, baudrate, flow_type, old_ispeed, old_ospeed);
}

KELVEX_API int tty_close(int fd, struct termios* tios, speed_t* old_ispeed, speed_t* old_ospeed)
{
    cfsetispeed(tios, *old_ispeed);
    cfsetospeed(tios, *old_ospeed);
    tcsetattr(fd, TCSADRAIN, tios);
    return close(fd);
}

}
