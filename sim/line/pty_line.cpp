#include "line/pty_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <cerrno>
#include <system_error>

namespace kelvex::sim {
namespace {

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void make_raw(int fd)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        fail("tcgetattr");
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        fail("tcsetattr");
    }
}

PtyLine open_pty_pair()
{
    PtyLine line;
    // Close-on-exec: neither the mission nor what it starts holds our side.
    line.serve = common::UniqueFd(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line.serve.valid()) {
        fail("posix_openpt");
    }
    if (grantpt(line.serve.get()) != 0 || unlockpt(line.serve.get()) != 0) {
        fail("unlockpt");
    }
    char name[128];
    if (ptsname_r(line.serve.get(), name, sizeof name) != 0) {
        fail("ptsname");
    }
    line.mission = name;
    // Holding the slave open keeps the master readable while no mission has
    // it open (the master reports EIO otherwise), and fixes raw mode before
    // the first mission byte arrives.
    line.keep = common::UniqueFd(open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line.keep.valid()) {
        fail("open pty slave");
    }
    make_raw(line.keep.get());
    return line;
}

PtyLine attach_pty_slave(const std::string& path)
{
    PtyLine line;
    line.serve = common::UniqueFd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line.serve.valid()) {
        fail(path.c_str());
    }
    make_raw(line.serve.get());
    return line;
}

}  // namespace kelvex::sim
