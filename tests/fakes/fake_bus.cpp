#include "fakes/fake_bus.h"

#include "link/cobs_reference.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace kelvex::testing {

Bytes cobs_encode_ref(const Bytes& data)
{
    Bytes out(data.size() + 2 + data.size() / 254);
    const cobs_encode_result r = link::reference::encode(out.data(), out.size(), data.data(), data.size());
    out.resize(r.out_len);
    return out;
}

bool cobs_decode_ref(const Bytes& enc, Bytes& out)
{
    out.assign(enc.size(), 0);
    const cobs_decode_result r = link::reference::decode(out.data(), out.size(), enc.data(), enc.size());
    const bool valid = !enc.empty() && r.status == COBS_DECODE_OK;
    out.resize(valid ? r.out_len : 0);
    return valid;
}

Bytes wire_frame(const Bytes& decoded)
{
    Bytes w = cobs_encode_ref(decoded);
    w.push_back(0);
    return w;
}

void put_u16(Bytes& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

Bytes le16(std::initializer_list<uint16_t> words)
{
    Bytes b;
    for (uint16_t w : words) {
        put_u16(b, w);
    }
    return b;
}

Bytes answer_to(const Bytes& request, const Bytes& values)
{
    Bytes a;
    a.reserve(6 + values.size());
    a.resize(6, 0);
    if (request.size() >= 6) {
        a[0] = request[0];
        a[1] = request[1];
        a[2] = request[4];
        a[3] = request[5];
        a[4] = request[2];
        a[5] = request[3];
    }
    a.insert(a.end(), values.begin(), values.end());
    return a;
}

namespace {

void make_raw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        throw std::runtime_error("tcgetattr failed on the fake bus pty");
    }
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

void write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                pollfd pfd{fd, POLLOUT, 0};
                poll(&pfd, 1, 100);
                continue;
            }
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

FakeBus::FakeBus()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        throw std::runtime_error("cannot create a pty for the fake bus");
    }
    mission_path_ = ptsname(master);
    make_raw(master);
    mission_fd_ = ::open(mission_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (mission_fd_ < 0) {
        throw std::runtime_error("cannot open the fake bus pty slave");
    }
    make_raw(mission_fd_);
    start(master);
}

FakeBus::FakeBus(const std::string& slave_path) : mission_path_(slave_path)
{
    int fd = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + slave_path);
    }
    make_raw(fd);
    start(fd);
}

void FakeBus::start(int bus_fd)
{
    bus_fd_ = bus_fd;
    if (pipe(stop_pipe_) != 0) {
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread([this] { serve(); });
}

FakeBus::~FakeBus()
{
    if (stop_pipe_[1] >= 0) {
        (void)!::write(stop_pipe_[1], "x", 1);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int fd : {bus_fd_, mission_fd_, stop_pipe_[0], stop_pipe_[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void FakeBus::on_frame(Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void FakeBus::answer_all(const Bytes& values)
{
    on_frame([values](const Frame& f) -> Reply {
        if (!f.valid || f.decoded.size() < 6) {
            return {};
        }
        return {Step{0, wire_frame(answer_to(f.decoded, values))}};
    });
}

void FakeBus::send(const Bytes& bytes)
{
    write_all(bus_fd_, bytes.data(), bytes.size());
}

std::vector<Frame> FakeBus::frames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

Bytes FakeBus::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void FakeBus::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
    received_.clear();
    pending_.clear();
}

bool FakeBus::wait_frames(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

void FakeBus::deliver(const Reply& reply)
{
    for (const Step& step : reply) {
        if (step.delay_ms > 0) {
            // A pause that the destructor can cut short.
            pollfd pfd{stop_pipe_[0], POLLIN, 0};
            if (poll(&pfd, 1, step.delay_ms) > 0) {
                return;
            }
        }
        write_all(bus_fd_, step.bytes.data(), step.bytes.size());
    }
}

void FakeBus::serve()
{
    uint8_t chunk[4096];
    for (;;) {
        pollfd pfds[2] = {{bus_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        int r = poll(pfds, 2, 1000);
        if (r < 0 && errno != EINTR) {
            return;
        }
        if (pfds[1].revents != 0) {
            return;
        }
        if (pfds[0].revents & (POLLHUP | POLLERR)) {
            // The mission closed its side; wait for it to reopen or for stop.
            pollfd stop{stop_pipe_[0], POLLIN, 0};
            if (poll(&stop, 1, 20) > 0) {
                return;
            }
            continue;
        }
        if (!(pfds[0].revents & POLLIN)) {
            continue;
        }
        ssize_t n = ::read(bus_fd_, chunk, sizeof chunk);
        if (n <= 0) {
            continue;
        }
        std::vector<std::pair<Handler, Frame>> ready;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.insert(received_.end(), chunk, chunk + n);
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] != 0) {
                    pending_.push_back(chunk[i]);
                    continue;
                }
                if (pending_.empty()) {
                    continue;  // stray delimiter
                }
                Frame f;
                f.raw = pending_;
                f.valid = cobs_decode_ref(f.raw, f.decoded);
                pending_.clear();
                frames_.push_back(f);
                ready.emplace_back(handler_, f);
            }
        }
        cv_.notify_all();
        for (auto& [handler, frame] : ready) {
            if (handler) {
                deliver(handler(frame));
            }
        }
    }
}

}  // namespace kelvex::testing
