// What one exchange costs the simulator's processor against the least a
// responder can do: sun battery 0's raw reading (do_request, as a mission
// asks it) answered by
//   - a raw responder, a thread of this program on the pty's other side that
//     polls, reads to the frame's delimiter and writes a canned answer;
//   - each kelvex-sim given, as a run starts it (`kelvex-sim run-line`,
//     telemetry and line log written into a temporary folder).
// The contenders take turns, each going first in turn. Per round and
// contender: the responder's processor time per exchange (the thread's
// clock, or the simulator's threads' schedstat), the caller's, and the wall
// time; the figures are medians over the rounds, lowest and highest in
// brackets, and each simulator's ratio to the raw responder. Two builds'
// kelvex-sim given side by side compare a change in the same run.
//   build/bench/sim_exchange_bench [--rounds=N] [--exchanges=N] [KELVEX-SIM...]
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kelvex/kelvex.h"
#include "kelvex/runner.h"

namespace {

void make_raw(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

double thread_cpu_ns(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double wall_ns()
{
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A responder: answers each request; its processor time in nanoseconds.
class Responder {
public:
    virtual ~Responder() = default;
    virtual int line() const = 0;
    virtual double cpu_ns() const = 0;
    virtual std::string name() const = 0;
};

// The least a responder does: poll, read to the delimiter, write the answer.
class RawResponder : public Responder {
public:
    RawResponder()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        make_raw(master_);
        line_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_NONBLOCK);
        make_raw(line_);
        if (pipe(stop_) != 0) {
            std::abort();
        }
        thread_ = std::thread([this] { serve(); });
        pthread_getcpuclockid(thread_.native_handle(), &clock_);
    }
    ~RawResponder() override
    {
        (void)!write(stop_[1], "x", 1);
        thread_.join();
        for (int fd : {master_, line_, stop_[0], stop_[1]}) {
            close(fd);
        }
    }
    int line() const override { return line_; }
    double cpu_ns() const override { return thread_cpu_ns(clock_); }
    std::string name() const override { return "raw responder"; }

private:
    void serve()
    {
        uint8_t chunk[4096];
        uint8_t frame[256];
        size_t have = 0;
        for (;;) {
            pollfd p[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || p[1].revents != 0) {
                return;
            }
            const ssize_t n = read(master_, chunk, sizeof chunk);
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] != 0) {
                    frame[have++ % sizeof frame] = chunk[i];
                    continue;
                }
                uint8_t req[256];
                const cobs_decode_result d = cobs_decode(req, sizeof req, frame, std::min(have, sizeof frame));
                have = 0;
                if (d.status != COBS_DECODE_OK || d.out_len < 6) {
                    continue;
                }
                const uint8_t a[10] = {req[0], req[1], req[4], req[5], req[2], req[3], 0x00, 0x02, 0xFF, 0x03};
                uint8_t out[16];
                const cobs_encode_result e = cobs_encode(out, sizeof out - 1, a, sizeof a);
                out[e.out_len] = 0;
                (void)!write(master_, out, e.out_len + 1);
            }
        }
    }

    int master_ = -1;
    int line_ = -1;
    int stop_[2] = {-1, -1};
    clockid_t clock_{};
    std::thread thread_;
};

// kelvex-sim run-line, started as a run starts it.
class SimResponder : public Responder {
public:
    SimResponder(const std::string& sim, const std::string& dir, int index) : sim_(sim)
    {
        int in[2], out[2];
        // Close-on-exec: a second simulator must not hold this one's input
        // open, or it never sees its end.
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            std::abort();
        }
        const std::string folder = dir + "/sim-" + std::to_string(index);
        mkdir_p(folder);
        std::vector<std::string> args = {sim, "run-line", "--telemetry=" + folder + "/telemetry.csv",
                                         "--line-log=" + folder + "/line.log",
                                         "--events=" + folder + "/events.csv"};
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            for (int fd : {in[0], in[1], out[0], out[1]}) {
                close(fd);
            }
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = fdopen(out[0], "r");
        std::string line;
        if (!read_line(line) || line.rfind("options ", 0) != 0) {
            fail("did not say its options");
        }
        (void)!write(to_, "go\n", 3);
        if (!read_line(line) || line.rfind("line ", 0) != 0) {
            fail("did not give a line");
        }
        line_ = open(line.substr(5).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        make_raw(line_);
        read_line(line);  // t0
        // Other lines (a clock in virtual time) are not read: they are not
        // asked for, as the run is not given --clock.
    }
    ~SimResponder() override
    {
        close(to_);  // end of its standard input: it stops
        close(line_);
        int status = 0;
        waitpid(pid_, &status, 0);
        fclose(from_);
    }
    int line() const override { return line_; }
    double cpu_ns() const override
    {
        // Every thread's time on a processor, to the nanosecond.
        double sum = 0;
        const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
        DIR* d = opendir(tasks.c_str());
        if (d == nullptr) {
            return 0;
        }
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::ifstream f(tasks + "/" + e->d_name + "/schedstat");
            double on_cpu = 0;
            if (f >> on_cpu) {
                sum += on_cpu;
            }
        }
        closedir(d);
        return sum;
    }
    std::string name() const override { return sim_; }

