// A log datagram as one printable line, exactly as the ground station writes
// it into log.txt: so that the console, the file and the page agree, and no
// sender's control sequence ever reaches a terminal.
#pragma once

#include <cstddef>
#include <string>

namespace kelvex::sim {

// Drops one trailing newline; escapes the backslash (\\), line feed (\n),
// carriage return (\r), other control bytes but the tab, DEL and bytes that
// are not UTF-8 (\xNN).
std::string log_text(const char* data, size_t n);

// "YYYY-mm-dd HH:MM:SS.mmm", local time, as log.txt stamps a line.
std::string log_stamp(double unix_time);

}  // namespace kelvex::sim
