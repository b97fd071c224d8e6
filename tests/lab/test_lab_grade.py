"""kelvex-grade on a class of four (two C missions, two Python scripts; one
fails a check, one does not build) with the fake simulator, and the cases it
draws."""

import csv
import json
import os
import re
import shlex
import subprocess
import textwrap

import pytest

from labkit import FAKE_SIM, PLOT, run_tool, sheet
from kelvex_lab import grade

SHEET = """\
[run]
lamp-azimuth = 200
yaw = 10
seed = 3
time-limit = 30

[[check]]
name = "holds the lamp"
when = "abs(lamp_angle_deg) < 2"
within = 10
for = 5

[[check]]
name = "reports its pointing"
log = "pointing error [0-9.]+ deg"
within = 5

[[check]]
name = "ends cleanly"
exit = 0
"""

# What the fake simulator makes of each mission's output: see fake_kelvex_sim.py.
CLASS = {
    "ada/mission.c": """\
        #include <stdio.h>
        #include <kelvex/kelvex.h>
        void control(void)
        {
            printf("buzz: pointing error 0.4 deg\\n");
            printf("sim: offset 0.5\\n");
        }
        """,
    "bob/mission.c": """\
        #include <kelvex/kelvex.h>
        void control(void) { motor_turn_on(0) }
        """,
    "cyd/pointing.py": """\
        print("buzz: pointing error 1.0 deg")
        """,
    "dee/mission.py": """\
        print("buzz: pointing error 5.0 deg")
        print("sim: offset 5")
        """,
}


def build_dir():
    build = os.environ.get("KELVEX_BUILD_DIR")
    if build and os.path.exists(os.path.join(build, "src", "libkelvex.so")):
        return ["--build-dir", build]
    if subprocess.run(["pkg-config", "--exists", "kelvex"]).returncode == 0:
        return []
    pytest.skip("needs a kelvex build tree (KELVEX_BUILD_DIR) or an installed kelvex-dev")


@pytest.fixture(scope="module")
def graded(tmp_path_factory):
    root = tmp_path_factory.mktemp("class")
    for path, text in CLASS.items():
        os.makedirs(root / os.path.dirname(path), exist_ok=True)
        (root / path).write_text(textwrap.dedent(text))
    lab = sheet(root, SHEET)
    out = root / "out"
    r = run_tool("kelvex-grade", "--checks", lab, "--cases", 2, "--vary", "lamp-azimuth=150:250",
                 "--vary", "yaw=-20.5:20.5", "--sim", FAKE_SIM, "--out", out, *build_dir(),
                 *[root / s for s in ("ada", "bob", "cyd", "dee")], cwd=root, timeout=300)
    return {"root": root, "out": out, "result": r, "sheet": lab}


