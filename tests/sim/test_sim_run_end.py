"""The end of a run takes in everything the mission sent before it ended: a
burst of log lines and its own last output as it exits, a photo uploaded as its very last act; in
virtual time at full speed (which ends when the clock says nothing is left
in flight, not after a wait on the wall clock) and in real time alike."""

import glob
import os
import subprocess

import pytest

from groundkit import simulator

HERE = os.path.dirname(os.path.abspath(__file__))
MISSION = os.path.join(HERE, "..", "missions", "last_words.py")
CLOCKS = {"virtual": ["--clock", "virtual", "--speed", "max"], "real": ["--clock", "real"]}


def fly(folder, clock, *args):
    r = subprocess.run([simulator(), "run", "--no-plot", "--run-dir", str(folder), *CLOCKS[clock],
                        "--", "/usr/bin/python3", MISSION, *args],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
    assert r.returncode == 0, r.stdout
    with open(os.path.join(folder, "ground", "log.txt")) as f:
        return f.read(), r.stdout


@pytest.mark.parametrize("clock", sorted(CLOCKS))
def test_log_lines_sent_as_the_mission_ends_are_all_filed_and_shown(tmp_path, clock):
    log, console = fly(tmp_path / "run", clock)
    filed = [line.split(" ", 2)[2] for line in log.splitlines() if "last words" in line]
    assert filed == ["last words %03d" % i for i in range(100)]
    shown = [line for line in console.splitlines() if line.startswith("[ground] last words")]
    assert len(shown) == 100, console[-2000:]
    # Its own last output, with no line end, is in its log and was shown.
    with open(tmp_path / "run" / "mission.log") as f:
        assert f.read().endswith("the last of 100 lines sent")
    assert "the last of 100 lines sent" in console


@pytest.mark.parametrize("clock", sorted(CLOCKS))
def test_a_photo_uploaded_as_the_last_act_arrives_whole(tmp_path, clock):
    log, console = fly(tmp_path / "run", clock, "--upload")
    assert "uploading 524292 bytes" in log, console
    photos = glob.glob(str(tmp_path / "run" / "ground" / "incoming" / "*last.jpeg"))
    assert len(photos) == 1, (os.listdir(tmp_path / "run" / "ground" / "incoming"), console)
    with open(photos[0], "rb") as f:
        assert f.read() == b"\xff\xd8" + bytes(range(256)) * 2048 + b"\xff\xd9"
