/** @file
 * Device API: the units behind the bus controller.
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
 * Output parameters are the caller's; no function keeps a pointer it was
 * given. Nothing here is thread-safe: one caller at a time, like the serial
 * line. */
#ifndef KELVEX_DEVICES_H
#define KELVEX_DEVICES_H

#include <stddef.h>
#include <stdint.h>

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

/** @name Common operations
 * Every family has the common operations (the sun battery and the receiver
 * only the reset; the transmitter switches with its own messages, the
 * camera has no unit number). Each family's are documented like the arm's.
 * Unit numbers: arm, accelerometer, magnetometer, gyroscope, motor, fan,
 * engine and transmitter 0 to 3; sun battery, light and sun sensor 0 to 7;
 * coil, receiver and transceiver 0 to 15.
 * @{ */
/** Sends the reset command to unit num (also to a unit that is off).
 * @return the transport's result (0 sent, 1 failed), 1 when num is out of
 * range. */
KELVEX_API int arm_request_reset(uint16_t num);
/** @return 1 when unit num is on, 0 when it is off (1 also for a number out
 * of range). Nothing is sent. */
KELVEX_API int arm_get_state(uint16_t num);
/** Switches unit num on: when off, sends the reset (its result is ignored),
 * books the family's draw in the battery record and marks the unit on.
 * @return 0, or 1 when num is out of range. */
KELVEX_API int arm_turn_on(uint16_t num);
/** Switches unit num off: when on, takes the family's draw back and marks
 * the unit off; nothing is sent.
 * @return 0, or 1 when num is out of range. */
