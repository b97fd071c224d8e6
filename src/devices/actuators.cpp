// Actuator values with set-and-confirm, and speed queries.
#include "devices/unit.h"
#include "kelvex/devices.h"

using namespace kelvex::devices;

namespace {

template <FamilyId Id>
int request_speed(uint16_t num, int16_t* pRPM)
{
    uint16_t w;
    const int r = read_words(target<Id, Op::request_speed>(), num, &w, 1);
    if (r == kDone) {
        *pRPM = static_cast<int16_t>(w);
    }
    return r;
}

}  // namespace

int arm_set_value(uint16_t num, uint8_t value, uint8_t* confirm)
{
    return set_and_confirm(target<F::arm, Op::set_value>(), num, value, confirm);
}

int motor_set_speed(uint16_t num, int16_t RPM, int16_t* confirm)
{
    return set_and_confirm(target<F::motor, Op::set_speed>(), num, RPM, confirm);
}

int motor_request_speed(uint16_t num, int16_t* pRPM) { return request_speed<F::motor>(num, pRPM); }

int coil_set_value(uint16_t num, int16_t PWM, int16_t* confirm)
{
    return set_and_confirm(target<F::coil, Op::set_value>(), num, PWM, confirm);
}

int engine_set_value(uint16_t num, int16_t value, int16_t* confirm)
{
    return set_and_confirm(target<F::engine, Op::set_value>(), num, value, confirm);
}

int fan_set_speed(uint16_t num, int16_t RPM, int16_t* confirm)
{
    return set_and_confirm(target<F::fan, Op::set_speed>(), num, RPM, confirm);
}

int fan_request_speed(uint16_t num, int16_t* pRPM) { return request_speed<F::fan>(num, pRPM); }
