"""The module's function table: names, order, documentation, support entries."""

import os
import re

import _kelvex
import kelvex
import pytest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)

FIELDS = ["fd", "retries", "timeout", "baud", "flow_type", "charge", "current",
          "fRaspberryConsumption", "buzz_port", "buzz_server"]


def family(prefix, *extra):
    return sorted([prefix + s for s in ("_get_state", "_request_reset", "_turn_off", "_turn_on")]
                  + [prefix + e for e in extra])


REGISTRATION_ORDER = (
    ["SWIG_PyInstanceMethod_New"]
    + [f"Global_{f}_{a}" for f in FIELDS for a in ("set", "get")]
    + ["new_Global", "delete_Global", "Global_swigregister"]
    + ["buzz", "online", "offline", "version"]
    + ["battery_set_charge", "battery_set_charge_limit", "battery_set_discharge_limit",
       "battery_set_charging_current", "battery_set_discharging_current",
       "battery_get_charge", "battery_get_charging_current", "battery_get_discharging_current"]
    + ["bus_setup"]
    + family("accelerometer", "_request_raw")
    + ["arduino_send"]
    + family("arm", "_set_value")
    + ["camera_get_state", "camera_take_photo", "camera_turn_off", "camera_turn_on"]
    + family("fan", "_request_speed", "_set_speed")
    + family("hyro", "_request_raw")
    + family("magnetometer", "_request_raw")
    + family("motor", "_request_speed", "_set_speed")
    + family("coil", "_set_value")
    + family("engine", "_set_value")
    + family("light_sensor", "_request_maxraw", "_request_raw", "_set_calibrate", "_set_minvalue")
    + ["sun_sensor_get_state", "sun_sensor_request_maxraw", "sun_sensor_request_raw",
       "sun_sensor_request_reset", "sunsensors_angle", "sun_sensor_set_minvalue",
       "sun_sensor_turn_off", "sun_sensor_turn_on"]
    + family("transceiver", "_request_buff", "_send")
    + ["transmitter_get_state", "transmitter_request_reset", "transmitter_transmit_photo",
       "transmitter_turn_off", "transmitter_turn_on"]
    + ["sunbattery_request_maxraw", "sunbattery_request_reset", "sunbattery_request_raw"]
    + ["accumulator_create", "accumulator_attach", "accumulator_detach", "accumulator"]
    + ["cobs_command", "cobs_request", "cobs_single_request"]
    + ["instrument_attach", "instrument_detach", "instrument_measure"]
)

UNIT_FAMILIES = ["accelerometer", "arm", "coil", "engine", "fan", "hyro", "light_sensor",
                 "magnetometer", "motor", "sun_sensor", "transceiver", "transmitter"]

