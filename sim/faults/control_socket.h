// The control channel: a Unix stream socket whose clients send one command
// a line and get the fault board's answers. One descriptor (an epoll set of
// the listener and its clients) for the server's loop.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace kelvex::sim {

class FaultBoard;

class ControlSocket {
public:
    // Listens on `path` (mode 0600; a stale socket there is replaced, any
    // other file is not). Throws std::system_error.
    ControlSocket(const std::string& path, FaultBoard& board);
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    // For Server::watch: readable when a client connects or sends.
    int fd() const { return epoll_.get(); }
    // Takes new clients and answers every complete line.
    void drain();

    static constexpr size_t kMaxLine = 4096;
    static constexpr size_t kMaxClients = 16;

private:
    void accept_clients();
    void serve(int client);
    void close_client(int client);

    std::string path_;
    FaultBoard& board_;
    common::UniqueFd listener_;
    common::UniqueFd epoll_;
    std::map<int, std::string> clients_;  // fd -> what came short of a newline
};

// The socket for a command's loop, or null (with a message on standard
// error) when it cannot be made: the run goes on without one.
std::unique_ptr<ControlSocket> open_control(const std::string& path, FaultBoard& board);

// Sends one command to the socket at `path` and returns its answer (the
// line, or the block up to "end"); empty when nobody answers within
// `timeout_s`. For tools and tests.
std::string control_request(const std::string& path, const std::string& command, double timeout_s = 5.0);

// kelvex-sim control: `words` are the socket (or a run folder holding
// control.sock) and the command. Prints the answer; 0 for "ok" or a block,
// 1 for an error, 2 when nobody answers.
int send_control(const std::vector<std::string>& words);

}  // namespace kelvex::sim