def table(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_class_table_has_a_row_per_student_with_the_reasons(graded):
    r = graded["result"]
    assert r.returncode == 3, r.stdout + r.stderr
    rows = {row["student"]: row for row in table(graded["out"] / "class.csv")}
    assert list(rows) == ["ada", "bob", "cyd", "dee"]
    assert rows["ada"]["status"] == rows["cyd"]["status"] == "passed"
    assert (rows["ada"]["kind"], rows["cyd"]["kind"]) == ("c", "python")
    assert rows["bob"]["status"] == "does not build"
    assert rows["bob"]["reason"].startswith("does not build: ") and "error" in rows["bob"]["reason"]
    assert (graded["out"] / "bob" / "attempt-1" / "build.log").exists()
    assert rows["dee"]["status"] == "failed"
    assert (rows["dee"]["holds the lamp"], rows["dee"]["reports its pointing"]) == ("0/2", "2/2")
    assert rows["ada"]["cases passed"] == "2/2"

    lines = r.stdout.splitlines()
    assert "PASS ada: 2 of 2 cases" in lines
    assert any(l.startswith("FAIL bob: does not build: ") for l in lines)
    reruns = [l.strip()[len("rerun: "):] for l in lines if l.strip().startswith("rerun: ")]
    assert len(reruns) == 2 and all("dee/mission.py" in c for c in reruns)


def test_cases_share_their_conditions_across_the_class_and_reach_the_simulator(graded):
    cases = table(graded["out"] / "cases.csv")
    assert [(c["student"], c["case"]) for c in cases] == [
        (s, k) for s in ("ada", "cyd", "dee") for k in ("1", "2")]
    by_case = {}
    for c in cases:
        by_case.setdefault(c["case"], set()).add((c["seed"], c["lamp-azimuth"], c["yaw"]))
        with open(graded["out"] / c["run"] / "run.json") as f:
            options = json.load(f)["options"]
        # The draws replace the sheet's own values; the rest of [run] stays.
        assert (options["seed"], options["lamp-azimuth"], options["yaw"]) == (
            c["seed"], c["lamp-azimuth"], c["yaw"])
        assert options["time-limit"] == "30"
        assert os.path.exists(graded["out"] / c["report"])
    assert len(by_case["1"]) == len(by_case["2"]) == 1
    assert by_case["1"] != by_case["2"]
    assert {s for s, _, _ in by_case["1"] | by_case["2"]} == {"3", "4"}


def test_the_page_links_every_run(graded):
    with open(graded["out"] / "index.html") as f:
        page = f.read()
    for student in ("ada", "bob", "cyd", "dee"):
        assert f'<a href="{student}/feedback.html" title="feedback page">{student}</a>' in page
    for c in table(graded["out"] / "cases.csv"):
        assert f'href="{c["report"]}"' in page
        assert (f'href="{c["plot"]}"' in page) == (c["status"] != "passed"), c
    assert 'href="bob/attempt-1/build.log"' in page


def test_only_the_cases_that_did_not_pass_are_drawn(graded, tmp_path):
    out = graded["out"]
    cases = table(out / "cases.csv")
    for c in cases:
        run = out / c["run"]
        drawn = [p for p in ("telemetry.png", "feedback/check-1.png") if (run / p).exists()]
        if c["status"] == "passed":
            assert (c["plot"], drawn) == ("", []), c
        else:
            assert c["plot"] == c["run"] + "/telemetry.png"
            assert drawn == ["telemetry.png", "feedback/check-1.png"], c
    with open(out / "dee" / "feedback.html") as f:
        failing = f.read()
    assert 'src="attempt-1/case-1/feedback/check-1.png"' in failing
    assert "No plot of this run was drawn" not in failing
    # A passing case's page says the one command that draws its plot, and
    # that command, run from the student's folder, draws it with the
    # case's checks and gives the grader's verdicts again.
    with open(out / "ada" / "feedback.html") as f:
        passing = f.read()
    assert "<img" not in passing and passing.count("No plot of this run was drawn") == 2
    command = re.findall(r"<pre>(kelvex-sim replay [^<]*)</pre>", passing)
    assert command == ["kelvex-sim replay attempt-1/case-1",
                       "kelvex-sim replay attempt-1/case-2"]
    run = out / "ada" / "attempt-1" / "case-2"
    r = run_tool("kelvex-lab", *shlex.split(command[1])[1:], cwd=out / "ada")
    assert r.returncode == 0, r.stdout + r.stderr
    assert (run / "replay-1" / "telemetry.png").stat().st_size > 0
    with open(run / "report.json") as f, open(run / "replay-1" / "report.json") as g:
        assert json.load(f)["checks"] == json.load(g)["checks"]


def test_every_case_or_none_is_drawn_when_asked(tmp_path):
    for student, mission in (("ann", "cyd/pointing.py"), ("dee", "dee/mission.py")):
        (tmp_path / student).mkdir()
        (tmp_path / student / "mission.py").write_text(textwrap.dedent(CLASS[mission]))
    for plots, drawn in (("all", True), ("none", False)):
        out = tmp_path / plots
        r = run_tool("kelvex-grade", "--checks", sheet(tmp_path, SHEET), "--plots", plots,
                     "--sim", FAKE_SIM, "--out", out, tmp_path / "ann", tmp_path / "dee",
                     cwd=tmp_path)
        assert r.returncode == 3, r.stdout + r.stderr
        cases = table(out / "cases.csv")
        assert [c["status"] for c in cases] == ["passed", "failed"]
        for c in cases:
            run = out / c["run"]
            assert (run / "telemetry.png").exists() == (run / "feedback" / "check-1.png").exists() \
                == (c["plot"] != "") == drawn, (plots, c)
            with open(out / c["student"] / "feedback.html") as f:
                assert ('src="attempt-1/case-1/feedback/check-1.png"' in f.read()) == drawn


def test_the_printed_command_reruns_the_failed_case(graded, tmp_path):
    failed = [c for c in table(graded["out"] / "cases.csv") if c["status"] == "failed"]
    assert [c["student"] for c in failed] == ["dee", "dee"]
    r = subprocess.run(shlex.split(failed[1]["rerun"]), cwd=tmp_path, capture_output=True,
                       text=True, timeout=120, env=dict(os.environ, KELVEX_PLOT=PLOT))
    assert r.returncode == 3, r.stdout + r.stderr
    assert r.stdout.startswith("FAIL holds the lamp: ")
    [run] = os.listdir(tmp_path / "kelvex-run")
    with open(tmp_path / "kelvex-run" / run / "run.json") as f:
        options = json.load(f)["options"]
    assert (options["seed"], options["lamp-azimuth"], options["yaw"]) == (
        failed[1]["seed"], failed[1]["lamp-azimuth"], failed[1]["yaw"])
    with open(graded["out"] / failed[1]["report"]) as f:
        live = [c["message"] for c in json.load(f)["checks"]]
    with open(tmp_path / "kelvex-run" / run / "report.json") as f:
        assert [c["message"] for c in json.load(f)["checks"]] == live


def test_a_sheet_with_events_is_flown_as_a_scenario(tmp_path):
    (tmp_path / "gil").mkdir()
    (tmp_path / "gil" / "mission.py").write_text('print("sim: offset 9")\n')
    lab = sheet(tmp_path, SHEET + '[[event]]\nat = 2\nlamp = "off"\n')
    r = run_tool("kelvex-grade", "--checks", lab, "--sim", FAKE_SIM, "--out", tmp_path / "out",
                 tmp_path / "gil", cwd=tmp_path)
    assert r.returncode == 3, r.stderr
    [case] = table(tmp_path / "out" / "cases.csv")
    assert f"--scenario={lab}" in shlex.split(case["rerun"])
    with open(tmp_path / "out" / "gil" / "attempt-1" / "case-1" / "run.json") as f:
        assert json.load(f)["options"]["scenario"] == lab


def test_a_crash_gets_its_row_and_the_grader_carries_on(tmp_path):
    (tmp_path / "eve").mkdir()
    (tmp_path / "eve" / "mission.py").write_text("import os, signal\n"
                                                 "os.kill(os.getpid(), signal.SIGSEGV)\n")
    (tmp_path / "fay").mkdir()
    (tmp_path / "fay" / "notes.txt").write_text("no mission here\n")
    r = run_tool("kelvex-grade", "--checks", sheet(tmp_path, SHEET), "--sim", FAKE_SIM,
                 "--out", tmp_path / "out", tmp_path / "eve", tmp_path / "fay", cwd=tmp_path)
    assert r.returncode == 3, r.stderr
    assert "  case 1 (seed 3): crashed: SIGSEGV" in r.stdout.splitlines()
    rows = {row["student"]: row for row in table(tmp_path / "out" / "class.csv")}
    assert rows["eve"]["reason"] == "case 1: crashed: SIGSEGV"
    assert rows["fay"]["reason"] == "holds no C mission (.c) and no Python script (.py)"


def test_draws_are_reproducible_and_within_their_ranges():
    varies = [grade.parse_vary("lamp-azimuth=100:300"), grade.parse_vary("yaw=-1.5:1.5")]
    cases = grade.make_cases(20, 7, varies)
    assert [c.arguments() for c in cases] == [c.arguments()
                                              for c in grade.make_cases(20, 7, varies)]
    assert [c.seed for c in cases] == list(range(7, 27))
    azimuths = [dict(c.draws)["lamp-azimuth"] for c in cases]
    yaws = [dict(c.draws)["yaw"] for c in cases]
    assert all(isinstance(a, int) and 100 <= a <= 300 for a in azimuths)
    assert all(-1.5 <= y <= 1.5 and round(y, 3) == y for y in yaws)
    assert len(set(azimuths)) > 10 and len(set(yaws)) > 10
    for bad in ("lamp-azimuth", "lamp-azimuth=1", "lamp-azimuth=3:1", "lamp-azimuth=a:b",
                "telemetry=1:2", "time-limit=1:2", "no-ground=0:1", "seed=1:9"):
        with pytest.raises(ValueError):
            grade.parse_vary(bad)


def test_bad_sheet_or_range_is_status_2(tmp_path):
    bad = sheet(tmp_path, '[[check]]\nname = "x"\nwhen = "nope < 1"\n')
    r = run_tool("kelvex-grade", "--checks", bad, "--sim", FAKE_SIM, tmp_path, cwd=tmp_path)
    assert r.returncode == 2 and f"{bad}:3: check 'x': when: unknown column 'nope'" in r.stderr
    r = run_tool("kelvex-grade", "--checks", sheet(tmp_path, SHEET, "ok.toml"), "--sim", FAKE_SIM,
                 "--vary", "lamp-azimuth=9", tmp_path, cwd=tmp_path)
    assert r.returncode == 2 and "NAME=LOW:HIGH" in r.stderr
    assert not os.path.exists(tmp_path / "kelvex-run")


def test_a_scenario_case_is_judged_once_by_its_run(tmp_path, monkeypatch):
    # The run flies the sheet's events and judges it; the grader takes its
    # verdicts instead of evaluating the run a second time.
    sim = os.path.join(os.environ.get("KELVEX_BUILD_DIR") or "", "sim", "kelvex-sim")
    if not os.access(sim, os.X_OK):
        pytest.skip("needs the build tree's kelvex-sim (KELVEX_BUILD_DIR)")
    from kelvex_lab import checkfile, evaluate, submissions
    lab = checkfile.load(sheet(tmp_path, """\
        [[event]]
        at = 0.2
        lamp = "off"
        [[check]]
        name = "ends cleanly"
        exit = 0
        [[check]]
        name = "ends with 4"
        exit = 4
        """))
    sub = submissions.Submission(str(tmp_path), "gus")
    sub.command = ["/bin/sh", "-c", "sleep 0.5"]
    o = grade.Outcome(sub, grade.make_cases(1, 1, [])[0], str(tmp_path / "case-1"))
    monkeypatch.setattr(evaluate, "evaluate", lambda *a: pytest.fail("judged twice"))
    grade.run_case(o, sim, lab, 20, {"seed", "time-limit"})
    assert o.status == "failed", o.reason
    assert [(r.check.name, r.passed) for r in o.results] == [("ends cleanly", True),
                                                            ("ends with 4", False)]
    assert o.results[1].line() == "FAIL ends with 4: the mission ended with status 0, 4 expected"
    with open(tmp_path / "case-1.sim.log") as f:
        assert "FAIL ends with 4" in f.read()
    assert os.stat(tmp_path / "case-1.sim.log").st_mode & 0o777 == 0o600