DOCS = {
    "camera_turn_on": "camera_turn_on() -> int",
    "camera_turn_off": "camera_turn_off() -> int",
    "camera_get_state": "camera_get_state() -> int",
    "camera_take_photo": "camera_take_photo(num) -> int",
    "accelerometer_request_raw": "accelerometer_request_raw(num) -> (int, short, short, short)",
    "hyro_request_raw": "hyro_request_raw(num) -> (int, short, short, short)",
    "magnetometer_request_raw": "magnetometer_request_raw(num) -> (int, short, short, short)",
    "light_sensor_request_raw": "light_sensor_request_raw(num) -> (int, unsigned short)",
    "light_sensor_request_maxraw": "light_sensor_request_maxraw(num) -> (int, unsigned short)",
    "sun_sensor_request_raw": "sun_sensor_request_raw(num) -> (int, unsigned short, unsigned short)",
    "sun_sensor_request_maxraw":
        "sun_sensor_request_maxraw(num) -> (int, unsigned short, unsigned short)",
    "motor_request_speed": "motor_request_speed(num) -> (int, short)",
    "fan_request_speed": "fan_request_speed(num) -> (int, short)",
    "motor_set_speed": "motor_set_speed(num, rpm) -> (int, short)",
    "fan_set_speed": "fan_set_speed(num, rpm) -> (int, short)",
    "coil_set_value": "coil_set_value(num, pwm) -> (int, short)",
    "engine_set_value": "engine_set_value(num, vlaue) -> (int, short)",
    "arm_set_value": "arm_set_value(num, value) -> (int, char)",
    "light_sensor_set_minvalue": "light_sensor_set_minvalue(num, value) -> int",
    "sun_sensor_set_minvalue": "sun_sensor_set_minvalue(num, value) -> int",
    "light_sensor_set_calibrate": "light_sensor_set_calibrate(num, mode) -> int",
    "sunsensors_angle": "sunsensors_angle(positive, negative, ambient) -> int",
    "transmitter_transmit_photo": "transmitter_transmit_photo(num, nPhoto) -> int",
    "transceiver_send": "transceiver_send(tx_num, rx_num, outbuf) -> int",
    "transceiver_request_buff": "transceiver_request_buff(num) -> (int, string)",
    "arduino_send": "arduino_send(num, msg_id, args, timeout) -> int",
    "bus_setup": "bus_setup() -> int",
    "cobs_command": "cobs_command(bytes) -> int",
    "cobs_request": "cobs_request(bytes) -> (int, bytes)",
    "cobs_single_request": "\ncobs_single_request(z) -> int\ncobs_single_request(bytes) -> (int, bytes)\n",
    "instrument_attach": "instrument_attach(name, port) -> int",
    "instrument_detach": "instrument_detach() -> int",
    "instrument_measure": "instrument_measure(bytes, secs) -> (int, bytes)",
    "battery_get_charge": "battery_get_charge() -> float",
    "battery_get_charging_current": "battery_get_charging_current() -> float",
    "battery_get_discharging_current": "battery_get_discharging_current() -> float",
    "accumulator_create": "accumulator_create(prg) -> int",
    "accumulator_attach": "accumulator_attach(id) -> void *",
    "accumulator_detach": "accumulator_detach() -> int",
    "accumulator": "accumulator()",
    "new_Global": "new_Global() -> Global",
    "delete_Global": "delete_Global(self)",
}
for _f in UNIT_FAMILIES:
    for _op in ("_turn_on", "_turn_off", "_get_state", "_request_reset"):
        DOCS[_f + _op] = f"{_f}{_op}(num) -> int"

UNDOCUMENTED = ([f"Global_{f}_{a}" for f in FIELDS for a in ("set", "get")]
                + ["sunbattery_request_raw", "sunbattery_request_maxraw", "sunbattery_request_reset",
                   "battery_set_charge", "battery_set_charge_limit", "battery_set_discharge_limit",
                   "battery_set_charging_current", "battery_set_discharging_current",
                   "online", "offline", "buzz", "version"])


def module_functions():
    return [n for n, v in _kelvex.__dict__.items() if callable(v) and n != "Global_swiginit"]


# Functions the headers declare that scripts do not get, and why.
NOT_FOR_SCRIPTS = {
    "Sleep": "time.sleep", "mSleep": "time.sleep", "msleep": "time.sleep",
    "dump_buffer": "the runner's diagnostics", "diag_vdump_buf_with_offset": "the runner's diagnostics",
    "cobs_encode": "the transport frames", "cobs_decode": "the transport frames",
    "tty_open": "online() opens the line", "tty_close": "offline() closes it",
    "gyro_request_reset": "hyro_ is the script name", "gyro_get_state": "hyro_ is the script name",
    "gyro_turn_on": "hyro_ is the script name", "gyro_turn_off": "hyro_ is the script name",
    "gyro_request_raw": "hyro_ is the script name",
    "receiver_request_reset": "no receiver in the kit", "receiver_request_state": "no receiver in the kit",
    "set_charging": "battery_set_* instead", "reset_charging": "battery_set_* instead",
    "set_discharging": "battery_set_* instead", "reset_discharging": "battery_set_* instead",
    "increase_consumption": "the unit switches book it", "decrease_consumption": "the unit switches book it",
    "do_command": "cobs_command", "do_single_request": "cobs_single_request", "do_request": "cobs_request",
    "do_request_timeout": "cobs_request", "do_setup_bus": "bus_setup",
    "buzz_write": "buzz", "buzz_printf": "buzz",
    "GPIOExport": "C missions only", "GPIOUnexport": "C missions only", "GPIODirection": "C missions only",
    "GPIORead": "C missions only", "GPIOWrite": "C missions only",
    "usage": "the runner's command line", "control": "the mission itself",
}