private:
    static void mkdir_p(const std::string& path)
    {
        const std::string cmd = "mkdir -p '" + path + "'";
        if (std::system(cmd.c_str()) != 0) {
            std::abort();
        }
    }
    bool read_line(std::string& line)
    {
        char buf[4096];
        if (fgets(buf, sizeof buf, from_) == nullptr) {
            return false;
        }
        line = buf;
        while (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        return true;
    }
    [[noreturn]] void fail(const char* what)
    {
        std::fprintf(stderr, "sim_exchange_bench: %s %s\n", sim_.c_str(), what);
        std::exit(1);
    }

    std::string sim_;
    pid_t pid_ = -1;
    int to_ = -1;
    FILE* from_ = nullptr;
    int line_ = -1;
};

struct Sample {
    double responder_us, caller_us, wall_us;
};

Sample round(const Responder& r, int n, long& failures)
{
    G.fd = r.line();
    uint16_t raw = 0;
    for (int i = 0; i < 20; ++i) {  // warm up: first request flushes, caches fill
        failures += sunbattery_request_raw(0, &raw) != 0;
    }
    const double r0 = r.cpu_ns(), c0 = thread_cpu_ns(CLOCK_THREAD_CPUTIME_ID), w0 = wall_ns();
    for (int i = 0; i < n; ++i) {
        failures += sunbattery_request_raw(0, &raw) != 0;
    }
    const double w1 = wall_ns(), c1 = thread_cpu_ns(CLOCK_THREAD_CPUTIME_ID), r1 = r.cpu_ns();
    return {(r1 - r0) / n / 1e3, (c1 - c0) / n / 1e3, (w1 - w0) / n / 1e3};
}

struct Spread {
    double median, low, high;
};

Spread spread(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

void print(const char* what, const std::vector<double>& v)
{
    const Spread s = spread(v);
    std::printf("  %-26s %8.1f [%.1f-%.1f]\n", what, s.median, s.low, s.high);
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 10;
    int exchanges = 2000;
    std::vector<std::string> sims;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--rounds=", 0) == 0) {
            rounds = std::atoi(a.c_str() + 9);
        } else if (a.rfind("--exchanges=", 0) == 0) {
            exchanges = std::atoi(a.c_str() + 12);
        } else {
            sims.push_back(a);
        }
    }
    if (sims.empty()) {
        std::fprintf(stderr, "usage: sim_exchange_bench [--rounds=N] [--exchanges=N] KELVEX-SIM...\n");
        return 2;
    }
    char dir[] = "/tmp/kelvex-exchange-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    G.timeout = 1000;
    G.retries = 1;
    std::vector<Responder*> all;
    all.push_back(new RawResponder());
    for (size_t i = 0; i < sims.size(); ++i) {
        all.push_back(new SimResponder(sims[i], dir, static_cast<int>(i)));
    }
    const size_t k = all.size();
    std::vector<std::vector<Sample>> got(k);
    long failures = 0;
    for (int r = 0; r < rounds; ++r) {
        for (size_t j = 0; j < k; ++j) {
            const size_t who = (r + j) % k;
            got[who].push_back(round(*all[who], exchanges, failures));
        }
    }
    std::printf("%d rounds of %d exchanges each, taking turns; %ld failed\n", rounds, exchanges, failures);
    std::printf("microseconds per exchange, median [lowest-highest] of the rounds\n");
    for (size_t who = 0; who < k; ++who) {
        std::vector<double> resp, caller, wall, ratio;
        for (size_t i = 0; i < got[who].size(); ++i) {
            resp.push_back(got[who][i].responder_us);
            caller.push_back(got[who][i].caller_us);
            wall.push_back(got[who][i].wall_us);
            ratio.push_back(got[who][i].responder_us / got[0][i].responder_us);
        }
        std::printf("%s\n", all[who]->name().c_str());
        print("responder processor", resp);
        print("caller processor", caller);
        print("wall", wall);
        if (who > 0) {
            const Spread s = spread(ratio);
            std::printf("  %-26s %8.2f [%.2f-%.2f]\n", "responder / raw", s.median, s.low, s.high);
        }
    }
    for (Responder* r : all) {
        delete r;
    }
    const std::string cleanup = std::string("rm -rf '") + dir + "'";
    (void)!std::system(cleanup.c_str());
    return failures == 0 ? 0 : 1;
}
