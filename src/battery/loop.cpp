// The battery integration loop.
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "battery/fields.h"
#include "kelvex/battery.h"
#include "kelvex/devices.h"
#include "kelvex/link.h"
#include "kelvex/runner.h"

namespace {

using kelvex::battery::load;
using kelvex::battery::store;

constexpr uint16_t kSunBattery = 0;
constexpr uint32_t kRefreshEvery = 1000;

// Reference stamp of the running iteration; all zero until the first one.
timeval reference{0, 0};
// Never reset: a second run in the same process goes on counting.
uint32_t count = 0;

// Charge in ampere-hours that mA milliamperes move from the reference stamp
// until now.
double ampere_hours(float mA)
{
    if (reference.tv_sec == 0 && reference.tv_usec == 0) {
        return 0.0;
    }
    timeval now;
    gettimeofday(&now, nullptr);
    const double elapsed = static_cast<double>(now.tv_sec - reference.tv_sec) +
                           static_cast<double>(now.tv_usec - reference.tv_usec) / 1000000.0;
    const float rate = mA / 1000.0f / 3600.0f;
    return elapsed * static_cast<double>(rate);
}

// Charging current from the sun battery's reading; 0 when polling is off,
// a request fails or the unit reports no maximum.
void refresh_charging_current()
{
    float current = 0.0f;
    if (donotpollsunbattery == 0) {
        uint16_t raw = 0;
        uint16_t max = 0;
        if (sunbattery_request_raw(kSunBattery, &raw) == 0 && sunbattery_request_maxraw(kSunBattery, &max) == 0 &&
            max != 0) {
            current = static_cast<float>(static_cast<int64_t>(raw) * ncells / max);
            if (debug > 1) {
                printf("%s: %fmA (N=%d raw=%d max=%d)\n", "getChargeCurrent", current, ncells, raw, max);
            }
        }
    }
    store(&vacc->charging_current, current);
}

}  // namespace

void accumulator(void)
{
    (void)sunbattery_request_reset(kSunBattery);
    while (vacc == nullptr) {
        sleep(1);
    }
    while (vacc->charge > static_cast<double>(load(&vacc->discharge_limit))) {
        gettimeofday(&reference, nullptr);
        msleep(1);
        if (vacc->charge < static_cast<double>(load(&vacc->charge_limit))) {
            if (count % kRefreshEvery == 0) {
                refresh_charging_current();
            }
            vacc->charge += ampere_hours(load(&vacc->charging_current));
        }
        if (vacc->charge > static_cast<double>(load(&vacc->discharge_limit))) {
            vacc->charge -= ampere_hours(load(&vacc->discharging_current));
        }
        ++count;
    }
}
