// Set-up of the ground log channel, shared by the runner's start-up and the
// Python module's bring-up. The socket and destination stay private to
// buzz.cpp; the channel's exported operations only send.
#pragma once

namespace kelvex::runner {

enum class BuzzOpen {
    ok = 0,
    socket_failed, // errno as socket() left it
    bad_address,   // server is not a dotted IPv4 address
};

// Creates a new UDP socket and aims the channel at server:port. A failed
// set-up leaves the channel as it was.
BuzzOpen buzz_open(const char* server, int port);

} // namespace kelvex::runner
