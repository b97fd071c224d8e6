#include "faults/control_socket.h"

#include <poll.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "faults/fault_board.h"

namespace kelvex::sim {
namespace {

// The address of a socket at `path`. A run folder may sit deeper than the
// 107 bytes an AF_UNIX address holds (a class folder, an attempt, a case):
// then the address goes through the folder's descriptor, which `dir` keeps
// open while the address is used.
sockaddr_un address_of(const std::string& path, common::UniqueFd& dir)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string name = path;
    if (path.size() >= sizeof a.sun_path) {
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
        dir = common::UniqueFd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid()) {
            throw std::system_error(errno, std::generic_category(), path);
        }
        name = "/proc/self/fd/" + std::to_string(dir.get()) + "/" + path.substr(slash + 1);
    }
    if (name.size() >= sizeof a.sun_path) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
    }
    std::memcpy(a.sun_path, name.c_str(), name.size() + 1);
    return a;
}

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

// A socket left by a run that died is replaced; anything else stays.
void clear_stale(const std::string& path)
{
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) {
        return;
    }
    if (!S_ISSOCK(st.st_mode)) {
        errno = EEXIST;
        fail(path);
    }
    ::unlink(path.c_str());
}

}  // namespace

ControlSocket::ControlSocket(const std::string& path, FaultBoard& board)
    : path_(path), board_(board), listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC))
{
    if (!listener_.valid() || !epoll_.valid()) {
        fail("control socket");
    }
    clear_stale(path);
    common::UniqueFd dir;
    const sockaddr_un a = address_of(path, dir);
    // Only the owner may switch faults: the mode is set before anyone can
    // connect.
    const mode_t old = ::umask(0077);
    const int bound = ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ::umask(old);
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(listener_.get(), 8) != 0) {
        fail(path);
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener_.get();
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &ev);
}

ControlSocket::~ControlSocket()
{
    for (const auto& [fd, pending] : clients_) {
        ::close(fd);
    }
    ::unlink(path_.c_str());
}

void ControlSocket::drain()
{
    epoll_event events[8];
    const int n = ::epoll_wait(epoll_.get(), events, 8, 0);
    for (int i = 0; i < n; ++i) {
        if (events[i].data.fd == listener_.get()) {
            accept_clients();
        } else {
            serve(events[i].data.fd);
        }
    }
}

void ControlSocket::accept_clients()
{
    for (int c; (c = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        if (clients_.size() >= kMaxClients) {
            ::close(c);
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = c;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, c, &ev);
        clients_[c];
    }
}

void ControlSocket::close_client(int client)
{
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, client, nullptr);
    ::close(client);
    clients_.erase(client);
}

void ControlSocket::serve(int client)
{
    std::string& pending = clients_[client];
    char buf[1024];
    const ssize_t n = ::recv(client, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        close_client(client);
        return;
    }
    pending.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    std::string answers;
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        answers += board_.command(line);
    }
    const bool too_long = pending.size() > kMaxLine;
    if (too_long) {
        answers += "error line longer than " + std::to_string(kMaxLine) + " bytes\n";
    }
    // A client that does not read its answers is not waited for.
    if (!answers.empty() &&
        ::send(client, answers.data(), answers.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(answers.size())) {
        close_client(client);
        return;
    }
    if (too_long) {
        close_client(client);
    }
}

std::unique_ptr<ControlSocket> open_control(const std::string& path, FaultBoard& board)
{
    try {
        return std::make_unique<ControlSocket>(path, board);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "kelvex-sim: no control channel: %s\n", e.what());
        return nullptr;
    }
}

std::string control_request(const std::string& path, const std::string& command, double timeout_s)
{
    common::UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    common::UniqueFd dir;
    const sockaddr_un a = address_of(path, dir);
    if (!s.valid() || ::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        return "";
    }
    const std::string line = command + "\n";
    if (::send(s.get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        return "";
    }
    // Blocks end with a line "end"; everything else is one line.
    const bool block = command.rfind("list", 0) == 0 || command.rfind("active", 0) == 0;
    const auto complete = [block](const std::string& a) {
        if (a.empty() || a.back() != '\n') {
            return false;
        }
        return !block || a.rfind("error", 0) == 0 || a == "end\n" ||
               (a.size() >= 5 && a.compare(a.size() - 5, 5, "\nend\n") == 0);
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    std::string answer;
    while (!complete(answer) && std::chrono::steady_clock::now() < until) {
        pollfd p{s.get(), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        char buf[4096];
        const ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        answer.append(buf, static_cast<size_t>(n));
    }
    return answer;
}

int send_control(const std::vector<std::string>& words)
{
    struct stat st{};
    std::string path = words[0];
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        path += "/control.sock";
    }
    std::string command;
    for (size_t i = 1; i < words.size(); ++i) {
        command += (i > 1 ? " " : "") + words[i];
    }
    const std::string answer = control_request(path, command);
    if (answer.empty()) {
        std::fprintf(stderr, "kelvex-sim: no answer on %s\n", path.c_str());
        return 2;
    }
    std::fputs(answer.c_str(), stdout);
    return answer.rfind("error", 0) == 0 ? 1 : 0;
}

}  // namespace kelvex::sim
