/* The _kelvex module: the flat device API, raw requests, the battery model,
 * script bring-up and the run-time configuration for Python missions.
 *
 * The interface wraps the real public headers. Only the names listed below
 * are exposed, and the module lists them in this order. A function appears
 * once its header declares it. */
%module kelvex

%{
#include "kelvex/kelvex.h"
#include "bringup.h"
#include "overloads.h"
%}

%include "kelvex_python.i"

/* ---- Exposure and registration order ------------------------------------ */
%rename("$ignore", regextarget=1) "";

/* Puts an exposed name at its place in the module. */
%define %kelvex_order(name)
%init %{
  kelvex::py::register_next(d, name);
%}
%enddef
/* Exposes a function of the headers at its place. */
%define %kelvex_expose(name)
%rename("%s") name;
%kelvex_order(#name)
%enddef
%define %kelvex_record_field(field)
%rename(field) Global::field;
%kelvex_order("Global_" #field "_set")
%kelvex_order("Global_" #field "_get")
%enddef

%init %{
  kelvex::py::add_instance_method_new(d);
%}
%kelvex_order("SWIG_PyInstanceMethod_New")

%rename("%s") Global;
%kelvex_record_field(fd)
%kelvex_record_field(retries)
%kelvex_record_field(timeout)
%kelvex_record_field(baud)
%kelvex_record_field(flow_type)
%kelvex_record_field(charge)
%kelvex_record_field(current)
%kelvex_record_field(fRaspberryConsumption)
%kelvex_record_field(buzz_port)
%kelvex_record_field(buzz_server)
%rename("%s") Global::~Global;
%kelvex_order("new_Global")
%kelvex_order("delete_Global")
%kelvex_order("Global_swigregister")
%kelvex_order("Global_swiginit")

%kelvex_expose(buzz)
%kelvex_expose(online)
%kelvex_expose(offline)
%kelvex_expose(version)

%kelvex_expose(battery_set_charge)
%kelvex_expose(battery_set_charge_limit)
%kelvex_expose(battery_set_discharge_limit)
%kelvex_expose(battery_set_charging_current)
%kelvex_expose(battery_set_discharging_current)
%kelvex_expose(battery_get_charge)
%kelvex_expose(battery_get_charging_current)
%kelvex_expose(battery_get_discharging_current)

%kelvex_expose(bus_setup)

%kelvex_expose(accelerometer_get_state)
%kelvex_expose(accelerometer_request_raw)
%kelvex_expose(accelerometer_request_reset)
%kelvex_expose(accelerometer_turn_off)
%kelvex_expose(accelerometer_turn_on)
%kelvex_expose(arduino_send)
%kelvex_expose(arm_get_state)
%kelvex_expose(arm_request_reset)
%kelvex_expose(arm_set_value)
%kelvex_expose(arm_turn_off)
%kelvex_expose(arm_turn_on)
%kelvex_expose(camera_get_state)
%kelvex_expose(camera_take_photo)
%kelvex_expose(camera_turn_off)
%kelvex_expose(camera_turn_on)
%kelvex_expose(fan_get_state)
%kelvex_expose(fan_request_reset)
%kelvex_expose(fan_request_speed)
%kelvex_expose(fan_set_speed)
%kelvex_expose(fan_turn_off)
%kelvex_expose(fan_turn_on)
%kelvex_expose(hyro_get_state)
%kelvex_expose(hyro_request_raw)
%kelvex_expose(hyro_request_reset)
%kelvex_expose(hyro_turn_off)
%kelvex_expose(hyro_turn_on)
%kelvex_expose(magnetometer_get_state)
%kelvex_expose(magnetometer_request_raw)
%kelvex_expose(magnetometer_request_reset)
%kelvex_expose(magnetometer_turn_off)
%kelvex_expose(magnetometer_turn_on)
%kelvex_expose(motor_get_state)
%kelvex_expose(motor_request_reset)
%kelvex_expose(motor_request_speed)
%kelvex_expose(motor_set_speed)
%kelvex_expose(motor_turn_off)
%kelvex_expose(motor_turn_on)
%kelvex_expose(coil_get_state)
%kelvex_expose(coil_request_reset)
%kelvex_expose(coil_set_value)
%kelvex_expose(coil_turn_off)
%kelvex_expose(coil_turn_on)
%kelvex_expose(engine_get_state)
%kelvex_expose(engine_request_reset)
%kelvex_expose(engine_set_value)
%kelvex_expose(engine_turn_off)
%kelvex_expose(engine_turn_on)
%kelvex_expose(light_sensor_get_state)
%kelvex_expose(light_sensor_request_maxraw)
%kelvex_expose(light_sensor_request_raw)
%kelvex_expose(light_sensor_request_reset)
%kelvex_expose(light_sensor_set_calibrate)
%kelvex_expose(light_sensor_set_minvalue)
%kelvex_expose(light_sensor_turn_off)
%kelvex_expose(light_sensor_turn_on)
%kelvex_expose(sun_sensor_get_state)
%kelvex_expose(sun_sensor_request_maxraw)
%kelvex_expose(sun_sensor_request_raw)
%kelvex_expose(sun_sensor_request_reset)
%kelvex_expose(sunsensors_angle)
%kelvex_expose(sun_sensor_set_minvalue)
%kelvex_expose(sun_sensor_turn_off)
%kelvex_expose(sun_sensor_turn_on)
%kelvex_expose(transceiver_get_state)
%kelvex_expose(transceiver_request_buff)
%kelvex_expose(transceiver_request_reset)
%kelvex_expose(transceiver_send)
%kelvex_expose(transceiver_turn_off)
%kelvex_expose(transceiver_turn_on)
%kelvex_expose(transmitter_get_state)
%kelvex_expose(transmitter_request_reset)
%kelvex_expose(transmitter_transmit_photo)
%kelvex_expose(transmitter_turn_off)
%kelvex_expose(transmitter_turn_on)

/* Overloaded: exposed below with their forms, not as the headers declare them. */
%kelvex_order("sunbattery_request_maxraw")
%kelvex_order("sunbattery_request_reset")
%kelvex_order("sunbattery_request_raw")

%kelvex_expose(accumulator_create)
%kelvex_expose(accumulator_attach)
%kelvex_expose(accumulator_detach)
%kelvex_expose(accumulator)

%kelvex_expose(cobs_command)
%kelvex_expose(cobs_request)
%kelvex_order("cobs_single_request")

%kelvex_expose(instrument_attach)
%kelvex_expose(instrument_detach)
%kelvex_expose(instrument_measure)

/* ---- Documentation strings ---------------------------------------------- */
%define %kelvex_unit_docs(F)
%feature("docstring") F##_turn_on %str(F##_turn_on(num) -> int);
%feature("docstring") F##_turn_off %str(F##_turn_off(num) -> int);
%feature("docstring") F##_get_state %str(F##_get_state(num) -> int);
%feature("docstring") F##_request_reset %str(F##_request_reset(num) -> int);
%enddef

%feature("docstring") Global::Global "new_Global() -> Global";
%feature("docstring") Global::~Global "delete_Global(self)";

%kelvex_unit_docs(accelerometer)
%kelvex_unit_docs(arm)
%kelvex_unit_docs(coil)
%kelvex_unit_docs(engine)
%kelvex_unit_docs(fan)
%kelvex_unit_docs(hyro)
%kelvex_unit_docs(light_sensor)
%kelvex_unit_docs(magnetometer)
%kelvex_unit_docs(motor)
%kelvex_unit_docs(sun_sensor)
%kelvex_unit_docs(transceiver)
%kelvex_unit_docs(transmitter)

%feature("docstring") camera_turn_on "camera_turn_on() -> int";
%feature("docstring") camera_turn_off "camera_turn_off() -> int";
%feature("docstring") camera_get_state "camera_get_state() -> int";
%feature("docstring") camera_take_photo "camera_take_photo(num) -> int";

/* Sensors */
%feature("docstring") accelerometer_request_raw "accelerometer_request_raw(num) -> (int, short, short, short)";
%feature("docstring") hyro_request_raw "hyro_request_raw(num) -> (int, short, short, short)";
%feature("docstring") magnetometer_request_raw "magnetometer_request_raw(num) -> (int, short, short, short)";
%feature("docstring") light_sensor_request_raw "light_sensor_request_raw(num) -> (int, unsigned short)";
%feature("docstring") light_sensor_request_maxraw "light_sensor_request_maxraw(num) -> (int, unsigned short)";
%feature("docstring") sun_sensor_request_raw "sun_sensor_request_raw(num) -> (int, unsigned short, unsigned short)";
%feature("docstring") sun_sensor_request_maxraw "sun_sensor_request_maxraw(num) -> (int, unsigned short, unsigned short)";
%feature("docstring") light_sensor_set_minvalue "light_sensor_set_minvalue(num, value) -> int";
%feature("docstring") sun_sensor_set_minvalue "sun_sensor_set_minvalue(num, value) -> int";
%feature("docstring") light_sensor_set_calibrate "light_sensor_set_calibrate(num, mode) -> int";
%feature("docstring") sunsensors_angle "sunsensors_angle(positive, negative, ambient) -> int";

/* Actuators */
%feature("docstring") motor_request_speed "motor_request_speed(num) -> (int, short)";
%feature("docstring") fan_request_speed "fan_request_speed(num) -> (int, short)";
%feature("docstring") motor_set_speed "motor_set_speed(num, rpm) -> (int, short)";
%feature("docstring") fan_set_speed "fan_set_speed(num, rpm) -> (int, short)";
%feature("docstring") coil_set_value "coil_set_value(num, pwm) -> (int, short)";
%feature("docstring") engine_set_value "engine_set_value(num, vlaue) -> (int, short)";
%feature("docstring") arm_set_value "arm_set_value(num, value) -> (int, char)";

/* Radio, camera, instruments and the controller */
%feature("docstring") transmitter_transmit_photo "transmitter_transmit_photo(num, nPhoto) -> int";
%feature("docstring") transceiver_send "transceiver_send(tx_num, rx_num, outbuf) -> int";
%feature("docstring") transceiver_request_buff "transceiver_request_buff(num) -> (int, string)";
%feature("docstring") arduino_send "arduino_send(num, msg_id, args, timeout) -> int";
%feature("docstring") instrument_attach "instrument_attach(name, port) -> int";
%feature("docstring") instrument_detach "instrument_detach() -> int";
%feature("docstring") instrument_measure "instrument_measure(bytes, secs) -> (int, bytes)";

/* Raw requests */
%feature("docstring") bus_setup "bus_setup() -> int";
%feature("docstring") cobs_command "cobs_command(bytes) -> int";
%feature("docstring") cobs_request "cobs_request(bytes) -> (int, bytes)";
%feature("docstring") cobs_single_request "cobs_single_request(z) -> int\ncobs_single_request(bytes) -> (int, bytes)";

/* Battery */
%feature("docstring") battery_get_charge "battery_get_charge() -> float";
%feature("docstring") battery_get_charging_current "battery_get_charging_current() -> float";
%feature("docstring") battery_get_discharging_current "battery_get_discharging_current() -> float";
%feature("docstring") accumulator_create "accumulator_create(prg) -> int";
%feature("docstring") accumulator_attach "accumulator_attach(id) -> void *";
%feature("docstring") accumulator_detach "accumulator_detach() -> int";
%feature("docstring") accumulator "accumulator()";

/* ---- Headers ------------------------------------------------------------ */
#define KELVEX_API
#define KELVEX_BEGIN_DECLS
#define KELVEX_END_DECLS

/* Runner: configuration record and build banner. */
%include "kelvex/runner.h"
/* Device API: unit families, sensors, actuators, raw requests. */
%include "kelvex/devices.h"
/* Radio, camera, instrument link and controller pass-through. */
%include "kelvex/radio.h"
/* Battery model. */
%include "kelvex/battery.h"
/* Script bring-up. */
%include "bringup.h"

/* ---- Overloaded forms --------------------------------------------------- */
%rename("%s") sunbattery_request_raw;
%rename("%s") sunbattery_request_maxraw;
%rename("%s") sunbattery_request_reset;
%rename("%s") cobs_single_request;
%include "overloads.h"

/* ---- Linked variables, in the order cvar links them --------------------- */
%rename("%s") debug;
%rename("%s") ncells;
%rename("%s") ftp_path;
%rename("%s") donotpollsunbattery;
%rename("%s") G;
extern int debug;
extern int ncells;
extern char *ftp_path;
extern int donotpollsunbattery;
extern struct Global G;
