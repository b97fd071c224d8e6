"""kelvex-grade on a class with hostile submissions beside two honest
classmates: each attack fails or is contained, the class table says why,
and the honest verdicts and bundles are what they are in a class of two."""

import csv
import json
import os
import subprocess
import textwrap

import pytest

from labkit import FAKE_SIM, run_tool, sheet
from kelvex_lab import sandbox
from test_lab_grade import build_dir

pytestmark = pytest.mark.skipif(sandbox.probe() is not None,
                                reason=f"no sealed rooms here: {sandbox.probe()}")

SHEET = """\
[run]
lamp-azimuth = 200
seed = 3
time-limit = 20

[[check]]
name = "holds the lamp"
when = "abs(lamp_angle_deg) < 2"
within = 10
for = 5

[[check]]
name = "ends cleanly"
exit = 0
"""

HONEST = {
    "ada/mission.c": """\
        #include <stdio.h>
        #include <kelvex/kelvex.h>
        void control(void) { printf("sim: offset 0.5\\n"); }
        """,
    "cyd/mission.py": """\
        print("sim: offset 1.0")
        """,
}


def write_class(root, files):
    for path, text in files.items():
        os.makedirs(root / os.path.dirname(path), exist_ok=True)
        (root / path).write_text(textwrap.dedent(text))


def table(path):
    with open(path, newline="") as f:
        return {row["student"]: row for row in csv.DictReader(f)}


def grade(root, students, *extra, timeout=300):
    lab = sheet(root, SHEET)
    out = root / "out"
    r = run_tool("kelvex-grade", "--checks", lab, "--sim", FAKE_SIM, "--out", out,
                 *build_dir(), *extra, *[root / s for s in students], cwd=root,
                 timeout=timeout)
    return r, out


def bundle(out, student):
    """What the class table and the run folder say of a student, with the
    parts that differ between two gradings (times, paths) left out."""
    with open(out / student / "case-1" / "report.json") as f:
        report = json.load(f)
    return ([(c["name"], c["passed"], c["message"]) for c in report["checks"]],
            report["exit_status"])


@pytest.fixture(scope="module")
def honest_alone(tmp_path_factory):
    root = tmp_path_factory.mktemp("honest")
    write_class(root, HONEST)
    r, out = grade(root, ["ada", "cyd"])
    assert r.returncode == 0, r.stdout + r.stderr
    return {s: bundle(out, s) for s in ("ada", "cyd")}


BUILDS = {
    # Every inclusion includes itself twice: 2^200 of them, for ever.
    "hal/mission.c": """\
        #include "loop.h"
        void control(void) {}
        """,
    "hal/loop.h": """\
        #include "loop.h"
        #include "loop.h"
        """,
    # The sheet and a classmate's source, by their paths on the grader's disk.
    "ivy/mission.c": """\
        #include "SHEET"
        #include "../ada/mission.c"
        """,
}


def test_hostile_builds_end_in_their_own_row(tmp_path, honest_alone):
    files = dict(BUILDS)
    files["ivy/mission.c"] = files["ivy/mission.c"].replace("SHEET", str(tmp_path / "lab.toml"))
    write_class(tmp_path, {**HONEST, **files})
    marker = str(tmp_path / "hal")
    r, out = grade(tmp_path, ["ada", "hal", "ivy", "cyd"], "--build-time-limit", "5",
                   "--output-limit", "1000")
    assert r.returncode == 3, r.stdout + r.stderr
    rows = table(out / "class.csv")
    assert rows["hal"]["reason"] == "does not build: killed: time limit 5 s"
    # Nothing of the endless build is left running.
    assert subprocess.run(["pgrep", "-f", marker], capture_output=True).stdout == b""
    assert rows["ivy"]["status"] == "does not build"
    assert "No such file" in rows["ivy"]["reason"]
    log = (out / "ivy" / "build.log").read_text()
    assert "holds the lamp" not in log and "sim: offset 0.5" not in log
    assert rows["ada"]["status"] == rows["cyd"]["status"] == "passed"
    assert {s: bundle(out, s) for s in ("ada", "cyd")} == honest_alone


def test_a_folder_named_like_a_formula_stays_text(tmp_path):
    write_class(tmp_path, {**HONEST, '=HYPERLINK("x";"y")/mission.py': 'print("hi")\n'})
    r, out = grade(tmp_path, ["ada", '=HYPERLINK("x";"y")', "cyd"])
    with open(out / "class.csv", newline="") as f:
        students = [row["student"] for row in csv.DictReader(f)]
    assert students == ["ada", '\'=HYPERLINK("x";"y")', "cyd"]
    assert r.returncode == 0, r.stdout + r.stderr
    assert (out / '=HYPERLINK("x";"y")' / "case-1" / "report.json").exists()


def test_without_bubblewrap_grading_refuses_unless_told(tmp_path, monkeypatch):
    write_class(tmp_path, HONEST)
    env_path = tmp_path / "bin"
    env_path.mkdir()
    # A PATH with the tools the grader needs but no bwrap.
    for tool in ("cc", "gcc", "pkg-config", "prlimit", "python3", "ld", "as"):
        for d in os.environ["PATH"].split(":"):
            if os.path.exists(os.path.join(d, tool)):
                os.symlink(os.path.join(d, tool), env_path / tool)
                break
    monkeypatch.setenv("PATH", str(env_path))
    r, out = grade(tmp_path, ["ada", "cyd"])
    assert r.returncode == 2
    assert "bubblewrap is not installed" in r.stderr and "--no-sandbox" in r.stderr
    assert not out.exists()
    r, out = grade(tmp_path, ["ada", "cyd"], "--no-sandbox")
    assert r.returncode == 0, r.stdout + r.stderr
    assert {row["sealed"] for row in table(out / "class.csv").values()} == {"not sealed"}
    assert "not sealed" in (out / "index.html").read_text()
