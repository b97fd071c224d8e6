// The mission's battery record, followed read-only: the System V segment
// keyed by ftok(key file, 0) that the mission's accumulator_create makes,
// attached once it exists.
#pragma once

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
    ~BatteryWatch();
    BatteryWatch(const BatteryWatch&) = delete;
    BatteryWatch& operator=(const BatteryWatch&) = delete;

    // The record, attached on the first call after the mission made it;
    // null until then. Looks again at most every kRetry seconds.
    const VirtualAccumulator* record();

    double charge_ah();         // NaN while there is no record
    double consumption_ma();    // discharging current
    double charging_ma();       // charging current

    static constexpr double kRetry = 0.5;

private:
    std::string key_path_;
    const VirtualAccumulator* record_ = nullptr;
    std::chrono::steady_clock::time_point next_try_{};
    bool every_look_ = false;
};

// Sun battery 0's charging current by the battery loop's law,
// raw * ncells / max in integers, from its noise-free reading.
double charging_law_ma(double lamp_intensity, double lamp_angle_deg, int ncells);

}  // namespace kelvex::sim
