"""The Python sun-pointing example flown on the virtual satellite with its
ground station: it turns to the lamp, holds it within 2 degrees by the
simulator's own account, and the photo it takes arrives at the ground."""

import csv
import json
import math
import os
import re
import subprocess
import time

import pytest
from PIL import Image

from groundkit import simulator

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                       "sun_pointing.py")
WIDTH, HEIGHT = 640, 480
FOCAL = (WIDTH / 2) / math.tan(math.radians(30))
HOLD_S = 8.0


@pytest.fixture(scope="module")
def flight(tmp_path_factory):
    run = tmp_path_factory.mktemp("sun_pointing_py")
    env = dict(os.environ)
    # The launcher itself must lead the script to the module of its build.
    env.pop("PYTHONPATH", None)
    env.pop("KELVEX_FTP_PATH", None)
    # The lamp far on the left, outside every sensor's field but one's; free
    # ports for FTP and the page. What it does, not how long it takes: in
    # virtual time, as fast as it goes.
    r = subprocess.run([simulator(), "run", "--clock=virtual", "--speed=max",
                        "--ftp-port", "0", "--http-port", "0",
                        "--lamp-azimuth", "75", "--yaw", "-60", "--seed", "11",
                        "--no-plot", "--run-dir", "run", "--",
                        "/usr/bin/python3", EXAMPLE],
                       cwd=run, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, timeout=240)
    return {"dir": run, "result": r, "out": r.stdout}


def telemetry(path):
    with open(path, newline="") as f:
        return [(float(row["t"]), float(row["lamp_angle_deg"])) for row in csv.DictReader(f)]


def test_mission_reports_every_step_and_succeeds(flight):
    out = flight["out"]
    assert flight["result"].returncode == 0, out
    assert "kelvex-sim: mission ended with status 0" in out
    assert "Dload" not in out, "curl's progress meter"
    steps = ["holding the lamp, error", "final pointing error", "camera on: done (0)",
             "photo 1 taken into photos/1.jpeg: done (0)", "transmitter 0 on: done (0)",
             "photo 1 transmitted: done (0)"]
    positions = [out.find(s) for s in steps]
    assert -1 not in positions, out
    assert positions == sorted(positions), out
    # The same steps reached the ground station's log.
    with open(flight["dir"] / "run" / "ground" / "log.txt", encoding="utf-8") as f:
        log = f.read()
    for s in steps:
        assert "sun pointing: " + s in log, log


def test_lamp_is_held_within_two_degrees(flight):
    assert flight["result"].returncode == 0, flight["out"]
    rows = telemetry(flight["dir"] / "run" / "telemetry.csv")
    assert len(rows) > 100
    assert abs(rows[0][1]) > 120, "started far from the lamp"
    end = rows[-1][0]
    held = [(t, a) for t, a in rows if t > end - HOLD_S]
    assert len(held) > 100
    assert all(abs(a) < 2.0 for _, a in held), [r for r in held if abs(r[1]) >= 2.0][:5]


def test_photo_of_the_lamp_arrives_at_the_ground(flight):
    assert flight["result"].returncode == 0, flight["out"]
    incoming = flight["dir"] / "run" / "ground" / "incoming"
    names = os.listdir(incoming)
    assert len(names) == 1, names
    name = names[0]
    assert re.fullmatch(r"\d{14}-1\.jpeg", name), name
    # Stamped by the flight's clock, between its start and its end.
    with open(flight["dir"] / "run" / "run.json") as f:
        t0 = json.load(f)["t0_unix"]
    end = telemetry(flight["dir"] / "run" / "telemetry.csv")[-1][0]
    stamp = lambda t: time.strftime("%Y%m%d%H%M%S", time.localtime(t))
    assert stamp(t0) <= name[:14] <= stamp(t0 + end + 1)
    photo = incoming / name
    # The mission works in its own folder, which the run keeps as mission/
    # (sealed) or is the run folder itself.
    left = flight["dir"] / "run" / "mission"
    taken = (left if left.exists() else flight["dir"] / "run") / "photos" / "1.jpeg"
    assert photo.read_bytes() == taken.read_bytes()
    with Image.open(photo) as im:
        assert (im.format, im.size) == ("JPEG", (WIDTH, HEIGHT))
        box = im.convert("L").point(lambda v: 255 if v > 240 else 0).getbbox()
    # Taken while pointed: the lamp within 2 degrees of the image's centre.
    assert box is not None
    assert abs((box[0] + box[2]) / 2 - WIDTH / 2) < FOCAL * math.tan(math.radians(2.0))
