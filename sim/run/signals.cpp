#include "run/signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kelvex::sim {

SignalFd::SignalFd(std::initializer_list<int> signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals) {
        sigaddset(&set, s);
    }
    if (sigprocmask(SIG_BLOCK, &set, &old_) != 0) {
        throw std::system_error(errno, std::generic_category(), "sigprocmask");
    }
    fd_ = common::UniqueFd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_.valid()) {
        throw std::system_error(errno, std::generic_category(), "signalfd");
    }
}

SignalFd::~SignalFd() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

int SignalFd::next()
{
    signalfd_siginfo info{};
    if (::read(fd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        return 0;
    }
    return static_cast<int>(info.ssi_signo);
}

}  // namespace kelvex::sim
