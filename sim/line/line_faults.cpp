#include "line/line_faults.h"

namespace kelvex::sim {

bool Faults::chance(double p)
{
    if (p <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p;
}

double Faults::line_time(size_t bytes) const
{
    return params_.baud > 0 ? 10.0 * static_cast<double>(bytes) / params_.baud : 0.0;
}

bool Faults::apply(Bytes frame, size_t request_bytes, Outgoing& out)
{
    if (chance(params_.drop)) {
        ++counts_.dropped;
        return false;
    }
    const Bytes clean = frame;
    if (frame.size() > 1 && chance(params_.corrupt)) {
        // Any byte but the delimiter, changed to any other value, zero
        // included: a line fault does not respect the framing.
        std::uniform_int_distribution<size_t> pos(0, frame.size() - 2);
        std::uniform_int_distribution<int> mask(1, 255);
        frame[pos(rng_)] ^= static_cast<uint8_t>(mask(rng_));
        ++counts_.corrupted;
    }
    out.bytes.clear();
    if (!last_frame_.empty() && chance(params_.glue)) {
        out.bytes = last_frame_;
        ++counts_.glued;
    }
    out.bytes.insert(out.bytes.end(), frame.begin(), frame.end());
    last_frame_ = clean;
    // The request's bytes (and its delimiter) have to cross the line before
    // the controller can answer.
    out.delay = line_time(request_bytes) + params_.delay_ms / 1000.0;
    if (chance(params_.late)) {
        out.delay += params_.late_ms / 1000.0;
        ++counts_.late;
    }
    return true;
}

}  // namespace kelvex::sim
