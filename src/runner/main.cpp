// Program entry of every mission program.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "runner/defaults.h"
#include "runner/greeting.h"
#include "runner/line_setup.h"
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

    SavedLine line;
    open_line_or_exit(ttypath, line);
    version(name);
    open_log_or_exit();
    buzz_printf("The %s says 'HELLO' to %s:%d\n", name, G.buzz_server, G.buzz_port);

    printf("Start mission\n");
    cobs_greeting(G.fd);
    control();
    close_line(line);
    printf("Finish mission\n");
    return 0;
}
