// The simulator's emulated line speed against the time the bytes need on
// the wire: one exchange (sun battery 0's raw reading through do_request) on
// a simulator at 115200 baud, and the same exchange on an instant simulator
// line as the floor of the pty, the transport and the controller; the two
// take turns, so both see the same machine at the same moment.
//   build/bench/sim_baud_bench [EXCHANGES] [BAUD]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fakes/sim_line.h"
#include "kelvex/kelvex.h"

namespace {

using kelvex::testing::SimLine;

// The request frame (6 bytes, COBS 7, delimiter) and the answer frame (8
// bytes, COBS 9, delimiter) at 10 bits a byte.
constexpr double kWireBytes = 8 + 10;

struct Spread {
    double p10, p50, p90;
};

Spread spread(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };
    return {at(0.10), at(0.50), at(0.90)};
}

double exchange_us(int fd, int& failures)
{
    G.fd = fd;
    uint16_t raw = 0;
    const auto t0 = std::chrono::steady_clock::now();
    failures += sunbattery_request_raw(0, &raw) != 0;
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

kelvex::sim::Options line_at(int baud)
{
    kelvex::sim::Options o = SimLine::quiet();
    o.faults.baud = baud;
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int baud = argc > 2 ? std::atoi(argv[2]) : 115200;
    G.timeout = 1000;
    G.retries = 1;
    SimLine instant(line_at(0));
    SimLine emulated(line_at(baud));
    std::vector<double> floor_us, line_us;
    int failures = 0;
    for (int i = 0; i < n; ++i) {
        floor_us.push_back(exchange_us(instant.mission_fd(), failures));
        line_us.push_back(exchange_us(emulated.mission_fd(), failures));
    }
    const double wire_us = kWireBytes * 10.0 / baud * 1e6;
    const Spread f = spread(floor_us);
    const Spread l = spread(line_us);
    std::printf("%d exchanges each, taking turns; %d failed\n", n, failures);
    std::printf("%-22s %9s %9s %9s\n", "", "p10 us", "p50 us", "p90 us");
    std::printf("%-22s %9.1f %9.1f %9.1f\n", "instant line (floor)", f.p10, f.p50, f.p90);
    std::printf("%-22s %9.1f %9.1f %9.1f\n", "emulated line", l.p10, l.p50, l.p90);
    std::printf("wire time at %d baud: %.1f us (%g bytes)\n", baud, wire_us, kWireBytes);
    std::printf("emulated / (wire + floor), p50: %.3f  (p10 %.3f, p90 %.3f)\n", l.p50 / (wire_us + f.p50),
                l.p10 / (wire_us + f.p10), l.p90 / (wire_us + f.p90));
    std::printf("(emulated - floor) / wire, p50: %.3f\n", (l.p50 - f.p50) / wire_us);
    return failures == 0 ? 0 : 1;
}
