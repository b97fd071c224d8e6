"""Eight students on one machine: `kelvex-sim run` eight times at once, C
programs and Python scripts mixed. Each run gets a loopback address and a
station of its own; its ground log holds exactly its own lines, its battery
record is its own, and it ends with its own mission's status."""

import json
import os
import re
import shutil
import subprocess
import textwrap

import pytest

RUNS = 8
LINES = 20
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} "

# An unchanged script in the README's pattern: the line from KELVEX_TTY and
# nothing about the ground station; online() finds this run's own.
SCRIPT = textwrap.dedent("""\
    import os, sys, time
    import kelvex
    tag, status = os.environ["KELVEX_TEST_TAG"], int(os.environ["KELVEX_TEST_STATUS"])
    kelvex.online(os.environ["KELVEX_TTY"])
    kelvex.buzz("The %s says 'HELLO' to %s\\n" % (tag, kelvex.cvar.G.buzz_server))
    for i in range(20):
        print("%s printed %d" % (tag, i), flush=True)
        kelvex.buzz("%s line %d\\n" % (tag, i))
        time.sleep(0.05)
    kelvex.offline()
    sys.exit(status)
""")


def build_path(*parts):
    build = os.environ.get("KELVEX_BUILD_DIR")
    path = os.path.join(build, *parts) if build else None
    if not path or not os.access(path, os.X_OK):
        pytest.skip("needs the build tree's %s (KELVEX_BUILD_DIR)" % "/".join(parts))
    return path


def lab_env(tag, status):
    env = dict(os.environ)
    env.update(KELVEX_TEST_MISSION="lab", KELVEX_TEST_TAG=tag, KELVEX_TEST_STATUS=str(status))
    env.pop("PYTHONPATH", None)  # the launcher leads scripts to the build's module
    return env


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    sim = build_path("sim", "kelvex-sim")
    mission = build_path("tests", "missions", "echo_mission")
    room = tmp_path_factory.mktemp("lab")
    (room / "student.py").write_text(SCRIPT)
    runs = []
    for i in range(RUNS):
        tag, status = "student%d" % i, 10 + i
        program = [mission] if i % 2 == 0 else ["/usr/bin/python3", str(room / "student.py")]
        proc = subprocess.Popen([sim, "run", "--no-plot", "--run-dir", str(room / tag), "--"] +
                                program, cwd=room, env=lab_env(tag, status),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        runs.append({"tag": tag, "status": status, "proc": proc, "dir": room / tag,
                     "script": i % 2 == 1})
    for run in runs:
        try:
            run["out"], _ = run["proc"].communicate(timeout=120)
        finally:
            run["proc"].kill()
        run["record"] = json.loads((run["dir"] / "run.json").read_text())
    return runs


def test_each_run_ends_with_its_own_missions_status(lab):
    for run in lab:
        assert run["proc"].returncode == run["status"], run["out"]
        assert run["record"]["exit_status"] == run["status"]
        assert "mission ended with status %d" % run["status"] in run["out"]


def test_runs_at_the_same_time_have_addresses_of_their_own(lab):
    # An address is free again once its run has ended.
    records = [run["record"] for run in lab]
    assert all(re.fullmatch(r"127\.0\.0\.\d+", r["address"]) for r in records), records
    together = 0
    for i, a in enumerate(records):
        for b in records[i + 1:]:
            if a["started"] < b["ended"] and b["started"] < a["ended"]:
                together += 1
                # Sealed runs each have a network of their own, all on the
                # board's 127.0.0.1; on the machine's, each an address.
                if a.get("network") != "own" or b.get("network") != "own":
                    assert a["address"] != b["address"], (a, b)
    assert together >= RUNS, "the runs hardly overlapped"


def test_each_ground_log_holds_exactly_its_own_lines(lab):
    for run in lab:
        lines = (run["dir"] / "ground" / "log.txt").read_text().splitlines()
        assert all(re.match(STAMP, line) for line in lines), lines
        texts = [line[24:] for line in lines]
        name = run["tag"] if run["script"] else "echo_mission"
        hello = "The %s says 'HELLO' to %s" % (name, run["record"]["address"])
        assert texts == [hello + (":4567" if not run["script"] else "")] + \
            ["%s line %d" % (run["tag"], i) for i in range(LINES)], run["out"]


def test_console_shows_each_line_once_and_the_ground_apart(lab):
    for run in lab:
        out = run["out"].splitlines()
        for i in range(LINES):
            assert out.count("%s printed %d" % (run["tag"], i)) == 1, run["out"]
            assert out.count("[ground] %s line %d" % (run["tag"], i)) == 1, run["out"]
        mission_log = (run["dir"] / "mission.log").read_text()
        assert "%s printed %d\n" % (run["tag"], LINES - 1) in mission_log
        assert "[ground]" not in mission_log


def test_run_from_a_repository_leaves_its_status_clean(tmp_path):
    # The repository's own .gitignore in a repository of its own: the run's
    # default folder is ignored, nothing else is written.
    sim = build_path("sim", "kelvex-sim")
    mission = build_path("examples", "hello_mission")
    if shutil.which("git") is None:
        pytest.skip("needs git")
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
    shutil.copy(os.path.join(top, ".gitignore"), tmp_path / ".gitignore")
    git = lambda *args: subprocess.run(["git", "-C", str(tmp_path)] + list(args), check=True,
                                       capture_output=True, text=True).stdout
    git("init", "-q")
    git("add", ".gitignore")
    git("-c", "user.name=lab", "-c", "user.email=lab@localhost", "commit", "-qm", "start")
    r = subprocess.run([sim, "run", "--no-plot", "--", mission], cwd=tmp_path,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    latest = tmp_path / "kelvex-run" / "latest"
    assert re.fullmatch(r"\d{8}-\d{6}-\d+", os.readlink(latest))
    for name in ("run.json", "telemetry.csv", "line.log", "mission.log", "ground/log.txt",
                 "battery.key"):
        assert (latest / name).exists(), name
    assert git("status", "--porcelain", "--ignored=no") == ""
