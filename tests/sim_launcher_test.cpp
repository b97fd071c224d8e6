// kelvex-sim as a program: the run launcher's contract with missions and
// scripts, CTRL-C, and attaching to a mission's own pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kSim = KELVEX_BUILD_DIR "/sim/kelvex-sim";

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

std::string temp_csv(const char* name)
{
    return std::string(KELVEX_TEST_BINARY_DIR) + "/" + name + ".csv";
}

}  // namespace

TEST(SimLauncher, RunGivesTheMissionItsLineEnvironmentAndStatus)
{
    // The mission checks what it got and reports through the log channel.
    const std::string script =
        "test -c \"$1\" && test \"$1\" = \"$KELVEX_TTY\" || exit 10\n"
        "test -f \"$KELVEX_GPIO_ROOT/export\" && test -d \"$KELVEX_GPIO_ROOT/gpio17\" || exit 11\n"
        "for k in t yaw_deg rate_dps lamp_azimuth_deg lamp_angle_deg wheel_rpm; do\n"
        "  grep -q \"^$k=\" \"$KELVEX_SIM_STATE\" || exit 12\n"
        "done\n"
        "grep -q '^lamp_angle_deg=-30.000$' \"$KELVEX_SIM_STATE\" || exit 13\n"
        "echo -n 'over and out' > /dev/udp/127.0.0.1/4567\n"
        "sleep 0.2\n"
        "exit 7\n";
    const std::string csv = temp_csv("sim_launcher_run");
    Proc p({kSim, "run", "--no-ground", "--lamp-azimuth", "10", "--yaw", "40", "--telemetry", csv,
            "--", "/bin/bash", "-c", script, "mission"});
    std::string out;
    EXPECT_EQ(7, p.finish(out)) << out;
    EXPECT_NE(std::string::npos, out.find("[ground] over and out\n")) << out;
    EXPECT_NE(std::string::npos, out.find("mission ended with status 7")) << out;

    std::ifstream f(csv);
    std::string header, row;
    ASSERT_TRUE(std::getline(f, header));
    EXPECT_EQ(0u, header.find("t,yaw_deg,rate_dps,wheel_rpm,lamp_angle_deg,")) << header;
    int rows = 0;
    while (std::getline(f, row)) {
        ++rows;
    }
    EXPECT_GE(rows, 5);
}

TEST(SimLauncher, ScriptsFindTheLineInTheEnvironment)
{
    // A Python script gets no operand; the line is in KELVEX_TTY.
    Proc p({kSim, "run", "--no-ground", "--telemetry", temp_csv("sim_launcher_py"), "--",
            "/usr/bin/python3", "-c",
            "import os, stat, sys\n"
            "ok = len(sys.argv) == 1 and stat.S_ISCHR(os.stat(os.environ['KELVEX_TTY']).st_mode)\n"
            "sys.exit(0 if ok else 3)\n"});
    std::string out;
    EXPECT_EQ(0, p.finish(out)) << out;
}

TEST(SimLauncher, CtrlCStopsTheMissionAndTheSimulator)
{
    const std::string marker = std::string(KELVEX_TEST_BINARY_DIR) + "/sim_launcher_pid";
    std::remove(marker.c_str());
    Proc p({kSim, "run", "--no-ground", "--telemetry", temp_csv("sim_launcher_int"), "--",
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
}

TEST(SimLauncher, AttachServesAMissionsOwnPseudoTerminal)
{
    // The runner opens /dev/ptmx itself and names the slave; the simulator
    // attaches to it. The mission asks sun battery 0, which faces the lamp.
    const std::string gpio = std::string(KELVEX_TEST_BINARY_DIR) + "/sim_attach_gpio";
    ASSERT_EQ(0, std::system(("rm -rf " + gpio + " && mkdir -p " + gpio + "/gpio17 && touch " +
                              gpio + "/export " + gpio + "/unexport " + gpio + "/gpio17/direction " + gpio +
                              "/gpio17/value")
                                 .c_str()));
    setenv("KELVEX_GPIO_ROOT", gpio.c_str(), 1);
    Proc mission({std::string(KELVEX_BUILD_DIR) + "/examples/hello_mission", "/dev/ptmx"});
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
}
