#include "segment.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

namespace kelvex::clock {
namespace {

int syscall_clock(clockid_t id, timespec* ts)
{
    return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
}

ClockFn g_real_clock = syscall_clock;

}  // namespace

void set_real_clock(ClockFn fn) { g_real_clock = fn ? fn : syscall_clock; }

int64_t real_ns(clockid_t id)
{
    timespec ts{};
    g_real_clock(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

int futex_wait(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeout_ns)
{
    timespec ts{};
    timespec* tp = nullptr;
    if (timeout_ns >= 0) {
        ts.tv_sec = static_cast<time_t>(timeout_ns / kNsPerS);
        ts.tv_nsec = static_cast<long>(timeout_ns % kNsPerS);
        tp = &ts;
    }
    // Shared (not private): the word lives in a mapping of several processes.
    return static_cast<int>(syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT,
                                    expected, tp, nullptr, 0));
}

void futex_wake_all(std::atomic<uint32_t>* word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, INT32_MAX, nullptr,
            nullptr, 0);
}

namespace {
// Maps a clock file and closes its descriptor either way: the mapping keeps
// the file.
Segment* map_and_close(int fd)
{
    void* m = mmap(nullptr, sizeof(Segment), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return m == MAP_FAILED ? nullptr : static_cast<Segment*>(m);
}
}  // namespace

Segment* create_segment(const char* path, uint64_t line_rdev, int64_t bound_ns,
                        const char* ground)
{
    const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    if (ftruncate(fd, sizeof(Segment)) != 0) {
        close(fd);
        return nullptr;
    }
    Segment* s = map_and_close(fd);
    if (s == nullptr) {
        return nullptr;
    }
    // A fresh file reads as zeros: every counter 0, every slot Free.
    s->line_rdev = line_rdev;
    s->bound_ns = bound_ns;
    std::strncpy(s->ground, ground ? ground : "", sizeof s->ground - 1);
    s->version = kVersion;
    std::atomic_thread_fence(std::memory_order_release);
    s->magic = kMagic;
    for (const char* suffix : {bell_suffix(), turn_suffix()}) {
        const std::string fifo = std::string(path) + suffix;
        unlink(fifo.c_str());
        if (mkfifo(fifo.c_str(), 0600) != 0) {
            munmap(s, sizeof(Segment));
            return nullptr;
        }
    }
    return s;
}

Segment* map_segment(const char* path)
{
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(sizeof(Segment))) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    Segment* s = map_and_close(fd);
    if (s == nullptr) {
        return nullptr;
    }
    if (s->magic != kMagic || s->version != kVersion) {
        munmap(s, sizeof(Segment));
        errno = EINVAL;
        return nullptr;
    }
    return s;
}

void unmap_segment(Segment* s)
{
    if (s) {
        munmap(s, sizeof(Segment));
    }
}

namespace {

flock life_lock(short type, int32_t byte)
{
    flock l{};
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(sizeof(Segment)) + byte;
    l.l_len = 1;
    return l;
}

}  // namespace

int hold_life(Segment* s, const char* path, int32_t* byte)
{
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    *byte = static_cast<int32_t>(s->lives.fetch_add(1) & 0x3fffffff);
    flock l = life_lock(F_WRLCK, *byte);
    if (fcntl(fd, F_OFD_SETLK, &l) != 0) {
        close(fd);
        *byte = -1;
        return -1;
    }
    return fd;
}

bool life_held(int fd, int32_t byte)
{
    flock l = life_lock(F_WRLCK, byte);
    if (fcntl(fd, F_OFD_GETLK, &l) != 0) {
        return true;  // cannot tell: take it for alive
    }
    return l.l_type != F_UNLCK;
}

const char* bell_suffix() { return ".bell"; }

const char* turn_suffix() { return ".turn"; }

bool follows(clockid_t id)
{
    switch (id) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_BOOTTIME:
    case CLOCK_TAI:
    case CLOCK_REALTIME_ALARM:
    case CLOCK_BOOTTIME_ALARM:
        return true;
    default:
        return false;
    }
}

int64_t virtual_clock_ns(const Segment& s, clockid_t id)
{
    const int64_t now = s.now.load(std::memory_order_acquire);
    switch (id) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_REALTIME_ALARM:
        return kRealtimeBase + now;
    case CLOCK_TAI:
        return kRealtimeBase + 37 * kNsPerS + now;
    default:
        return kMonotonicBase + now;
    }
}

}  // namespace kelvex::clock
