"""A whole `kelvex-sim run` with faults: one on from the command line, one
switched by the mission itself through RUN/control.sock; the events file,
the battery columns the mission's record fills, and the plot that marks
them."""

import csv
import os
import subprocess
import sys
import textwrap

import pytest

from groundkit import simulator

MISSION = textwrap.dedent("""
    import os, socket, sys, time
    import kelvex

    def command(line):
        s = socket.socket(socket.AF_UNIX)
        s.connect(os.path.join(os.environ["KELVEX_RUN_DIR"], "control.sock"))
        s.sendall((line + "\\n").encode())
        answer = b""
        while not answer.endswith(b"\\n") or (line == "active" and not answer.endswith(b"end\\n")):
            answer += s.recv(4096)
        return answer.decode()

    shmid = kelvex.accumulator_create(os.environ["KELVEX_BATTERY_KEY"])
    kelvex.accumulator_attach(shmid)
    kelvex.battery_set_charge(1.5)
    kelvex.battery_set_discharging_current(150.0)
    time.sleep(0.8)
    print("switched:", command("fault gyro-bias unit=0 value=2 source=scenario"), end="")
    print("active:", command("active"), end="")
    kelvex.battery_set_discharging_current(2150.0)
    time.sleep(0.8)
    print("cleared:", command("clear lamp-off source=panel"), end="")
    time.sleep(0.5)
    kelvex.accumulator_detach()
""")


@pytest.fixture(scope="module")
def flight(tmp_path_factory):
    where = tmp_path_factory.mktemp("faults_run")
    (where / "mission.py").write_text(MISSION)
    # The mission stands in for the scenario and the panel here: sealed, it
    # could not reach the run's control channel at all.
    r = subprocess.run([simulator(), "run", "--no-seal", "--no-ground", "--fault", "lamp-off",
                        "--lamp-azimuth", "0",
                        "--time-limit", "20",
                        "--run-dir", "run", "--", "/usr/bin/python3", "mission.py"],
                       cwd=where, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
    return {"run": where / "run", "result": r, "out": r.stdout}


def rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_the_mission_switches_faults_on_the_control_channel(flight):
    out = flight["out"]
    assert flight["result"].returncode == 0, out
    assert "switched: ok t=" in out
    assert "name=gyro-bias unit=0 value=2 since=" in out and "source=scenario" in out
    assert "name=lamp-off unit=0 value= since=0.000 source=command-line" in out
    assert "cleared: ok t=" in out
    assert not (flight["run"] / "control.sock").exists(), "removed at the end"


def test_every_switch_is_a_row_of_the_events_file(flight):
    events = rows(flight["run"] / "events.csv")
    assert [(e["source"], e["action"], e["name"], e["unit"], e["value"]) for e in events] == [
        ("command-line", "fault", "lamp-off", "0", ""),
        ("scenario", "fault", "gyro-bias", "0", "2"),
        ("panel", "clear", "lamp-off", "0", ""),
    ]
    times = [float(e["t"]) for e in events]
    assert times[0] == 0 and times == sorted(times)


def test_the_telemetry_follows_the_battery_record_and_the_lamp(flight):
    telemetry = rows(flight["run"] / "telemetry.csv")
    attached = [r for r in telemetry if r["battery_attached"] == "1"]
    assert attached, "the record was found"
    assert telemetry[0]["battery_charge_ah"] == "nan", "before the mission made it"
    assert {float(r["battery_consumption_ma"]) for r in attached} <= {150.0, 2150.0}
    assert float(attached[-1]["battery_consumption_ma"]) == 2150.0
    assert all(abs(float(r["battery_charge_ah"]) - 1.5) < 1e-9 for r in attached), "no loop runs"
    cleared = float(rows(flight["run"] / "events.csv")[-1]["t"])
    dark = [r for r in telemetry if float(r["t"]) < cleared - 0.1]
    lit = [r for r in telemetry if float(r["t"]) > cleared + 0.1]
    assert dark and lit
    assert all(r["lamp_on"] == "0" and r["battery_sun_charging_ma"] == "0" for r in dark)
    assert all(r["lamp_on"] == "1" and r["battery_sun_charging_ma"] == "8" for r in lit)


def test_the_lab_tools_know_every_column(flight):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lab"))
    from kelvex_lab.simulator import TELEMETRY_COLUMNS
    with open(flight["run"] / "telemetry.csv", newline="") as f:
        assert tuple(next(csv.reader(f))) == TELEMETRY_COLUMNS


def test_the_plot_is_drawn_with_the_events(flight):
    png = flight["run"] / "telemetry.png"
    assert png.exists() and png.stat().st_size > 10000, flight["out"]
