// Stand-in for the ground station's log server when none runs: receives the
// mission's log datagrams on loopback and prints each as it arrives.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/unique_fd.h"

namespace kelvex::sim {

class LogListener {
public:
    static constexpr uint16_t kPort = 4567;

    // Binds 127.0.0.1:port. Throws std::system_error when the port is taken.
    explicit LogListener(uint16_t port = kPort, FILE* out = stdout);

    int fd() const { return sock_.get(); }
    // Prints every datagram waiting now, one per line.
    void drain();

private:
    common::UniqueFd sock_;
    FILE* out_;
};

}  // namespace kelvex::sim
