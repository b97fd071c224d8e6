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
//
// With --virtual, flights in the run's virtual time at --speed max instead:
// a mission (this program again, started with the interposer next to each
// kelvex-sim preloaded, as a run starts one) makes K exchanges and sleeps P ms
// of virtual time, C times over, against a fresh `kelvex-sim run-line
// --clock=virtual --speed=max` each flight. Three shapes: the sun-pointing
// example's (11 exchanges every 50 ms for 20 s), exchanges alone and
// sleeps alone, so that the wall time of one exchange and of one step of the
// clock come apart. Per flight: its wall time from the mission's start to
// its end, the simulator's and the mission's processor time; each build's
// ratios (wall, the simulator's processor time) to the first one given, flight by
// flight.
//   build/bench/sim_exchange_bench --virtual [--rounds=N] KELVEX-SIM...
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
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
    SimResponder(const std::string& sim, const std::string& dir, int index, bool virtual_clock = false)
        : sim_(sim)
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
                                         "--events=" + folder + "/events.csv",
                                         "--control=" + folder + "/control.sock"};
        if (virtual_clock) {
            args.insert(args.end(), {"--clock=virtual", "--speed=max"});
        }
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
        line_path_ = line.substr(5);
        if (virtual_clock) {
            // In virtual time only a party of the clock may use the line:
            // bytes the clock does not see written would hold it for ever.
            read_line(line);  // t0
            if (!read_line(line) || line.rfind("clock ", 0) != 0) {
                fail("did not give a clock");
            }
            clock_ = line.substr(6);
            return;
        }
        line_ = open(line_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        make_raw(line_);
        read_line(line);  // t0
    }
    ~SimResponder() override
    {
        close(to_);  // end of its standard input: it stops
        if (line_ >= 0) {
            close(line_);
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        fclose(from_);
    }
    int line() const override { return line_; }
    double cpu_ns() const override
    {
        // Every thread's time on a processor, to the nanosecond.
        return sum_over_threads([](std::ifstream& f) {
            double on_cpu = 0;
            return f >> on_cpu ? on_cpu : 0.0;
        }, "schedstat");
    }
    std::string name() const override { return sim_; }
    // Times its threads went to sleep (voluntary context switches).
    double sleeps() const
    {
        return sum_over_threads([](std::ifstream& f) {
            for (std::string line; std::getline(f, line);) {
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                    return std::atof(line.c_str() + 24);
                }
            }
            return 0.0;
        }, "status");
    }
    const std::string& line_path() const { return line_path_; }
    const std::string& clock_path() const { return clock_; }

private:
    // What `value` reads from each thread's /proc file `file`, summed.
    template <typename Value>
    double sum_over_threads(Value value, const char* file) const
    {
        double sum = 0;
        const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
        DIR* d = opendir(tasks.c_str());
        if (d == nullptr) {
            return 0;
        }
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                std::ifstream f(tasks + "/" + e->d_name + "/" + file);
                sum += value(f);
            }
        }
        closedir(d);
        return sum;
    }
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
    std::string line_path_;
    std::string clock_;
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

// ---- flights in virtual time ---------------------------------------------------

// What a mission of the bench does: `cycles` times `per_cycle` exchanges and
// a sleep of `period_ms`.
struct Shape {
    const char* name;
    int cycles, per_cycle, period_ms;
};

constexpr Shape kShapes[] = {
    {"sun-pointing shape (11 exchanges / 50 ms, 20 s)", 400, 11, 50},
    {"exchanges alone (4000, no sleep)", 1, 4000, 0},
    {"sleeps alone (400 x 50 ms)", 400, 0, 50},
};

// The mission's side, in the process the interposer is preloaded into:
// returns the failed requests (its exit status).
int fly(const char* line, int cycles, int per_cycle, int period_ms)
{
    const int fd = open(line, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 100;
    }
    make_raw(fd);
    G.fd = fd;
    G.timeout = 1000;
    G.retries = 1;
    int failures = 0;
    uint16_t raw = 0;
    for (int c = 0; c < cycles; ++c) {
        for (int i = 0; i < per_cycle; ++i) {
            failures += sunbattery_request_raw(0, &raw) != 0;
        }
        if (period_ms > 0) {
            mSleep(period_ms);
        }
    }
    close(fd);
    return std::min(failures, 99);
}

struct Flight {
    double wall_ms, sim_cpu_ms, mission_cpu_ms;
    double sim_sleeps, mission_sleeps;  // voluntary context switches
    int status;
};

