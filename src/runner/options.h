// Command line of the mission runner.
#pragma once

namespace kelvex::runner {

// The program path without its directories.
const char* program_name(const char* path);

// Parses the options into G and the globals. Prints the usage text and exits
// with 1 on a bad option, "-h" or anything but one operand; "-v" prints the
// build line and exits with 0. Returns the operand (the line's path).
const char* parse_options(int argc, char** argv);

} // namespace kelvex::runner
