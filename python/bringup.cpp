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
