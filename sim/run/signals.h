// Signals as a readable descriptor, so that the event loop sees CTRL-C and
// child exits in order with the line's traffic.
#pragma once

#include <signal.h>

#include <initializer_list>

#include "common/unique_fd.h"

namespace kelvex::sim {

class SignalFd {
public:
    // Blocks `signals` for normal delivery and reports them on fd().
    explicit SignalFd(std::initializer_list<int> signals);
    ~SignalFd();
    SignalFd(const SignalFd&) = delete;
    SignalFd& operator=(const SignalFd&) = delete;

    int fd() const { return fd_.get(); }
    // Next pending signal number, or 0 when none is waiting.
    int next();

private:
    common::UniqueFd fd_;
    sigset_t old_{};
};

}  // namespace kelvex::sim
