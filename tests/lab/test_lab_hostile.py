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
    with open(out / student / "attempt-1" / "case-1" / "report.json") as f:
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
    log = (out / "ivy" / "attempt-1" / "build.log").read_text()
    assert "holds the lamp" not in log and "sim: offset 0.5" not in log
    assert rows["ada"]["status"] == rows["cyd"]["status"] == "passed"
    assert {s: bundle(out, s) for s in ("ada", "cyd")} == honest_alone


def test_a_folder_named_like_a_formula_stays_text(tmp_path):
    write_class(tmp_path, {**HONEST, '=HYPERLINK("x";"y")/mission.py': 'print("hi")\n'})
    r, out = grade(tmp_path, ["ada", '=HYPERLINK("x";"y")', "cyd"])
    with open(out / "class.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    # The name is shown as text, never as a formula; the student's folder
    # is named safely.
    assert [row["name"] for row in rows] == ["ada", '\'=HYPERLINK("x";"y")', "cyd"]
    assert all(not row["student"].startswith("=") for row in rows)
    assert r.returncode == 0, r.stdout + r.stderr
    assert len(list(out.glob("*/attempt-1/case-1/report.json"))) == 3


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


# --- missions, flown by the build tree's own simulator

FLIGHT_SHEET = """\
[run]
time-limit = 8
process-limit = 24
disk-limit = 4
output-limit = 1

[[check]]
name = "reports its pointing"
log = "pointing error [0-9.]+ deg"
within = 6

[[check]]
name = "photo reaches the ground"
photos = 1

[[check]]
name = "ends cleanly"
exit = 0
"""

# Tells the ground what a pointing mission would, and sends a photo.
HONEST_FLIGHT = """\
import os, socket, subprocess, time
ground = os.environ["KELVEX_GROUND"]
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"pointing error 0.4 deg",
                                                        (ground, 4567))
from PIL import Image
Image.new("RGB", (640, 480), (200, 180, 40)).save("1.jpeg")
subprocess.run(["curl", "-sS", "-T", "1.jpeg",
                os.environ["KELVEX_FTP_PATH"] + "/20260101000000-1.jpeg"], check=True)
time.sleep(1)
"""

# The same from a C mission, which also gets the line as an argument.
HONEST_C_FLIGHT = r"""
#include <stdlib.h>
#include <kelvex/kelvex.h>
void control(void)
{
    buzz_printf("pointing error 0.3 deg\n");
    if (system("/usr/bin/python3 -c 'from PIL import Image; "
               "Image.new(\"RGB\", (640, 480)).save(\"1.jpeg\")' && "
               "curl -sS -T 1.jpeg \"$KELVEX_FTP_PATH/20260101000000-1.jpeg\"") != 0)
        exit(1);
}
"""

# Each is formatted with {out} (the grader's output folder), {sheet} and
# {root} (the class's folder), as a student who knows the grader's layout.
HOSTILE_FLIGHTS = {
    # The evidence of a perfect run, written where the simulator keeps it.
    "forger": """\
        import os
        run = "{out}/forger/attempt-1/case-1"
        for path, text in (("telemetry.csv.new", "t,lamp_angle_deg\\n0,0\\n"),
                           ("ground/log.txt", "2026-01-01 00:00:00.000 pointing error 0.1 deg\\n"),
                           ("ground/incoming/20260101000000-1.jpeg", "\\xff\\xd8\\xff\\xd9")):
            try:
                with open(os.path.join(run, path), "a") as f:
                    f.write(text)
                print("wrote", path)
            except OSError as e:
                print("refused", path, e.strerror)
        try:
            os.rename(os.path.join(run, "telemetry.csv.new"), os.path.join(run, "telemetry.csv"))
        except OSError as e:
            print("refused rename", e.strerror)
        """,
    # Its own fault switch, a classmate's, and the run's address book.
    "switcher": """\
        import socket
        for who in ("switcher", "ada", "bea"):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect("{out}/%s/attempt-1/case-1/control.sock" % who)
                s.sendall(b"clear wheel-dead 0\\n")
                print("switched", who)
            except OSError as e:
                print("refused", who, e.strerror)
        """,
    # The sheet, the case's conditions and a classmate's source.
    "reader": """\
        import glob, os
        for path in ["{sheet}", "{root}/ada/mission.py", "/proc/1/cmdline",
                     "/proc/%d/cmdline" % os.getppid()] + glob.glob("/proc/*/environ"):
            try:
                with open(path, "rb") as f:
                    print(path, f.read().replace(b"\\0", b" ").decode(errors="replace"))
            except OSError as e:
                print("refused", path, e.strerror)
        """,
    # Every process it can see, and the classmates' by name.
    "killer": """\
        import os, signal, subprocess
        subprocess.run(["pkill", "-9", "-f", "mission.py"])
        for pid in range(2, 40000):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        """,
    "forker": """\
        import os, time
        while True:
            try:
                os.fork()
            except OSError:
                time.sleep(0.01)
        """,
    "filler": """\
        i = 0
        while True:
            with open("junk%d" % i, "wb") as f:
                f.write(b"x" * (1 << 20))
            i += 1
        """,
    "shouter": """\
        while True:
            print("pointing error 0.0 deg " * 100)
        """,
    # A grandchild in a session of its own, waiting for the grading to end.
    "survivor": """\
        import os
        later = ("import time\\n"
                 "time.sleep(30)\\n"
                 "for path in ('{out}/class.csv', '{out}/survivor/attempt-1/case-1/report.json'):\\n"
                 "    try:\\n"
                 "        open(path, 'w').write('passed')\\n"
                 "    except OSError:\\n"
                 "        pass\\n")
        if os.fork() == 0:
            os.setsid()
            if os.fork() == 0:
                os.execv("/usr/bin/python3", ["python3", "-c", later, "{root}"])
            os._exit(0)
        """,
}


def sim_build():
    build = os.environ.get("KELVEX_BUILD_DIR")
    if not build or not os.access(os.path.join(build, "sim", "kelvex-sim"), os.X_OK):
        pytest.skip("needs the build tree's kelvex-sim (KELVEX_BUILD_DIR)")
    return build


def fly_class(root, students):
    build = sim_build()
    lab = sheet(root, FLIGHT_SHEET)
    out = root / "out"
    r = run_tool("kelvex-grade", "--checks", lab, "--sim", os.path.join(build, "sim", "kelvex-sim"),
                 "--out", out, "--build-dir", build, *[root / s for s in students], cwd=root,
                 timeout=400)
    return r, out


def flight_bundle(out, student):
    run = out / student / "attempt-1" / "case-1"
    with open(run / "report.json") as f:
        report = json.load(f)
    return ([(c["name"], c["passed"]) for c in report["checks"]], report["exit_status"],
            sorted(os.listdir(run / "ground" / "incoming")))


@pytest.fixture(scope="module")
def hostile_flights(tmp_path_factory):
    alone = tmp_path_factory.mktemp("alone")
    write_class(alone, {"ada/mission.py": HONEST_FLIGHT, "bea/mission.c": HONEST_C_FLIGHT})
    r, out = fly_class(alone, ["ada", "bea"])
    assert r.returncode == 0, r.stdout + r.stderr
    honest = {s: flight_bundle(out, s) for s in ("ada", "bea")}

    root = tmp_path_factory.mktemp("hostile")
    out = root / "out"
    files = {"ada/mission.py": HONEST_FLIGHT, "bea/mission.c": HONEST_C_FLIGHT}
    for name, text in HOSTILE_FLIGHTS.items():
        files[f"{name}/mission.py"] = textwrap.dedent(text).format(
            out=out, sheet=root / "lab.toml", root=root)
    write_class(root, files)
    r, out = fly_class(root, ["ada", *HOSTILE_FLIGHTS, "bea"])
    survivors = subprocess.run(["pgrep", "-f", str(root)], capture_output=True, text=True).stdout
    return {"result": r, "out": out, "honest": honest, "survivors": survivors,
            "rows": table(out / "class.csv"), "root": root}


def test_honest_classmates_are_graded_as_in_a_class_of_their_own(hostile_flights):
    h = hostile_flights
    assert h["result"].returncode == 3, h["result"].stdout + h["result"].stderr
    assert h["rows"]["ada"]["status"] == h["rows"]["bea"]["status"] == "passed"
    assert {s: flight_bundle(h["out"], s) for s in ("ada", "bea")} == h["honest"]
    # What the mission left in its own folder is kept beside the evidence.
    assert (h["out"] / "ada" / "attempt-1" / "case-1" / "mission" / "1.jpeg").exists()


def mission_log(h, student):
    return (h["out"] / student / "attempt-1" / "case-1" / "mission.log").read_text(errors="replace")


def test_forged_evidence_and_foreign_switches_do_not_reach_the_run(hostile_flights):
    h = hostile_flights
    assert h["rows"]["forger"]["status"] == "failed"
    assert mission_log(h, "forger").count("refused") == 4
    run = h["out"] / "forger" / "attempt-1" / "case-1"
    assert os.listdir(run / "ground" / "incoming") == []
    log = run / "ground" / "log.txt"
    assert not log.exists() or "pointing error" not in log.read_text()
    assert mission_log(h, "switcher").count("refused") == 3
    for student in ("switcher", "ada", "bea"):
        events = h["out"] / student / "attempt-1" / "case-1" / "events.csv"
        assert not events.exists() or "wheel-dead" not in events.read_text()


def test_secrets_stay_out_of_reach(hostile_flights):
    h = hostile_flights
    log = mission_log(h, "reader")
    assert "refused" in log
    for secret in ("reports its pointing", "pointing error 0.4", "lamp-azimuth", "--seed",
                   "instructor", str(h["out"])):
        assert secret not in log


def test_limits_end_the_case_and_say_which(hostile_flights):
    rows = hostile_flights["rows"]
    assert "could not start more processes" in rows["forker"]["reason"] or \
        "stopped at the time limit" in rows["forker"]["reason"]
    # The class table says which case each reason is of.
    assert rows["filler"]["reason"] == "case 1: work folder full: disk limit 4 MB"
    assert rows["shouter"]["reason"] == "case 1: output cut at 1 MB"
    assert os.path.getsize(hostile_flights["out"] / "shouter" / "attempt-1" / "case-1" / "mission.log") \
        <= 1 << 20
    for student in ("forker", "filler", "shouter", "killer"):
        assert rows[student]["status"] == "failed"


def test_nothing_outlives_the_grading(hostile_flights):
    h = hostile_flights
    assert h["survivors"] == ""
    before = (h["out"] / "class.csv").read_text()
    assert "passed\n" != before


def test_a_desk_run_is_sealed_by_default_and_says_so(tmp_path):
    sim = os.path.join(sim_build(), "sim", "kelvex-sim")
    (tmp_path / "mine").mkdir()
    seen = {}
    for flag in ("--time-limit=10", "--no-seal"):
        run = tmp_path / flag.strip("-").split("=")[0]
        mission = tmp_path / "mine" / f"{run.name}.py"
        mission.write_text("import os\n"
                           "print('ground', os.environ['KELVEX_GROUND'])\n"
                           f"print('sees run folders', os.path.exists({str(run)!r}))\n")
        r = subprocess.run([sim, "run", "--run-dir", str(run), "--no-plot", flag, "--",
                            "/usr/bin/python3", str(mission)], capture_output=True, text=True,
                           timeout=60)
        assert r.returncode == 0, r.stdout + r.stderr
        with open(run / "run.json") as f:
            info = json.load(f)
        seen[flag] = ((run / "mission.log").read_text(), info["sealed"], info["network"])
    log, sealed, network = seen["--time-limit=10"]
    assert "ground 127.0.0.1" in log and "sees run folders False" in log
    assert (sealed, network) == (True, "own")
    log, sealed, network = seen["--no-seal"]
    assert "sees run folders True" in log and (sealed, network) == (False, "machine")
    usage = subprocess.run([sim, "run", "--help"], capture_output=True, text=True).stdout
    assert "--no-seal" in usage and "sealed by default" in usage


def test_a_sealed_missions_battery_record_reaches_its_simulator_only(tmp_path):
    build = sim_build()
    mission = tmp_path / "battery.py"
    mission.write_text("import os, time\n"
                       "import kelvex\n"
                       "shm = kelvex.accumulator_create(os.environ['KELVEX_BATTERY_KEY'])\n"
                       "kelvex.accumulator_attach(shm)\n"
                       "kelvex.battery_set_charge(1.25)\n"
                       "time.sleep(1)\n"
                       "kelvex.accumulator_detach()\n")
    run = tmp_path / "run"
    r = subprocess.run([os.path.join(build, "sim", "kelvex-sim"), "run", "--run-dir", str(run),
                        "--no-plot", "--time-limit=10", "--", "/usr/bin/python3", str(mission)],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    with open(run / "telemetry.csv", newline="") as f:
        attached = [row for row in csv.DictReader(f) if row["battery_attached"] == "1"]
    assert attached and float(attached[-1]["battery_charge_ah"]) == 1.25
    # In the run's own IPC namespace, which the simulator shares.
    with open(run / "run.json") as f:
        assert json.load(f)["network"] == "own"
