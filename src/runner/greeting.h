// The greeting frame that tells the bus controller the computer is up.
#pragma once

namespace kelvex::runner {

// Writes "HI ALL!" with its terminator as one COBS frame and its delimiter
// to line (ten bytes), with the labelled dumps at debug > 1. A short write
// is reported with the prefix "write" and otherwise ignored.
void cobs_greeting(int line);

} // namespace kelvex::runner
