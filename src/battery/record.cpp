// The shared battery record: segment management, updates and reads.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "battery/fields.h"
#include "kelvex/battery.h"

static_assert(sizeof(VirtualAccumulator) == 24, "the shared record is 24 bytes");
static_assert(offsetof(VirtualAccumulator, charge_limit) == 8 &&
                  offsetof(VirtualAccumulator, discharge_limit) == 12 &&
                  offsetof(VirtualAccumulator, charging_current) == 16 &&
                  offsetof(VirtualAccumulator, discharging_current) == 20,
              "every process attaching the segment relies on this layout");

VirtualAccumulator* vacc = nullptr;

namespace {

using kelvex::battery::load;
using kelvex::battery::store;

constexpr size_t kRecordBytes = sizeof(VirtualAccumulator);

float not_attached() { return std::numeric_limits<float>::quiet_NaN(); }

// Another process may change the same field at the same moment: retry the
// update until no one has written the field in between.
template <typename Update>
void update_atomically(float* field, Update update)
{
    using Bits = kelvex::battery::Bits;
    Bits* bits = reinterpret_cast<Bits*>(field);
    Bits old_bits = __atomic_load_n(bits, __ATOMIC_RELAXED);
    for (;;) {
        float old_value;
        std::memcpy(&old_value, &old_bits, sizeof old_value);
        const float new_value = update(old_value);
        Bits new_bits;
        std::memcpy(&new_bits, &new_value, sizeof new_bits);
        if (__atomic_compare_exchange_n(bits, &old_bits, new_bits, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_RELAXED)) {
            return;
        }
    }
}

}  // namespace

int accumulator_create(char* prg)
{
    const key_t key = ftok(prg, 0);
    return shmget(key, kRecordBytes, IPC_CREAT | 0644);
}

void* accumulator_attach(int shmid)
{
    void* p = shmat(shmid, nullptr, 0);
    vacc = static_cast<VirtualAccumulator*>(p);
    if (p == reinterpret_cast<void*>(-1)) {
        perror("shmat");
        exit(1);
    }
    return p;
}

int accumulator_detach(void)
{
    const int r = shmdt(vacc);
    if (r == 0) {
        vacc = nullptr;
    }
    return r;
}

void set_charging(float mA, float AH)
{
    if (vacc) {
        store(&vacc->charge_limit, AH);
        store(&vacc->charging_current, mA);
    }
}

void reset_charging(void)
{
    if (vacc) {
        store(&vacc->charging_current, 0.0f);
    }
}

void set_discharging(float mA, float AH)
{
    if (vacc) {
        store(&vacc->discharge_limit, AH);
        store(&vacc->discharging_current, mA);
    }
}

void reset_discharging(void)
{
    if (vacc) {
        store(&vacc->discharging_current, 0.0f);
    }
}

void increase_consumption(float mA)
{
    if (vacc) {
        update_atomically(&vacc->discharging_current, [mA](float current) { return current + mA; });
    }
}

void decrease_consumption(float mA)
{
    if (vacc) {
        update_atomically(&vacc->discharging_current, [mA](float current) {
            const float rest = current - mA;
            return rest < 0.0f ? 0.0f : rest;
        });
    }
}

void battery_set_charge(double charge)
{
    if (vacc) {
        vacc->charge = charge;
    }
}

void battery_set_charge_limit(float charge_limit)
{
    if (vacc) {
        store(&vacc->charge_limit, charge_limit);
    }
}

void battery_set_discharge_limit(float discharge_limit)
{
    if (vacc) {
        store(&vacc->discharge_limit, discharge_limit);
    }
}

void battery_set_charging_current(float charging_current)
{
    if (vacc) {
        store(&vacc->charging_current, charging_current);
    }
}

void battery_set_discharging_current(float discharging_current)
{
    if (vacc) {
        store(&vacc->discharging_current, discharging_current);
    }
}

float battery_get_charge(void) { return vacc ? static_cast<float>(vacc->charge) : not_attached(); }

float battery_get_charging_current(void) { return vacc ? load(&vacc->charging_current) : not_attached(); }

float battery_get_discharging_current(void)
{
    return vacc ? load(&vacc->discharging_current) : not_attached();
}
