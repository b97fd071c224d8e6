"""Every function of _kelvex and of the kelvex wrapper, called as a mission
would: type-checked with mypy --strict against the stubs, never run."""

import struct

import _kelvex as k
import kelvex


def common_four() -> list[int]:
    results: list[int] = []
    for unit in (0, 1):
        for family in (k.accelerometer_turn_on, k.arm_turn_on, k.coil_turn_on, k.engine_turn_on,
                       k.fan_turn_on, k.hyro_turn_on, k.light_sensor_turn_on, k.magnetometer_turn_on,
                       k.motor_turn_on, k.sun_sensor_turn_on, k.transceiver_turn_on,
                       k.transmitter_turn_on,
                       k.accelerometer_turn_off, k.arm_turn_off, k.coil_turn_off, k.engine_turn_off,
                       k.fan_turn_off, k.hyro_turn_off, k.light_sensor_turn_off,
                       k.magnetometer_turn_off, k.motor_turn_off, k.sun_sensor_turn_off,
                       k.transceiver_turn_off, k.transmitter_turn_off,
                       k.accelerometer_get_state, k.arm_get_state, k.coil_get_state,
                       k.engine_get_state, k.fan_get_state, k.hyro_get_state,
                       k.light_sensor_get_state, k.magnetometer_get_state, k.motor_get_state,
                       k.sun_sensor_get_state, k.transceiver_get_state, k.transmitter_get_state,
                       k.accelerometer_request_reset, k.arm_request_reset, k.coil_request_reset,
                       k.engine_request_reset, k.fan_request_reset, k.hyro_request_reset,
                       k.light_sensor_request_reset, k.magnetometer_request_reset,
                       k.motor_request_reset, k.sun_sensor_request_reset,
                       k.transceiver_request_reset, k.transmitter_request_reset,
                       k.sunbattery_request_reset):
            results.append(family(unit))
    results += [k.camera_turn_on(), k.camera_get_state(), k.camera_take_photo(1), k.camera_turn_off()]
    return results


def sensors_and_actuators() -> int:
    status, x, y, z = k.accelerometer_request_raw(0)
    status, x, y, z = k.hyro_request_raw(0)
    status, x, y, z = k.magnetometer_request_raw(0)
    status, raw = k.light_sensor_request_raw(0)
    status, raw = k.light_sensor_request_maxraw(0)
    status, raw1, raw2 = k.sun_sensor_request_raw(0)
    status, raw1, raw2 = k.sun_sensor_request_maxraw(0)
    status, raw = k.sunbattery_request_raw(0)
    status, raw = k.sunbattery_request_maxraw(0)
    status, angle = k.sunsensors_angle(raw1, raw2, 0)
    status = k.light_sensor_set_minvalue(0, 10) + k.sun_sensor_set_minvalue(0, 10)
    status = k.light_sensor_set_calibrate(0, "A") + k.light_sensor_set_calibrate(0, 1)
    status, rpm = k.motor_request_speed(0)
    status, rpm = k.fan_request_speed(0)
    status, rpm = k.motor_set_speed(0, 1500)
    status, rpm = k.fan_set_speed(0, -300)
    status, value = k.coil_set_value(0, 100)
    status, value = k.engine_set_value(0, 100)
    status, value = k.arm_set_value(0, b"A")
    return status + x + y + z + raw + angle + rpm + value


def radio_and_raw_requests() -> bytes:
    answers = b""
    status = k.transmitter_transmit_photo(0, 1) + k.transceiver_send(1, 2, "\xe9t\xe9")
    status, buffer = k.transceiver_request_buff(1)
    answers += buffer
    status, text = k.arduino_send(0, 7, "args", 500)
    answers += text
    status = k.bus_setup() + k.cobs_command(b"\x01\x00\x02\x00\x01\x00")
    request = struct.pack("<3H", 0x2100, 0x0210, 1)
    for result in (k.cobs_request(request), k.cobs_single_request(request)):
        if not isinstance(result, int):
            answers += result[1]
    status = k.instrument_attach("127.0.0.1", 7000)
    measured = k.instrument_measure(b"measure", 1)
    if not isinstance(measured, int):
        answers += measured[1]
    status += k.instrument_detach()
    return answers if status == 0 else b""


def battery(path: str) -> float:
    shmid = k.accumulator_create(path)
    record = k.accumulator_attach(shmid)
    k.battery_set_charge(1.5)
    k.battery_set_charge_limit(1.6)
    k.battery_set_discharge_limit(0.2)
    k.battery_set_charging_current(30)
    k.battery_set_discharging_current(7.5)
    charge = k.battery_get_charge() + k.battery_get_charging_current() + k.battery_get_discharging_current()
    k.accumulator()
    return charge + int(record) + k.accumulator_detach()


def configuration() -> str | None:
    k.cvar.debug = 2
    k.cvar.ncells = 8
    k.cvar.donotpollsunbattery = 1
    k.cvar.ftp_path = "ftp://127.0.0.1/incoming"
    g = k.new_Global()
    k.Global_fd_set(g, -1)
    k.Global_retries_set(g, 5)
    k.Global_timeout_set(g, 40)
    k.Global_baud_set(g, 9600)
    k.Global_flow_type_set(g, 0)
    k.Global_charge_set(g, 1.5)
    k.Global_current_set(g, 60.0)
    k.Global_fRaspberryConsumption_set(g, 150.0)
    k.Global_buzz_port_set(g, 4567)
    k.Global_buzz_server_set(g, "127.0.0.1")
    k.cvar.G = g
    total = (k.Global_fd_get(g) + k.Global_retries_get(g) + k.Global_timeout_get(g)
             + k.Global_baud_get(g) + k.Global_flow_type_get(g) + k.Global_buzz_port_get(g)
             + k.Global_charge_get(g) + k.Global_current_get(g)
             + k.Global_fRaspberryConsumption_get(g))
    server = k.Global_buzz_server_get(k.cvar.G)
    k.delete_Global(g)
    k.Global_swigregister(kelvex.Global)
    k.Global_swiginit(kelvex.Global(), k.new_Global())
    if total < 0:
        k.SWIG_PyInstanceMethod_New(configuration)
    return server or k.cvar.ftp_path


def bring_up(tty: str) -> int:
    k.version("mission.py")
    k.online(tty)
    sent = k.buzz("50% done\n")
    k.offline()
    return sent


def through_the_wrapper(tty: str) -> int:
    kelvex.cvar.G.baud = 9600
    kelvex.cvar.G.buzz_server = "127.0.0.1"
    record = kelvex.Global()
    record.retries = 3
    kelvex.online(tty)
    status, rpm = kelvex.motor_set_speed(0, 1500)
    kelvex.offline()
    return status + rpm + record.retries
