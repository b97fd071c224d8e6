// Sensor reads and settings, and the sun angle.
#include <cmath>

#include "devices/unit.h"
#include "kelvex/devices.h"

using namespace kelvex::devices;

namespace {

template <FamilyId Id, Op O>
int read_one(uint16_t num, uint16_t* out)
{
    return read_words(target<Id, O>(), num, out, 1);
}

template <FamilyId Id, Op O>
int read_two(uint16_t num, uint16_t* first, uint16_t* second)
{
    uint16_t w[2];
    const int r = read_words(target<Id, O>(), num, w, 2);
    if (r == kDone) {
        *first = w[0];
        *second = w[1];
    }
    return r;
}

}  // namespace

int32_t sunbattery_request_raw(uint16_t num, uint16_t* pRAW_data)
{
    return read_one<F::sunbattery, Op::request_raw>(num, pRAW_data);
}

int32_t sunbattery_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data)
{
    return read_one<F::sunbattery, Op::request_maxraw>(num, pMAXRAW_data);
}

int light_sensor_request_raw(uint16_t num, uint16_t* pRAW_data)
{
    return read_one<F::light_sensor, Op::request_raw>(num, pRAW_data);
}

int light_sensor_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data)
{
    return read_one<F::light_sensor, Op::request_maxraw>(num, pMAXRAW_data);
}

int light_sensor_set_minvalue(uint16_t num, uint16_t value)
{
    const uint8_t payload[2] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    return setting(target<F::light_sensor, Op::set_minvalue>(), num, payload, sizeof payload);
}

int light_sensor_set_calibrate(uint16_t num, uint8_t mode)
{
    return setting(target<F::light_sensor, Op::set_calibrate>(), num, &mode, 1);
}

int sun_sensor_request_raw(uint16_t num, uint16_t* pRAW_data1, uint16_t* pRAW_data2)
{
    return read_two<F::sun_sensor, Op::request_raw>(num, pRAW_data1, pRAW_data2);
}

int sun_sensor_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data1, uint16_t* pMAXRAW_data2)
{
    return read_two<F::sun_sensor, Op::request_maxraw>(num, pMAXRAW_data1, pMAXRAW_data2);
}

int sun_sensor_set_minvalue(uint16_t num, uint16_t value)
{
    // The unit expects a second, zero word.
    const uint8_t payload[4] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8), 0, 0};
    return setting(target<F::sun_sensor, Op::set_minvalue>(), num, payload, sizeof payload);
}

int accelerometer_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY, int16_t* pRAW_dataZ)
{
    return read_axes(target<F::accelerometer, Op::request_raw>(), num, pRAW_dataX, pRAW_dataY, pRAW_dataZ);
}

int magnetometer_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY, int16_t* pRAW_dataZ)
{
    return read_axes(target<F::magnetometer, Op::request_raw>(), num, pRAW_dataX, pRAW_dataY, pRAW_dataZ);
}

int hyro_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY, int16_t* pRAW_dataZ)
{
    return read_axes(target<F::hyro, Op::request_raw>(), num, pRAW_dataX, pRAW_dataY, pRAW_dataZ);
}

int gyro_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY, int16_t* pRAW_dataZ)
{
    return hyro_request_raw(num, pRAW_dataX, pRAW_dataY, pRAW_dataZ);
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
