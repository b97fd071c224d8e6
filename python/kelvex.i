/* The _kelvex module: the flat device API, raw requests, the battery model,
 * script bring-up and the run-time configuration for Python missions.
 *
 * The interface wraps the real public headers, the device operations as the
 * operation table spells them. Only the names listed below are exposed, and
 * the module lists them in this order. */
%module kelvex

%{
#include "kelvex/kelvex.h"
#include "devices/operation_list.h"
#include "bringup.h"
#include "overloads.h"
%}

%include "kelvex_python.i"
%include "../src/devices/operation_list.h"

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

/* The device operations, in their rows' order (src/devices/operation_list.h):
 * declared as their rows spell them, so that each output converts as its
 * kelvex_out_ type says; the headers' own declarations are then left out. */
%define %kelvex_operation_expose(name, result, params, doc)
%rename("%s") name;
%kelvex_order(#name)
%feature("docstring") name doc;
result name params;
%rename("$ignore") name;
%enddef
/* Exposed below with their forms, not as the headers declare them. */
%define %kelvex_operation_overloaded(name, result, params, doc)
%kelvex_order(#name)
%enddef
%define %kelvex_operation_hidden(name, result, params, doc)
%enddef
#define KELVEX_PYTHON_OPERATION(name, family, op, offset, kind, bytes, python, result, params, doc) \
    %kelvex_operation_##python(name, result, params, doc)
KELVEX_DEVICE_OPERATIONS(KELVEX_PYTHON_OPERATION)

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
%feature("docstring") Global::Global "new_Global() -> Global";
%feature("docstring") Global::~Global "delete_Global(self)";

/* Radio, camera, instruments and the controller: the device operations
 * carry theirs in their rows. */
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
/* Their script forms hand out what the rows' kelvex_out_ushort outputs do;
 * the types stay the C ones, which the overload errors name. */
%apply kelvex_out_ushort * { unsigned short *pRAW_data, unsigned short *pMAXRAW_data };
%include "overloads.h"
%clear unsigned short *pRAW_data, unsigned short *pMAXRAW_data;

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
