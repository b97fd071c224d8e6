"""Scenarios: [[event]] entries checked with the rest of the sheet before
anything runs, and switched on a run by `kelvex-lab scenario` over the
control channel (a fake one here; the live run is in test_lab_live.py)."""

import io
import json
import threading
import time

from fake_control import FakeControl
from labkit import load_errors, run_folder, run_tool, sheet
from kelvex_lab import checkfile, faults, scenario

EVENTS = """\
[run]
seed = 2

[[event]]
at = 1
fault = "gyro-stuck"
unit = 0

[[event]]
when = "abs(rate_dps) > 10"
lamp = "off"

[[event]]
at = 2
fault = "gyro-bias"
unit = 1
value = 0.5

[[event]]
at = 3
clear = "gyro-stuck"
unit = 0

[[event]]
at = 4
lamp-azimuth = 200

[[event]]
at = 5
clear = "wheel-dead"
unit = 0
"""


def test_every_fault_of_the_events_is_reported_with_its_line(tmp_path):
    errors = load_errors(tmp_path, """\
        [[event]]
        at = 5
        fault = "gyro-stuk"
        [[event]]
        at = 1
        when = "rate > 3"
        lamp = "dim"
        [[event]]
        fault = "gyro-bias"
        unit = -1
        [[event]]
        at = 2
        clear = "gyro-bias"
        value = 3
        unit = 0
        [[event]]
        at = -1
        lamp-azimuth = 10
        unit = 2
        [[event]]
        at = 3
        when = "abs(rate_dps) <"
        fault = "drop"
        value = 2
        """)
    path = tmp_path / "lab.toml"
    assert errors[0].startswith(f"{path}:3: event 1: 'fault': no fault named 'gyro-stuk'")
    assert f"{path}:6: event 2: give 'at' (seconds from the start) or 'when' (a condition), " \
           f"one of them" in errors
    assert f"{path}:7: event 2: 'lamp' is \"off\" or \"on\"" in errors
    assert f"{path}:8: event 3: give 'at' (seconds from the start) or 'when' (a condition), " \
           f"one of them" in errors
    assert f"{path}:10: event 3: 'unit' needs a whole number, 0 or more" in errors
    assert f"{path}:9: event 3: gyro-bias needs a value (value = ...)" in errors
    assert f"{path}:14: event 4: a 'clear' takes no value" in errors
    assert f"{path}:17: event 5: 'at' needs a number of seconds, at least 0" in errors
    assert f"{path}:19: event 5: 'lamp-azimuth' takes no 'unit'" in errors
    assert f"{path}:22: event 6: give 'at' (seconds from the start) or 'when' (a condition), " \
           f"one of them" in errors
    assert f"{path}:24: event 6: drop: value must be a number from 0 to 1" in errors
    assert len(errors) == 11, errors


def test_a_condition_of_an_event_is_held_against_the_columns(tmp_path):
    errors = load_errors(tmp_path, """\
        [[event]]
        when = "abs(rate) > 3"
        fault = "gyro-dead"
        [[event]]
        when = "rate_dps >"
        fault = "gyro-dead"
        """)
    assert errors[0].endswith("lab.toml:2: event 1: when: unknown column 'rate' (column 5) "
                              "(did you mean 'rate_dps'?)")
    assert errors[1].startswith(f"{tmp_path / 'lab.toml'}:5: event 2: when: expected")


def test_the_simulators_table_gives_the_names_units_and_values(tmp_path, monkeypatch):
    # A table of the build's kind with other rows: the checks follow it.
    table = [{"name": "gyro-stuck", "units": 4, "value": "none", "low": None, "high": None},
             {"name": "lamp-off", "units": 1, "value": "none", "low": None, "high": None},
             {"name": "tilt", "units": 2, "value": "required", "low": -90, "high": 90}]
    monkeypatch.setattr(faults, "FAULTS", {f["name"]: faults.Fault(f["name"], f["units"], f["value"],
                                                                     f["low"], f["high"]) for f in table})
    errors = load_errors(tmp_path, """\
        [[event]]
        at = 1
        fault = "gyro-stuck"
        unit = 4
        [[event]]
        at = 1
        fault = "lamp-off"
        unit = 1
        [[event]]
        at = 1
        fault = "gyro-dead"
        [[event]]
        at = 1
        fault = "tilt"
        unit = 1
        value = 1e6
        """)
    assert [e.split(": ", 1)[1] for e in errors] == [
        "event 1: gyro-stuck: unit 4 out of range (0 to 3)",
        "event 2: lamp-off: unit 1 out of range (0 only)",
        "event 3: 'fault': no fault named 'gyro-dead' (faults: gyro-stuck, lamp-off, tilt)",
        "event 4: tilt: value must be a number from -90 to 90"]


