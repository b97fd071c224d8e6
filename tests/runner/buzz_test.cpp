// Ground log channel: datagrams as they leave the mission, and sends before
// the channel is set up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/fake_bus.h"
#include "fakes/mission_process.h"
#include "kelvex/runner.h"

namespace kelvex::testing {
namespace {

TEST(GroundLog, SendsFailCleanlyBeforeTheChannelIsSetUp)
{
    // Nothing set the channel up in this process: the socket is no
    // descriptor at all, never standard input's.
    char text[] = "early";
    ::testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(buzz_write(text, 5), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(buzz_printf("%s %d", "early", 1), -1);
    EXPECT_EQ(buzz_write(text, -1), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "sendto: Bad file descriptor\nsendto: Bad file descriptor\n"
              "sendto: Invalid argument\n");
}

TEST(GroundLog, OneDatagramPerCallWithExactlyTheBytesGiven)
{
    // The mission sends a text of 1500 characters, an empty text and three
    // raw bytes to a loopback address of its own.
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(4567);
    std::string address;
    for (int i = 0; i < 20; ++i) {
        address = "127.231." + std::to_string(getpid() % 250) + "." + std::to_string(1 + i);
        inet_aton(address.c_str(), &a.sin_addr);
        if (bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            break;
        }
        address.clear();
    }
    ASSERT_FALSE(address.empty());

    GpioTree tree;
    FakeBus bus;
    const ProcessResult run =
        run_program(KELVEX_TEST_BINARY_DIR "/missions/echo_mission",
                    {"-z", address, bus.mission_path()},
                    {{"KELVEX_GPIO_ROOT", tree.root()}, {"KELVEX_TEST_MISSION", "buzz"}});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.output.find("buzz 1500 0 3\n"), std::string::npos) << run.output;

    std::vector<std::string> got;
    pollfd p{sock, POLLIN, 0};
    while (got.size() < 4 && poll(&p, 1, 1000) > 0) {
        char chunk[4096];
        const ssize_t n = recv(sock, chunk, sizeof chunk, 0);
        ASSERT_GE(n, 0);
        got.emplace_back(chunk, static_cast<size_t>(n));
    }
    close(sock);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "The echo_mission says 'HELLO' to " + address + ":4567\n");
    EXPECT_EQ(got[1], std::string(1500, 'x'));
    EXPECT_EQ(got[2], "");
    EXPECT_EQ(got[3], std::string("\x00\x01\x02", 3));
}

} // namespace
} // namespace kelvex::testing
