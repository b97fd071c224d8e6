"""kelvex-grade as an instructor uses it over a lab: students named by their
student.toml, points per check, the gradebook to import, a reason for every
failure, cells no spreadsheet runs, a late submission graded into the same
class folder, a feedback page per student, the progress it prints and a
class station checked before anything flies. The fake simulator flies."""

import csv
import http.server
import io
import json
import os
import re
import threading

import pytest

from labkit import FAKE_SIM, run_tool, sheet
from kelvex_lab import progress, table

SHEET = """\
[run]
lamp-azimuth = 200
seed = 3
time-limit = 30

[[check]]
name = "holds the lamp"
when = "abs(lamp_angle_deg) < 2"
within = 10
for = 5
points = 3

[[check]]
name = "reports its pointing"
log = "pointing error [0-9.]+ deg"
within = 5
points = 0.5

[[check]]
name = "ends cleanly"
exit = 0
"""

GOOD = 'print("buzz: pointing error 0.4 deg")\nprint("sim: offset 0.5")\n'
OFF = 'print("buzz: pointing error 5.0 deg")\nprint("sim: offset 5")\n'


def submission(root, folder, mission, student=None):
    os.makedirs(root / folder, exist_ok=True)
    (root / folder / "mission.py").write_text(mission)
    if student is not None:
        (root / folder / "student.toml").write_text(student)
    return root / folder


def rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def by_key(path):
    with open(path, newline="", encoding="utf-8") as f:
        return {r["student"]: r for r in csv.DictReader(f)}


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    root = tmp_path_factory.mktemp("lab")
    subs = [
        submission(root, "ann", GOOD, 'id = "s-01"\nname = "Ann Archer"\n'),
        submission(root, "=HYPERLINK(1)", OFF),
        submission(root, "dee", OFF, 'id = 1234\nname = "@Dee +Dunn"\n'),
    ]
    path = sheet(root, SHEET)
    out = root / "out"
    first = run_tool("kelvex-grade", "--checks", path, "--cases", 2, "--sim", FAKE_SIM,
                     "--out", out, *subs, cwd=root, timeout=300)
    before = {k: dict(v) for k, v in by_key(out / "class.csv").items()}
    with open(out / "class.json") as f:
        record_before = json.load(f)
    # Dee hands in a fixed mission late, from a folder of another name: the
    # id in student.toml makes it Dee's second attempt.
    # The instructor flies a reference mission along, for the feedback, and
    # has every case drawn: the overlays come with a case's own plots.
    late = submission(root, "dee-late", GOOD, 'id = "1234"\nname = "Dee Dunn"\n')
    reference = submission(root, "teacher", GOOD)
    second = run_tool("kelvex-grade", "--checks", path, "--cases", 2, "--sim", FAKE_SIM,
                      "--plots", "all", "--out", out, "--reference", reference, late, cwd=root,
                      timeout=300)
    return {"root": root, "out": out, "first": first, "second": second, "before": before,
            "record_before": record_before}


def test_names_points_and_reasons(lab):
    r = lab["first"]
    assert r.returncode == 3, r.stdout + r.stderr
    row = lab["before"]
    assert set(row) == {"s-01", "'=HYPERLINK_1_", "1234"}
    ann, hyper, dee = row["s-01"], row["'=HYPERLINK_1_"], row["1234"]
    assert (ann["id"], ann["name"], ann["status"], ann["points"], ann["maximum"]) == (
        "s-01", "Ann Archer", "passed", "4.5", "4.5")
    # The folder name stands in for a student without student.toml.
    assert hyper["name"] == hyper["id"] == "'=HYPERLINK(1)"
    assert (dee["status"], dee["points"], dee["holds the lamp"]) == ("failed", "1.5", "0/2")
    # Every failed case says which check failed, when and what was seen.
    reason = dee["reason"]
    assert re.fullmatch(r"case 1: holds the lamp: held from [0-9.]+ s for [0-9.]+ s of 5 s; "
                        r"broke at [0-9.]+ s: abs\(lamp_angle_deg\) = [0-9.]+; "
                        r"case 2: holds the lamp: .*", reason), reason


