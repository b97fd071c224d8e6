// Line faults on demand: what happens to an answer between the controller
// and the mission.
#pragma once

#include <cstdint>
#include <random>

#include "line/framer.h"

namespace kelvex::sim {

struct FaultParams {
    double drop = 0;       // probability that an answer is never sent
    double corrupt = 0;    // probability that one byte of the frame is altered
    double late = 0;       // probability that an answer comes after late_ms
    double late_ms = 200;  // longer than the mission's answer time-out
    double glue = 0;       // probability that the previous frame goes out again,
                           // glued to this one in one write
    double delay_ms = 0;   // added to every answer
    int baud = 0;          // 0: instant line; else 10 bits per byte at this rate
};

struct FaultCounts {
    uint64_t dropped = 0, corrupted = 0, late = 0, glued = 0;
};

// An answer frame ready to go out `delay` seconds after its request arrived.
struct Outgoing {
    Bytes bytes;
    double delay = 0;
};

class Faults {
public:
    Faults(const FaultParams& p, uint32_t seed) : params_(p), base_(p), rng_(seed ^ 0x5a17u) {}

    // Decides the fate of one answer frame (delimiter included). Returns
    // false when the answer is dropped.
    bool apply(Bytes frame, size_t request_bytes, Outgoing& out);

    // Seconds the line needs for `bytes` bytes at the emulated speed.
    double line_time(size_t bytes) const;
    const FaultCounts& counts() const { return counts_; }
    const FaultParams& params() const { return params_; }
    // Switched during the run; base() keeps what the command line set.
    FaultParams& live() { return params_; }
    const FaultParams& base() const { return base_; }

private:
    bool chance(double p);

    FaultParams params_;
    FaultParams base_;
    FaultCounts counts_;
    std::mt19937 rng_;
    Bytes last_frame_;
};

}  // namespace kelvex::sim