std::string dir_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// One flight of `shape` against a fresh simulator.
Flight fly_once(const std::string& self, const std::string& sim, const std::string& dir, int index,
                const Shape& shape)
{
    SimResponder responder(sim, dir, index, true);
    const std::string preload = dir_of(sim) + "/libkelvex_clock.so";
    const std::string args[] = {std::to_string(shape.cycles), std::to_string(shape.per_cycle),
                                std::to_string(shape.period_ms)};
    const double sim0 = responder.cpu_ns();
    const double slept0 = responder.sleeps();
    const double w0 = wall_ns();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("KELVEX_CLOCK", responder.clock_path().c_str(), 1);
        setenv("KELVEX_CLOCK_ROLE", "party", 1);
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execl(self.c_str(), self.c_str(), "--fly", responder.line_path().c_str(), args[0].c_str(),
              args[1].c_str(), args[2].c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    const double w1 = wall_ns();
    const double sim1 = responder.cpu_ns();
    const double slept1 = responder.sleeps();
    const double mission = (static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
                            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec)) / 1e3;
    return {(w1 - w0) / 1e6, (sim1 - sim0) / 1e6, mission, slept1 - slept0,
            static_cast<double>(ru.ru_nvcsw), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

void print_spread(const char* what, const std::vector<double>& v, const char* unit)
{
    const Spread s = spread(v);
    std::printf("  %-30s %9.2f [%.2f-%.2f] %s\n", what, s.median, s.low, s.high, unit);
}

int run_virtual(const std::string& self, const std::vector<std::string>& sims, int rounds)
{
    char dir[] = "/tmp/kelvex-exchange-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    const size_t k = sims.size();
    int failed = 0;
    std::printf("flights in virtual time at --speed max, %d rounds, the builds taking turns\n", rounds);
    for (const Shape& shape : kShapes) {
        std::vector<std::vector<Flight>> got(k);
        for (int r = 0; r < rounds; ++r) {
            for (size_t j = 0; j < k; ++j) {
                const size_t who = (r + j) % k;
                got[who].push_back(fly_once(self, sims[who], dir, static_cast<int>(who), shape));
                failed += got[who].back().status != 0;
            }
        }
        const int exchanges = shape.cycles * shape.per_cycle;
        const int steps = shape.period_ms > 0 ? shape.cycles : 0;
        std::printf("%s: %d exchanges, %d sleeps; median [lowest-highest]\n", shape.name, exchanges,
                    steps);
        for (size_t who = 0; who < k; ++who) {
            std::vector<double> wall, per, sim_cpu, mission_cpu, sim_sleeps, mission_sleeps, ratio,
                sim_ratio;
            const double events = exchanges > 0 ? exchanges : steps;
            for (size_t i = 0; i < got[who].size(); ++i) {
                const Flight& f = got[who][i];
                wall.push_back(f.wall_ms);
                per.push_back(f.wall_ms * 1e3 / events);
                sim_sleeps.push_back(f.sim_sleeps / events);
                mission_sleeps.push_back(f.mission_sleeps / events);
                sim_cpu.push_back(f.sim_cpu_ms);
                mission_cpu.push_back(f.mission_cpu_ms);
                ratio.push_back(f.wall_ms / got[0][i].wall_ms);
                sim_ratio.push_back(f.sim_cpu_ms / got[0][i].sim_cpu_ms);
            }
            std::printf("%s\n", sims[who].c_str());
            print_spread("wall", wall, "ms");
            print_spread(exchanges > 0 ? "wall per exchange" : "wall per sleep", per, "us");
            print_spread("simulator processor", sim_cpu, "ms");
            print_spread("mission processor", mission_cpu, "ms");
            const char* each = exchanges > 0 ? "per exchange" : "per sleep";
            print_spread((std::string("simulator's sleeps ") + each).c_str(), sim_sleeps, "");
            print_spread((std::string("mission's sleeps ") + each).c_str(), mission_sleeps, "");
            if (who > 0) {
                print_spread("wall / first build's", ratio, "");
                print_spread("simulator processor / first's", sim_ratio, "");
            }
        }
    }
    const std::string cleanup = std::string("rm -rf '") + dir + "'";
    (void)!std::system(cleanup.c_str());
    if (failed) {
        std::printf("%d flights ended with failed requests\n", failed);
    }
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::string(argv[1]) == "--fly") {
        return fly(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    }
    int rounds = 10;
    int exchanges = 2000;
    bool virtual_time = false;
    std::vector<std::string> sims;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--virtual") {
            virtual_time = true;
        } else if (a.rfind("--rounds=", 0) == 0) {
            rounds = std::atoi(a.c_str() + 9);
        } else if (a.rfind("--exchanges=", 0) == 0) {
            exchanges = std::atoi(a.c_str() + 12);
        } else {
            sims.push_back(a);
        }
    }
    if (sims.empty()) {
        std::fprintf(stderr, "usage: sim_exchange_bench [--virtual] [--rounds=N] [--exchanges=N] "
                             "KELVEX-SIM...\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (virtual_time) {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) {
            return 1;
        }
        self[n] = 0;
        return run_virtual(self, sims, rounds);
    }
    char dir[] = "/tmp/kelvex-exchange-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
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
