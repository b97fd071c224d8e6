/* The device operations, one row per exported function, in the order the
 * Python module lists them. Plain preprocessor data, read by the device
 * library (operations.h), the test suites and the Python interface.
 *
 * KELVEX_DEVICE_OPERATIONS(X) calls, per row,
 *   X(name, family, op, offset, kind, bytes, python, result, params, doc)
 *   name    the exported function
 *   family  its FamilyId (families.h)
 *   op      its operation on the wire, none when it sends nothing of its own
 *           (the switches send the family's reset)
 *   offset  the operation's offset in msg_code (the unit number is added);
 *           rows naming the same family and operation give the same offset
 *   kind    how the operation behaves (OpKind in operations.h); the simulator
 *           answers by it
 *   bytes   payload bytes of a setting (the value, then zeros) or size of a
 *           buffer read; 0 otherwise
 *   python  expose, overloaded (offered by python/overloads.h) or hidden
 *   result, params
 *           the prototype of kelvex/devices.h or kelvex/radio.h; outputs
 *           handed to Python are written with the kelvex_out_ types below,
 *           which choose their conversion. The device library checks at
 *           compile time that each prototype is the header's.
 *   doc     the Python doc string
 *
 * A new operation of an existing family: its name in KELVEX_WIRE_OPS when
 * no family has it yet, its row below, its prototype in the public header
 * and the one-line shim that calls perform<> (src/devices). The Python
 * module, the test fixture and the simulator take it from the row; the
 * simulator answers a read it has no model for with zeros. */
#ifndef KELVEX_DEVICES_OPERATION_LIST_H
#define KELVEX_DEVICES_OPERATION_LIST_H

#include <stdint.h>

/* Outputs, by what a Python caller receives. */
typedef int16_t kelvex_out_short;    /* int */
typedef uint16_t kelvex_out_ushort;  /* int */
typedef uint8_t kelvex_out_byte;     /* int */
typedef double kelvex_out_degrees;   /* int, whole degrees toward zero */
typedef float kelvex_out_float;      /* not offered to Python */
typedef uint8_t kelvex_out_buffer;   /* bytes, the 32 of a transceiver */
typedef char kelvex_out_text;        /* bytes up to the first zero, 1024 at most */

/* The operations a family row may list, in the order of the Op enumeration. */
#define KELVEX_WIRE_OPS(X) \
    X(request_reset)       \
    X(request_raw)         \
    X(request_maxraw)      \
    X(set_minvalue)        \
    X(set_calibrate)       \
    X(set_value)           \
    X(set_speed)           \
    X(request_speed)       \
    X(turn_on)             \
    X(turn_off)            \
    X(request_state)       \
    X(send)                \
    X(request_buff)        \
    X(message)

#define KELVEX_AXES_PARAMS \
    (uint16_t num, kelvex_out_short* pRAW_dataX, kelvex_out_short* pRAW_dataY, kelvex_out_short* pRAW_dataZ)

