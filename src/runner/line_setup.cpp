#include "runner/line_setup.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "runner/buzz_channel.h"
#include "runner/transport.h"

namespace kelvex::runner {

void open_line_or_exit(const char* ttypath, SavedLine& saved)
{
    G.fd = tty_open(ttypath, &saved.tios, G.baud, G.flow_type, &saved.old_ispeed,
                    &saved.old_ospeed);
    if (G.fd < 0) {
        perror("tty_open");
        exit(1);
    }
    forget_line();
    if (strcmp(ttypath, "/dev/ptmx") == 0) {
        // A pseudo-terminal's speeds are not saved; restoring the ones it has
        // keeps tty_close from setting speed 0 at the end.
        saved.old_ispeed = cfgetispeed(&saved.tios);
        saved.old_ospeed = cfgetospeed(&saved.tios);
    }
}

void close_line(SavedLine& saved)
{
    tty_close(G.fd, &saved.tios, &saved.old_ispeed, &saved.old_ospeed);
}

void open_log_or_exit()
{
    switch (buzz_open(G.buzz_server, G.buzz_port)) {
    case BuzzOpen::ok:
        return;
    case BuzzOpen::socket_failed:
        perror("socket");
        exit(1);
    case BuzzOpen::bad_address:
        fputs("inet_aton() failed\n", stderr);
        exit(1);
    }
}

}  // namespace kelvex::runner
