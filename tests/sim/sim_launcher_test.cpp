// kelvex-sim as a program: the run launcher's contract with missions and
// scripts, the run folder, CTRL-C and the time limit, the console, attaching
// to a mission's own pseudo-terminal and the serve command's link.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/mission_process.h"
#include "fakes/temp_dir.h"

namespace fs = std::filesystem;
using kelvex::testing::GpioTree;
using kelvex::testing::run_program;

namespace {

const std::string kSim = KELVEX_BUILD_DIR "/sim/kelvex-sim";
const std::string kHello = KELVEX_BUILD_DIR "/examples/hello_mission";

// A program started with its output on a pipe.
struct Proc {
    pid_t pid = -1;
    int out = -1;

    explicit Proc(std::vector<std::string> argv)
    {
        int p[2];
        EXPECT_EQ(0, pipe(p));
        pid = fork();
        if (pid == 0) {
            dup2(p[1], 1);
            dup2(p[1], 2);
            close(p[0]);
            std::vector<char*> a;
            for (auto& s : argv) {
                a.push_back(s.data());
            }
            a.push_back(nullptr);
            execv(a[0], a.data());
            _exit(127);
        }
        close(p[1]);
        out = p[0];
    }
    ~Proc()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) {
            close(out);
        }
    }
    // Reads until end of output; returns the exit status (-1 on a signal).
    int finish(std::string& text)
    {
        char buf[4096];
        ssize_t n;
        while ((n = read(out, buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
        int st = 0;
        waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // Reads until `needle` shows up (bounded); returns what was read.
    std::string read_until(const std::string& needle, double seconds)
    {
        std::string text;
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        fcntl(out, F_SETFL, O_NONBLOCK);
        while (text.find(needle) == std::string::npos && std::chrono::steady_clock::now() < until) {
            char buf[512];
            const ssize_t n = read(out, buf, sizeof buf);
            if (n > 0) {
                text.append(buf, static_cast<size_t>(n));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        fcntl(out, F_SETFL, 0);
        return text;
    }
};

struct TempDir : kelvex::testing::TempDir {
    TempDir() : kelvex::testing::TempDir("sim_launcher") {}
};

std::string link_of(const std::string& path)
{
    char target[256];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace

TEST(SimLauncher, RunGivesTheMissionItsLineAddressEnvironmentAndStatus)
{
    // The mission checks what it got and reports through the log channel:
    // -z ADDRESS and the line come after its own arguments.
    const std::string script =
        "test \"$1 $2 $3\" = \"-z $KELVEX_GROUND $KELVEX_TTY\" && test -c \"$3\" || exit 10\n"
        "case $KELVEX_GROUND in 127.0.0.*) ;; *) exit 11;; esac\n"
        "test -f \"$KELVEX_GPIO_ROOT/export\" && test -d \"$KELVEX_GPIO_ROOT/gpio17\" || exit 12\n"
        "grep -q '^lamp_angle_deg=-30.000$' \"$KELVEX_SIM_STATE\" || exit 13\n"
        "test \"$KELVEX_BATTERY_KEY\" = \"$KELVEX_RUN_DIR/battery.key\" -a -f \"$KELVEX_BATTERY_KEY\" || exit 14\n"
        "grep -q -- --silent \"$CURL_HOME/.curlrc\" || exit 15\n"
        "echo -n 'over and out' > /dev/udp/$KELVEX_GROUND/4567\n"
        "echo 'said it'; sleep 0.2\n"
        "exit 7\n";
    TempDir dir;
    const auto r = run_program(kSim, {"run", "--no-ground", "--no-plot", "--lamp-azimuth", "10",
                                      "--yaw", "40", "--run-dir", dir / "run", "--", "/bin/bash",
                                      "-c", script, "mission"});
    EXPECT_EQ(7, r.exit_code) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("\n[ground] over and out\n")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("\nsaid it\n")) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("mission ended with status 7")) << r.output;

    // The run folder: the record with the status, the mission's output, the
    // log in the station's format, the telemetry.
    const std::string record = read_file(dir / "run/run.json");
    EXPECT_NE(std::string::npos, record.find("\"exit_status\": 7,")) << record;
    EXPECT_NE(std::string::npos, record.find("\"satellite\": \"bash\",")) << record;
    EXPECT_NE(std::string::npos, record.find("\"lamp-azimuth\": 10, ")) << record;
    EXPECT_NE(std::string::npos, record.find("\"time_limited\": false,")) << record;
    EXPECT_EQ("said it\n", read_file(dir / "run/mission.log"));
    EXPECT_TRUE(std::regex_search(read_file(dir / "run/ground/log.txt"),
                                  std::regex("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                                             "over and out\n$")));
    std::ifstream f(dir / "run/telemetry.csv");
    std::string header, row;
    ASSERT_TRUE(std::getline(f, header));
    EXPECT_EQ(0u, header.find("t,yaw_deg,rate_dps,wheel_rpm,lamp_angle_deg,")) << header;
    int rows = 0;
    while (std::getline(f, row)) {
        ++rows;
    }
    EXPECT_GE(rows, 5);
}

TEST(SimLauncher, ScriptsFindTheLineAndTheAddressInTheEnvironment)
{
    // A Python script gets no operand; the line is in KELVEX_TTY.
    TempDir dir;
    const auto r = run_program(
        kSim, {"run", "--no-ground", "--no-plot", "--name", "sat-7", "--run-dir", dir / "run",
               "--", "/usr/bin/python3", "-c",
               "import os, stat, sys\n"
               "ok = len(sys.argv) == 1 and stat.S_ISCHR(os.stat(os.environ['KELVEX_TTY']).st_mode)\n"
               "ok = ok and os.environ['KELVEX_GROUND'].startswith('127.0.0.')\n"
               "sys.exit(0 if ok else 3)\n"});
    EXPECT_EQ(0, r.exit_code) << r.output;
    EXPECT_NE(std::string::npos, read_file(dir / "run/run.json").find("\"satellite\": \"sat-7\","));
}

TEST(SimLauncher, AConsoleThatGoesAwayLeavesTheRunWhole)
{
    TempDir dir;
    const auto r = run_program(
        "/bin/bash", {"-c", kSim + " run --no-ground --no-plot --run-dir " + dir / "run" +
                                " -- /bin/sh -c 'sleep 0.5; seq 1000; exit 3' | head -n 1; "
                                "exit ${PIPESTATUS[0]}"});
    EXPECT_EQ(3, r.exit_code) << r.output;
    std::string expected;
    for (int i = 1; i <= 1000; ++i) {
        expected += std::to_string(i) + "\n";
    }
    EXPECT_EQ(expected, read_file(dir / "run/mission.log"));
    EXPECT_NE(std::string::npos, read_file(dir / "run/run.json").find("\"exit_status\": 3,"));
}

TEST(SimLauncher, LineLogHoldsEveryFrameWithItsTime)
{
    TempDir dir;
    const auto r = run_program(kSim, kelvex::testing::with_seal_option({"run", "--no-ground", "--no-plot", "--lamp-azimuth",
                                                       "0", "--run-dir", dir / "run", "--", kHello}));
    ASSERT_EQ(0, r.exit_code) << r.output;
    std::istringstream log(read_file(dir / "run/line.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        EXPECT_TRUE(std::regex_match(line, std::regex("\\d+\\.\\d{6} (rx|tx)( [0-9a-f]{2})+")))
            << line;
        lines.push_back(line.substr(line.find(' ') + 1));
    }
    // The runner's greeting, the sun battery request and its answer.
    ASSERT_EQ(3u, lines.size()) << read_file(dir / "run/line.log");
    EXPECT_EQ("rx 08 48 49 20 41 4c 4c 21 01", lines[0]);
    EXPECT_EQ("rx 01 05 23 30 02 01 01", lines[1]);
    EXPECT_EQ(0u, lines[2].find("tx ")) << lines[2];
}

TEST(SimLauncher, ControlBytesFromTheLogAreEscapedOnTheConsole)
{
    TempDir dir;
    const auto r = run_program(
        kSim, {"run", "--no-ground", "--no-plot", "--run-dir", dir / "run", "--", "/usr/bin/python3",
               "-c",
               "import os, socket, time\n"
               "socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(\n"
               "    b'a\\x1b[2J\\\\b\\r\\nc\\xff\\n', (os.environ['KELVEX_GROUND'], 4567))\n"
               "time.sleep(0.2)\n"});
    EXPECT_EQ(0, r.exit_code) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("\n[ground] a\\x1b[2J\\\\b\\r\\nc\\xff\n")) << r.output;
    EXPECT_EQ(std::string::npos, r.output.find('\033'));
}

TEST(SimLauncher, TimeLimitStopsTheMission)
{
    TempDir dir;
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = run_program(kSim, {"run", "--no-ground", "--no-plot", "--time-limit", "1",
                                      "--run-dir", dir / "run", "--", "/bin/sh", "-c",
                                      "exec sleep 30"});
    EXPECT_EQ(128 + SIGTERM, r.exit_code) << r.output;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 10.0);
    const std::string record = read_file(dir / "run/run.json");
    EXPECT_NE(std::string::npos, record.find("\"time_limited\": true,")) << record;
    EXPECT_NE(std::string::npos, record.find("\"exit_status\": 143,")) << record;
}

TEST(SimLauncher, CtrlCStopsTheMissionAndTheSimulator)
{
    TempDir dir;
    const std::string marker = dir / "pid";
    // Unsealed: the mission tells its pid (as this machine numbers it) in a
    // file outside any room.
    Proc p({kSim, "run", "--no-seal", "--no-ground", "--no-plot", "--run-dir", dir / "run", "--",
            "/bin/sh", "-c", "echo $$ > " + marker + "; echo started; exec sleep 60"});
    p.read_until("started", 10.0);
    std::ifstream m(marker);
    pid_t mission = 0;
    ASSERT_TRUE(m >> mission);
    const auto t0 = std::chrono::steady_clock::now();
    kill(p.pid, SIGINT);
    std::string out;
    EXPECT_EQ(130, p.finish(out)) << out;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
    EXPECT_NE(0, kill(mission, 0)) << "the mission is gone";
    EXPECT_NE(std::string::npos, read_file(dir / "run/run.json").find("\"exit_status\": 130,"));
}

TEST(SimLauncher, KeepStationKeepsThePageUpUntilCtrlC)
{
    TempDir dir;
    std::vector<std::string> argv = kelvex::testing::with_seal_option({"run", "--keep-station", "--no-plot", "--run-dir",
                                                      dir / "run", "--", kHello});
    argv.insert(argv.begin(), kSim);
    Proc p(argv);
    const std::string said = p.read_until("until CTRL-C", 60.0);
    ASSERT_NE(std::string::npos, said.find("status 0; the page stays up until CTRL-C")) << said;
    std::smatch page;
    ASSERT_TRUE(std::regex_search(said, page, std::regex("page http://(127\\.0\\.0\\.\\d+):(\\d+)/")))
        << said;
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(page[2])));
    inet_pton(AF_INET, page[1].str().c_str(), &a.sin_addr);
    EXPECT_EQ(0, connect(sock, reinterpret_cast<sockaddr*>(&a), sizeof a)) << "the page is up";
    close(sock);
    kill(p.pid, SIGINT);
    std::string rest;
    EXPECT_EQ(0, p.finish(rest)) << "the mission's status, not CTRL-C's: " << rest;
    EXPECT_NE(std::string::npos, read_file(dir / "run/run.json").find("\"exit_status\": 0,"));
}

TEST(SimLauncher, RunRefusesTheOptionsItsFolderReplaces)
{
    for (const char* option : {"--telemetry", "--link"}) {
        const auto r = run_program(kSim, {"run", option, "x", "--", "/bin/true"});
        EXPECT_EQ(2, r.exit_code) << r.output;
        EXPECT_NE(std::string::npos, r.output.find(std::string(option) + " is not an option of run"))
            << r.output;
    }
    // A folder that holds something is not mixed into.
    TempDir dir;
    std::ofstream(dir / "other") << "x";
    const auto r = run_program(kSim, {"run", "--run-dir", dir.path.string(), "--", "/bin/true"});
    EXPECT_EQ(1, r.exit_code) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("is not an empty folder")) << r.output;
}

TEST(SimLauncher, AttachServesAMissionsOwnPseudoTerminal)
{
    // The runner opens /dev/ptmx itself and names the slave; the simulator
    // attaches to it. The mission asks sun battery 0, which faces the lamp.
    TempDir dir;
    ASSERT_EQ(0, run_program(kSim, {"gpio-tree", dir / "gpio"}).exit_code);
    setenv("KELVEX_GPIO_ROOT", (dir / "gpio").c_str(), 1);
    // Its first request goes out at once; the simulator is started only
    // after the pty's name is read, which a loaded machine may take a
    // while to do: attempts of a second, not the default 30 ms.
    Proc mission({kHello, "-t", "1000", "/dev/ptmx"});
    const std::string head = mission.read_until("\n", 10.0);
    const size_t at = head.find("pseudo-terminal is ");
    ASSERT_NE(std::string::npos, at) << head;
    std::string slave = head.substr(at + 19);
    slave = slave.substr(0, slave.find('\n'));
    Proc sim({kSim, "attach", "--lamp-azimuth", "0", "--noise", "0", slave});
    std::string out;
    EXPECT_EQ(0, mission.finish(out)) << out;
    EXPECT_NE(std::string::npos, out.find("sun battery 0 reads 1023")) << out;
    std::string sim_out;
    EXPECT_EQ(0, sim.finish(sim_out)) << "ends when the mission closes its side: " << sim_out;
    EXPECT_EQ("in", GpioTree::read_file(dir / "gpio/gpio17/direction"));
    EXPECT_EQ("17", GpioTree::read_file(dir / "gpio/export"));
}

TEST(SimLauncher, ServeReplacesNothingButItsOwnLink)
{
    TempDir dir;
    const std::string file = dir / "file", foreign = dir / "foreign";
    std::ofstream(file) << "keep me";
    ASSERT_EQ(0, symlink("/etc/hostname", foreign.c_str()));
    for (const std::string& link : {file, foreign}) {
        const auto r = run_program(kSim, {"serve", "--link", link}, {}, 5000);
        EXPECT_EQ(1, r.exit_code) << r.output;
        EXPECT_NE(std::string::npos, r.output.find("not replaced")) << r.output;
    }
    EXPECT_EQ("keep me", read_file(file));
    EXPECT_EQ("/etc/hostname", link_of(foreign));

    // An earlier serve's link (to a pty that is gone) is replaced, and
    // removed when this serve ends.
    const std::string own = dir / "line";
    ASSERT_EQ(0, symlink("/dev/pts/9999", own.c_str()));
    Proc serve({kSim, "serve", "--link", own});
    const std::string said = serve.read_until("\n", 10.0);
    ASSERT_NE(std::string::npos, said.find("pseudo-terminal is /dev/pts/")) << said;
    const std::string now = link_of(own);
    EXPECT_NE("/dev/pts/9999", now);
    EXPECT_NE(std::string::npos, said.find("pseudo-terminal is " + now + "\n")) << now;
    kill(serve.pid, SIGINT);
    std::string rest;
    EXPECT_EQ(0, serve.finish(rest)) << rest;
    struct stat st{};
    EXPECT_NE(0, lstat(own.c_str(), &st)) << "link removed";
}

TEST(SimLauncher, RunLineRecordsTheRunsOptionsAndStartsOnlyWhenTold)
{
    // The simulator of a run: the options checked and recorded before
    // anything is made, the line and t = 0 after "go", its end on EOF.
    TempDir dir;
    const auto bad = run_program(kSim, {"run-line", "--seed", "-1"});
    EXPECT_EQ(2, bad.exit_code) << bad.output;
    EXPECT_NE(std::string::npos, bad.output.find("bad value '-1' for --seed")) << bad.output;

    const std::string files = " --telemetry " + dir / "t.csv" + " --line-log " + dir / "line.log" +
                              " --events " + dir / "events.csv" + " --control " + dir / "c.sock" +
                              " --state " + dir / "state";
    const auto held = run_program(
        "/bin/bash", {"-c", kSim + " run-line --seed=4 --run-dir=there --no-plot" + files +
                                " < /dev/null"});
    EXPECT_EQ(0, held.exit_code) << held.output;
    EXPECT_EQ(0u, held.output.find("options {\"seed\": 4, ")) << held.output;
    EXPECT_NE(std::string::npos, held.output.find("\"run-dir\": \"there\", ")) << held.output;
    EXPECT_NE(std::string::npos, held.output.find("\"no-plot\": true, ")) << held.output;
    EXPECT_EQ(std::string::npos, held.output.find("telemetry\"")) << "serve's files are not run's";
    EXPECT_FALSE(fs::exists(dir / "t.csv")) << "nothing made before go";

    const auto flown =
        run_program("/bin/bash", {"-c", "echo go | " + kSim + " run-line --yaw=30" + files});
    EXPECT_EQ(0, flown.exit_code) << flown.output;
    EXPECT_TRUE(std::regex_search(flown.output,
                                  std::regex("\nline /dev/pts/\\d+\nt0 \\d+\\.\\d{6}\n"
                                             "end \\d+\\.\\d{6} 30\\.000000 90\\.000000\n$")))
        << flown.output;
    EXPECT_EQ(0u, read_file(dir / "t.csv").find("t,yaw_deg,")) << "the telemetry was written";
    EXPECT_TRUE(fs::exists(dir / "line.log"));
    EXPECT_FALSE(fs::exists(dir / "c.sock")) << "the control channel is removed at the end";
}
