// Sensor reads and settings, and the sun angle.
#include <cmath>

#include "devices/perform.h"
#include "kelvex/devices.h"

using kelvex::devices::OperationId;
using kelvex::devices::perform;

int32_t sunbattery_request_raw(uint16_t num, uint16_t* pRAW_data)
{
    return perform<OperationId::sunbattery_request_raw>(num, pRAW_data);
}

int32_t sunbattery_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data)
{
    return perform<OperationId::sunbattery_request_maxraw>(num, pMAXRAW_data);
}

int light_sensor_request_raw(uint16_t num, uint16_t* pRAW_data)
{
    return perform<OperationId::light_sensor_request_raw>(num, pRAW_data);
}

int light_sensor_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data)
{
    return perform<OperationId::light_sensor_request_maxraw>(num, pMAXRAW_data);
}

int light_sensor_set_minvalue(uint16_t num, uint16_t value)
{
    return perform<OperationId::light_sensor_set_minvalue>(num, value);
}

int light_sensor_set_calibrate(uint16_t num, uint8_t mode)
{
    return perform<OperationId::light_sensor_set_calibrate>(num, mode);
}

int sun_sensor_request_raw(uint16_t num, uint16_t* pRAW_data1, uint16_t* pRAW_data2)
{
    return perform<OperationId::sun_sensor_request_raw>(num, pRAW_data1, pRAW_data2);
}

int sun_sensor_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data1, uint16_t* pMAXRAW_data2)
{
    return perform<OperationId::sun_sensor_request_maxraw>(num, pMAXRAW_data1, pMAXRAW_data2);
}

int sun_sensor_set_minvalue(uint16_t num, uint16_t value)
{
    return perform<OperationId::sun_sensor_set_minvalue>(num, value);
}

int accelerometer_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY, int16_t* pRAW_dataZ)
{
    return perform<OperationId::accelerometer_request_raw>(num, pRAW_dataX, pRAW_dataY, pRAW_dataZ);
}

int magnetometer_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY, int16_t* pRAW_dataZ)
{
    return perform<OperationId::magnetometer_request_raw>(num, pRAW_dataX, pRAW_dataY, pRAW_dataZ);
}

int hyro_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY, int16_t* pRAW_dataZ)
{
    return perform<OperationId::hyro_request_raw>(num, pRAW_dataX, pRAW_dataY, pRAW_dataZ);
}

int gyro_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY, int16_t* pRAW_dataZ)
{
    return perform<OperationId::gyro_request_raw>(num, pRAW_dataX, pRAW_dataY, pRAW_dataZ);
}

int sunsensors_angle(uint16_t positive, uint16_t negative, uint16_t ambient, double* angle)
{
    if (ambient >= positive || ambient >= negative) {
        return 1;
    }
    const uint16_t p = static_cast<uint16_t>(positive - ambient);
    const uint16_t n = static_cast<uint16_t>(negative - ambient);
    // Two differences up to 65535 square to more than 31 bits.
    const uint64_t s = static_cast<uint64_t>(p) * p + static_cast<uint64_t>(n) * n;
    const double h = std::sqrt(static_cast<double>(s));
    const double a = n >= p ? std::acos(n / h) : std::asin(p / h);
    *angle = a * 180.0 / 3.141592653589793 - 45.0;
    return 0;
}
