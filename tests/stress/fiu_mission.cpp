// A mission that drives the serial line, the instrument socket and the log
// socket while libfiu makes system calls fail. Run it under `fiu-run -x` (see
// scripts/ci/fault-injection): once the runner has started it, control() forks
// a peer that plays the bus controller, an echoing instrument server and the
// ground log receiver (the peer runs without faults), then switches on the
// failure points named in KELVEX_FIU (comma separated, probability
// KELVEX_FIU_P) for the mission process alone.
//
// Every result must be a documented one, and nothing may arrive that was not
// sent: each accepted bus answer is the one the controller gave to that very
// request, the instrument bytes read add up to exactly what the server sent,
// and the log datagrams received are exactly those whose send succeeded.
// Exit status 0 when all of that holds.
#define FIU_ENABLE 1
#include <arpa/inet.h>
#include <fcntl.h>
#include <fiu-control.h>
#include <fiu.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_bus.h"
#include "kelvex/radio.h"
#include "kelvex/runner.h"

namespace {

using kelvex::testing::Bytes;

constexpr uint16_t kLogPort = 4567;  // the runner's default ground log port

// Values the controller puts behind the header: the request's own, plus one.
Bytes values_for(const Bytes& request)
{
    Bytes v(request.begin() + 6, request.end());
    for (uint8_t& b : v) {
        b = static_cast<uint8_t>(b + 1);
    }
    return v;
}

void write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        const ssize_t r = w < 0 && errno == ENOTSOCK ? ::write(fd, p, n) : w;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                pollfd pfd{fd, POLLOUT, 0};
                poll(&pfd, 1, 10);
                continue;
            }
            return;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
}

// Writes in pieces of 1 to 7 bytes with short pauses, so that the mission's
// reads come back short.
void write_in_chunks(int fd, const Bytes& bytes, std::minstd_rand& rng)
{
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t n = std::min<size_t>(bytes.size() - at, 1 + rng() % 7);
        write_all(fd, bytes.data() + at, n);
        at += n;
        if (rng() % 3 == 0) {
            usleep(static_cast<useconds_t>(rng() % 300));
        } else {
            sched_yield();
        }
    }
}

struct PeerSockets {
    int line = -1;      // the bus side of the pty
    int listener = -1;  // the instrument server
    int log = -1;       // the ground log receiver
    int report = -1;    // where the peer writes what it sent and received
    int stop = -1;      // closed by the mission when it is done
};

// The peer's transcript: the instrument bytes it sent, then one line per log
// datagram received.
[[noreturn]] void run_peer(PeerSockets s)
{
    std::minstd_rand rng(17);
    int conn = -1;
    Bytes pending;
    std::string instrument_sent;
    std::vector<std::string> datagrams;
    for (;;) {
        pollfd p[4] = {{s.line, POLLIN, 0}, {conn >= 0 ? conn : s.listener, POLLIN, 0}, {s.log, POLLIN, 0},
                       {s.stop, POLLIN, 0}};
        if (poll(p, 4, 1000) < 0 && errno != EINTR) {
            break;
        }
        if (p[0].revents & POLLIN) {
            uint8_t chunk[4096];
            const ssize_t n = read(s.line, chunk, sizeof chunk);
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] != 0) {
                    pending.push_back(chunk[i]);
                    continue;
                }
                Bytes request;
                if (!pending.empty() && kelvex::testing::cobs_decode_ref(pending, request) && request.size() >= 6) {
                    write_in_chunks(s.line,
                                    kelvex::testing::wire_frame(kelvex::testing::answer_to(request, values_for(request))),
                                    rng);
                }
                pending.clear();
            }
        }
        if (p[1].revents & POLLIN) {
            if (conn < 0) {
                conn = accept(s.listener, nullptr, nullptr);
            } else {
                uint8_t chunk[1024];
                const ssize_t n = recv(conn, chunk, sizeof chunk, 0);
                if (n > 0) {
                    instrument_sent.append(reinterpret_cast<char*>(chunk), static_cast<size_t>(n));
                    write_in_chunks(conn, Bytes(chunk, chunk + n), rng);
                } else {
                    close(conn);
                    conn = -1;
                }
            }
        }
        if (p[2].revents & POLLIN) {
            char d[2048];
            const ssize_t n = recv(s.log, d, sizeof d, 0);
            if (n >= 0) {
                datagrams.emplace_back(d, static_cast<size_t>(n));
            }
        }
        if (p[3].revents != 0) {
            // Every datagram the mission sent is queued here by now; on a
            // loaded machine several may still wait, and one recv per poll
            // round would leave them out of the transcript.
            char d[2048];
            for (ssize_t n; (n = recv(s.log, d, sizeof d, MSG_DONTWAIT)) >= 0;) {
                datagrams.emplace_back(d, static_cast<size_t>(n));
            }
            break;
        }
    }
    std::string report = std::to_string(instrument_sent.size()) + "\n" + instrument_sent;
    for (const std::string& d : datagrams) {
        report += d;
    }
    write_all(s.report, reinterpret_cast<const uint8_t*>(report.data()), report.size());
    _exit(0);
}

