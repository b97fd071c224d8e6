// Ground log channel: one UDP datagram per call to the ground station.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kelvex/runner.h"
#include "runner/buzz_channel.h"

namespace kelvex::runner {
namespace {

// -1 until set up, so that an early send fails cleanly instead of going to
// whatever descriptor 0 happens to be.
int buzz_sock = -1;
constexpr size_t kMaxDatagram = 65507;
sockaddr_in si_buzz{};

int send_datagram(const void* p, size_t n)
{
    const ssize_t sent = sendto(buzz_sock, p, n, 0, reinterpret_cast<const sockaddr*>(&si_buzz),
                                sizeof si_buzz);
    if (sent == -1) {
        perror("sendto");
    }
    return static_cast<int>(sent);
}

} // namespace

BuzzOpen buzz_open(const char* server, int port)
{
    const int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0) {
        return BuzzOpen::socket_failed;
    }
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(static_cast<uint16_t>(port));
    if (server == nullptr || inet_aton(server, &dest.sin_addr) == 0) {
        close(sock);
        return BuzzOpen::bad_address;
    }
    if (buzz_sock >= 0) {
        close(buzz_sock);
    }
    buzz_sock = sock;
    si_buzz = dest;
    return BuzzOpen::ok;
}

} // namespace kelvex::runner

extern "C" {

KELVEX_API int buzz_write(void* p, int n)
{
    if (n < 0) {
        errno = EINVAL;
        perror("sendto");
        return -1;
    }
    return kelvex::runner::send_datagram(p, static_cast<size_t>(n));
}

KELVEX_API int buzz_printf(const char* fmt, ...)
{
    size_t size = 1024;
    char* text = static_cast<char*>(malloc(size));
    if (text == nullptr) {
        return -1;
    }
    for (;;) {
        va_list args;
        va_start(args, fmt);
        const int n = vsnprintf(text, size, fmt, args);
        va_end(args);
        if (n >= 0 && static_cast<size_t>(n) < size) {
            const int sent = kelvex::runner::send_datagram(text, static_cast<size_t>(n));
            free(text);
            return sent;
        }
        // A format error keeps failing whatever the room; stop doubling once
        // the buffer exceeds the largest datagram UDP can carry.
        if (n < 0 && size > kelvex::runner::kMaxDatagram) {
            free(text);
            return -1;
        }
        size = n >= 0 ? static_cast<size_t>(n) + 1 : size * 2;
        char* grown = static_cast<char*>(realloc(text, size));
        if (grown == nullptr) {
            free(text);
            return -1;
        }
        text = grown;
    }
}

}
