#include "run/mission_output.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "line/pty_line.h"

namespace kelvex::sim {

MissionOutput::MissionOutput(const std::string& log_path, Console& console)
    : log_(std::fopen(log_path.c_str(), "we")), console_(console)
{
    if (!log_) {
        throw std::system_error(errno, std::generic_category(), log_path);
    }
    PtyLine pty = open_pty_pair();
    master_ = std::move(pty.serve);
    slave_ = std::move(pty.keep);
    // Raw: the log gets the bytes as printed, no line feed turned into CR LF.
    make_raw(slave_.get());
    // The mission shares this open file: its writes wait, never fail, when
    // the simulator falls behind.
    fcntl(slave_.get(), F_SETFL, fcntl(slave_.get(), F_GETFL) & ~O_NONBLOCK);
}

void MissionOutput::drain()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_.get(), buf, sizeof buf);
        if (n <= 0) {
            return;
        }
        std::fwrite(buf, 1, static_cast<size_t>(n), log_.get());
        std::fflush(log_.get());
        console_.mission(buf, static_cast<size_t>(n));
    }
}

}  // namespace kelvex::sim