int bound_socket(int type, uint16_t port)
{
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        perror("bind");
        exit(3);
    }
    return fd;
}

uint16_t port_of(int fd)
{
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

std::vector<std::string> split(const char* text)
{
    std::vector<std::string> out;
    std::stringstream in(text != nullptr ? text : "");
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) {
            out.push_back(item);
        }
    }
    return out;
}

struct Tally {
    int exchanges_ok = 0;
    int exchanges_failed = 0;
    int wrong_answers = 0;
    int undocumented = 0;
    int logs_sent = 0;
    int logs_failed = 0;
    int measures_ok = 0;
    int measures_failed = 0;
};

}  // namespace

extern "C" void control(void)
{
    const int runs = getenv("KELVEX_FIU_RUNS") ? atoi(getenv("KELVEX_FIU_RUNS")) : 300;
    const float probability = getenv("KELVEX_FIU_P") ? static_cast<float>(atof(getenv("KELVEX_FIU_P"))) : 0.2f;
    const std::vector<std::string> points = split(getenv("KELVEX_FIU"));

    // The peer's ends: the pty's other side, the instrument server and the
    // log receiver, all opened before the fork.
    PeerSockets s;
    s.line = open(ptsname(G.fd), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(s.line, &t);
    cfmakeraw(&t);
    tcsetattr(s.line, TCSANOW, &t);
    s.listener = bound_socket(SOCK_STREAM, 0);
    listen(s.listener, 1);
    s.log = bound_socket(SOCK_DGRAM, kLogPort);
    int report[2];
    int stop[2];
    if (pipe(report) != 0 || pipe(stop) != 0) {
        exit(3);
    }
    s.report = report[1];
    s.stop = stop[0];
    const pid_t peer = fork();
    if (peer == 0) {
        close(report[0]);
        close(stop[1]);
        run_peer(s);
    }
    close(report[1]);
    close(stop[0]);
    close(s.line);
    close(s.log);
    if (instrument_attach("127.0.0.1", port_of(s.listener)) != 0) {
        std::printf("instrument_attach failed\n");
        exit(3);
    }
    close(s.listener);

    G.timeout = 50;
    G.retries = 2;
    debug = 0;
    for (const std::string& p : points) {
        fiu_enable_random(p.c_str(), 1, nullptr, 0, probability);
    }

    Tally tally;
    std::string instrument_read;
    std::vector<std::string> logs_sent;
    for (int i = 0; i < runs; ++i) {
        // The sender word carries the run number, so that a stale answer to an
        // earlier run never mirrors this run's addresses.
        const uint16_t unit = static_cast<uint16_t>(i % 4);
        Bytes request = kelvex::testing::le16({static_cast<uint16_t>(0x0D08 + unit),
                                               static_cast<uint16_t>(0x100 + unit),
                                               static_cast<uint16_t>(2 + i)});
        kelvex::testing::put_u16(request, static_cast<uint16_t>(i * 7));
        uint8_t answer[64];
        uint8_t* a = answer;
        int n = sizeof answer;
        const int r = do_request(&a, &n, request.data(), static_cast<int>(request.size()));
        if (r == 0) {
            ++tally.exchanges_ok;
            const Bytes expected = kelvex::testing::answer_to(request, values_for(request));
            if (Bytes(answer, answer + n) != expected) {
                if (tally.wrong_answers++ == 0) {
                    std::printf("first wrong answer, run %d: request", i);
                    for (uint8_t b : request) {
                        std::printf(" %02x", b);
                    }
                    std::printf(", answer");
                    for (int k = 0; k < n; ++k) {
                        std::printf(" %02x", answer[k]);
                    }
                    std::printf("\n");
                }
            }
        } else if (r == 1) {
            ++tally.exchanges_failed;
        } else {
            ++tally.undocumented;
        }

        char text[64];
        const int len = std::snprintf(text, sizeof text, "fault run %d\n", i);
        const int sent = buzz_write(text, len);
        if (sent == len) {
            ++tally.logs_sent;
            logs_sent.emplace_back(text, static_cast<size_t>(len));
        } else if (sent == -1) {
            ++tally.logs_failed;
        } else {
            ++tally.undocumented;
        }

        char req[32];
        const int rlen = std::snprintf(req, sizeof req, "REQ %d\n", i);
        char* pa = nullptr;
        int pi = -1;
        const int m = instrument_measure(req, rlen, &pa, &pi, 0);
        if (m == 0 && pi > 0 && pi <= 1024) {
            ++tally.measures_ok;
            instrument_read.append(pa, static_cast<size_t>(pi));
        } else if (m == 1 && (pi == 0 || pi == 1024)) {
            ++tally.measures_failed;
        } else {
            ++tally.undocumented;
        }
        free(pa);
    }

    for (const std::string& p : points) {
        fiu_disable(p.c_str());
    }
    // Whatever the instrument still has on its way is collected fault-free.
    char* pa = nullptr;
    int pi = 0;
    instrument_measure(nullptr, 0, &pa, &pi, 1);
    if (pi > 0 && pi <= 1024) {
        instrument_read.append(pa, static_cast<size_t>(pi));
    }
    free(pa);
    instrument_detach();
    usleep(50000);
    close(stop[1]);
    std::string transcript;
    char chunk[4096];
    for (ssize_t got; (got = read(report[0], chunk, sizeof chunk)) > 0;) {
        transcript.append(chunk, static_cast<size_t>(got));
    }
    waitpid(peer, nullptr, 0);

    const size_t nl = transcript.find('\n');
    const size_t instrument_bytes = nl == std::string::npos ? 0 : std::stoul(transcript.substr(0, nl));
    const std::string instrument_sent = transcript.substr(nl + 1, instrument_bytes);
    const std::string logs_received = transcript.substr(nl + 1 + instrument_bytes);
    std::string logs_expected;
    for (const std::string& l : logs_sent) {
        logs_expected += l;
    }
    const bool instrument_exact = instrument_read == instrument_sent;
    const bool logs_exact = logs_received == logs_expected;
    std::printf("faults %s p=%.2f runs %d: exchanges %d ok %d failed, %d wrong; log %d sent %d failed, %s; "
                "instrument %d ok %d failed, %zu of %zu bytes, %s; undocumented results %d\n",
                getenv("KELVEX_FIU") ? getenv("KELVEX_FIU") : "none", probability, runs, tally.exchanges_ok,
                tally.exchanges_failed, tally.wrong_answers, tally.logs_sent, tally.logs_failed,
                logs_exact ? "all received" : "MISMATCH", tally.measures_ok, tally.measures_failed,
                instrument_read.size(), instrument_sent.size(), instrument_exact ? "exact" : "MISMATCH",
                tally.undocumented);
    const bool pass = tally.wrong_answers == 0 && tally.undocumented == 0 && instrument_exact && logs_exact &&
                      tally.exchanges_ok > 0;
    std::fflush(stdout);
    _exit(pass ? 0 : 2);
}