DECLARATION = re.compile(r"^(?:KELVEX_API\s+)?(?!extern|typedef|return)[A-Za-z_][\w \t*]*?\b(\w+)\s*\(", re.M)


def declared_functions():
    """Every function the public headers and the script bring-up declare."""
    names = set()
    headers = [os.path.join(SOURCE, "include", "kelvex", h)
               for h in sorted(os.listdir(os.path.join(SOURCE, "include", "kelvex")))]
    for path in headers + [os.path.join(SOURCE, "python", "bringup.h")]:
        with open(path, encoding="utf-8") as f:
            text = re.sub(r"/\*.*?\*/|//[^\n]*", "", f.read(), flags=re.S)
        names.update(m.group(1) for m in DECLARATION.finditer(text))
    return names - {"KELVEX_API"}


def test_the_table_lists_124_functions_in_registration_order():
    assert len(REGISTRATION_ORDER) == 124 and len(set(REGISTRATION_ORDER)) == 124
    assert module_functions() == REGISTRATION_ORDER


def test_every_function_of_the_headers_is_in_the_module_or_excluded():
    declared = declared_functions()
    assert len(declared) > 100, "the declarations were not found"
    assert sorted(declared - set(NOT_FOR_SCRIPTS) - set(module_functions())) == []
    assert sorted(set(NOT_FOR_SCRIPTS) - declared) == [], "exclusions of functions no header declares"


def test_nothing_outside_the_table_is_exposed():
    hidden = ["Sleep", "mSleep", "msleep", "dump_buffer", "diag_vdump_buf_with_offset",
              "cobs_encode", "cobs_decode", "tty_open", "tty_close", "gyro_request_raw",
              "gyro_turn_on", "receiver_request_state", "receiver_request_reset", "set_charging",
              "reset_charging", "set_discharging", "reset_discharging", "increase_consumption",
              "decrease_consumption", "do_command", "do_single_request", "do_request",
              "do_request_timeout", "do_setup_bus", "buzz_write", "buzz_printf", "GPIOExport",
              "GPIORead", "usage", "control", "main", "fd", "buf", "vacc"]
    assert [n for n in hidden if hasattr(_kelvex, n)] == []
    # No constants either: everything but the functions is cvar and Python's own.
    others = [n for n, v in _kelvex.__dict__.items() if not callable(v) and not n.startswith("__")]
    assert others == ["cvar"]


@pytest.mark.parametrize("name", sorted(DOCS))
def test_documentation_strings(name):
    assert getattr(_kelvex, name).__doc__ == DOCS[name]


def test_functions_without_documentation():
    assert [n for n in UNDOCUMENTED if getattr(_kelvex, n).__doc__ is not None] == []


def test_instance_method_support_entry_returns_a_null_result():
    with pytest.raises(SystemError):
        _kelvex.SWIG_PyInstanceMethod_New(len)


def test_proxy_module_wraps_the_same_functions():
    assert kelvex.motor_turn_on.__doc__ == "motor_turn_on(num) -> int"
    assert kelvex.cvar is _kelvex.cvar
    assert isinstance(kelvex.cvar.G, kelvex.Global)