KELVEX_API int arm_turn_off(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int32_t sunbattery_request_reset(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int light_sensor_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int light_sensor_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int light_sensor_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int light_sensor_turn_off(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int sun_sensor_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int sun_sensor_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int sun_sensor_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int sun_sensor_turn_off(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int accelerometer_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int accelerometer_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int accelerometer_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int accelerometer_turn_off(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int magnetometer_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int magnetometer_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int magnetometer_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int magnetometer_turn_off(uint16_t num);

/* The gyroscope: hyro_ and its gyro_ aliases share one state table. */
/** @copydoc arm_request_reset */
KELVEX_API int hyro_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int hyro_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int hyro_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int hyro_turn_off(uint16_t num);
/** @copydoc arm_request_reset */
KELVEX_API int gyro_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int gyro_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int gyro_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int gyro_turn_off(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int motor_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int motor_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int motor_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int motor_turn_off(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int fan_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int fan_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int fan_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int fan_turn_off(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int coil_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int coil_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int coil_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int coil_turn_off(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int engine_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int engine_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int engine_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int engine_turn_off(uint16_t num);

/* The transmitter switches with its own confirmed messages (kelvex/radio.h). */
/** @copydoc arm_request_reset */
KELVEX_API int transmitter_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int transmitter_get_state(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int receiver_request_reset(uint16_t num);

/** @copydoc arm_request_reset */
KELVEX_API int transceiver_request_reset(uint16_t num);
/** @copydoc arm_get_state */
KELVEX_API int transceiver_get_state(uint16_t num);
/** @copydoc arm_turn_on */
KELVEX_API int transceiver_turn_on(uint16_t num);
/** @copydoc arm_turn_off */
KELVEX_API int transceiver_turn_off(uint16_t num);

/* The camera is served by the board: switching only books its draw. */
/** @return the camera's flag: 1 on, 0 off. */
KELVEX_API int camera_get_state(void);
/** Books the camera's draw (when off) and marks it on. @return 0. */
KELVEX_API int camera_turn_on(void);
/** Takes the camera's draw back (when on) and marks it off. @return 0. */
KELVEX_API int camera_turn_off(void);
/** @} */

/** @name Sensors
 * The sun battery needs no switching on; every other read needs its unit on
 * (2, nothing sent, when it is off). A read is one request with the
 * transport's retries; the values come from the answer's words at byte
 * offset 6 on, and an answer too short for them fails with 1. Outputs are
 * written on 0 only.
 * @{ */
/** Reads sun battery num's raw value into *pRAW_data. */
KELVEX_API int32_t sunbattery_request_raw(uint16_t num, uint16_t* pRAW_data);
/** Reads sun battery num's full-scale value into *pMAXRAW_data. */
KELVEX_API int32_t sunbattery_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data);

/** Reads light sensor num's raw value into *pRAW_data. */
KELVEX_API int light_sensor_request_raw(uint16_t num, uint16_t* pRAW_data);
/** Reads light sensor num's full-scale value into *pMAXRAW_data. */
KELVEX_API int light_sensor_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data);
/* Settings are commands: the transport's result, no answer awaited. */
/** Sets light sensor num's minimum value: a command, no answer awaited.
 * @return the transport's result (2 when the unit is off). */
KELVEX_API int light_sensor_set_minvalue(uint16_t num, uint16_t value);
/** Sets light sensor num's calibration mode: a command, no answer awaited.
 * @return the transport's result (2 when the unit is off). */
KELVEX_API int light_sensor_set_calibrate(uint16_t num, uint8_t mode);

/** Reads sun sensor num's two channels into *pRAW_data1 and *pRAW_data2. */
KELVEX_API int sun_sensor_request_raw(uint16_t num, uint16_t* pRAW_data1, uint16_t* pRAW_data2);
/** Reads sun sensor num's two full-scale values into *pMAXRAW_data1 and
 * *pMAXRAW_data2. */
KELVEX_API int sun_sensor_request_maxraw(uint16_t num, uint16_t* pMAXRAW_data1,
                                         uint16_t* pMAXRAW_data2);
/** Sets sun sensor num's minimum value: a command, no answer awaited.
 * @return the transport's result (2 when the unit is off). */
KELVEX_API int sun_sensor_set_minvalue(uint16_t num, uint16_t value);

/* Three-axis reads hand out the answer's words in each sensor's own axis
 * order and signs (negation in 16-bit two's complement). */
/** Reads accelerometer num's three axes into *pRAW_dataX, *pRAW_dataY and
 * *pRAW_dataZ: the answer's words in the sensor's own axis order and signs
 * (negation in 16-bit two's complement). */
KELVEX_API int accelerometer_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY,
                                         int16_t* pRAW_dataZ);
/** Reads magnetometer num's three axes; like accelerometer_request_raw(). */
KELVEX_API int magnetometer_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY,
                                        int16_t* pRAW_dataZ);
/** Reads gyroscope num's three axes; like accelerometer_request_raw(). */
KELVEX_API int hyro_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY,
                                int16_t* pRAW_dataZ);
/** The same as hyro_request_raw(). */
KELVEX_API int gyro_request_raw(uint16_t num, int16_t* pRAW_dataX, int16_t* pRAW_dataY,
                                int16_t* pRAW_dataZ);

/** Angle in degrees (-45 to +45) from two sun-sensor channels above an
 * ambient level, into *angle. Nothing is sent.
 * @return 0, or 1 with *angle untouched when ambient is not below both. */
KELVEX_API int sunsensors_angle(uint16_t positive, uint16_t negative, uint16_t ambient,
                                double* angle);
/** @} */

/** @name Actuators
 * A set needs its unit on (2, nothing sent, when it is off), sends the
 * value and repeats (arm 3, motor and fan 5, coil and engine 2 attempts)
 * until the unit echoes it. *confirm receives the echo of the confirming
 * answer, or of the last answer of the call, or 0 when no attempt brought an
 * answer; it is written whenever an attempt was made. Result: that of the
 * last attempt, so 0 with *confirm != value means the unit answered with
 * another value.
 * @{ */
/** Sets arm num's value; the echo goes to *confirm. */
KELVEX_API int arm_set_value(uint16_t num, uint8_t value, uint8_t* confirm);
/** Sets motor num's speed in revolutions per minute; the echo goes to
 * *confirm. */
KELVEX_API int motor_set_speed(uint16_t num, int16_t RPM, int16_t* confirm);
/** Reads motor num's speed in revolutions per minute into *pRPM (on 0 only;
 * 2 when the unit is off, 1 on a failed exchange or a short answer). */
KELVEX_API int motor_request_speed(uint16_t num, int16_t* pRPM);
/** Sets coil num's drive (signed PWM value); the echo goes to *confirm. */
KELVEX_API int coil_set_value(uint16_t num, int16_t PWM, int16_t* confirm);
/** Sets engine num's value; the echo goes to *confirm. */
KELVEX_API int engine_set_value(uint16_t num, int16_t value, int16_t* confirm);
/** Sets fan num's speed in revolutions per minute; the echo goes to
 * *confirm. */
KELVEX_API int fan_set_speed(uint16_t num, int16_t RPM, int16_t* confirm);
/** Reads fan num's speed into *pRPM; like motor_request_speed(). */
KELVEX_API int fan_request_speed(uint16_t num, int16_t* pRPM);
/** @} */

/** @name Raw messages
 * Straight to the transport (kelvex/runner.h): z holds n request bytes with
 * their six-byte header and stays the caller's.
 * @{ */
/** Sends the request as a command. @return the transport's result. */
KELVEX_API int cobs_command(const uint8_t* z, int n);
/** One exchange.
 * *zz receives a new zero-filled 128-byte buffer, which the caller frees
 * whatever the result, and *nn its size; after success *nn is the answer's
 * length. When no buffer can be had: 1 with *zz null and *nn 0. */
KELVEX_API int cobs_single_request(const uint8_t* z, int n, uint8_t** zz, int* nn);
/** The same as cobs_single_request() with the transport's retries. */
KELVEX_API int cobs_request(const uint8_t* z, int n, uint8_t** zz, int* nn);
/** Writes one zero byte to the line. @return the transport's result. */
KELVEX_API int bus_setup(void);
/** @} */

/** Sleeps sec seconds; nothing for sec <= 0. */
KELVEX_API void Sleep(int sec);
/** Sleeps msec milliseconds, like msleep(). */
KELVEX_API void mSleep(int msec);
/** Hex dump of len bytes to standard output, offsets counted from buf. */
KELVEX_API void dump_buffer(uint8_t* buf, size_t len);

KELVEX_END_DECLS

#endif