def test_no_cell_starts_a_formula(lab):
    out = lab["out"]
    for name in ("class.csv", "cases.csv", "gradebook.csv"):
        with open(out / name, encoding="utf-8") as f:
            text = f.read()
        for cells in csv.reader(io.StringIO(text)):
            for cell in cells:
                assert not cell.startswith(("=", "+", "@", "\t", "\r")), (name, cell)
                # A minus only before a number.
                assert not cell.startswith("-") or re.fullmatch(r"-[0-9.]+", cell), (name, cell)
    row = by_key(out / "class.csv")
    assert row["'=HYPERLINK_1_"]["name"] == "'=HYPERLINK(1)"
    assert row["1234"]["name"] == "Dee Dunn"
    assert lab["before"]["1234"]["name"] == "'@Dee +Dunn"
    assert table.safe("-3") == "'-3" and table.safe(-3) == -3 and table.safe("a=1") == "a=1"


def test_gradebook_is_in_moodles_import_shape(lab):
    """Moodle's CSV grade import: one header row, one row per student, the
    identifying column first and unique, every grade a plain number."""
    book = rows(lab["out"] / "gradebook.csv")
    head, body = book[0], book[1:]
    assert head == ["id", "name", "holds the lamp", "reports its pointing", "ends cleanly",
                    "total", "maximum"]
    assert len(body) == 3 and all(len(r) == len(head) for r in body)
    ids = [r[0] for r in body]
    assert len(set(ids)) == len(ids) and all(ids)
    for r in body:
        points = [float(x) for x in r[2:]]
        assert abs(sum(points[:3]) - points[3]) < 0.02 and points[4] == 4.5
    got = {r[0]: r[2:] for r in body}
    # After Dee's resubmission: the latest attempt counts.
    assert got["s-01"] == got["1234"] == ["3", "0.5", "1", "4.5", "4.5"]
    assert got["'=HYPERLINK(1)"] == ["0", "0.5", "1", "1.5", "4.5"]
    with open(lab["out"] / "gradebook.csv", "rb") as f:
        raw = f.read()
    assert not raw.startswith(b"\xef\xbb\xbf") and raw.decode("utf-8")


def test_a_resubmission_is_flown_afresh_and_keeps_the_class(lab):
    r = lab["second"]
    assert r.returncode == 0, r.stdout + r.stderr
    assert "1 graded before: a new attempt each" in r.stdout
    out = lab["out"]
    now = by_key(out / "class.csv")
    # Every other row as it was; the reference is nobody's row.
    assert set(now) == {"s-01", "'=HYPERLINK_1_", "1234"}
    for key in ("s-01", "'=HYPERLINK_1_"):
        assert now[key] == lab["before"][key]
    dee = now["1234"]
    assert (dee["attempt"], dee["attempts"], dee["status"], dee["cases passed"], dee["points"]) == (
        "2", "2", "passed", "2/2", "4.5")
    # Flown, not read again: the attempt's own run folders, with the new
    # mission's output.
    for k in (1, 2):
        with open(out / "1234" / "attempt-2" / f"case-{k}" / "mission.log") as f:
            assert "offset 0.5" in f.read()
        with open(out / "1234" / "attempt-1" / f"case-{k}" / "mission.log") as f:
            assert "offset 5" in f.read()
    cases = [(c["student"], c["attempt"], c["status"]) for c in
             csv.DictReader(open(out / "cases.csv", newline=""))]
    assert cases.count(("1234", "1", "failed")) == 2 and cases.count(("1234", "2", "passed")) == 2
    with open(out / "class.json") as f:
        record = json.load(f)
    before = {s["key"]: s for s in lab["record_before"]["students"]}
    after = {s["key"]: s for s in record["students"]}
    assert after["s-01"] == before["s-01"]
    assert after["1234"]["attempts"][0] == before["1234"]["attempts"][0]
    assert [a["attempt"] for a in after["1234"]["attempts"]] == [1, 2]


