#include "line/server.h"

#include <sys/epoll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace kelvex::sim {
namespace {

// Answers the mission never reads are dropped beyond this much.
constexpr size_t kMaxUnwritten = 1 << 16;
constexpr timespec kNoWait{0, 0};

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
                      std::chrono::system_clock::now().time_since_epoch()).count()),
      all_(epoll_create1(EPOLL_CLOEXEC)),
      rest_(epoll_create1(EPOLL_CLOEXEC))
{
    if (!all_.valid() || !rest_.valid()) {
        throw std::system_error(errno, std::generic_category(), "epoll");
    }
    watch(line_fd_, [this] { read_line(); });
    hangup_ = [this] { stop(); };
}

void Server::watch(int fd, std::function<void()> on_readable)
{
    fds_.push_back({fd, POLLIN, 0});
    handlers_.push_back(std::move(on_readable));
    unpollable_.push_back(0);
    add_to_sets(fds_.size() - 1);
}

void Server::unwatch(int fd)
{
    for (size_t i = 1; i < fds_.size(); ++i) {
        if (fds_[i].fd == fd) {
            drop_from_sets(i);
        }
    }
}

void Server::add_to_sets(size_t i)
{
    epoll_event ev{};
    ev.events = static_cast<uint32_t>(fds_[i].events);
    ev.data.u64 = i;
    if (epoll_ctl(all_.get(), EPOLL_CTL_ADD, fds_[i].fd, &ev) != 0) {
        if (errno != EPERM) {
            throw std::system_error(errno, std::generic_category(), "epoll_ctl");
        }
        unpollable_[i] = 1;
        return;
    }
    if (i > 0) {
        epoll_ctl(rest_.get(), EPOLL_CTL_ADD, fds_[i].fd, &ev);
    }
}

void Server::drop_from_sets(size_t i)
{
    if (fds_[i].fd < 0) {
        return;
    }
    if (!unpollable_[i]) {
        epoll_ctl(all_.get(), EPOLL_CTL_DEL, fds_[i].fd, nullptr);
        if (i > 0) {
            epoll_ctl(rest_.get(), EPOLL_CTL_DEL, fds_[i].fd, nullptr);
        }
    }
    unpollable_[i] = 0;
    fds_[i].fd = -1;
    fds_[i].revents = 0;
}

void Server::line_events(short events)
{
    if (fds_[0].events == events || fds_[0].fd < 0) {
        return;
    }
    fds_[0].events = events;
    epoll_event ev{};
    ev.events = static_cast<uint32_t>(events);
    ev.data.u64 = 0;
    if (!unpollable_[0]) {
        epoll_ctl(all_.get(), EPOLL_CTL_MOD, fds_[0].fd, &ev);
    }
}

void Server::use_clock(clock::VirtualClock* c)
{
    clock_ = c;
    if (clock_) {
        // The clock's real time through the vDSO: it is read several times
        // an exchange, and a system call for each is most of its cost here.
        clock::set_real_clock(&::clock_gettime);
        // One read empties the doorbell (a ring is a byte); were there more,
        // the next poll finds them.
        watch(clock_->bell_fd(), [this] {
            char rings[256];
            (void)!::read(clock_->bell_fd(), rings, sizeof rings);
        });
        start_unix_ = static_cast<double>(clock::kRealtimeBase) / clock::kNsPerS;
    }
}

