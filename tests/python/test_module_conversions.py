"""Argument conversions by declared type and their error reports.

Unit numbers out of every family's range make the device functions return 1
before anything is sent, so these tests need no line."""

import math

import _kelvex as k
import pytest
from module_support import needs

BAD_UNIT = 99


def raises(exc, message, func, *args):
    with pytest.raises(exc) as info:
        func(*args)
    assert type(info.value) is exc
    assert str(info.value) == message


def arg_error(func, position, ctype):
    return f"in method '{func}', argument {position} of type '{ctype}'"


class TestShort:
    def test_accepts_ints_and_bools_in_range(self):
        assert k.arm_get_state(BAD_UNIT) == 1
        for value in (0, 32767, -32768, True, False):
            assert isinstance(k.arm_turn_off(value), int)

    def test_negative_numbers_arrive_as_their_16_bit_pattern(self):
        # -1 is unit 65535: out of range, so the bad-unit status.
        assert k.arm_turn_on(-1) == 1
        assert k.motor_request_speed(-1) == [1, 0]

    @pytest.mark.parametrize("value", [32768, -32769, 70000, 2**40, -2**70])
    def test_out_of_range_is_overflow(self, value):
        raises(OverflowError, arg_error("arm_turn_on", 1, "short"), k.arm_turn_on, value)

    @pytest.mark.parametrize("value", [1.0, "1", b"1", None, [1], 1j])
    def test_other_types_are_type_errors(self, value):
        raises(TypeError, arg_error("arm_turn_on", 1, "short"), k.arm_turn_on, value)

    def test_second_argument_reports_its_position(self):
        raises(OverflowError, arg_error("motor_set_speed", 2, "short"), k.motor_set_speed, 0, 40000)
        raises(TypeError, arg_error("light_sensor_set_minvalue", 2, "short"),
               k.light_sensor_set_minvalue, 0, 0.5)

    def test_first_bad_argument_is_reported(self):
        raises(TypeError, arg_error("motor_set_speed", 1, "short"), k.motor_set_speed, "x", 1.5)


class TestChar:
    def test_one_character_or_byte_gives_its_value(self):
        # The bad unit still returns the confirm output, untouched at 0.
        for value in ("A", b"A", 65, 0, 255, "", b"", None, True):
            assert k.arm_set_value(BAD_UNIT, value) == [1, 0]

    @pytest.mark.parametrize("value", [256, -1, 2**64])
    def test_integers_outside_a_byte_are_overflow(self, value):
        raises(OverflowError, arg_error("arm_set_value", 2, "char"), k.arm_set_value, 0, value)

    @pytest.mark.parametrize("value", ["AB", b"AB", "\u00e9", 1.0, [65]])
    def test_longer_text_and_other_types_are_type_errors(self, value):
        raises(TypeError, arg_error("arm_set_value", 2, "char"), k.arm_set_value, 0, value)

    def test_calibration_mode_is_a_char_too(self):
        raises(OverflowError, arg_error("light_sensor_set_calibrate", 2, "char"),
               k.light_sensor_set_calibrate, 0, 300)


class TestFloatAndDouble:
    def test_float_accepts_numbers_and_infinities(self):
        for value in (1, 2.5, True, float("inf"), float("-inf"), float("nan"), 3.4028234663852886e38):
            assert k.battery_set_charge_limit(value) is None

    @pytest.mark.parametrize("value", [1e39, -1e39, 10**39])
    def test_finite_values_beyond_single_precision_are_overflow(self, value):
        raises(OverflowError, arg_error("battery_set_charge_limit", 1, "float"),
               k.battery_set_charge_limit, value)

    @pytest.mark.parametrize("value", ["1.0", None, 10**400])
    def test_float_refuses_other_types_and_huge_ints(self, value):
        raises(TypeError, arg_error("battery_set_charging_current", 1, "float"),
               k.battery_set_charging_current, value)

    def test_double_takes_any_finite_number(self):
        assert k.battery_set_charge(1e300) is None
        assert k.battery_set_charge(10**300) is None
        raises(TypeError, arg_error("battery_set_charge", 1, "double"), k.battery_set_charge, 10**400)
        raises(TypeError, arg_error("battery_set_charge", 1, "double"), k.battery_set_charge, "1")


class TestInt:
    def test_int_fields_take_32_bits(self):
        g = k.new_Global()
        try:
            k.Global_timeout_set(g, 2**31 - 1)
            assert k.Global_timeout_get(g) == 2**31 - 1
            k.Global_timeout_set(g, True)
            assert k.Global_timeout_get(g) == 1
            raises(OverflowError, arg_error("Global_timeout_set", 2, "int"), k.Global_timeout_set, g, 2**31)
            raises(TypeError, arg_error("Global_timeout_set", 2, "int"), k.Global_timeout_set, g, 1.0)
            raises(TypeError, arg_error("Global_charge_set", 2, "float"), k.Global_charge_set, g, "x")
        finally:
            k.delete_Global(g)