def test_feedback_page_per_student_stays_in_their_folder(lab):
    out = lab["out"]
    folder = out / "=HYPERLINK_1_"
    with open(folder / "feedback.html") as f:
        page = f.read()
    assert "FAIL</span> holds the lamp" in page and "PASS</span> ends cleanly" in page
    assert re.search(r"held from [0-9.]+ s to [0-9.]+ s; failed at [0-9.]+ s", page)
    assert " run --checks=" in page and "kelvex-sim replay attempt-1/case-2" in page
    assert "ground log, around" in page and "pointing error 5.0 deg" in page
    links = re.findall(r'(?:src|href)="([^"]*)"', page)
    assert links
    for link in links:
        # Relative, inside the student's own folder, and there.
        assert not link.startswith(("/", "http:", "https:", "file:")) and ".." not in link, link
        assert os.path.exists(folder / link), link
    assert any(l.endswith("feedback/check-1.png") for l in links)
    for other in ("Ann Archer", "s-01", "Dee"):
        assert other not in page
    # The late student's page: the attempts compared, the earlier one listed.
    with open(out / "1234" / "feedback.html") as f:
        page = f.read()
    assert "attempt 2" in page and "Earlier attempts" in page
    assert "This case compared: reference, attempt 1 and this attempt" in page
    assert os.path.exists(out / "1234" / "attempt-2" / "case-1" / "feedback" / "compare.png")


def test_progress_is_told_as_cases_end(lab):
    err = lab["first"].stderr
    lines = [l for l in err.splitlines() if " cases done" in l]
    assert lines and lines[-1].startswith("kelvex-grade: 6 of 6 cases done, 0 running, 0 left")
    assert re.search(r"kelvex-grade: 1 of 6 cases done, \d running, \d left, \d+:\d\d elapsed, "
                     r"about \d+:\d\d to go", err), err


def test_progress_bar_on_a_terminal():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    now = [100.0]
    stream = Terminal()
    p = progress.Progress(4, stream, now=lambda: now[0])
    p.case_started()
    p.case_started()
    now[0] += 30
    p.case_ended()
    assert p.bar() == "[######------------------] 1 of 4 cases done, 1 running, 2 left, " \
                      "0:30 elapsed, about 1:30 to go"
    assert stream.getvalue() == ""     # the bar is drawn by the ticker, in place
    p._print(p.bar())
    assert stream.getvalue().startswith("\r\x1b[K[######")


def test_a_station_that_does_not_answer_stops_the_grading_at_once(tmp_path):
    mission = submission(tmp_path, "ann", GOOD)
    path = sheet(tmp_path, SHEET)
    r = run_tool("kelvex-grade", "--checks", path, "--sim", FAKE_SIM, "--station",
                 "http://127.0.0.1:9/", "--out", tmp_path / "out", mission, cwd=tmp_path)
    assert r.returncode == 2
    assert "kelvex-grade: --station http://127.0.0.1:9/: does not answer" in r.stderr
    assert not os.path.exists(tmp_path / "out")

    class Station(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = json.dumps({"log_port": 5005, "version": "1"}).encode() \
                if self.path == "/api/station" else b""
            self.send_response(200 if body else 404)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *a):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Station)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = f"http://127.0.0.1:{server.server_port}/"
        r = run_tool("kelvex-grade", "--checks", path, "--sim", FAKE_SIM, "--station", url,
                     "--out", tmp_path / "out", mission, cwd=tmp_path)
    finally:
        server.shutdown()
    assert r.returncode == 0, r.stdout + r.stderr
    with open(tmp_path / "out" / "ann" / "attempt-1" / "case-1" / "run.json") as f:
        options = json.load(f)["options"]
    assert (options["station"], options["name"]) == (url, "ann, case 1")


def test_feedback_page_opens_offline_in_a_browser(lab, tmp_path, capsys):
    from test_ground_page import CHROMIUM, Browser
    if CHROMIUM is None:
        pytest.skip("chromium is not installed")
    # The student's folder alone, elsewhere: nothing of the class around it.
    import shutil
    folder = tmp_path / "handed-out"
    shutil.copytree(lab["out"] / "=HYPERLINK_1_", folder)
    browser = Browser(tmp_path, (folder / "feedback.html").as_uri())
    try:
        assert browser.wait("document.readyState === 'complete' && document.images.length > 0")
        images = browser.eval("[...document.images].map((i) => [i.getAttribute('src'), "
                              "i.complete && i.naturalWidth > 0])")
        assert len(images) == 2 and all(ok for _, ok in images), images
        assert browser.eval("document.scripts.length") == 0
        verdicts = browser.eval("[...document.querySelectorAll('.check .verdict')]"
                                ".map((v) => v.textContent)")
        assert verdicts.count("FAIL") == 2 and verdicts.count("PASS") == 4, verdicts
        shot = tmp_path / "feedback.png"
        browser.screenshot(shot)
        with capsys.disabled():
            print("\nscreenshot: %s" % shot)
    finally:
        browser.close()
