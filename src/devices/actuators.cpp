// Actuator values with set-and-confirm, and speed queries.
#include "devices/perform.h"
#include "kelvex/devices.h"

using kelvex::devices::OperationId;
using kelvex::devices::perform;

int arm_set_value(uint16_t num, uint8_t value, uint8_t* confirm)
{
    return perform<OperationId::arm_set_value>(num, value, confirm);
}

int motor_set_speed(uint16_t num, int16_t RPM, int16_t* confirm)
{
    return perform<OperationId::motor_set_speed>(num, RPM, confirm);
}

int motor_request_speed(uint16_t num, int16_t* pRPM) { return perform<OperationId::motor_request_speed>(num, pRPM); }

int coil_set_value(uint16_t num, int16_t PWM, int16_t* confirm)
{
    return perform<OperationId::coil_set_value>(num, PWM, confirm);
}

int engine_set_value(uint16_t num, int16_t value, int16_t* confirm)
{
    return perform<OperationId::engine_set_value>(num, value, confirm);
}

int fan_set_speed(uint16_t num, int16_t RPM, int16_t* confirm)
{
    return perform<OperationId::fan_set_speed>(num, RPM, confirm);
}

int fan_request_speed(uint16_t num, int16_t* pRPM) { return perform<OperationId::fan_request_speed>(num, pRPM); }
