#include "log_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

namespace kelvex::sim {

LogListener::LogListener(uint16_t port, FILE* out)
    : sock_(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)), out_(out)
{
    if (!sock_.valid()) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sock_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::system_error(errno, std::generic_category(), "bind 127.0.0.1:4567");
    }
}

void LogListener::drain()
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(sock_.get(), buf, sizeof buf, 0);
        if (n < 0) {
            return;
        }
        size_t len = static_cast<size_t>(n);
        while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\0')) {
            --len;
        }
        std::fprintf(out_, "[ground] %.*s\n", static_cast<int>(len), buf);
        std::fflush(out_);
    }
}

}  // namespace kelvex::sim
