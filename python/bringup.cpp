// Line and log bring-up for Python mission scripts: the runner's start-up
// without GPIO, banner, hello datagram or mission hook.
#include "bringup.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelvex/link.h"
#include "kelvex/runner.h"
#include "runner/line_setup.h"
#include "runner/defaults.h"
#include "runner/greeting.h"

namespace {

// Saved by online() for offline(); zero until the line has been opened.
kelvex::runner::SavedLine saved_line;

// A desk seam like KELVEX_GPIO_ROOT: the virtual satellite hands each run's
// script the loopback address of that run's own ground station, so that an
// unchanged script logs to it. A script that chose an address keeps it.
void log_server_from_environment()
{
    using namespace kelvex::runner;
    const char* ground = getenv("KELVEX_GROUND");
    if (ground == nullptr || *ground == '\0') {
        return;
    }
    if (G.buzz_server == nullptr || strcmp(G.buzz_server, kGroundStation) == 0) {
        free(G.buzz_server);
        G.buzz_server = strdup(ground);
    }
}

} // namespace

extern "C" {

void online(char* ttypath)
{
    using namespace kelvex::runner;
    // Only what the script left unset gets the built-in defaults.
    if (ftp_path == nullptr) {
        ftp_path = strdup(kDefaultFtpPath);
    }
    log_server_from_environment();
    if (G.buzz_server == nullptr) {
        G.buzz_server = strdup(kGroundStation);
    }
    open_line_or_exit(ttypath, saved_line);
    cobs_greeting(G.fd);
    open_log_or_exit();
}

void offline(void)
{
    kelvex::runner::close_line(saved_line);
}

int buzz(char* str)
{
    return buzz_write(str, static_cast<int>(strlen(str)));
}

}
