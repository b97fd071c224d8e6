/* Device API: the units behind the bus controller.
 *
 * Every operation builds one request (a six-byte header of three
 * little-endian words: msg_code = unit class * 256 + operation offset + num,
 * dev_addr = family base address + num, src_addr = 1, then its payload) and
 * exchanges it with the bus controller through the request transport. Answers
 * carry the two addresses swapped and their values from byte offset 6.
 *
 * Results, unless a function says otherwise:
 *   0 done,
 *   1 unit number out of range, failed exchange, or an answer too short for
 *     the value read,
 *   2 unit switched off (operations that need it on; nothing is sent).
 * Output parameters are written only on 0, unless a function says otherwise.
 * Nothing here is thread-safe: one caller at a time, like the serial line. */
#ifndef KELVEX_DEVICES_H
#define KELVEX_DEVICES_H

#include <stddef.h>
#include <stdint.h>

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

/* Common operations.
 *   _request_reset(num): sends the reset command (also to a unit that is off);
 *       the transport's result, 1 when num is out of range.
 *   _get_state(num):     1 on, 0 off (1 also for a number out of range).
 *   _turn_on(num):       when off: sends the reset (its result is ignored),
 *       books the family's draw in the battery record and marks the unit on.
 *       0, or 1 when num is out of range.
 *   _turn_off(num):      when on: takes the draw back and marks the unit off;
 *       nothing is sent. 0, or 1 when num is out of range. */
KELVEX_API int arm_request_reset(uint16_t num);
KELVEX_API int arm_get_state(uint16_t num);
KELVEX_API int arm_turn_on(uint16_t num);
KELVEX_API int arm_turn_off(uint16_t num);

KELVEX_API int32_t sunbattery_request_reset(uint16_t num);

KELVEX_API int light_sensor_request_reset(uint16_t num);
KELVEX_API int light_sensor_get_state(uint16_t num);
KELVEX_API int light_sensor_turn_on(uint16_t num);
KELVEX_API int light_sensor_turn_off(uint16_t num);

KELVEX_API int sun_sensor_request_reset(uint16_t num);
KELVEX_API int sun_sensor_get_state(uint16_t num);
KELVEX_API int sun_sensor_turn_on(uint16_t num);
KELVEX_API int sun_sensor_turn_off(uint16_t num);

KELVEX_API int accelerometer_request_reset(uint16_t num);
KELVEX_API int accelerometer_get_state(uint16_t num);
KELVEX_API int accelerometer_turn_on(uint16_t num);
KELVEX_API int accelerometer_turn_off(uint16_t num);

KELVEX_API int magnetometer_request_reset(uint16_t num);
KELVEX_API int magnetometer_get_state(uint16_t num);
KELVEX_API int magnetometer_turn_on(uint16_t num);
KELVEX_API int magnetometer_turn_off(uint16_t num);

/* The gyroscope: hyro_ and its gyro_ aliases share one state table. */
KELVEX_API int hyro_request_reset(uint16_t num);
KELVEX_API int hyro_get_state(uint16_t num);
KELVEX_API int hyro_turn_on(uint16_t num);
KELVEX_API int hyro_turn_off(uint16_t num);
KELVEX_API int gyro_request_reset(uint16_t num);
KELVEX_API int gyro_get_state(uint16_t num);
KELVEX_API int gyro_turn_on(uint16_t num);
KELVEX_API int gyro_turn_off(uint16_t num);

KELVEX_API int motor_request_reset(uint16_t num);
KELVEX_API int motor_get_state(uint16_t num);
KELVEX_API int motor_turn_on(uint16_t num);
KELVEX_API int motor_turn_off(uint16_t num);

KELVEX_API int fan_request_reset(uint16_t num);
KELVEX_API int fan_get_state(uint16_t num);
KELVEX_API int fan_turn_on(uint16_t num);
KELVEX_API int fan_turn_off(uint16_t num);

KELVEX_API int coil_request_reset(uint16_t num);
KELVEX_API int coil_get_state(uint16_t num);
KELVEX_API int coil_turn_on(uint16_t num);
KELVEX_API int coil_turn_off(uint16_t num);

KELVEX_API int engine_request_reset(uint16_t num);
KELVEX_API int engine_get_state(uint16_t num);
KELVEX_API int engine_turn_on(uint16_t num);
KELVEX_API int engine_turn_off(uint16_t num);

/* The transmitter switches with its own confirmed messages (kelvex/radio.h). */
KELVEX_API int transmitter_request_reset(uint16_t num);
KELVEX_API int transmitter_get_state(uint16_t num);

