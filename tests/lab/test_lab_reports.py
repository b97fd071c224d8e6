"""kelvex-lab as kelvex-sim calls it: options, check and replay on synthetic
run folders, their exit statuses, report.json, the JUnit file and the plot."""

import json
import math
import subprocess
import xml.etree.ElementTree as ET

import pytest

from labkit import PLOT, run_folder, run_tool, sheet

LAB_SHEET = """\
[run]                  # simulator options for the lab
lamp-azimuth = 200
seed = 3
time-limit = 90
no-ground = false
verbose = true

[[check]]
name = "finds and holds the lamp"
when = "abs(lamp_angle_deg) < 2"
within = 30
for = 10

[[check]]
name = "never spins faster than 40 deg/s"
always = "abs(rate_dps) < 40"

[[check]]
name = "reports its pointing"
log = "pointing error [0-9.]+ deg"
within = 60

[[check]]
name = "photo reaches the ground"
photos = 1

[[check]]
name = "ends cleanly"
exit = 0
"""


def settling(spin=30.0):
    return {"lamp_angle_deg": lambda t: 100 * math.exp(-t / 3),
            "rate_dps": lambda t: spin * math.exp(-t / 3)}


@pytest.fixture
def good_run(tmp_path):
    return run_folder.write_run(str(tmp_path / "run"), duration=40, values=settling(),
                                log=[(5.0, "pointing error 1.2 deg")], photos=1)


def test_options_prints_the_run_table(tmp_path):
    r = run_tool("kelvex-lab", "options", sheet(tmp_path, LAB_SHEET))
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.splitlines() == ["--lamp-azimuth=200", "--seed=3", "--time-limit=90",
                                     "--verbose"]


def test_a_bad_sheet_is_status_2_before_anything(tmp_path, good_run):
    bad = sheet(tmp_path, LAB_SHEET.replace('"abs(rate_dps) < 40"', '"abs(rate) < 40"'),
                "bad.toml")
    for args in (["options", bad], ["check", good_run, bad]):
        r = run_tool("kelvex-lab", *args)
        assert r.returncode == 2
        assert r.stdout == ""
        assert r.stderr == (f"{bad}:16: check 'never spins faster than 40 deg/s': always: "
                            f"unknown column 'rate' (column 5) (did you mean 'rate_dps'?)\n")
    assert not (tmp_path / "run" / "report.json").exists()
    r = run_tool("kelvex-lab", "check", str(tmp_path / "nowhere"), bad)
    assert r.returncode == 2 and "not a run folder" in r.stderr


