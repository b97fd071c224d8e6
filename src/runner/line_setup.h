// Start-up steps shared by the mission runner and the Python bring-up. Both
// end the process on failure, as a mission cannot run without its line and
// log channel.
#pragma once

#include <termios.h>

namespace kelvex::runner {

// What tty_open saved and tty_close puts back.
struct SavedLine {
    termios tios{};
    speed_t old_ispeed = 0;
    speed_t old_ospeed = 0;
};

// Opens the bus line into G.fd with G.baud and G.flow_type; reports
// "tty_open" and exits with 1 when it cannot be opened.
void open_line_or_exit(const char* ttypath, SavedLine& saved);

// Restores the saved speeds and closes G.fd (which keeps its value).
void close_line(SavedLine& saved);

// Sets up the ground log channel to G.buzz_server:G.buzz_port; reports
// "socket" or "inet_aton() failed" and exits with 1 on failure.
void open_log_or_exit();

}  // namespace kelvex::runner
