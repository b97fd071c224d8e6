// Program entry of every mission program.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "runner/buzz_channel.h"
#include "runner/defaults.h"
#include "runner/greeting.h"
#include "runner/options.h"

KELVEX_API int main(int argc, char** argv)
{
    using namespace kelvex::runner;

    // One ordered stream: reports, dumps and messages interleave as they
    // happen.
    setvbuf(stdout, nullptr, _IONBF, 0);
    dup2(STDOUT_FILENO, STDERR_FILENO);

    ftp_path = strdup(kDefaultFtpPath);

    // Line 17 is made an input at every start; sysfs needs a moment after
    // the export before the line's files can be written.
    if (GPIOExport(17) != 0) {
        printf("Gpio config error.\n");
        exit(1);
    }
    sleep(1);
    if (GPIODirection(17, 0) != 0) {
        printf("Gpio config error.\n");
        exit(1);
    }
    sleep(1);

    G.baud = 115200;
    G.flow_type = 0;
    G.buzz_server = strdup(kGroundStation);
    const char* ttypath = parse_options(argc, argv);
    const char* name = program_name(argv[0]);

    termios tios{};
    speed_t old_ispeed = 0;
    speed_t old_ospeed = 0;
    G.fd = tty_open(ttypath, &tios, G.baud, G.flow_type, &old_ispeed, &old_ospeed);
    if (G.fd < 0) {
        perror("tty_open");
        exit(1);
    }
    if (strcmp(ttypath, "/dev/ptmx") == 0) {
        // A pseudo-terminal's speeds are not saved; restoring the ones it has
        // keeps tty_close from setting speed 0 at the end.
        old_ispeed = cfgetispeed(&tios);
        old_ospeed = cfgetospeed(&tios);
    }
    version(name);

    switch (buzz_open(G.buzz_server, G.buzz_port)) {
    case BuzzOpen::ok:
        break;
    case BuzzOpen::socket_failed:
        perror("socket");
        exit(1);
    case BuzzOpen::bad_address:
        fprintf(stderr, "inet_aton() failed\n");
        exit(1);
    }
    buzz_printf("The %s says 'HELLO' to %s:%d\n", name, G.buzz_server, G.buzz_port);

    printf("Start mission\n");
    cobs_greeting(G.fd);
    control();
    tty_close(G.fd, &tios, &old_ispeed, &old_ospeed);
    printf("Finish mission\n");
    return 0;
}
