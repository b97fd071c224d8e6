#include "model/battery_watch.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "battery/fields.h"
#include "kelvex/battery.h"
#include "model/sensors.h"

namespace kelvex::sim {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

BatteryWatch::BatteryWatch(std::string key_path) : key_path_(std::move(key_path)) {}

BatteryWatch::~BatteryWatch()
{
    if (record_ != nullptr) {
        shmdt(record_);
    }
}

void BatteryWatch::forget_stale()
{
    const key_t key = key_path_.empty() ? -1 : ftok(key_path_.c_str(), 0);
    const int id = key == -1 ? -1 : shmget(key, 0, 0);
    if (id >= 0) {
        shmctl(id, IPC_RMID, nullptr);
    }
}

const VirtualAccumulator* BatteryWatch::look()
{
    if (record_ != nullptr || key_path_.empty()) {
        return record_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < next_try_ && !every_look_) {
        return nullptr;
    }
    next_try_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(kRetry));
    if (key_ == -1) {
        key_ = ftok(key_path_.c_str(), 0);
    }
    // No IPC_CREAT: the mission makes the record, we only look at it.
    const int id = key_ == -1 ? -1 : shmget(key_, sizeof(VirtualAccumulator), 0);
    if (id < 0) {
        return nullptr;
    }
    void* at = shmat(id, nullptr, SHM_RDONLY);
    if (at != reinterpret_cast<void*>(-1)) {
        record_ = static_cast<const VirtualAccumulator*>(at);
    }
    return record_;
}

double BatteryWatch::charge_ah() const
{
    if (record_ == nullptr) {
        return kNaN;
    }
    // The loop stores the whole double at once on this host; one load.
    double v;
    __atomic_load(&record_->charge, &v, __ATOMIC_RELAXED);
    return v;
}

double BatteryWatch::consumption_ma() const
{
    return record_ ? battery::load(&record_->discharging_current) : kNaN;
}

double BatteryWatch::charging_ma() const
{
    return record_ ? battery::load(&record_->charging_current) : kNaN;
}

double charging_law_ma(double lamp_intensity, double lamp_angle_deg, int ncells)
{
    const double incidence = std::cos(lamp_angle_deg * 3.14159265358979323846 / 180.0);
    const long raw = std::lround(std::clamp(kAdcMax * lamp_intensity * std::max(0.0, incidence), 0.0,
                                            double{kAdcMax}));
    return static_cast<double>(raw * ncells / kAdcMax);
}

}  // namespace kelvex::sim
