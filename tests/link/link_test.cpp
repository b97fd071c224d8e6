// Serial line on real pseudo-terminals, hex dump text, millisecond sleep.
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "kelvex/link.h"
#include "fakes/dump_text.h"

namespace {

// A pty pair whose slave stands in for a serial device.
struct PtyPair {
    int master = -1;
    std::string slave;
    PtyPair()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slave = ptsname(master);
        }
    }
    ~PtyPair()
    {
        if (master >= 0) {
            close(master);
        }
    }
    termios settings() const
    {
        termios t{};
        tcgetattr(master, &t);
        return t;
    }
};

speed_t ospeed(termios t)
{
    return cfgetospeed(&t);
}

std::string read_some(int fd, size_t want)
{
    std::string got;
    for (int i = 0; i < 100 && got.size() < want; ++i) {
        char chunk[256];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            got.append(chunk, static_cast<size_t>(n));
        } else {
            usleep(10000);
        }
    }
    return got;
}

TEST(SerialLine, PseudoTerminalModeOpensAMasterAndPassesBytesUnchanged)
{
    termios tios{};
    speed_t old_in = 12345;
    speed_t old_out = 54321;
    testing::internal::CaptureStdout();
    // Any speed and flow control go: neither is used for a pseudo-terminal.
    const int line = tty_open("/dev/ptmx", &tios, 4800, 7, &old_in, &old_out);
    fflush(stdout);
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_GE(line, 0);
    EXPECT_EQ(old_in, 12345u);
    EXPECT_EQ(old_out, 54321u);
    EXPECT_TRUE(fcntl(line, F_GETFL) & O_NONBLOCK);

    const std::string slave = ptsname(line);
    EXPECT_EQ(said, "pseudo-terminal is " + slave + "\n");

    termios now{};
    ASSERT_EQ(tcgetattr(line, &now), 0);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOPRT | ECHOKE), 0u);
    EXPECT_EQ(now.c_iflag & (ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(now.c_oflag & OPOST, 0u);
    EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    // A simulator opens the slave as it is, without settings of its own: two
    // lines written by the mission must reach it byte for byte, 0x0A included.
    const int sim = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(sim, 0);
    const std::string lines = "first\nsecond\r\n";
    ASSERT_EQ(write(line, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    EXPECT_EQ(read_some(sim, lines.size()), lines);
    const std::string back = "answer\n\x0d";
    ASSERT_EQ(write(sim, back.data(), back.size()), static_cast<ssize_t>(back.size()));
    EXPECT_EQ(read_some(line, back.size()), back);
    close(sim);

    speed_t a = 0;
    speed_t b = 0;
    EXPECT_EQ(tty_close(line, &tios, &a, &b), 0);
}

TEST(SerialLine, SerialModeSetsRawSpeedAndFlowControl)
{
    struct Case {
        int flow;
        bool rtscts;
        bool xonxoff;
    };
    for (const Case c : {Case{0, false, false}, Case{1, true, false}, Case{2, false, true},
                         Case{7, false, false}}) {
        SCOPED_TRACE(c.flow);
        PtyPair pty;
        ASSERT_FALSE(pty.slave.empty());
        const speed_t before = ospeed(pty.settings());
        termios now = pty.settings();
        const speed_t before_in = cfgetispeed(&now);
        termios tios{};
        speed_t old_in = 0;
        speed_t old_out = 0;
        const int line = tty_open(pty.slave.c_str(), &tios, 115200, c.flow, &old_in, &old_out);
        ASSERT_GE(line, 0);
        EXPECT_TRUE(fcntl(line, F_GETFL) & O_NONBLOCK);
        EXPECT_EQ(old_out, before);
        EXPECT_EQ(old_in, before_in);

        for (const termios& t : {tios, pty.settings()}) {
            EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
            EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
            EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
            EXPECT_EQ(t.c_oflag & OPOST, 0u);
            EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
            EXPECT_EQ(t.c_cc[VMIN], 1);
            EXPECT_EQ(t.c_cc[VTIME], 0);
            EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), c.xonxoff);
            EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) == 0, !c.xonxoff);
        }
        // The pty driver drops CRTSCTS, so the caller's record is checked.
        EXPECT_EQ((tios.c_cflag & CRTSCTS) != 0, c.rtscts);

        // Closing puts the old speed back and keeps the raw settings.
        EXPECT_EQ(tty_close(line, &tios, &old_in, &old_out), 0);
        const termios after = pty.settings();
        EXPECT_EQ(cfgetospeed(&after), before);
        EXPECT_EQ(after.c_lflag & ICANON, 0u);
        EXPECT_EQ(after.c_cc[VMIN], 1);
        EXPECT_EQ(fcntl(line, F_GETFD), -1);
    }
}