/* clang-format off */
#define KELVEX_DEVICE_OPERATIONS(X)                                                                        \
    X(accelerometer_get_state, accelerometer, none, 0, get_state, 0, expose, int, (uint16_t num),             \
      "accelerometer_get_state(num) -> int")                                                               \
    X(accelerometer_request_raw, accelerometer, request_raw, 0x00, read_axes, 0, expose, int, KELVEX_AXES_PARAMS, \
      "accelerometer_request_raw(num) -> (int, short, short, short)")                                      \
    X(accelerometer_request_reset, accelerometer, request_reset, 0x04, reset, 0, expose, int, (uint16_t num),     \
      "accelerometer_request_reset(num) -> int")                                                           \
    X(accelerometer_turn_off, accelerometer, none, 0, turn_off, 0, expose, int, (uint16_t num),               \
      "accelerometer_turn_off(num) -> int")                                                                \
    X(accelerometer_turn_on, accelerometer, none, 0, turn_on, 0, expose, int, (uint16_t num),                 \
      "accelerometer_turn_on(num) -> int")                                                                 \
    X(arduino_send, controller, message, 0x00, message, 0, expose, int,                                          \
      (const uint16_t num, const uint16_t msg_id, char* args, kelvex_out_text* answer, const uint16_t timeout), \
      "arduino_send(num, msg_id, args, timeout) -> int")                                                   \
    X(arm_get_state, arm, none, 0, get_state, 0, expose, int, (uint16_t num), "arm_get_state(num) -> int")     \
    X(arm_request_reset, arm, request_reset, 0x10, reset, 0, expose, int, (uint16_t num),                         \
      "arm_request_reset(num) -> int")                                                                     \
    X(arm_set_value, arm, set_value, 0x00, set_and_confirm, 0, expose, int,                                      \
      (uint16_t num, uint8_t value, kelvex_out_byte* confirm), "arm_set_value(num, value) -> (int, char)")  \
    X(arm_turn_off, arm, none, 0, turn_off, 0, expose, int, (uint16_t num), "arm_turn_off(num) -> int")        \
    X(arm_turn_on, arm, none, 0, turn_on, 0, expose, int, (uint16_t num), "arm_turn_on(num) -> int")           \
    X(camera_get_state, camera, none, 0, get_state, 0, expose, int, (void), "camera_get_state() -> int")       \
    X(camera_take_photo, camera, none, 0, board, 0, expose, int, (uint16_t num), "camera_take_photo(num) -> int") \
    X(camera_turn_off, camera, none, 0, turn_off, 0, expose, int, (void), "camera_turn_off() -> int")          \
    X(camera_turn_on, camera, none, 0, turn_on, 0, expose, int, (void), "camera_turn_on() -> int")             \
    X(fan_get_state, fan, none, 0, get_state, 0, expose, int, (uint16_t num), "fan_get_state(num) -> int")     \
    X(fan_request_reset, fan, request_reset, 0x04, reset, 0, expose, int, (uint16_t num),                         \
      "fan_request_reset(num) -> int")                                                                     \
    X(fan_request_speed, fan, request_speed, 0x08, read, 0, expose, int, (uint16_t num, kelvex_out_short* pRPM),  \
      "fan_request_speed(num) -> (int, short)")                                                            \
    X(fan_set_speed, fan, set_speed, 0x00, set_and_confirm, 0, expose, int,                                      \
      (uint16_t num, int16_t RPM, kelvex_out_short* confirm), "fan_set_speed(num, rpm) -> (int, short)")    \
    X(fan_turn_off, fan, none, 0, turn_off, 0, expose, int, (uint16_t num), "fan_turn_off(num) -> int")        \
    X(fan_turn_on, fan, none, 0, turn_on, 0, expose, int, (uint16_t num), "fan_turn_on(num) -> int")           \
    X(hyro_get_state, hyro, none, 0, get_state, 0, expose, int, (uint16_t num), "hyro_get_state(num) -> int")  \
    X(hyro_request_raw, hyro, request_raw, 0x00, read_axes, 0, expose, int, KELVEX_AXES_PARAMS,                   \
      "hyro_request_raw(num) -> (int, short, short, short)")                                               \
    X(hyro_request_reset, hyro, request_reset, 0x04, reset, 0, expose, int, (uint16_t num),                       \
      "hyro_request_reset(num) -> int")                                                                    \
    X(hyro_turn_off, hyro, none, 0, turn_off, 0, expose, int, (uint16_t num), "hyro_turn_off(num) -> int")     \
    X(hyro_turn_on, hyro, none, 0, turn_on, 0, expose, int, (uint16_t num), "hyro_turn_on(num) -> int")        \
    X(magnetometer_get_state, magnetometer, none, 0, get_state, 0, expose, int, (uint16_t num),               \
      "magnetometer_get_state(num) -> int")                                                                \
    X(magnetometer_request_raw, magnetometer, request_raw, 0x00, read_axes, 0, expose, int, KELVEX_AXES_PARAMS,   \
      "magnetometer_request_raw(num) -> (int, short, short, short)")                                       \
    X(magnetometer_request_reset, magnetometer, request_reset, 0x04, reset, 0, expose, int, (uint16_t num),       \
      "magnetometer_request_reset(num) -> int")                                                            \
    X(magnetometer_turn_off, magnetometer, none, 0, turn_off, 0, expose, int, (uint16_t num),                 \
      "magnetometer_turn_off(num) -> int")                                                                 \
    X(magnetometer_turn_on, magnetometer, none, 0, turn_on, 0, expose, int, (uint16_t num),                   \
      "magnetometer_turn_on(num) -> int")                                                                  \
    X(motor_get_state, motor, none, 0, get_state, 0, expose, int, (uint16_t num), "motor_get_state(num) -> int") \
    X(motor_request_reset, motor, request_reset, 0x04, reset, 0, expose, int, (uint16_t num),                     \
      "motor_request_reset(num) -> int")                                                                   \
    X(motor_request_speed, motor, request_speed, 0x08, read, 0, expose, int, (uint16_t num, kelvex_out_short* pRPM), \
      "motor_request_speed(num) -> (int, short)")                                                          \
    X(motor_set_speed, motor, set_speed, 0x00, set_and_confirm, 0, expose, int,                                  \
      (uint16_t num, int16_t RPM, kelvex_out_short* confirm), "motor_set_speed(num, rpm) -> (int, short)")  \
    X(motor_turn_off, motor, none, 0, turn_off, 0, expose, int, (uint16_t num), "motor_turn_off(num) -> int")  \
    X(motor_turn_on, motor, none, 0, turn_on, 0, expose, int, (uint16_t num), "motor_turn_on(num) -> int")     \
    X(coil_get_state, coil, none, 0, get_state, 0, expose, int, (uint16_t num), "coil_get_state(num) -> int")  \
    X(coil_request_reset, coil, request_reset, 0x10, reset, 0, expose, int, (uint16_t num),                       \
      "coil_request_reset(num) -> int")                                                                    \
    X(coil_set_value, coil, set_value, 0x00, set_and_confirm, 0, expose, int,                                    \
      (uint16_t num, int16_t PWM, kelvex_out_short* confirm), "coil_set_value(num, pwm) -> (int, short)")   \
    X(coil_turn_off, coil, none, 0, turn_off, 0, expose, int, (uint16_t num), "coil_turn_off(num) -> int")     \
    X(coil_turn_on, coil, none, 0, turn_on, 0, expose, int, (uint16_t num), "coil_turn_on(num) -> int")        \
    X(engine_get_state, engine, none, 0, get_state, 0, expose, int, (uint16_t num),                           \
      "engine_get_state(num) -> int")                                                                      \
    X(engine_request_reset, engine, request_reset, 0x10, reset, 0, expose, int, (uint16_t num),                   \
      "engine_request_reset(num) -> int")                                                                  \
    X(engine_set_value, engine, set_value, 0x00, set_and_confirm, 0, expose, int,                                \
      (uint16_t num, int16_t value, kelvex_out_short* confirm), "engine_set_value(num, vlaue) -> (int, short)") \
    X(engine_turn_off, engine, none, 0, turn_off, 0, expose, int, (uint16_t num), "engine_turn_off(num) -> int") \
    X(engine_turn_on, engine, none, 0, turn_on, 0, expose, int, (uint16_t num), "engine_turn_on(num) -> int")  \
    X(light_sensor_get_state, light_sensor, none, 0, get_state, 0, expose, int, (uint16_t num),               \
      "light_sensor_get_state(num) -> int")                                                                \
    X(light_sensor_request_maxraw, light_sensor, request_maxraw, 0x10, read, 0, expose, int,                     \
      (uint16_t num, kelvex_out_ushort* pMAXRAW_data), "light_sensor_request_maxraw(num) -> (int, unsigned short)") \
    X(light_sensor_request_raw, light_sensor, request_raw, 0x00, read, 0, expose, int,                           \
      (uint16_t num, kelvex_out_ushort* pRAW_data), "light_sensor_request_raw(num) -> (int, unsigned short)") \
    X(light_sensor_request_reset, light_sensor, request_reset, 0x08, reset, 0, expose, int, (uint16_t num),       \
      "light_sensor_request_reset(num) -> int")                                                            \
    X(light_sensor_set_calibrate, light_sensor, set_calibrate, 0x28, setting, 1, expose, int,                    \
      (uint16_t num, uint8_t mode), "light_sensor_set_calibrate(num, mode) -> int")                         \
    X(light_sensor_set_minvalue, light_sensor, set_minvalue, 0x20, setting, 2, expose, int,                      \
      (uint16_t num, uint16_t value), "light_sensor_set_minvalue(num, value) -> int")                       \
    X(light_sensor_turn_off, light_sensor, none, 0, turn_off, 0, expose, int, (uint16_t num),                 \
      "light_sensor_turn_off(num) -> int")                                                                 \
    X(light_sensor_turn_on, light_sensor, none, 0, turn_on, 0, expose, int, (uint16_t num),                   \
      "light_sensor_turn_on(num) -> int")                                                                  \
    X(sun_sensor_get_state, sun_sensor, none, 0, get_state, 0, expose, int, (uint16_t num),                   \
      "sun_sensor_get_state(num) -> int")                                                                  \
    X(sun_sensor_request_maxraw, sun_sensor, request_maxraw, 0x10, read, 0, expose, int,                         \
      (uint16_t num, kelvex_out_ushort* pMAXRAW_data1, kelvex_out_ushort* pMAXRAW_data2),                  \
      "sun_sensor_request_maxraw(num) -> (int, unsigned short, unsigned short)")                           \
    X(sun_sensor_request_raw, sun_sensor, request_raw, 0x00, read, 0, expose, int,                               \
      (uint16_t num, kelvex_out_ushort* pRAW_data1, kelvex_out_ushort* pRAW_data2),                        \
      "sun_sensor_request_raw(num) -> (int, unsigned short, unsigned short)")                              \
    X(sun_sensor_request_reset, sun_sensor, request_reset, 0x08, reset, 0, expose, int, (uint16_t num),           \
      "sun_sensor_request_reset(num) -> int")                                                              \
    X(sunsensors_angle, sun_sensor, none, 0, board, 0, expose, int,                                           \
      (uint16_t positive, uint16_t negative, uint16_t ambient, kelvex_out_degrees* angle),                 \
      "sunsensors_angle(positive, negative, ambient) -> int")                                              \
    /* The unit expects a second, zero word. */                                                            \
    X(sun_sensor_set_minvalue, sun_sensor, set_minvalue, 0x20, setting, 4, expose, int,                          \
      (uint16_t num, uint16_t value), "sun_sensor_set_minvalue(num, value) -> int")                         \
    X(sun_sensor_turn_off, sun_sensor, none, 0, turn_off, 0, expose, int, (uint16_t num),                     \
      "sun_sensor_turn_off(num) -> int")                                                                   \
    X(sun_sensor_turn_on, sun_sensor, none, 0, turn_on, 0, expose, int, (uint16_t num),                       \
      "sun_sensor_turn_on(num) -> int")                                                                    \
    X(transceiver_get_state, transceiver, none, 0, get_state, 0, expose, int, (uint16_t num),                 \
      "transceiver_get_state(num) -> int")                                                                 \
    X(transceiver_request_buff, transceiver, request_buff, 0x20, read_buffer, 32, expose, int,                   \
      (uint16_t num, kelvex_out_buffer* data), "transceiver_request_buff(num) -> (int, string)")            \
    X(transceiver_request_reset, transceiver, request_reset, 0x10, reset, 0, expose, int, (uint16_t num),         \
      "transceiver_request_reset(num) -> int")                                                             \
    X(transceiver_send, transceiver, send, 0x00, send, 0, expose, int,                                           \
      (uint16_t tx_num, uint16_t rx_num, const uint8_t* data, uint16_t len),                               \
      "transceiver_send(tx_num, rx_num, outbuf) -> int")                                                   \
    X(transceiver_turn_off, transceiver, none, 0, turn_off, 0, expose, int, (uint16_t num),                   \
      "transceiver_turn_off(num) -> int")                                                                  \
    X(transceiver_turn_on, transceiver, none, 0, turn_on, 0, expose, int, (uint16_t num),                     \
      "transceiver_turn_on(num) -> int")                                                                   \
    X(transmitter_get_state, transmitter, none, 0, get_state, 0, expose, int, (uint16_t num),                 \
      "transmitter_get_state(num) -> int")                                                                 \
    X(transmitter_request_reset, transmitter, request_reset, 0x08, reset, 0, expose, int, (uint16_t num),         \
      "transmitter_request_reset(num) -> int")                                                             \
    X(transmitter_transmit_photo, transmitter, none, 0, board, 0, expose, int, (uint16_t num, uint16_t nPhoto), \
      "transmitter_transmit_photo(num, nPhoto) -> int")                                                    \
    X(transmitter_turn_off, transmitter, turn_off, 0x04, confirmed_switch, 0, expose, int, (uint16_t num),        \
      "transmitter_turn_off(num) -> int")                                                                  \
    X(transmitter_turn_on, transmitter, turn_on, 0x00, confirmed_switch, 0, expose, int, (uint16_t num),          \
      "transmitter_turn_on(num) -> int")                                                                   \
    X(sunbattery_request_maxraw, sunbattery, request_maxraw, 0x10, read, 0, overloaded, int32_t,                 \
      (uint16_t num, kelvex_out_ushort* pMAXRAW_data), "")                                                 \
    X(sunbattery_request_reset, sunbattery, request_reset, 0x08, reset, 0, overloaded, int32_t, (uint16_t num), "") \
    X(sunbattery_request_raw, sunbattery, request_raw, 0x00, read, 0, overloaded, int32_t,                       \
      (uint16_t num, kelvex_out_ushort* pRAW_data), "")                                                    \
    /* The gyroscope's second name, and the receiver: C only. */                                           \
    X(gyro_get_state, hyro, none, 0, get_state, 0, hidden, int, (uint16_t num), "")                           \
    X(gyro_request_raw, hyro, request_raw, 0x00, read_axes, 0, hidden, int, KELVEX_AXES_PARAMS, "")               \
    X(gyro_request_reset, hyro, request_reset, 0x04, reset, 0, hidden, int, (uint16_t num), "")                  \
    X(gyro_turn_off, hyro, none, 0, turn_off, 0, hidden, int, (uint16_t num), "")                             \
    X(gyro_turn_on, hyro, none, 0, turn_on, 0, hidden, int, (uint16_t num), "")                               \
    X(receiver_request_reset, receiver, request_reset, 0x10, reset, 0, hidden, int, (uint16_t num), "")          \
    X(receiver_request_state, receiver, request_state, 0x00, read, 0, hidden, int,                               \
      (uint16_t num, kelvex_out_float* quality), "")
/* clang-format on */

#endif
