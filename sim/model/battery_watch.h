// The mission's battery record, followed read-only: the System V segment
// keyed by ftok(key file, 0) that the mission's accumulator_create makes,
// attached once it exists.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

struct VirtualAccumulator;

namespace kelvex::sim {

class BatteryWatch {
public:
    // An empty path: nothing to follow.
    explicit BatteryWatch(std::string key_path);
    // Looks for the record at every call, not at most every kRetry of the
    // wall clock: in virtual time when it appears must not depend on the wall.
    void look_every_time() { every_look_ = true; }
    // Removes a record under our key that an earlier run left (records
    // outlive their missions, and a new key file may reuse an old one's
    // inode, hence its key): called before the mission starts, so that the
    // first look finds this run's record or none.
    void forget_stale();
    ~BatteryWatch();
    BatteryWatch(const BatteryWatch&) = delete;
    BatteryWatch& operator=(const BatteryWatch&) = delete;

    // Looks for the record if it is not attached yet (at most every kRetry,
    // or at every call after look_every_time()) and attaches it once the
    // mission made it; returns it, null until then.
    const VirtualAccumulator* look();
    // The record as the last look left it: null until one found it.
    const VirtualAccumulator* record() const { return record_; }

    // From the record as attached; NaN while there is none.
    double charge_ah() const;
    double consumption_ma() const;  // discharging current
    double charging_ma() const;     // charging current

    static constexpr double kRetry = 0.5;

private:
    std::string key_path_;
    const VirtualAccumulator* record_ = nullptr;
    std::chrono::steady_clock::time_point next_try_{};
    bool every_look_ = false;
    // The key file's key, taken once: a missing record is looked for with
    // one system call, not a stat of the key file too.
    key_t key_ = -1;
};

// Sun battery 0's charging current by the battery loop's law,
// raw * ncells / max in integers, from its noise-free reading.
double charging_law_ma(double lamp_intensity, double lamp_angle_deg, int ncells);

}  // namespace kelvex::sim