TEST(SerialLine, SpeedsOutsideTheTableAndMissingDevices)
{
    for (int bps : {9600, 19200, 38400, 57600}) {
        PtyPair pty;
        termios tios{};
        speed_t a = 0;
        speed_t b = 0;
        const int line = tty_open(pty.slave.c_str(), &tios, bps, 0, &a, &b);
        ASSERT_GE(line, 0) << bps;
        EXPECT_EQ(tty_close(line, &tios, &a, &b), 0);
    }

    PtyPair pty;
    const speed_t before = ospeed(pty.settings());
    EXPECT_EXIT(
        {
            termios tios{};
            speed_t a = 0;
            speed_t b = 0;
            tty_open(pty.slave.c_str(), &tios, 4800, 0, &a, &b);
        },
        testing::ExitedWithCode(1), "No support for B4800\n");
    EXPECT_EQ(ospeed(pty.settings()), before);

    termios tios{};
    speed_t a = 0;
    speed_t b = 0;
    errno = 0;
    EXPECT_EQ(tty_open("/nonexistent/ttyKX0", &tios, 115200, 0, &a, &b), -1);
    EXPECT_EQ(errno, ENOENT);
}

std::string dump(uint8_t* p, size_t s, uint8_t* base)
{
    return kelvex::testing::dump_as_text(p, s, base).text;
}

TEST(HexDump, ExactText)
{
    uint8_t hi[] = {0x48, 0x49, 0x20, 0x41, 0x4C, 0x4C, 0x21, 0x00};
    const std::string hi_line = "00000000  48 49 20 41 4c 4c 21 00" + std::string(27, ' ') +
                                "|HI ALL!." + std::string(8, ' ') + "|\n";
    EXPECT_EQ(dump(hi, sizeof hi, hi), hi_line + "00000008\n");
    // One call of the output function for every piece of the line.
    EXPECT_EQ(kelvex::testing::dump_sink().calls, 1 + 16 + 1 + 1 + 16 + 1 + 1);

    uint8_t bytes[40];
    for (size_t i = 0; i < sizeof bytes; ++i) {
        bytes[i] = static_cast<uint8_t>(0x70 + i);
    }
    EXPECT_EQ(dump(bytes, 0, bytes), "");

    const std::string full = "00000000  70 71 72 73 74 75 76 77  78 79 7a 7b 7c 7d 7e 7f  "
                             "|pqrstuvwxyz{|}~.|\n";
    ASSERT_EQ(full.size(), 79u); // 78 characters and the newline
    EXPECT_EQ(dump(bytes, 16, bytes), full + "00000010\n");
    EXPECT_EQ(dump(bytes, 17, bytes),
              full + "00000010  80" + std::string(1 + 3 * 15 + 1, ' ') + " |." + std::string(15, ' ') +
                  "|\n00000011\n");

    // Offsets count from base, which need not be the first byte.
    uint8_t area[0x34] = {};
    uint8_t* const origin = area;
    uint8_t* const ctl = area + 0x30;
    ctl[0] = 0x1F;
    ctl[1] = 0x20;
    ctl[2] = 0x7E;
    ctl[3] = 0x7F;
    EXPECT_EQ(dump(ctl, 4, origin).substr(0, 10), "00000030  ");
    EXPECT_NE(kelvex::testing::dump_sink().text.find("|. ~.            |"), std::string::npos);

    // An s above p is the end address; the closing line shows it as given.
    char end_line[32];
    const uintptr_t end = reinterpret_cast<uintptr_t>(hi + sizeof hi);
    snprintf(end_line, sizeof end_line, "%08lx\n", static_cast<unsigned long>(end));
    EXPECT_EQ(dump(hi, end, hi), hi_line + end_line);

    // Without a base the column shows the address itself.
    char at[32];
    snprintf(at, sizeof at, "%08lx  ", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(hi)));
    EXPECT_EQ(dump(hi, sizeof hi, nullptr).substr(0, strlen(at)), at);
}

void on_alarm(int) {}

TEST(MilliSleep, SleepsTheWholeTimeThroughSignals)
{
    using clock = std::chrono::steady_clock;
    // Zero and negative only yield.
    auto t0 = clock::now();
    msleep(0);
    msleep(-5);
    EXPECT_LT(clock::now() - t0, std::chrono::milliseconds(100));

    struct sigaction sa {};
    sa.sa_handler = on_alarm; // no SA_RESTART: nanosleep is cut short
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    itimerval every{{0, 20000}, {0, 20000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);
    t0 = clock::now();
    msleep(1100);
    const auto slept = clock::now() - t0;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GE(slept, std::chrono::milliseconds(1100));
}

} // namespace