double Server::now() const
{
    if (clock_) {
        return clock_->now_s();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Server::advance()
{
    // In virtual time the physics reaches the instant the clock was moved
    // to (an event due at 5 s happens at 5.000 s), though its steps summed
    // in doubles may come a hair short of it.
    const double target = now() + (clock_ ? 1e-9 : 0.0);
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
            if (clock_) {
                clock_->took(static_cast<size_t>(n));
            }
            for (const Frame& f : reader_.feed(buf, static_cast<size_t>(n))) {
                if (traffic_) {
                    traffic_->received(now(), f.raw.data(), f.raw.size());
                }
                handle(f);
            }
            if (static_cast<size_t>(n) < sizeof buf) {
                // All there was: a read that finds nothing costs the pty a
                // flush of its buffers; the next poll says when more comes.
                return;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        // End of file or EIO: nobody holds the other side any more.
        drop_from_sets(0);
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
    // In virtual time an answer is due at the nanosecond the clock was moved
    // to, which a double may round just below.
    const double t = now() + (clock_ ? 1e-9 : 0.0);
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
            if (clock_) {
                clock_->sent(static_cast<size_t>(n));
            }
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
    line_events(static_cast<short>(POLLIN | (unwritten_.empty() ? 0 : POLLOUT)));
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

namespace {
// epoll_pwait2 where the kernel has it (5.11 on; not under valgrind): where
// it does not, the wait is on the epoll set itself, readable while it holds
// events, which keeps the nanoseconds.
int wait_events(int set, epoll_event* events, int max, const timespec* ts)
{
    static std::atomic<bool> without_pwait2{false};
    if (!without_pwait2.load(std::memory_order_relaxed)) {
        const int n = epoll_pwait2(set, events, max, ts, nullptr);
        if (n >= 0 || errno != ENOSYS) {
            return n;
        }
        without_pwait2.store(true, std::memory_order_relaxed);
    }
    pollfd p{set, POLLIN, 0};
    const int r = ppoll(&p, 1, ts, nullptr);
    return r <= 0 ? r : epoll_wait(set, events, max, 0);
}
}  // namespace

int Server::wait(double seconds)
{
    // Nanoseconds: an emulated line at 115200 baud moves a byte in 87 µs,
    // so a wait rounded up to the next millisecond would slow it down.
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    int ready = 0;
    for (size_t i = 0; i < fds_.size(); ++i) {
        fds_[i].revents = unpollable_[i] ? POLLIN : 0;
        ready += unpollable_[i];
    }
    if (ready > 0) {
        ts = kNoWait;
    }
    epoll_event events[8];
    const int n = wait_events(all_.get(), events, 8, &ts);
    for (int k = 0; k < n; ++k) {
        pollfd& p = fds_[events[k].data.u64];
        if (p.fd >= 0 && p.revents == 0) {
            p.revents = static_cast<short>(events[k].events);
            ++ready;
        }
    }
    return n < 0 && ready == 0 ? n : ready;
}

void Server::handle_ready()
{
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

int64_t Server::own_due_ns(double until) const
{
    double due = physics_.time() + telemetry_.next_due(physics_);
    // The physics moves in whole steps: a row is written at the step that
    // reaches its time.
    due = std::max(due, physics_.time() + kStep);
    if (!queue_.empty()) {
        due = std::min(due, queue_.begin()->first);
    }
    if (until >= 0) {
        due = std::min(due, until);
    }
    if (!std::isfinite(due)) {
        return clock::kNever;
    }
    const int64_t ns = static_cast<int64_t>(std::ceil(due * 1e9));
    return std::max(ns, clock_->now_ns() + 1);
}

// How long, in real time, the run's end waits for the mission's end to
// reach the clock.
constexpr int64_t kFinishBoundNs = 5000000000;
// A time-limited flight this much slower than its limit in real time goes
// on at the wall's pace.
constexpr double kBehindMarginS = 10;

void Server::finish()
{
    if (clock_ == nullptr) {
        stop();
        return;
    }
    finishing_since_ = clock::real_ns();
}

// The run's end as the loop in virtual time sees it at each turn; false:
// stop now. *frozen_at: where the clock stands still (the mission's end and
// its last words, or the time limit).
bool Server::keep_flying_virtual(int64_t real_start, double* frozen_at)
{
    // A flight slower than the wall clock still ends at its time limit
    // within about as long as that takes at its speed, and a margin.
    const double speed = clock_->speed() > 0 ? std::min(clock_->speed(), 1.0) : 1.0;
    const auto behind_after = static_cast<int64_t>((limit_s_ / speed + kBehindMarginS) * 1e9);
    if (limit_s_ > 0 && clock::real_ns() - real_start > behind_after) {
        clock_->go_on_real_time();
    }
    // The mission's end never reached the clock (its slot lost): the run
    // being over is enough after a while.
    if (finishing_since_ != 0 && clock::real_ns() - finishing_since_ > kFinishBoundNs) {
        return false;
    }
    if (clock_->leader_gone() && (*frozen_at < 0 || *frozen_at > now() + drain_s_)) {
        *frozen_at = now() + drain_s_;
    }
    return true;
}

bool Server::unseen_input(void* server)
{
    // A fault a party sent over the control channel before it waited is
    // taken at the instant it was sent, never after the clock moved on.
    auto* self = static_cast<Server*>(server);
    epoll_event ev;
    if (epoll_wait(self->rest_.get(), &ev, 1, 0) > 0) {
        return true;
    }
    for (size_t i = 1; i < self->fds_.size(); ++i) {
        if (self->unpollable_[i]) {
            return true;
        }
    }
    return false;
}

// The loop in virtual time: do what is due at this instant, hand the clock
// back to the parties whose time has come, and move the clock when everyone
// waits; sleep otherwise, until the line, the doorbell or another descriptor
// has something. What the line and the parties hold is in the clock's
// counts: the descriptors are looked at only when the clock is about to
// move (unseen_input) or cannot.
void Server::run_virtual(double until)
{
    bool moved = true;
    double frozen_at = limit_s_ > 0 ? limit_s_ : -1;
    const int64_t real_start = clock::real_ns();
    while (!stopped_ && (until < 0 || now() < until)) {
        if (!keep_flying_virtual(real_start, &frozen_at)) {
            break;
        }
        advance();
        flush_due();
        telemetry_.update(physics_, bus_, faults_);
        flush_log(false);
        if (moved && clock_->wake_due()) {
            moved = false;
        }
        refusal_ = clock_->refusal();
        if (!refusal_.empty()) {
            stop();
            break;
        }
        int64_t real_wait = -1;
        const double stop_at = frozen_at >= 0 && (until < 0 || frozen_at < until) ? frozen_at : until;
        if (stop_at >= 0 && now() >= stop_at - 1e-9) {
            // After the mission's end (and its last words) or at the time
            // limit the clock stands still: the run ends it.
            if (finishing_since_ != 0 && frozen_at >= 0) {
                break;  // the run is over and the clock stands still: all is said
            }
            if (this->wait(0.05) > 0) {
                handle_ready();
            }
            continue;
        }
        clock::VirtualClock::Step step = clock_->advance(own_due_ns(stop_at), &real_wait, unseen_input, this);
        if (step == clock::VirtualClock::Step::Moved) {
            moved = true;
            continue;
        }
        // Nothing to do until a party moves or bytes come: sleep, asking for
        // the doorbell, after one more look (a party may have changed before
        // we asked). Whatever is ready ends the sleep at once.
        clock_->asleep();
        step = clock_->advance(own_due_ns(stop_at), &real_wait, unseen_input, this);
        if (step == clock::VirtualClock::Step::Moved) {
            clock_->awake();
            moved = true;
            continue;
        }
        // A bounded sleep: the dead are found and the bounds checked on waking.
        const double wait = step == clock::VirtualClock::Step::Paced ? std::min(0.05, real_wait / 1e9) : 0.05;
        const int ready = this->wait(wait);
        clock_->awake();
        if (ready > 0) {
            handle_ready();
        }
    }
}

void Server::run(double limit_s)
{
    stopped_ = false;
    if (clock_) {
        run_virtual(limit_s >= 0 ? now() + limit_s : -1);
        advance();
        flush_due();
        flush_log(true);
        return;
    }
    // The kernel may defer a wake-up by this thread's timer slack (50 µs by
    // default); the line's timing wants it on time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    const double until = limit_s >= 0 ? now() + limit_s : -1;
    while (!stopped_ && (until < 0 || now() < until)) {
        advance();
        flush_due();
        telemetry_.update(physics_, bus_, faults_);
        flush_log(false);
        if (wait(wait_s(until)) > 0) {
            handle_ready();
        }
    }
    advance();
    flush_due();
    flush_log(true);
}

void Server::flush_log(bool now)
{
    // A few times a second, not every round: a write for each exchange
    // would cost the line log more than the exchange.
    if (traffic_ == nullptr) {
        return;
    }
    const auto real = std::chrono::steady_clock::now();
    if (now || real - log_flushed_ >= kLogFlushPeriod) {
        traffic_->flush();
        log_flushed_ = real;
    }
}

}  // namespace kelvex::sim