def test_check_prints_verdicts_and_writes_the_reports(tmp_path, good_run):
    lab = sheet(tmp_path, LAB_SHEET)
    r = run_tool("kelvex-lab", "check", good_run, lab)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "PASS finds and holds the lamp: held from 11.75 s to 40 s (10 s needed)",
        "PASS never spins faster than 40 deg/s: held from 0 s to 40 s",
        "PASS reports its pointing: line at 5 s: pointing error 1.2 deg",
        "PASS photo reaches the ground: 1 photo received",
        "PASS ends cleanly: the mission ended with status 0",
    ]
    # A spin over the limit, and no photo.
    failing = run_folder.write_run(str(tmp_path / "run2"), duration=40, values=settling(45),
                                   log=[(5.0, "pointing error 1.2 deg")], exit_status=0)
    r = run_tool("kelvex-lab", "check", failing, lab)
    assert r.returncode == 3, r.stderr
    lines = r.stdout.splitlines()
    assert [l.split(" ", 1)[0] for l in lines] == ["PASS", "FAIL", "PASS", "FAIL", "PASS"]
    assert lines[1] == "FAIL never spins faster than 40 deg/s: at 0 s: abs(rate_dps) = 45"

    with open(f"{failing}/report.json") as f:
        report = json.load(f)
    assert {k: report[k] for k in ("format", "passed", "checks_total", "checks_failed",
                                   "exit_status", "time_limited", "end_t")} == {
        "format": 1, "passed": False, "checks_total": 5, "checks_failed": 2, "exit_status": 0,
        "time_limited": False, "end_t": 40.0}
    spin = report["checks"][1]
    assert spin == {"name": "never spins faster than 40 deg/s", "kind": "always", "line": 14,
                    "passed": False, "message": "at 0 s: abs(rate_dps) = 45", "window": None,
                    "failed_at": 0.0, "value": "abs(rate_dps) = 45",
                    "what": "abs(rate_dps) < 40"}
    hold = report["checks"][0]
    assert (hold["window"], hold["within"], hold["for"]) == ([11.75, 40.0], 30.0, 10.0)
    assert report["checks"][2]["marks"] == [5.0]

    suite = ET.parse(f"{failing}/report.xml").getroot().find("testsuite")
    assert (suite.get("tests"), suite.get("failures"), suite.get("errors")) == ("5", "2", "0")
    cases = suite.findall("testcase")
    assert [c.get("name") for c in cases] == [c["name"] for c in report["checks"]]
    failures = [c.find("failure") for c in cases]
    assert [f is not None for f in failures] == [False, True, False, True, False]
    assert failures[3].get("message") == "0 photos received, 1 needed"
    assert failures[3].text == f"{lab}:23: FAIL photo reaches the ground: 0 photos received, " \
                               f"1 needed"
    with open(f"{failing}/telemetry.png", "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    # The sheet stays with the run, for its replay.
    with open(f"{failing}/checks.toml") as f:
        assert f.read() == LAB_SHEET


def test_replay_gives_the_live_verdicts_and_takes_another_sheet(tmp_path, good_run):
    lab = sheet(tmp_path, LAB_SHEET)
    assert run_tool("kelvex-lab", "check", good_run, lab).returncode == 0
    graded = {n: open(f"{good_run}/{n}", "rb").read() for n in ("report.json", "report.xml",
                                                               "telemetry.png", "checks.toml")}
    live = json.loads(graded["report.json"])["checks"]
    for n in (1, 2):
        r = run_tool("kelvex-lab", "replay", good_run, "--no-plot")
        assert r.returncode == 0, r.stderr
        assert r.stdout.startswith(f"kelvex-lab: replay into {good_run}/replay-{n}\n")
        with open(f"{good_run}/replay-{n}/report.json") as f:
            assert json.load(f)["checks"] == live
    strict = sheet(tmp_path, '[[check]]\nname = "calm"\nalways = "abs(rate_dps) < 1"\n',
                   "strict.toml")
    out = tmp_path / "elsewhere"
    r = run_tool("kelvex-lab", "replay", good_run, "--checks", strict, "--out", out)
    assert r.returncode == 3
    assert r.stdout.endswith("FAIL calm: at 0 s: abs(rate_dps) = 30\n")
    assert (out / "report.xml").exists() and (out / "telemetry.png").exists()
    # Never over a report: not the --out of an earlier replay, not the run's own.
    for again in (out, good_run):
        r = run_tool("kelvex-lab", "replay", good_run, "--checks", strict, "--out", again)
        assert r.returncode == 2 and "already holds report.json" in r.stderr
    r = run_tool("kelvex-lab", "replay", good_run, "--checks", strict)
    assert r.returncode == 3 and (tmp_path / "run" / "replay-3" / "telemetry.png").exists()
    # What the live run left stays as it was, byte for byte.
    for name, data in graded.items():
        with open(f"{good_run}/{name}", "rb") as f:
            assert f.read() == data, name


def test_replay_without_a_sheet_redraws_only(tmp_path, good_run):
    r = run_tool("kelvex-lab", "replay", good_run)
    assert r.returncode == 0, r.stderr
    assert "redrawing the plot only" in r.stdout
    assert (tmp_path / "run" / "replay-1" / "telemetry.png").exists()
    assert not (tmp_path / "run" / "telemetry.png").exists()
    assert not (tmp_path / "run" / "report.json").exists()
    assert run_tool("kelvex-lab", "replay", str(tmp_path)).returncode == 2


def test_report_xml_stays_well_formed_whatever_the_names_and_lines(tmp_path):
    # Characters XML cannot hold even as references, in a check's name (as
    # the sheet's escapes allow) and in the log line a verdict quotes.
    lab = sheet(tmp_path, '[[check]]\nname = "odd \\uFFFE\\u0001 name"\nlog = "gone"\n\n'
                          '[[check]]\nname = "quotes"\nlog = "said"\n')
    run = run_folder.write_run(str(tmp_path / "run"), duration=5, values=settling(),
                               log=[(1.0, "said \ufffe\x1b[31m \x85")])
    r = run_tool("kelvex-lab", "check", run, lab)
    assert r.returncode == 3, r.stderr
    suite = ET.parse(f"{run}/report.xml").getroot().find("testsuite")
    cases = suite.findall("testcase")
    assert cases[0].get("name") == "odd \\ufffe\\u0001 name"
    assert cases[1].find("system-out").text == \
        "PASS quotes: line at 1 s: said \\ufffe\\u001b[31m \x85"


def test_plot_overlays_runs_aligned_on_t(tmp_path):
    # Two attempts: one settles on the lamp, the other swings past it and
    # starts a second later.
    a = run_folder.write_run(str(tmp_path / "a"), duration=20,
                             values={"lamp_angle_deg": lambda t: 60 * math.exp(-t / 2)})
    b = run_folder.write_run(str(tmp_path / "b"), duration=19,
                             values={"lamp_angle_deg": lambda t: 60 * math.cos(t)})
    out = tmp_path / "compare.png"
    r = subprocess.run(["/usr/bin/python3", PLOT, "-o", out, "--label", "attempt 1", "--label",
                        "attempt 2", a, f"{b}/telemetry.csv"], capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    from PIL import Image
    with Image.open(out) as im:
        colours = set(im.convert("RGB").getdata())
    # The two runs in matplotlib's first two colours.
    for c in ((31, 119, 180), (255, 127, 14)):
        assert any(all(abs(x - y) < 8 for x, y in zip(c, px)) for px in colours), c
    r = subprocess.run(["/usr/bin/python3", PLOT, "--label", "only one", a, b], cwd=tmp_path,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 2 and "one --label per run" in r.stderr
    r = subprocess.run(["/usr/bin/python3", PLOT, a, b], cwd=tmp_path / "a", capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0 and (tmp_path / "a" / "compare.png").exists()
