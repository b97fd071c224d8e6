// The common operations of every family, as exported shims over unit.h.
#include "devices/unit.h"
#include "kelvex/devices.h"

using namespace kelvex::devices;

// The four common operations of a switched family with a reset.
#define KELVEX_COMMON_OPERATIONS(prefix, id)                                              \
    static_assert(family(id).switched() && family(id).has(Op::request_reset) &&          \
                      !family(id).has(Op::turn_on),                                      \
                  "the common operations need a state table and a reset");               \
    int prefix##request_reset(uint16_t num) { return request_reset(family(id), num); }   \
    int prefix##get_state(uint16_t num) { return get_state(family(id), num); }           \
    int prefix##turn_on(uint16_t num) { return turn_on(family(id), num); }               \
    int prefix##turn_off(uint16_t num) { return turn_off(family(id), num); }

KELVEX_COMMON_OPERATIONS(arm_, F::arm)
KELVEX_COMMON_OPERATIONS(light_sensor_, F::light_sensor)
KELVEX_COMMON_OPERATIONS(sun_sensor_, F::sun_sensor)
KELVEX_COMMON_OPERATIONS(accelerometer_, F::accelerometer)
KELVEX_COMMON_OPERATIONS(magnetometer_, F::magnetometer)
KELVEX_COMMON_OPERATIONS(hyro_, F::hyro)
KELVEX_COMMON_OPERATIONS(motor_, F::motor)
KELVEX_COMMON_OPERATIONS(fan_, F::fan)
KELVEX_COMMON_OPERATIONS(coil_, F::coil)
KELVEX_COMMON_OPERATIONS(engine_, F::engine)
KELVEX_COMMON_OPERATIONS(transceiver_, F::transceiver)

int gyro_request_reset(uint16_t num) { return hyro_request_reset(num); }
int gyro_get_state(uint16_t num) { return hyro_get_state(num); }
int gyro_turn_on(uint16_t num) { return hyro_turn_on(num); }
int gyro_turn_off(uint16_t num) { return hyro_turn_off(num); }

// Families with a reset only, or switching with messages of their own.
int32_t sunbattery_request_reset(uint16_t num) { return request_reset(family(F::sunbattery), num); }
int receiver_request_reset(uint16_t num) { return request_reset(family(F::receiver), num); }
int transmitter_request_reset(uint16_t num) { return request_reset(family(F::transmitter), num); }
int transmitter_get_state(uint16_t num) { return get_state(family(F::transmitter), num); }

// The camera has one unit and no bus messages.
int camera_get_state(void) { return get_state(family(F::camera), 0); }
int camera_turn_on(void) { return turn_on(family(F::camera), 0); }
int camera_turn_off(void) { return turn_off(family(F::camera), 0); }
