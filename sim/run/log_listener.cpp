#include "run/log_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "run/log_text.h"

namespace kelvex::sim {

common::UniqueFd bind_socket(int type, const std::string& address, uint16_t port)
{
    common::UniqueFd sock(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (!sock.valid()) {
        return sock;
    }
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        errno = EINVAL;
        return common::UniqueFd();
    }
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        sock.reset();
        errno = e;
    }
    return sock;
}

LogListener::LogListener(const std::string& address, uint16_t port, const std::string& log_path,
                         std::function<void(const std::string&)> on_line)
    : sock_(bind_socket(SOCK_DGRAM, address, port)), on_line_(std::move(on_line))
{
    if (!sock_.valid()) {
        throw std::system_error(errno, std::generic_category(),
                                "bind " + address + ":" + std::to_string(port));
    }
    if (!log_path.empty()) {
        log_.reset(std::fopen(log_path.c_str(), "ae"));
        if (!log_) {
            throw std::system_error(errno, std::generic_category(), log_path);
        }
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
        const std::string text = log_text(buf, static_cast<size_t>(n));
        if (log_) {
            const double now = std::chrono::duration<double>(
                std::chrono::system_clock::now().time_since_epoch()).count();
            std::fprintf(log_.get(), "%s %s\n", log_stamp(now).c_str(), text.c_str());
            std::fflush(log_.get());
        }
        on_line_(text);
    }
}

}  // namespace kelvex::sim
