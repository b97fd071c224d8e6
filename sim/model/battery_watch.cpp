#include "model/battery_watch.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cmath>
#include <limits>
#include <string>

#include "battery/fields.h"
#include "model/booking.h"
#include "model/bus.h"
#include "kelvex/battery.h"
#include "model/physics.h"
#include "model/sensors.h"
#include "model/telemetry.h"

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

const VirtualAccumulator* BatteryWatch::record()
{
    if (record_ != nullptr || key_path_.empty()) {
        return record_;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < next_try_) {
        return nullptr;
    }
    next_try_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                          std::chrono::duration<double>(kRetry));
    const key_t key = ftok(key_path_.c_str(), 0);
    // No IPC_CREAT: the mission makes the record, we only look at it.
    const int id = key == -1 ? -1 : shmget(key, sizeof(VirtualAccumulator), 0);
    if (id < 0) {
        return nullptr;
    }
    void* at = shmat(id, nullptr, SHM_RDONLY);
    if (at != reinterpret_cast<void*>(-1)) {
        record_ = static_cast<const VirtualAccumulator*>(at);
    }
    return record_;
}

double BatteryWatch::charge_ah()
{
    const VirtualAccumulator* r = record();
    if (r == nullptr) {
        return kNaN;
    }
    // The loop stores the whole double at once on this host; one load.
    double v;
    __atomic_load(&r->charge, &v, __ATOMIC_RELAXED);
    return v;
}

double BatteryWatch::consumption_ma()
{
    const VirtualAccumulator* r = record();
    return r ? battery::load(&r->discharging_current) : kNaN;
}

double BatteryWatch::charging_ma()
{
    const VirtualAccumulator* r = record();
    return r ? battery::load(&r->charging_current) : kNaN;
}

double charging_law_ma(double lamp_intensity, double lamp_angle_deg, int ncells)
{
    const double incidence = std::cos(lamp_angle_deg * 3.14159265358979323846 / 180.0);
    const long raw = std::lround(std::clamp(kAdcMax * lamp_intensity * std::max(0.0, incidence), 0.0,
                                            double{kAdcMax}));
    return static_cast<double>(raw * ncells / kAdcMax);
}

void add_energy_columns(Telemetry& t, BatteryWatch& b, const Physics& p, const Bus& bus, int ncells)
{
    t.add_column("battery_attached", "%.0f", [&b] { return b.record() ? 1.0 : 0.0; });
    t.add_column("battery_charge_ah", "%.9g", [&b] { return b.charge_ah(); });
    t.add_column("battery_consumption_ma", "%.6g", [&b] { return b.consumption_ma(); });
    t.add_column("battery_charging_ma", "%.6g", [&b] { return b.charging_ma(); });
    t.add_column("battery_sun_charging_ma", "%.0f", [&p, ncells] {
        return charging_law_ma(p.lamp_intensity(), p.lamp_angle_deg(), ncells);
    });
    // What the record would book if every unit the controller saw switched
    // on were still booked: the difference to battery_consumption_ma is what
    // the mission switched off without telling the controller.
    t.add_column("battery_controller_view_ma", "%.6g", [&bus] {
        double sum = 0;
        for (const devices::Family& f : devices::kFamilyTable) {
            if (f.switched() && f.op_count > 0) {
                sum += f.consumption * __builtin_popcount(bus.units().mask(f.id));
            }
        }
        return sum;
    });
}

void add_booking_columns(Telemetry& t, BatteryWatch& b, Booking& booking, const Physics& p)
{
    bool first = true;
    for (const devices::Family& f : devices::kFamilyTable) {
        if (!Booking::followed(f.id)) {
            continue;
        }
        const std::string name = std::string(f.prefix) + "booked";
        // The first column of a row brings the inference up to date.
        t.add_column(name, "%.0f", [&b, &booking, &p, id = f.id, first] {
            if (first) {
                booking.sample(b.consumption_ma(), p.time());
            }
            return static_cast<double>(booking.mask(id));
        });
        first = false;
    }
}

}  // namespace kelvex::sim
