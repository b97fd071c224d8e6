// Line and log bring-up for Python mission scripts: the runner's start-up
// without GPIO, banner, hello datagram or mission hook.
#include "bringup.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>

#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "runner/buzz_channel.h"
#include "runner/defaults.h"
#include "runner/greeting.h"

namespace {

// Saved by online() for offline(); zero until the line has been opened.
struct termios tios;
speed_t old_ispeed;
speed_t old_ospeed;

} // namespace

extern "C" {

void online(char* ttypath)
{
    using namespace kelvex::runner;
    // Only what the script left unset gets the built-in defaults.
    if (ftp_path == nullptr) {
        ftp_path = strdup(kDefaultFtpPath);
    }
    if (G.buzz_server == nullptr) {
        G.buzz_server = strdup(kGroundStation);
    }
    G.fd = tty_open(ttypath, &tios, G.baud, G.flow_type, &old_ispeed, &old_ospeed);
    if (G.fd < 0) {
        perror("tty_open");
        exit(1);
    }
    if (strcmp(ttypath, "/dev/ptmx") == 0) {
        // A pseudo-terminal's speeds are not saved; keeping the ones it has
        // stops offline() from setting speed 0.
        old_ispeed = cfgetispeed(&tios);
        old_ospeed = cfgetospeed(&tios);
    }
    cobs_greeting(G.fd);
    switch (buzz_open(G.buzz_server, G.buzz_port)) {
    case BuzzOpen::ok:
        break;
    case BuzzOpen::socket_failed:
        perror("socket");
        exit(1);
    case BuzzOpen::bad_address:
        fputs("inet_aton() failed\n", stderr);
        exit(1);
    }
}

void offline(void)
{
    tty_close(G.fd, &tios, &old_ispeed, &old_ospeed);
}

int buzz(char* str)
{
    return buzz_write(str, static_cast<int>(strlen(str)));
}

}
