// Stand-in for the ground station's log server when none runs: receives the
// mission's log datagrams on its run's loopback address, prints each as it
// arrives and keeps them in a log file of the station's format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "common/unique_fd.h"

namespace kelvex::sim {

class LogListener {
public:
    static constexpr uint16_t kPort = 4567;

    // Binds address:port. Throws std::system_error (with the bind's error
    // code: EADDRINUSE when another run has the address) on failure. An
    // empty `log_path` keeps no file. `on_line` gets each datagram's text,
    // escaped as in the file.
    LogListener(const std::string& address, uint16_t port, const std::string& log_path,
                std::function<void(const std::string&)> on_line);

    int fd() const { return sock_.get(); }
    // Takes every datagram waiting now.
    void drain();

private:
    struct FileCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    common::UniqueFd sock_;
    std::unique_ptr<FILE, FileCloser> log_;
    std::function<void(const std::string&)> on_line_;
};

// Binds a socket of `type` (SOCK_DGRAM, SOCK_STREAM) to address:port;
// returns it, or an invalid Fd with errno set.
common::UniqueFd bind_socket(int type, const std::string& address, uint16_t port);

}  // namespace kelvex::sim
