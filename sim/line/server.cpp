#include "line/server.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace kelvex::sim {
namespace {

// Answers the mission never reads are dropped beyond this much.
constexpr size_t kMaxUnwritten = 1 << 16;

}  // namespace

Server::Server(int line_fd, Physics& physics, Bus& bus, Faults& faults, Telemetry& telemetry,
               int verbose)
    : line_fd_(line_fd),
      physics_(physics),
      bus_(bus),
      faults_(faults),
      telemetry_(telemetry),
      verbose_(verbose),
      start_(std::chrono::steady_clock::now()),
      start_unix_(std::chrono::duration<double>(
                      std::chrono::system_clock::now().time_since_epoch()).count())
{
    fds_.push_back({line_fd_, POLLIN, 0});
    handlers_.emplace_back([this] { read_line(); });
    hangup_ = [this] { stop(); };
}

void Server::watch(int fd, std::function<void()> on_readable)
{
    fds_.push_back({fd, POLLIN, 0});
    handlers_.push_back(std::move(on_readable));
}

void Server::unwatch(int fd)
{
    for (size_t i = 1; i < fds_.size(); ++i) {
        if (fds_[i].fd == fd) {
            fds_[i].fd = -1;
        }
    }
}

double Server::now() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Server::advance()
{
    const double target = now();
    while (physics_.time() + kStep <= target) {
        physics_.step(kStep);
    }
}

void Server::read_line()
{
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::read(line_fd_, buf, sizeof buf);
        if (n > 0) {
            for (const Frame& f : reader_.feed(buf, static_cast<size_t>(n))) {
                if (traffic_) {
                    traffic_->received(now(), f.raw.data(), f.raw.size());
                }
                handle(f);
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        // End of file or EIO: nobody holds the other side any more.
        fds_[0].fd = -1;
        if (hangup_) {
            hangup_();
        }
        return;
    }
}

void Server::handle(const Frame& frame)
{
    advance();
    if (!frame.ok) {
        if (verbose_ > 0) {
            std::fprintf(stderr, "kelvex-sim: %zu bytes that are no frame (status %#x) ignored\n",
                         frame.raw.size(), frame.status);
        }
        return;
    }
    if (is_greeting(frame.decoded)) {
        if (verbose_ > 0) {
            std::fprintf(stderr, "kelvex-sim: greeting from the mission runner\n");
        }
        return;
    }
    const Outcome out = bus_.handle(frame.decoded, physics_.time());
    if (verbose_ > 1 || (verbose_ > 0 && !out.known)) {
        std::fprintf(stderr, "kelvex-sim: t=%.3f %s%s\n", physics_.time(), out.note.c_str(),
                     out.known ? "" : " (ignored)");
    }
    if (!out.answered) {
        return;
    }
    Outgoing og;
    if (!faults_.apply(encode_frame(out.answer), frame.raw.size() + 1, og)) {
        if (verbose_ > 1) {
            std::fprintf(stderr, "kelvex-sim: answer dropped\n");
        }
        return;
    }
    double due = now() + og.delay;
    if (faults_.params().baud > 0) {
        due = std::max(due, line_free_) + faults_.line_time(og.bytes.size());
        line_free_ = due;
    }
    queue_.emplace(due, std::move(og.bytes));
}

void Server::flush_due()
{
    const double t = now();
    while (!queue_.empty() && queue_.begin()->first <= t) {
        const Bytes& b = queue_.begin()->second;
        if (traffic_) {
            traffic_->sent(t, b.data(), b.size());
        }
        unwritten_.insert(unwritten_.end(), b.begin(), b.end());
        queue_.erase(queue_.begin());
    }
    write_pending();
}

void Server::write_pending()
{
    while (!unwritten_.empty()) {
        const ssize_t n = ::write(line_fd_, unwritten_.data(), unwritten_.size());
        if (n > 0) {
            unwritten_.erase(unwritten_.begin(), unwritten_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (unwritten_.size() > kMaxUnwritten) {
            unwritten_.clear();
        }
        break;
    }
    fds_[0].events = static_cast<short>(POLLIN | (unwritten_.empty() ? 0 : POLLOUT));
}

double Server::wait_s(double until) const
{
    double wait = 0.02;
    if (!queue_.empty()) {
        wait = std::min(wait, queue_.begin()->first - now());
    }
    wait = std::min(wait, telemetry_.next_due(physics_));
    if (until >= 0) {
        wait = std::min(wait, until - now());
    }
    return std::max(0.0, wait);
}

int Server::wait(double seconds)
{
    // Nanoseconds: an emulated line at 115200 baud moves a byte in 87 µs,
    // so a wait rounded up to the next millisecond would slow it down.
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    return ::ppoll(fds_.data(), fds_.size(), &ts, nullptr);
}

void Server::run(double limit_s)
{
    stopped_ = false;
    // The kernel may defer a wake-up by this thread's timer slack (50 µs by
    // default); the line's timing wants it on time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    const double until = limit_s >= 0 ? now() + limit_s : -1;
    while (!stopped_ && (until < 0 || now() < until)) {
        advance();
        flush_due();
        telemetry_.update(physics_, bus_, faults_);
        if (traffic_) {
            traffic_->flush();
        }
        if (wait(wait_s(until)) <= 0) {
            continue;
        }
        for (size_t i = 0; i < fds_.size() && !stopped_; ++i) {
            const short ev = fds_[i].revents;
            if (i == 0 && (ev & POLLOUT)) {
                write_pending();
            }
            if (ev & (POLLIN | POLLHUP | POLLERR)) {
                handlers_[i]();
            }
        }
    }
    advance();
    flush_due();
}

}  // namespace kelvex::sim