def test_options_of_a_scenario_name_its_checks_for_the_simulator(tmp_path):
    bare = sheet(tmp_path, EVENTS, "events.toml")
    r = run_tool("kelvex-lab", "options", "--scenario", bare)
    assert (r.returncode, r.stdout) == (0, "--seed=2\n"), r.stderr
    checked = sheet(tmp_path, EVENTS + '[[check]]\nname = "ends"\nexit = 0\n', "checked.toml")
    r = run_tool("kelvex-lab", "options", "--scenario", checked)
    assert (r.returncode, r.stdout) == (0, f"--seed=2\n--checks={checked}\n"), r.stderr
    r = run_tool("kelvex-lab", "options", checked)
    assert r.stdout == "--seed=2\n" and "switched with --scenario" in r.stderr
    bad = sheet(tmp_path, EVENTS.replace('clear = "wheel-dead"', 'clear = "wheel-deaf"'), "bad.toml")
    r = run_tool("kelvex-lab", "options", "--scenario", bad)
    assert (r.returncode, r.stdout) == (2, "")
    assert f"{bad}:30: event 6: 'clear': no fault named 'wheel-deaf'" in r.stderr


def test_events_go_in_time_order_as_scenario_commands(tmp_path):
    # A run 10 s old: every timed event is due; the condition first holds at 2.5 s.
    run = run_folder.write_run(str(tmp_path / "run"), duration=6,
                               values={"rate_dps": lambda t: 12.0 if t >= 2.5 else 0.0},
                               t0=time.time() - 10)
    record = json.loads(open(f"{run}/run.json").read())
    record["ended"] = None
    open(f"{run}/run.json", "w").write(json.dumps(record))
    with FakeControl(f"{run}/control.sock") as control:
        r = run_tool("kelvex-lab", "scenario", run, sheet(tmp_path, EVENTS), timeout=30)
    assert r.returncode == 0, r.stderr
    assert control.commands == [
        "fault gyro-stuck unit=0 source=scenario",
        "fault gyro-bias unit=1 value=0.5 source=scenario",
        "fault lamp-off source=scenario",
        "clear gyro-stuck unit=0 source=scenario",
        "fault lamp-azimuth value=200 source=scenario",
        "clear wheel-dead unit=0 source=scenario",
    ]
    out = r.stdout.splitlines()
    assert out[2] == ("scenario: 2.5 s: event 2 (when abs(rate_dps) > 10): fault lamp-off "
                      "source=scenario: ok t=1.500")
    assert out[5].endswith("clear wheel-dead unit=0 source=scenario: error wheel-dead unit 0 "
                           "is not on")


def test_the_scheduler_waits_for_time_and_rows_and_ends_with_the_run(tmp_path):
    run = run_folder.write_run(str(tmp_path / "run"), columns=["t", "rate_dps"], raw_rows=[],
                               t0=time.time())
    record = json.loads(open(f"{run}/run.json").read())
    record["ended"] = None
    open(f"{run}/run.json", "w").write(json.dumps(record))
    events = sheet(tmp_path, """\
        [[event]]
        at = 0.6
        fault = "gyro-dead"
        [[event]]
        when = "rate_dps > 10"
        fault = "wheel-dead"
        [[event]]
        when = "rate_dps > 99"
        fault = "gyro-stuck"
        """)

    def fly():
        with open(f"{run}/telemetry.csv", "a") as f:
            for i in range(20):
                f.write(f"{i * 0.05:.3f},{15.0 if i >= 16 else 0.0}")  # half a row first
                f.flush()
                time.sleep(0.025)
                f.write("\n")
                f.flush()
                time.sleep(0.025)
        time.sleep(0.3)
        record["ended"] = record["started"]
        open(f"{run}/run.json", "w").write(json.dumps(record))

    with FakeControl(f"{run}/control.sock", clock=time.time) as control:
        flight = threading.Thread(target=fly)
        started = time.time()
        flight.start()
        r = run_tool("kelvex-lab", "scenario", run, events, timeout=30)
        flight.join()
    assert r.returncode == 0, r.stderr
    assert [c.split()[1] for c in control.commands] == ["gyro-dead", "wheel-dead"]
    assert "scenario: 0.8 s: event 2 (when rate_dps > 10)" in r.stdout
    assert 1.0 < time.time() - started < 10


def test_a_run_without_control_channel_is_told_so(tmp_path):
    run = run_folder.write_run(str(tmp_path / "run"), duration=1, t0=time.time() - 5)
    r = run_tool("kelvex-lab", "scenario", run,
                 sheet(tmp_path, '[[event]]\nat = 0\nfault = "camera-fail"\n'), timeout=30)
    assert r.returncode == 0
    assert "fault camera-fail source=scenario: not sent: no control channel at " in r.stdout


def test_an_event_at_the_start_waits_for_the_channel(tmp_path):
    run = run_folder.write_run(str(tmp_path / "run"), duration=1, t0=time.time())
    events = checkfile.load(sheet(tmp_path, '[[event]]\nat = 0\nfault = "lamp-off"\n')).events
    controls = []
    late = threading.Timer(0.3, lambda: controls.append(FakeControl(f"{run}/control.sock")))
    late.start()
    out = io.StringIO()
    try:
        assert scenario.run(run, events, out=out) == 1
    finally:
        late.join()
        for c in controls:
            c.stop()
    assert "fault lamp-off source=scenario: ok" in out.getvalue()
    assert controls[0].commands == ["fault lamp-off source=scenario"]