KELVEX_API int receiver_request_reset(uint16_t num);

KELVEX_API int transceiver_request_reset(uint16_t num);
KELVEX_API int transceiver_get_state(uint16_t num);
KELVEX_API int transceiver_turn_on(uint16_t num);
KELVEX_API int transceiver_turn_off(uint16_t num);

/* The camera is served by the board: switching only books its draw. All
 * three return 0 except camera_get_state, which returns the flag. */
KELVEX_API int camera_get_state(void);
KELVEX_API int camera_turn_on(void);
KELVEX_API int camera_turn_off(void);

/* Sensors. The sun battery needs no switching on; every other read needs its
 * unit on. */
KELVEX_API int32_t sunbattery_request_raw(uint16_t num, uint16_t* pRAW_data);
KELVEX_API int32_t sunbattery_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data);

KELVEX_API int light_sensor_request_raw(uint16_t num, uint16_t* pRAW_data);
KELVEX_API int light_sensor_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data);
/* Settings are commands: the transport's result, no answer awaited. */
KELVEX_API int light_sensor_set_minvalue(uint16_t num, uint16_t value);
KELVEX_API int light_sensor_set_calibrate(uint16_t num, uint8_t mode);

KELVEX_API int sun_sensor_request_raw(uint16_t num, uint16_t* pRAW_data1, uint16_t* pRAW_data2);
KELVEX_API int sun_sensor_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data1,
                                         uint16_t* pMAXRAW_data2);
KELVEX_API int sun_sensor_set_minvalue(uint16_t num, uint16_t value);

/* Three-axis reads hand out the answer's words in each sensor's own axis
 * order and signs (negation in 16-bit two's complement). */
KELVEX_API int accelerometer_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY,
                                         int16_t* pRAW_dataZ);
KELVEX_API int magnetometer_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY,
                                        int16_t* pRAW_dataZ);
KELVEX_API int hyro_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY,
                                int16_t* pRAW_dataZ);
KELVEX_API int gyro_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY,
                                int16_t* pRAW_dataZ);

/* Angle in degrees (-45 to +45) from two sun-sensor channels above an
 * ambient level. 1, *angle untouched, when ambient is not below both. */
KELVEX_API int sunsensors_angle(uint16_t positive, uint16_t negative, uint16_t ambient,
                                double* angle);

/* Actuators. A set sends the value and repeats (arm 3, motor and fan 5, coil
 * and engine 2 attempts) until the unit echoes it. *confirm receives the
 * echo of the confirming answer, or of the last answer of the call, or 0 when
 * no attempt brought an answer; it is written whenever an attempt was made.
 * Result: that of the last attempt, so 0 with *confirm != value means the
 * unit answered with another value. */
KELVEX_API int arm_set_value(uint16_t num, uint8_t value, uint8_t* confirm);
KELVEX_API int motor_set_speed(uint16_t num, int16_t RPM, int16_t* confirm);
KELVEX_API int motor_request_speed(uint16_t num, int16_t* pRPM);
KELVEX_API int coil_set_value(uint16_t num, int16_t PWM, int16_t* confirm);
KELVEX_API int engine_set_value(uint16_t num, int16_t value, int16_t* confirm);
KELVEX_API int fan_set_speed(uint16_t num, int16_t RPM, int16_t* confirm);
KELVEX_API int fan_request_speed(uint16_t num, int16_t* pRPM);

/* Raw messages, straight to the transport. */
KELVEX_API int cobs_command(const uint8_t* z, int n);
/* *zz receives a new zero-filled 128-byte buffer, which the caller frees
 * whatever the result, and *nn its size; after success *nn is the answer's
 * length. When no buffer can be had: 1 with *zz null and *nn 0. */
KELVEX_API int cobs_single_request(const uint8_t* z, int n, uint8_t** zz, int* nn);
/* The same with the transport's retries. */
KELVEX_API int cobs_request(const uint8_t* z, int n, uint8_t** zz, int* nn);
/* Writes one zero byte to the line. */
KELVEX_API int bus_setup(void);

KELVEX_API void Sleep(int sec);   /* seconds; nothing for sec <= 0 */
KELVEX_API void mSleep(int msec); /* milliseconds */
/* Hex dump of len bytes to standard output, offsets counted from buf. */
KELVEX_API void dump_buffer(uint8_t* buf, size_t len);

KELVEX_END_DECLS

#endif