class TestText:
    def test_bytes_and_str_are_accepted(self):
        # -1 before online() has set up the log socket, else the four bytes.
        assert k.buzz("text") in (-1, 4)
        assert k.buzz(b"text") == k.buzz("text")

    @pytest.mark.parametrize("value", [None, 1, 1.0, bytearray(b"x"), ["x"]])
    def test_other_types_and_none_are_type_errors(self, value):
        raises(TypeError, arg_error("buzz", 1, "char *"), k.buzz, value)
        raises(TypeError, arg_error("accumulator_create", 1, "char *"), k.accumulator_create, value)
        raises(TypeError, arg_error("online", 1, "char *"), k.online, value)
        raises(TypeError, arg_error("version", 1, "char *"), k.version, value)

    def test_raw_requests_take_text_with_its_length(self):
        raises(TypeError, arg_error("cobs_command", 1, "char *"), k.cobs_command, None)
        raises(TypeError, arg_error("cobs_request", 1, "char *"), k.cobs_request, 5)

    @pytest.mark.parametrize("func, args, position", [
        ("cobs_command", ("\u0100",), 1), ("cobs_request", ("ab\u20ac",), 1),
        ("cobs_single_request", ("\U0001f600",), 1), ("transceiver_send", (BAD_UNIT, 1, "\u0100"), 3),
        ("arduino_send", (BAD_UNIT, 1, "\u0100", 1), 3), ("instrument_measure", ("\u0100", 0), 1)])
    def test_bytes_for_the_bus_refuse_characters_above_255(self, func, args, position):
        raises(TypeError, arg_error(func, position, "char *"), getattr(k, func), *args)

    def test_lone_surrogates_have_no_utf8_form(self):
        raises(TypeError, arg_error("buzz", 1, "char *"), k.buzz, "\udc80")


class TestArgumentCount:
    def test_wrong_count_is_the_interpreters_type_error(self):
        with pytest.raises(TypeError):
            k.arm_turn_on()
        with pytest.raises(TypeError):
            k.arm_turn_on(1, 2)
        with pytest.raises(TypeError):
            k.bus_setup(1)


class TestResults:
    def test_outputs_make_a_list_with_the_status_first(self):
        assert k.motor_request_speed(BAD_UNIT) == [1, 0]
        assert type(k.motor_request_speed(BAD_UNIT)) is list
        assert k.accelerometer_request_raw(BAD_UNIT) == [1, 0, 0, 0]
        assert k.sun_sensor_request_maxraw(BAD_UNIT) == [1, 0, 0]
        assert k.fan_set_speed(BAD_UNIT, 10) == [1, 0]

    def test_plain_status_for_functions_without_outputs(self):
        assert k.light_sensor_set_minvalue(BAD_UNIT, 1) == 1
        assert k.camera_get_state() in (0, 1)

    def test_sun_angle_is_truncated_toward_zero(self):
        # No angle when ambient is not below both channels.
        assert k.sunsensors_angle(1, 2, 3) == [1, 0]
        status, angle = k.sunsensors_angle(1000, 500, 0)
        assert status == 0 and isinstance(angle, int)
        assert -45 <= angle <= 45

    def test_battery_reads_are_nan_without_a_record(self):
        # This process never attaches one.
        assert math.isnan(k.battery_get_charge())
        assert math.isnan(k.battery_get_discharging_current())


@needs("instrument_measure", "arduino_send", "instrument_attach")
class TestParameterPositions:
    def test_positions_count_the_c_parameters(self):
        raises(TypeError, arg_error("instrument_measure", 5, "int"), k.instrument_measure, b"x", "1")
        raises(TypeError, arg_error("arduino_send", 5, "short"), k.arduino_send, 0, 0, b"", 1.5)
        raises(TypeError, arg_error("arduino_send", 3, "char *"), k.arduino_send, 0, 0, None, 1)

    def test_instrument_port_is_unsigned_short(self):
        raises(OverflowError, arg_error("instrument_attach", 2, "unsigned short"),
               k.instrument_attach, "127.0.0.1", -1)
        raises(OverflowError, arg_error("instrument_attach", 2, "unsigned short"),
               k.instrument_attach, "127.0.0.1", 65536)


@needs("transceiver_send", "transceiver_request_buff", "arduino_send", "instrument_measure")
class TestRadioAndInstruments:
    def test_transceiver_send_returns_the_bare_status(self):
        assert k.transceiver_send(BAD_UNIT, 1, b"x" * 65535) == 1
        assert k.transceiver_send(BAD_UNIT, 1, "text") == 1

    def test_transceiver_send_refuses_what_a_16_bit_length_cannot_count(self):
        # Sending only the length modulo 65536 would lose data silently.
        with pytest.raises(ValueError, match=r"^transceiver_send: data longer than 65535 bytes$"):
            k.transceiver_send(0, 1, b"x" * 70000)

    def test_transceiver_buffer_is_always_32_bytes(self):
        assert k.transceiver_request_buff(BAD_UNIT) == [1, bytes(32)]

    def test_controller_answer_is_empty_when_nothing_came_back(self):
        assert k.arduino_send(BAD_UNIT, 1, b"args", 10) == [1, b""]

    def test_unattached_instrument_hands_back_the_librarys_buffer(self):
        status, answer = k.instrument_measure(b"x", 0)
        assert status == 1 and answer == bytes(len(answer))
