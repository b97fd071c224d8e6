// The instrument link: one TCP connection per process to an instrument
// server, raw request bytes out, whatever arrives within a time budget in.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "devices/unit.h"
#include "common/unique_fd.h"
#include "kelvex/radio.h"

using namespace kelvex::devices;
using kelvex::common::UniqueFd;

namespace {

constexpr int kMeasureCapacity = 1024;

struct InstrInfo {
    int a;                    // 1 while attached
    int fd;                   // the link's socket
    struct hostent* ent;      // the resolver's, never freed
    struct sockaddr_in addr;  // the server
};

InstrInfo ii{};

using Clock = std::chrono::steady_clock;

int fd_set_blocking(int fd, bool blocking)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    return fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

// Milliseconds to the deadline for poll, rounded up so that the last wait
// does not wake early and poll again; 0 once it has passed.
int poll_wait(Clock::time_point deadline)
{
    const long long left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// The request goes out within the call's budget: a server that stops
// reading must not hold the call for ever.
int fd_write_until(int fd, const char* buf, size_t len, Clock::time_point deadline)
{
    while (len > 0) {
        // A server that has gone away must fail the call, not raise SIGPIPE
        // and end the mission.
        const ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            buf += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, poll_wait(deadline));
        if (ready == 0 || (ready < 0 && errno != EINTR)) {
            return -1;
        }
    }
    return 0;
}

// Collects what arrives until the budget is spent, a wait fails or a read
// fails. Once the server has closed or the buffer is full nothing more can
// come: the rest of the budget is slept, not polled, so that the call keeps
// its length without burning the processor.
int fd_read_nonblocking(int fd, char* out, int* count, int secs, Clock::time_point deadline)
{
    if (fd_set_blocking(fd, false) != 0) {
        *count = 0;
        return 1;
    }
    int n = 0;
    // A negative budget is spent before it starts.
    while (secs >= 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, poll_wait(deadline)) <= 0) {
            break;
        }
        const ssize_t got = ::read(fd, out + n, static_cast<size_t>(kMeasureCapacity - n));
        if (got < 0) {
            break;
        }
        n += static_cast<int>(got);
        if (got == 0 || n == kMeasureCapacity) {
            std::this_thread::sleep_until(deadline);
            break;
        }
    }
    *count = n;
    return 0;
}

}  // namespace

int instrument_attach(const char* name, uint16_t port)
{
    if (ii.a == 1) {
        return kFailed;
    }
    UniqueFd s(::socket(AF_INET, SOCK_STREAM, 0));
    if (s.get() < 0) {
        return kFailed;
    }
    ii.ent = gethostbyname(name);
    if (ii.ent == nullptr || ii.ent->h_addrtype != AF_INET || ii.ent->h_addr_list[0] == nullptr) {
        return kFailed;
    }
    std::memset(&ii.addr, 0, sizeof ii.addr);
    ii.addr.sin_family = AF_INET;
    std::memcpy(&ii.addr.sin_addr, ii.ent->h_addr_list[0],
                std::min(sizeof ii.addr.sin_addr, static_cast<size_t>(ii.ent->h_length)));
    ii.addr.sin_port = htons(port);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&ii.addr), sizeof ii.addr) != 0) {
        return kFailed;
    }
    ii.fd = s.release();
    ii.a = 1;
    return kDone;
}

int instrument_detach(void)
{
    if (ii.a != 1) {
        return kFailed;
    }
    ::close(ii.fd);
    ii.fd = -1;
    ii.a = 0;
    return kDone;
}

int instrument_measure(char* buf, int len, char** pa, int* pi, int secs)
{
    *pa = static_cast<char*>(std::calloc(kMeasureCapacity, 1));
    if (*pa == nullptr) {
        *pi = 0;
        return kFailed;
    }
    *pi = kMeasureCapacity;
    if (ii.a != 1) {
        return kFailed;
    }
    // One budget for the whole call, the request's writing included.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(secs);
    if (len != 0) {
        if (len < 0 || fd_write_until(ii.fd, buf, static_cast<size_t>(len), deadline) != 0) {
            return kFailed;
        }
    }
    if (fd_read_nonblocking(ii.fd, *pa, pi, secs, deadline) != 0) {
        return kFailed;
    }
    return *pi > 0 ? kDone : kFailed;
}
