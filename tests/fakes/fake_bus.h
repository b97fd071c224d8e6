// A scripted bus controller on a pseudo-terminal for the test suites.
//
// The fake owns one side of a pty and serves it on a thread: it collects the
// bytes the mission writes, cuts them into frames at every zero byte, decodes
// each frame with its own reference COBS decoder (not the one under test),
// records it and asks the test's handler what to send back. A reply is a list
// of steps, each a pause and then raw bytes, so a test can answer late, split
// an answer, glue frames, send garbage or stay silent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvex::testing {

using Bytes = std::vector<uint8_t>;

struct Step {
    int delay_ms = 0;
    Bytes bytes;
};

using Reply = std::vector<Step>;

struct Frame {
    Bytes raw;      // encoded bytes as they came, without the delimiter
    Bytes decoded;  // reference decoding (empty when raw is not valid COBS)
    bool valid = false;
};

// The reference codec (the plain byte loop the library's fast paths are held
// to) on byte vectors; a decoding that is not one valid frame comes back
// empty.
Bytes cobs_encode_ref(const Bytes& data);
bool cobs_decode_ref(const Bytes& enc, Bytes& out);
// One frame on the wire: the encoding followed by the zero delimiter.
Bytes wire_frame(const Bytes& decoded);

// An answer the controller would give to `request`: word 0 copied, the two
// addresses swapped, then `values` from byte offset 6.
Bytes answer_to(const Bytes& request, const Bytes& values);
// Little-endian helpers for building payloads.
void put_u16(Bytes& b, uint16_t v);
Bytes le16(std::initializer_list<uint16_t> words);

class FakeBus {
public:
    using Handler = std::function<Reply(const Frame& frame)>;

    // Creates a pty pair. The bus serves the master; the mission side is the
    // slave, opened raw and non-blocking as the serial line would be.
    FakeBus();
    // Serves the slave at `slave_path` of a pty a mission opened through
    // /dev/ptmx; the slave is put into raw mode first.
    explicit FakeBus(const std::string& slave_path);
    ~FakeBus();
    FakeBus(const FakeBus&) = delete;
    FakeBus& operator=(const FakeBus&) = delete;

    int mission_fd() const { return mission_fd_; }
    const std::string& mission_path() const { return mission_path_; }

    // The handler runs on the bus thread for every complete frame.
    void on_frame(Handler handler);
    // Convenience: answer every valid request with `values` at offset 6.
    void answer_all(const Bytes& values);
    // Writes bytes to the mission right now (from the test's thread).
    void send(const Bytes& bytes);

    std::vector<Frame> frames() const;
    Bytes received() const;  // every byte that arrived, delimiters included
    void clear();
    // Waits until at least `count` frames have arrived.
    bool wait_frames(size_t count, std::chrono::milliseconds timeout) const;

private:
    void start(int bus_fd);
    void serve();
    void deliver(const Reply& reply);

    int bus_fd_ = -1;
    int mission_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::string mission_path_;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    Handler handler_;
    std::vector<Frame> frames_;
    Bytes received_;
    Bytes pending_;
};

}  // namespace kelvex::testing
