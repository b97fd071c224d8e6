"""The overloaded functions: dispatch by arguments and their errors."""

import _kelvex as k
import pytest


def overload_error(name, *prototypes):
    return (f"Wrong number or type of arguments for overloaded function '{name}'.\n"
            "  Possible C/C++ prototypes are:\n" + "".join(f"    {p}\n" for p in prototypes))


RESET = overload_error("sunbattery_request_reset", "sunbattery_request_reset(unsigned short)",
                       "sunbattery_request_reset(short)")
SINGLE = overload_error("cobs_single_request", "cobs_single_request(char **,int *,char *,int)",
                        "cobs_single_request(char *,int,char **,int *)")


def reading_error(name):
    return overload_error(name, f"{name}(unsigned short,unsigned short *)",
                          f"{name}(short,unsigned short *)")


def no_overload(message, func, *args):
    with pytest.raises(NotImplementedError) as info:
        func(*args)
    assert str(info.value) == message


class TestSunBatteryReset:
    def test_both_forms_reach_the_device_function(self):
        # Units 40000 and 65535 are out of range: the bad-unit status, nothing sent.
        assert k.sunbattery_request_reset(40000) == 1
        assert k.sunbattery_request_reset(-1) == 1
        assert k.sunbattery_request_reset(-32768) == 1

    @pytest.mark.parametrize("args", [(70000,), (-32769,), (1.0,), ("0",), (), (0, 0)])
    def test_anything_else(self, args):
        no_overload(RESET, k.sunbattery_request_reset, *args)


@pytest.mark.parametrize("name", ["sunbattery_request_raw", "sunbattery_request_maxraw"])
class TestSunBatteryReadings:
    def test_script_form(self, name):
        assert getattr(k, name)(8) == [1, 0]
        assert getattr(k, name)(-1) == [1, 0]

    @pytest.mark.parametrize("args", [(40000,), (1.5,), (), (0, 1), (0, "x"), (-1, None)])
    def test_anything_else(self, name, args):
        no_overload(reading_error(name), getattr(k, name), *args)

    def test_wrong_pointer_type_and_none(self, name):
        g = k.new_Global()
        try:
            no_overload(reading_error(name), getattr(k, name), 0, g)
        finally:
            k.delete_Global(g)
        # The pointer form stores through the pointer: None would crash.
        with pytest.raises(TypeError) as info:
            getattr(k, name)(0, None)
        assert type(info.value) is TypeError
        assert str(info.value) == f"in method '{name}', argument 2 of type 'unsigned short *'"


class TestCobsSingleRequest:
    def test_script_form_returns_the_answer_buffer(self):
        # Too short to be matched: nothing is sent, the zero-filled buffer comes back.
        status, answer = k.cobs_single_request(b"\x01\x02")
        assert status == 1 and answer == bytes(128)

    @pytest.mark.parametrize("args", [(5,), (None,), (), (b"x", b"y"), (1, 2, b"x")])
    def test_anything_else(self, args):
        no_overload(SINGLE, k.cobs_single_request, *args)

    def test_pointer_form_refuses_none(self):
        with pytest.raises(TypeError) as info:
            k.cobs_single_request(None, None, b"\x01")
        assert str(info.value) == "in method 'cobs_single_request', argument 1 of type 'char **'"
