// What the rest of the runner tells the request transport.
#pragma once

namespace kelvex::runner {

// A line was opened into G.fd: whatever it already holds is discarded before
// its first request, even if its descriptor has the number of an earlier one.
void forget_line();

}  // namespace kelvex::runner
