"""Result-building paths release what they build: 100,000 calls of each may
grow the process by at most 1 MiB.

The calls take paths that send nothing (units out of range, requests too short
to be matched), so the loop measures the wrapper, not the line."""

import os

import _kelvex as k
import pytest
from module_support import needs

CALLS = 100_000
LIMIT = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def no_overload():
    try:
        k.sunbattery_request_reset(70000)
    except NotImplementedError:
        pass


RECORDS = []


def assign_record():
    if not RECORDS:
        RECORDS.append(k.new_Global())
        k.Global_buzz_server_set(RECORDS[0], "10.0.0.1")
    k.cvar.G = RECORDS[0]


def set_ftp_path():
    k.cvar.ftp_path = "ftp://10.0.0.1/incoming"


CASES = {
    "list of shorts": lambda: k.accelerometer_request_raw(99),
    "list of one value": lambda: k.motor_request_speed(99),
    "char output": lambda: k.arm_set_value(99, "A"),
    "angle": lambda: k.sunsensors_angle(1000, 500, 0),
    "answer buffer": lambda: k.cobs_request(b"\x01\x02"),
    "overload dispatch": lambda: k.cobs_single_request(b"\x01\x02"),
    "overload reading": lambda: k.sunbattery_request_raw(99),
    "failed dispatch": no_overload,
    "argument error": lambda: pytest.raises(TypeError, k.buzz, None),
    "cvar text read": lambda: k.cvar.ftp_path,
    "cvar text write": set_ftp_path,
    "cvar record read": lambda: k.cvar.G,
    "record assignment": assign_record,
    "record text field": lambda: k.Global_buzz_server_get(k.cvar.G),
    "battery read": k.battery_get_charge,
}
RADIO = {
    "transceiver buffer": lambda: k.transceiver_request_buff(99),
    "controller answer": lambda: k.arduino_send(99, 1, b"args", 1),
    "instrument answer": lambda: k.instrument_measure(b"x", 0),
}


def grows(call):
    for _ in range(1000):
        call()
    before = resident()
    for _ in range(CALLS):
        call()
    return resident() - before


FIELDS = ["fd", "retries", "timeout", "baud", "flow_type", "charge", "current",
          "fRaspberryConsumption", "buzz_port", "buzz_server"]


@pytest.fixture(scope="module", autouse=True)
def restore_config():
    """Record assignment overwrites the live configuration: put it back."""
    saved = {f: getattr(k, f"Global_{f}_get")(k.cvar.G) for f in FIELDS}
    saved_path = k.cvar.ftp_path
    yield
    for f, value in saved.items():
        getattr(k, f"Global_{f}_set")(k.cvar.G, value)
    k.cvar.ftp_path = saved_path
    for record in RECORDS:
        k.delete_Global(record)


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_growth(name):
    assert grows(CASES[name]) <= LIMIT


@needs("transceiver_request_buff", "arduino_send", "instrument_measure")
@pytest.mark.parametrize("name", sorted(RADIO))
def test_no_growth_radio(name):
    assert grows(RADIO[name]) <= LIMIT
