// The common operations of every family, as exported shims over
// perform<> (perform.h), and the check that every row of the operation table
// spells its function as the public headers declare it.
#include <type_traits>

#include "devices/perform.h"
#include "kelvex/devices.h"
#include "kelvex/radio.h"

using kelvex::devices::OperationId;
using kelvex::devices::perform;

int arm_request_reset(uint16_t num) { return perform<OperationId::arm_request_reset>(num); }
int arm_get_state(uint16_t num) { return perform<OperationId::arm_get_state>(num); }
int arm_turn_on(uint16_t num) { return perform<OperationId::arm_turn_on>(num); }
int arm_turn_off(uint16_t num) { return perform<OperationId::arm_turn_off>(num); }

int light_sensor_request_reset(uint16_t num) { return perform<OperationId::light_sensor_request_reset>(num); }
int light_sensor_get_state(uint16_t num) { return perform<OperationId::light_sensor_get_state>(num); }
int light_sensor_turn_on(uint16_t num) { return perform<OperationId::light_sensor_turn_on>(num); }
int light_sensor_turn_off(uint16_t num) { return perform<OperationId::light_sensor_turn_off>(num); }

int sun_sensor_request_reset(uint16_t num) { return perform<OperationId::sun_sensor_request_reset>(num); }
int sun_sensor_get_state(uint16_t num) { return perform<OperationId::sun_sensor_get_state>(num); }
int sun_sensor_turn_on(uint16_t num) { return perform<OperationId::sun_sensor_turn_on>(num); }
int sun_sensor_turn_off(uint16_t num) { return perform<OperationId::sun_sensor_turn_off>(num); }

int accelerometer_request_reset(uint16_t num) { return perform<OperationId::accelerometer_request_reset>(num); }
int accelerometer_get_state(uint16_t num) { return perform<OperationId::accelerometer_get_state>(num); }
int accelerometer_turn_on(uint16_t num) { return perform<OperationId::accelerometer_turn_on>(num); }
int accelerometer_turn_off(uint16_t num) { return perform<OperationId::accelerometer_turn_off>(num); }

int magnetometer_request_reset(uint16_t num) { return perform<OperationId::magnetometer_request_reset>(num); }
int magnetometer_get_state(uint16_t num) { return perform<OperationId::magnetometer_get_state>(num); }
int magnetometer_turn_on(uint16_t num) { return perform<OperationId::magnetometer_turn_on>(num); }
int magnetometer_turn_off(uint16_t num) { return perform<OperationId::magnetometer_turn_off>(num); }

int hyro_request_reset(uint16_t num) { return perform<OperationId::hyro_request_reset>(num); }
int hyro_get_state(uint16_t num) { return perform<OperationId::hyro_get_state>(num); }
int hyro_turn_on(uint16_t num) { return perform<OperationId::hyro_turn_on>(num); }
int hyro_turn_off(uint16_t num) { return perform<OperationId::hyro_turn_off>(num); }

// The gyroscope's second name shares the hyro_ state table.
int gyro_request_reset(uint16_t num) { return perform<OperationId::gyro_request_reset>(num); }
int gyro_get_state(uint16_t num) { return perform<OperationId::gyro_get_state>(num); }
int gyro_turn_on(uint16_t num) { return perform<OperationId::gyro_turn_on>(num); }
int gyro_turn_off(uint16_t num) { return perform<OperationId::gyro_turn_off>(num); }

int motor_request_reset(uint16_t num) { return perform<OperationId::motor_request_reset>(num); }
int motor_get_state(uint16_t num) { return perform<OperationId::motor_get_state>(num); }
int motor_turn_on(uint16_t num) { return perform<OperationId::motor_turn_on>(num); }
int motor_turn_off(uint16_t num) { return perform<OperationId::motor_turn_off>(num); }

int fan_request_reset(uint16_t num) { return perform<OperationId::fan_request_reset>(num); }
int fan_get_state(uint16_t num) { return perform<OperationId::fan_get_state>(num); }
int fan_turn_on(uint16_t num) { return perform<OperationId::fan_turn_on>(num); }
int fan_turn_off(uint16_t num) { return perform<OperationId::fan_turn_off>(num); }

int coil_request_reset(uint16_t num) { return perform<OperationId::coil_request_reset>(num); }
int coil_get_state(uint16_t num) { return perform<OperationId::coil_get_state>(num); }
int coil_turn_on(uint16_t num) { return perform<OperationId::coil_turn_on>(num); }
int coil_turn_off(uint16_t num) { return perform<OperationId::coil_turn_off>(num); }

int engine_request_reset(uint16_t num) { return perform<OperationId::engine_request_reset>(num); }
int engine_get_state(uint16_t num) { return perform<OperationId::engine_get_state>(num); }
int engine_turn_on(uint16_t num) { return perform<OperationId::engine_turn_on>(num); }
int engine_turn_off(uint16_t num) { return perform<OperationId::engine_turn_off>(num); }

int transceiver_request_reset(uint16_t num) { return perform<OperationId::transceiver_request_reset>(num); }
int transceiver_get_state(uint16_t num) { return perform<OperationId::transceiver_get_state>(num); }
int transceiver_turn_on(uint16_t num) { return perform<OperationId::transceiver_turn_on>(num); }
int transceiver_turn_off(uint16_t num) { return perform<OperationId::transceiver_turn_off>(num); }

// Families with a reset only, or switching with messages of their own.
int32_t sunbattery_request_reset(uint16_t num) { return perform<OperationId::sunbattery_request_reset>(num); }
int receiver_request_reset(uint16_t num) { return perform<OperationId::receiver_request_reset>(num); }
int transmitter_request_reset(uint16_t num) { return perform<OperationId::transmitter_request_reset>(num); }
int transmitter_get_state(uint16_t num) { return perform<OperationId::transmitter_get_state>(num); }

// The camera has one unit and no bus messages.
int camera_get_state(void) { return perform<OperationId::camera_get_state>(); }
int camera_turn_on(void) { return perform<OperationId::camera_turn_on>(); }
int camera_turn_off(void) { return perform<OperationId::camera_turn_off>(); }

namespace kelvex::devices::check {

#define KELVEX_CHECK_PROTOTYPE(name, ...) \
    static_assert(std::is_same_v<decltype(&::name), signature::name>, "the row of " #name " differs from its prototype");
KELVEX_DEVICE_OPERATIONS(KELVEX_CHECK_PROTOTYPE)
#undef KELVEX_CHECK_PROTOTYPE

}  // namespace kelvex::devices::check
