// Photos: the capture and upload command lines, the external tools as stubs
// first on PATH, shell safety of the upload URL, and one real upload to an
// FTP server on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "../src/devices/shell_command.h"
#include "fakes/device_fixture.h"
#include "kelvex/radio.h"

extern char** environ;

namespace kelvex::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Args = std::vector<std::string>;

std::string upload(const char* ftp_path, uint16_t n, std::time_t t)
{
    devices::CommandLine z;
    if (!devices::upload_command(z, ftp_path, n, t)) {
        return "(not formatted)";
    }
    return z;
}

void set_tz(const char* tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

TEST(PhotoCommands, UploadNameCarriesTheLocalTimeOfTheCall)
{
    set_tz("UTC");
    // 2019-03-05 14:03:09 and 2021-01-09 08:05:01, UTC.
    EXPECT_EQ(upload("ftp://10.0.0.1/incoming", 7, 1551794589),
              "curl -T photos/7.jpeg ftp://10.0.0.1/incoming/20190305140309-7.jpeg");
    EXPECT_EQ(upload("ftp://10.0.0.1/incoming", 65535, 1610179501),
              "curl -T photos/65535.jpeg ftp://10.0.0.1/incoming/20210109080501-65535.jpeg");
    // Local time, not UTC: one hour east.
    set_tz("XXX-1");
    EXPECT_EQ(upload("ftp://10.0.0.1/incoming", 7, 1551794589),
              "curl -T photos/7.jpeg ftp://10.0.0.1/incoming/20190305150309-7.jpeg");
    set_tz("UTC");

    devices::CommandLine z;
    ASSERT_TRUE(devices::capture_command(z, 5));
    EXPECT_STREQ(z, "streamer -s 640x480 -o photos/5.jpeg");
}

TEST(PhotoCommands, UrlsWithOtherCharactersAreSingleQuoted)
{
    set_tz("UTC");
    const std::time_t t = 1551794589;
    // Every safe character passes as it stands.
    EXPECT_EQ(upload("ftp://user:pw@ground-1.local:2121/in_coming/a%20b+c=d,e", 1, t),
              "curl -T photos/1.jpeg ftp://user:pw@ground-1.local:2121/in_coming/a%20b+c=d,e/20190305140309-1.jpeg");
    EXPECT_EQ(upload("", 1, t), "curl -T photos/1.jpeg /20190305140309-1.jpeg");
    EXPECT_EQ(upload("ftp://h/x; touch pwned", 1, t),
              "curl -T photos/1.jpeg 'ftp://h/x; touch pwned'/20190305140309-1.jpeg");
    EXPECT_EQ(upload("ftp://h/it's", 1, t), "curl -T photos/1.jpeg 'ftp://h/it'\\''s'/20190305140309-1.jpeg");
    EXPECT_EQ(upload("a b", 1, t), "curl -T photos/1.jpeg 'a b'/20190305140309-1.jpeg");
}

TEST(PhotoCommands, ACommandLineOver1023BytesIsRefused)
{
    set_tz("UTC");
    const std::time_t t = 1551794589;
    const std::string fixed = "curl -T photos/7.jpeg /20190305140309-7.jpeg";
    const std::string longest(1023 - fixed.size(), 'a');
    EXPECT_EQ(upload(longest.c_str(), 7, t).size(), 1023u);
    EXPECT_EQ(upload((longest + "a").c_str(), 7, t), "(not formatted)");
    // Quoting counts: two quotes more than the value.
    const std::string quoted = longest.substr(2, longest.size() - 3) + " ";
    EXPECT_EQ(upload(quoted.c_str(), 7, t).size(), 1023u);
    EXPECT_EQ(upload((quoted + "a").c_str(), 7, t), "(not formatted)");
}

// A working directory of its own with the tools stubbed first on PATH. Each
// stub appends its argument count and arguments, NUL-separated, to
// <tool>.runs and exits with the number in <tool>.status (0 when missing).
class PhotoToolsTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        char tmpl[] = "/tmp/kelvex-photo-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
        old_path_ = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        fs::create_directory(dir_ / "bin");
        for (const char* tool : {"curl", "streamer"}) {
            const fs::path stub = dir_ / "bin" / tool;
            std::ofstream(stub) << "#!/bin/sh\n"
                                << "printf '%s\\0' \"$#\" \"$@\" >> '" << (dir_ / tool).string() << ".runs'\n"
                                << "exit $(cat '" << (dir_ / tool).string() << ".status' 2>/dev/null || echo 0)\n";
            fs::permissions(stub, fs::perms::owner_all);
        }
        fs::create_directory(dir_ / "work");
        ASSERT_EQ(chdir((dir_ / "work").c_str()), 0);
        setenv("PATH", ((dir_ / "bin").string() + ":" + old_path_).c_str(), 1);
        set_tz("UTC");
        old_ftp_path_ = ftp_path;
        ftp_path = nullptr;
        set_ftp_path("ftp://127.0.0.1:9/incoming");

        answer_values({});
        for (uint16_t n = 0; n <= 3; ++n) {
            transmitter_turn_off(n);
        }
        camera_turn_off();
        wire();
    }

    void TearDown() override
    {
        free(ftp_path);
        ftp_path = old_ftp_path_;
        setenv("PATH", old_path_.c_str(), 1);
        EXPECT_EQ(chdir(cwd_), 0);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void set_ftp_path(const std::string& value)
    {
        free(ftp_path);
        ftp_path = strdup(value.c_str());
    }

    void exit_status(const char* tool, int status) { std::ofstream(dir_ / (std::string(tool) + ".status")) << status; }

    // The runs of a stub, each its arguments.
    std::vector<Args> runs(const char* tool)
    {
        std::ifstream in(dir_ / (std::string(tool) + ".runs"), std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> fields;
        std::string field;
        for (char c : all) {
            if (c == '\0') {
                fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        std::vector<Args> out;
        for (size_t i = 0; i < fields.size();) {
            const size_t argc = std::stoul(fields[i++]);
            out.emplace_back(fields.begin() + static_cast<long>(i),
                             fields.begin() + static_cast<long>(std::min(fields.size(), i + argc)));
            i += argc;
        }
        fs::remove(dir_ / (std::string(tool) + ".runs"));
        return out;
    }

    // Whether `name` is the upload name of photo n for a moment in [from, to].
    static bool uploaded_as(const std::string& name, const std::string& prefix, uint16_t n, std::time_t from,
                            std::time_t to)
    {
        for (std::time_t t = from; t <= to; ++t) {
            std::tm tm{};
            localtime_r(&t, &tm);
            char stamp[32];
            std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
            if (name == prefix + stamp + "-" + std::to_string(n) + ".jpeg") {
                return true;
            }
        }
        return false;
    }

    // Sends photo n and checks the one curl run it made: the local file, and
    // the URL followed by the time-stamped name.
    void expect_upload(uint16_t n, const std::string& url)
    {
        const std::time_t from = std::time(nullptr);
        EXPECT_EQ(transmitter_transmit_photo(0, n), 0);
        const std::time_t to = std::time(nullptr);
        const std::vector<Args> r = runs("curl");
        ASSERT_EQ(r.size(), 1u);
        ASSERT_EQ(r[0].size(), 3u);
        EXPECT_EQ(r[0][0], "-T");
        EXPECT_EQ(r[0][1], "photos/" + std::to_string(n) + ".jpeg");
        EXPECT_TRUE(uploaded_as(r[0][2], url + "/", n, from, to)) << r[0][2];
    }

    void switch_transmitter_on()
    {
        answer_values({});
        ASSERT_EQ(transmitter_turn_on(0), 0);
        wire();
    }

    fs::path dir_;
    char cwd_[4096] = {};
    std::string old_path_;
    char* old_ftp_path_ = nullptr;
};

TEST_F(PhotoToolsTest, CameraRunsStreamerIntoPhotos)
{
    EXPECT_EQ(camera_take_photo(5), 2);
    EXPECT_TRUE(runs("streamer").empty());
    EXPECT_FALSE(fs::exists("photos"));

    ASSERT_EQ(camera_turn_on(), 0);
    EXPECT_EQ(camera_take_photo(5), 0);
    EXPECT_TRUE(fs::is_directory("photos"));
    EXPECT_EQ(runs("streamer"), (std::vector<Args>{{"-s", "640x480", "-o", "photos/5.jpeg"}}));

    // The same number again, into the existing directory; the tool's
    // failure is the call's.
    exit_status("streamer", 3);
    EXPECT_EQ(camera_take_photo(5), 1);
    EXPECT_EQ(runs("streamer"), (std::vector<Args>{{"-s", "640x480", "-o", "photos/5.jpeg"}}));

    // No such tool at all.
    setenv("PATH", dir_.c_str(), 1);
    EXPECT_EQ(camera_take_photo(6), 1);
    EXPECT_TRUE(wire().empty());  // the camera is not on the bus
}

TEST_F(PhotoToolsTest, TransmitterRunsCurlWithTheTimeStampedName)
{
    EXPECT_EQ(transmitter_transmit_photo(0, 3), 2);
    EXPECT_TRUE(runs("curl").empty());

    switch_transmitter_on();
    expect_upload(3, "ftp://127.0.0.1:9/incoming");

    exit_status("curl", 7);
    EXPECT_EQ(transmitter_transmit_photo(0, 3), 1);
    EXPECT_EQ(runs("curl").size(), 1u);

    // Nothing is run for a command line that does not fit, or no URL.
    exit_status("curl", 0);
    set_ftp_path(std::string(1100, 'a'));
    EXPECT_EQ(transmitter_transmit_photo(0, 3), 1);
    free(ftp_path);
    ftp_path = nullptr;
    EXPECT_EQ(transmitter_transmit_photo(0, 3), 1);
    // Nor for a URL that curl would read as one of its options.
    for (const char* option : {"-K/etc/passwd", "-", "--config=/etc/passwd"}) {
        set_ftp_path(option);
        EXPECT_EQ(transmitter_transmit_photo(0, 3), 1);
    }
    EXPECT_TRUE(runs("curl").empty());
}

TEST_F(PhotoToolsTest, HostileUploadUrlRunsNoSecondCommand)
{
    switch_transmitter_on();
    for (const std::string hostile : {"ftp://h/x; touch pwned", "ftp://h/x$(touch pwned)", "ftp://h/x`touch pwned`",
                                      "ftp://h/x'; touch pwned; '", "ftp://h/x\"; touch pwned; \"",
                                      "ftp://h/x\ntouch pwned", "ftp://h/x && touch pwned #"}) {
        SCOPED_TRACE(hostile);
        set_ftp_path(hostile);
        // The URL reaches curl whole, as one argument.
        expect_upload(4, hostile);
        EXPECT_FALSE(fs::exists("pwned"));
    }
}

// Listens on a free loopback port and closes it again.
uint16_t free_port()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    close(s);
    return port;
}

bool accepts(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// The Debian FTP server, anonymous with write access, on loopback only.
class FtpServer {
public:
    explicit FtpServer(const fs::path& root)
    {
        for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) {
            port_ = free_port();
            const std::string port = std::to_string(port_);
            const std::string log = (root.parent_path() / "ftp.log").string();
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
            const char* argv[] = {"/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", port.c_str(),
                                  "-w", "-d", root.c_str(), nullptr};
            pid_t pid = -1;
            if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ) != 0) {
                pid = -1;
            }
            posix_spawn_file_actions_destroy(&actions);
            if (pid > 0 && wait_ready(pid)) {
                pid_ = pid;
            } else if (pid > 0) {
                stop(pid);
            }
        }
    }
    ~FtpServer()
    {
        if (pid_ > 0) {
            stop(pid_);
        }
    }

    bool running() const { return pid_ > 0; }
    uint16_t port() const { return port_; }

private:
    // Up to 15 s for the interpreter to start and the port to accept.
    bool wait_ready(pid_t pid)
    {
        for (int i = 0; i < 300; ++i) {
            int status;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return false;
            }
            if (accepts(port_)) {
                return true;
            }
            usleep(50 * 1000);
        }
        return false;
    }

    static void stop(pid_t pid)
    {
        kill(pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                return;
            }
            usleep(50 * 1000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

TEST_F(PhotoToolsTest, RealUploadArrivesUnderItsTimeStampedName)
{
    setenv("PATH", old_path_.c_str(), 1);  // the real curl
    for (const char* proxy : {"ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        unsetenv(proxy);
    }
    const fs::path root = dir_ / "ground";
    fs::create_directories(root / "incoming");
    FtpServer server(root);
    ASSERT_TRUE(server.running()) << "python3-pyftpdlib did not start on loopback";

    fs::create_directory("photos");
    const std::string photo = "\xFF\xD8\xFF\xE0 not quite a JPEG \x00\x01\x02 but bytes all the same"s;
    std::ofstream("photos/7.jpeg", std::ios::binary) << photo;
    set_ftp_path("ftp://127.0.0.1:" + std::to_string(server.port()) + "/incoming");
    switch_transmitter_on();

    const std::time_t from = std::time(nullptr);
    ASSERT_EQ(transmitter_transmit_photo(0, 7), 0);
    const std::time_t to = std::time(nullptr);

    std::vector<fs::path> arrived;
    for (const auto& e : fs::directory_iterator(root / "incoming")) {
        arrived.push_back(e.path());
    }
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_TRUE(uploaded_as(arrived[0].filename().string(), "", 7, from, to)) << arrived[0];
    std::ifstream in(arrived[0], std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), photo);

    // A photo that does not exist is curl's failure.
    EXPECT_EQ(transmitter_transmit_photo(0, 8), 1);
}

}  // namespace
}  // namespace kelvex::testing
