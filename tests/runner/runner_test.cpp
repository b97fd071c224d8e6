// The mission runner as a real process: a test mission linked against both
// libraries, started with a temporary GPIO tree. Every start takes two
// seconds (the GPIO set-up), so all runs are started together up front and
// the tests then look at their results.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/fake_bus.h"
#include "fakes/mission_process.h"

namespace kelvex::testing {
namespace {

const std::string kMission = KELVEX_TEST_BINARY_DIR "/missions/echo_mission";
const Bytes kGreeting = {0x08, 0x48, 0x49, 0x20, 0x41, 0x4C, 0x4C, 0x21, 0x01, 0x00};
const char* const kBuildLine =
    "The echo_mission was built with kelvex version \\[[0-9a-f]{10}\\] "
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\n";

// A UDP receiver on port 4567 of a loopback address of its own, so that runs
// in parallel (and any ground station on 127.0.0.1) don't meet.
class GroundListener {
public:
    GroundListener()
    {
        std::random_device seed;
        std::mt19937 pick(seed());
        for (int attempt = 0; attempt < 20 && sock_ < 0; ++attempt) {
            const int s = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(4567);
            address_ = "127." + std::to_string(10 + pick() % 200) + "." +
                       std::to_string(pick() % 250) + "." + std::to_string(1 + pick() % 250);
            inet_aton(address_.c_str(), &a.sin_addr);
            if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                sock_ = s;
            } else {
                close(s);
            }
        }
    }
    ~GroundListener()
    {
        if (sock_ >= 0) {
            close(sock_);
        }
    }
    const std::string& address() const { return address_; }
    bool ok() const { return sock_ >= 0; }
    // Every datagram that arrived, waiting at most `ms` for the first.
    std::vector<std::string> datagrams(int ms = 1000) const
    {
        std::vector<std::string> got;
        pollfd p{sock_, POLLIN, 0};
        while (poll(&p, 1, got.empty() ? ms : 100) > 0) {
            char chunk[4096];
            const ssize_t n = recv(sock_, chunk, sizeof chunk, 0);
            if (n < 0) {
                break;
            }
            got.emplace_back(chunk, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int sock_ = -1;
    std::string address_;
};

Bytes cat_frames(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Outcome {
    ProcessResult result;
    std::string gpio_export;
    std::string gpio_direction;
    Bytes on_line;
    std::vector<std::string> datagrams;
    std::string ground;
};

enum class Line { none, serial, ptmx };

struct Plan {
    std::vector<std::string> args;
    Line line = Line::none;
    std::string mission; // KELVEX_TEST_MISSION
    bool gpio = true;
    bool line17 = true;
    bool listen = false;
};

Plan plan(std::vector<std::string> args, Line line = Line::none, std::string mission = "",
          bool gpio = true, bool line17 = true, bool listen = false)
{
    return Plan{std::move(args), line, std::move(mission), gpio, line17, listen};
}

// Runs one start. With Line::serial the operand is the slave of a fake bus
// (appended to args); "@ground" in args stands for the listener's address.
Outcome start(Plan plan)
{
    Outcome run;
    GpioTree tree(plan.line17);
    GroundListener ground;
    run.ground = ground.address();
    std::unique_ptr<FakeBus> bus;
    if (plan.line == Line::serial) {
        bus = std::make_unique<FakeBus>();
        // A controller answers requests, not the greeting.
        bus->on_frame([](const Frame& f) -> Reply {
            if (!f.valid || f.decoded.size() < 6 || f.decoded[0] == 'H') {
                return {};
            }
            return {{0, wire_frame(answer_to(f.decoded, {0x34, 0x12}))}};
        });
        plan.args.push_back(bus->mission_path());
    } else if (plan.line == Line::ptmx) {
        plan.args.push_back("/dev/ptmx");
    }
    bool has_z = false;
    for (std::string& a : plan.args) {
        if (a == "@ground") {
            a = ground.address();
        }
        has_z = has_z || a == "-z";
    }
    if (!has_z && (plan.line != Line::none)) {
        // Never greet whatever listens on the default ground station.
        plan.args.insert(plan.args.begin(), {"-z", ground.address()});
    }
    std::map<std::string, std::string> env{
        {"KELVEX_GPIO_ROOT", plan.gpio ? tree.root() : tree.root() + "/missing"}};
    if (!plan.mission.empty()) {
        env["KELVEX_TEST_MISSION"] = plan.mission;
    }
    run.result = run_program(kMission, plan.args, env);
    run.gpio_export = tree.read("export");
    run.gpio_direction = tree.read("gpio17/direction");
    if (bus) {
        bus->wait_frames(plan.mission == "request" ? 2 : 1, std::chrono::milliseconds(500));
        run.on_line = bus->received();
    }
    run.datagrams = ground.datagrams(plan.listen ? 1000 : 50);
    return run;
}

class Runner : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const std::map<std::string, Plan> plans = {
            {"version", plan({"-v", "/dev/null"})},
            {"help", plan({"-n", "7", "-c", "2.5", "-f", "ftp://x/y", "-h", "/dev/null"})},
            {"no operand", plan({})},
            {"two operands", plan({"/dev/ptmx", "/dev/ptmx"})},
            {"bad option", plan({"-q", "/dev/ptmx"})},
            {"no gpio", plan({"/dev/ptmx"}, Line::none, "", false)},
            {"no line 17", plan({"/dev/ptmx"}, Line::none, "", true, false)},
            {"speed on a serial device", plan({"-b", "4800"}, Line::serial)},
            {"speed on a pty", plan({"-b", "4800"}, Line::ptmx)},
            {"host name", plan({"-z", "ground.example"}, Line::ptmx)},
            {"missing device", plan({"/nonexistent/ttyKX0"})},
            {"defaults", plan({}, Line::serial, "config", true, true, true)},
            {"options", plan({"-N", "9", "-X", "-b", "9600", "-c", "2.5", "-d", "-d", "-f", "ftp://h/p",
                          "-i", "80", "-n", "0", "-t", "0", "-z", "@ground"},
                         Line::serial, "config")},
            {"limits", plan({"-N", "-1", "-n", "-4", "-t", "-20"}, Line::ptmx, "config")},
            {"no digits", plan({"-N", "abc", "-n", "x", "-t", "y"}, Line::ptmx, "config")},
            {"request", plan({"-n", "2"}, Line::serial, "request")},
        };
        std::map<std::string, std::future<Outcome>> pending;
        for (const auto& [name, plan] : plans) {
            pending[name] = std::async(std::launch::async, start, plan);
        }
        for (auto& [name, run] : pending) {
            runs_[name] = run.get();
        }
    }

    static const Outcome& run(const std::string& name) { return runs_.at(name); }

    static std::map<std::string, Outcome> runs_;
};

std::map<std::string, Outcome> Runner::runs_;

std::string usage_text(const std::string& retries, const std::string& charge,
                       const std::string& ftp)
{
    return "Usage: " + kMission +
           " [options] <tty>\n"
           "  (use CTRL-C to terminate program)\n"
           "\n"
           "Options:\n"
           "  -N <value>\t\t(number of cells in battery, default is 8)\n"
           "  -X\t\t\t(do not poll sun battery for charging)\n"
           "  -b <value>\t\t(set baudrate, default is 115200)\n"
           "  -c <value>\t\t(charge of accumulator, default is " +
           charge +
           "AH)\n"
           "  -d\t\t\t(increment level for debug messages)\n"
           "  -f <value>\t\t(FTP, default is " +
           ftp +
           ")\n"
           "  -i <value>\t\t(discharge current, default is 60.0mA)\n"
           "  -n <value>\t\t(number of retries, default is " +
           retries +
           ")\n"
           "  -t <value>\t\t(set i/o timeout, default is 30mS)\n"
           "  -v\t\t\t(show build information and exit)\n"
           "  -z <value>\t\t(buzz server, default is 127.0.0.1)\n"
           "\n";
}

TEST_F(Runner, VersionAndUsage)
{
    const Outcome& v = run("version");
    EXPECT_EQ(v.result.exit_code, 0);
    EXPECT_TRUE(std::regex_match(v.result.output, std::regex(kBuildLine))) << v.result.output;
    // Even "-v" comes after line 17 was exported and made an input.
    EXPECT_EQ(v.gpio_export, "17");
    EXPECT_EQ(v.gpio_direction, "in");

    const Outcome& h = run("help");
    EXPECT_EQ(h.result.exit_code, 1);
    EXPECT_EQ(h.result.output, usage_text("7", "2.5", "ftp://x/y"));

    for (const char* name : {"no operand", "two operands"}) {
        EXPECT_EQ(run(name).result.exit_code, 1) << name;
        EXPECT_EQ(run(name).result.output, usage_text("5", "1.5", "ftp://127.0.0.1/incoming"))
            << name;
    }
    const Outcome& bad = run("bad option");
    EXPECT_EQ(bad.result.exit_code, 1);
    EXPECT_EQ(bad.result.output, kMission + ": invalid option -- 'q'\n" +
                                     usage_text("5", "1.5", "ftp://127.0.0.1/incoming"));
}

TEST_F(Runner, StartFailuresAndTheirMessages)
{
    EXPECT_EQ(run("no gpio").result.exit_code, 1);
    EXPECT_EQ(run("no gpio").result.output,
              "Failed to open export for writing!\nGpio config error.\n");
    EXPECT_EQ(run("no line 17").result.exit_code, 1);
    EXPECT_EQ(run("no line 17").result.output, "Gpio config error.\n");
    EXPECT_EQ(run("no line 17").gpio_export, "17");

    EXPECT_EQ(run("speed on a serial device").result.exit_code, 1);
    EXPECT_EQ(run("speed on a serial device").result.output, "No support for B4800\n");
    EXPECT_TRUE(run("speed on a serial device").on_line.empty());

    EXPECT_EQ(run("missing device").result.exit_code, 1);
    EXPECT_EQ(run("missing device").result.output, "tty_open: No such file or directory\n");

    // The line is open and the build line printed before the address fails.
    const Outcome& host = run("host name");
    EXPECT_EQ(host.result.exit_code, 1);
    EXPECT_TRUE(std::regex_match(host.result.output,
                                 std::regex(std::string("pseudo-terminal is /dev/pts/[0-9]+\n") +
                                            kBuildLine + "inet_aton\\(\\) failed\n")))
        << host.result.output;
}

TEST_F(Runner, AMissionRunsBetweenStartAndFinish)
{
    const Outcome& d = run("defaults");
    EXPECT_EQ(d.result.exit_code, 0);
    EXPECT_TRUE(std::regex_match(
        d.result.output,
        std::regex(std::string(kBuildLine) +
                   "Start mission\n"
                   "config N=8 X=0 b=115200 c=1.50 d=0 f=ftp://127.0.0.1/incoming i=60.00 n=5 "
                   "t=30 z=127[.0-9]+ fd=1\n"
                   "Finish mission\n")))
        << d.result.output;
    EXPECT_EQ(d.on_line, kGreeting);
    ASSERT_EQ(d.datagrams.size(), 1u);
    EXPECT_EQ(d.datagrams[0], "The echo_mission says 'HELLO' to " + d.ground + ":4567\n");

    // A pseudo-terminal doesn't use the speed.
    const Outcome& pty = run("speed on a pty");
    EXPECT_EQ(pty.result.exit_code, 0);
    EXPECT_NE(pty.result.output.find("Start mission\nFinish mission\n"), std::string::npos);

    // With two "-d" the greeting is dumped too; the line gets the same bytes.
    const Outcome& o = run("options");
    EXPECT_EQ(o.result.exit_code, 0);
    EXPECT_EQ(o.on_line, kGreeting);
    EXPECT_NE(o.result.output.find("Start mission\n>Origins:\n"
                                   "00000000  48 49 20 41 4c 4c 21 00"),
              std::string::npos)
        << o.result.output;
    EXPECT_NE(o.result.output.find(">Encoded:\n00000000  08 48 49 20 41 4c 4c 21  01 00"),
              std::string::npos);
    EXPECT_NE(o.result.output.find("|.HI ALL!..      |\n0000000a\n"), std::string::npos);
    EXPECT_NE(o.result.output.find("config N=8 X=1 b=9600 c=2.50 d=2 f=ftp://h/p i=80.00 n=1 t=0 z=" +
                                   o.ground + " fd=1\n"),
              std::string::npos)
        << o.result.output;
}

TEST_F(Runner, OptionLimits)
{
    EXPECT_NE(run("limits").result.output.find("config N=0 X=0 b=115200 c=1.50 d=0"),
              std::string::npos)
        << run("limits").result.output;
    EXPECT_NE(run("limits").result.output.find("n=1 t=-20 "), std::string::npos);
    EXPECT_NE(run("no digits").result.output.find("config N=0 "), std::string::npos);
    EXPECT_NE(run("no digits").result.output.find("n=1 t=0 "), std::string::npos);
}

TEST_F(Runner, MissionExchangesARequest)
{
    const Outcome& r = run("request");
    EXPECT_EQ(r.result.exit_code, 0);
    EXPECT_NE(r.result.output.find("Start mission\nrequest 0 8 4660\nFinish mission\n"),
              std::string::npos)
        << r.result.output;
    EXPECT_EQ(r.on_line, cat_frames(kGreeting, wire_frame({0x00, 0x23, 0x30, 0x02, 0x01, 0x00})));
}

} // namespace
} // namespace kelvex::testing
