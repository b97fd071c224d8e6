// Bytes on the line and datagrams to the run's station are counted both
// ways, so that the clock never moves with anything in flight.
#include "interpose.h"

using namespace kelvex::clock;

#pragma GCC visibility push(default)
extern "C" {

// ---- the line's bytes, counted so the clock never moves with bytes in flight ---

ssize_t write(int fd, const void* buf, size_t n)
{
    REAL(write);
    if (n == 0 || !is_line(fd)) {
        return real_write(fd, buf, n);
    }
    // Counted before it is written, so that the simulator never reads more
    // than it was told of; it is woken by the bytes themselves. What the
    // line did not take is taken back, and the simulator rung, as it may
    // wait for the rest.
    g_seg->mission_tx.fetch_add(n);
    const ssize_t r = real_write(fd, buf, n);
    const size_t unsent = r < 0 ? n : n - static_cast<size_t>(r);
    if (unsent != 0) {
        const int err = errno;
        g_seg->mission_tx.fetch_sub(unsent);
        ring();
        errno = err;
    }
    return r;
}

ssize_t read(int fd, void* buf, size_t n)
{
    REAL(read);
    const ssize_t r = real_read(fd, buf, n);
    if (r > 0 && is_line(fd)) {
        g_seg->mission_rx.fetch_add(static_cast<uint64_t>(r));
    }
    return r;
}

// ---- descriptors closed or replaced: no longer known to be the line -------------

int close(int fd)
{
    REAL(close);
    forget_fd(fd);
    return real_close(fd);
}

int dup2(int from, int to)
{
    REAL(dup2);
    if (from != to) {
        forget_fd(to);
    }
    return real_dup2(from, to);
}

int dup3(int from, int to, int flags)
{
    REAL(dup3);
    forget_fd(to);
    return real_dup3(from, to, flags);
}

int close_range(unsigned first, unsigned last, int flags)
{
    REAL(close_range);
    forget_fds(first, last);
    return real_close_range(first, last, flags);
}

int fclose(FILE* f)
{
    REAL(fclose);
    if (f != nullptr) {
        forget_fd(fileno(f));
    }
    return real_fclose(f);
}

int tcflush(int fd, int queue)
{
    REAL(tcflush);
    const int r = real_tcflush(fd, queue);
    if (r == 0 && (queue == TCIFLUSH || queue == TCIOFLUSH) && is_line(fd)) {
        // Whatever the simulator sent is gone: none of it is still on its way.
        uint64_t sent = g_seg->sim_tx.load();
        uint64_t got = g_seg->mission_rx.load();
        while (got < sent && !g_seg->mission_rx.compare_exchange_weak(got, sent)) {
        }
    }
    return r;
}

// ---- datagrams to the run's station ---------------------------------------------

ssize_t sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* to, socklen_t len)
{
    REAL(sendto);
    bool counted = false;
    if (active() && g_seg->ground[0] && to && to->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        char addr[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(to)->sin_addr, addr, sizeof addr);
        int type = 0;
        socklen_t tl = sizeof type;
        counted = strcmp(addr, g_seg->ground) == 0 &&
                  getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) == 0 && type == SOCK_DGRAM;
        if (counted) {
            g_seg->dgrams_sent.fetch_add(1);
        }
    }
    const ssize_t r = real_sendto(fd, buf, n, flags, to, len);
    if (counted && r < 0) {
        g_seg->dgrams_taken.fetch_add(1);  // never sent: nothing to wait for
    }
    return r;
}

ssize_t recvfrom(int fd, void* buf, size_t n, int flags, sockaddr* from, socklen_t* len)
{
    REAL(recvfrom);
    if (g_seg == nullptr || !g_observer) {
        return real_recvfrom(fd, buf, n, flags, from, len);
    }
    // The station: the datagram before this one has been stamped and queued.
    if (t_taken) {
        g_seg->dgrams_taken.fetch_add(static_cast<uint64_t>(t_taken));
        t_taken = 0;
    }
    const ssize_t r = real_recvfrom(fd, buf, n, flags, from, len);
    int type = 0;
    socklen_t tl = sizeof type;
    if (r >= 0 && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) == 0 && type == SOCK_DGRAM) {
        t_taken = 1;
    }
    return r;
}

}  // extern "C"
#pragma GCC visibility pop
