"""Verdicts of every kind of check on small synthetic run folders (20 rows a
second), at the edges the lab sheet's words leave open."""

import math
import os
import time

import pytest

from labkit import load_errors, run_folder, verdicts

NAN = math.nan


def band(start, end, inside=0.0, outside=10.0):
    """lamp_angle_deg inside the band from start to end (inclusive)."""
    return {"lamp_angle_deg": lambda t: inside if start <= t <= end else outside}


HOLD = """
[[check]]
name = "hold"
when = "abs(lamp_angle_deg) < 2"
within = {within}
for = {hold}
"""


@pytest.mark.parametrize("values,within,hold,passed,message", [
    # 5 s to 15 s is 201 rows: exactly 10 s.
    (band(5, 15), 30, 10, True, "held from 5 s to 15 s (10 s needed)"),
    (band(5, 14.95), 30, 10, False,
     "held from 5 s for 9.95 s of 10 s; broke at 15 s: abs(lamp_angle_deg) = 10"),
    # The stretch may start at the deadline itself, not a row later.
    (band(5, 19), 5, 10, True, "held from 5 s to 19 s (10 s needed)"),
    (band(5, 19), 4.95, 10, False,
     "not held within 4.95 s; first held at 5 s; at 4.95 s: abs(lamp_angle_deg) = 10"),
    # Passing through the band on the way does not spoil a later hold.
    ({"lamp_angle_deg": lambda t: 0.0 if abs(t - 2) < 0.01 or t >= 8 else 10.0}, 10, 5, True,
     "held from 8 s to 20 s (5 s needed)"),
    # A hold the end of the run cuts short.
    (band(16, 99), 30, 10, False, "held from 16 s until the run ended at 20 s: 4 s of 10 s"),
    # A NaN row breaks a hold: the value is unknown there.
    ({"lamp_angle_deg": lambda t: NAN if abs(t - 10) < 0.01 else 0.0}, 30, 15, False,
     "held from 0 s for 9.95 s of 15 s; broke at 10 s: abs(lamp_angle_deg) = nan"),
])
def test_within_and_for(tmp_path, values, within, hold, passed, message):
    r = verdicts(tmp_path, HOLD.format(within=within, hold=hold), duration=20,
                 values=values)["hold"]
    assert r.passed is passed
    assert r.message.startswith(message), r.message
    assert r.line() == f"{'PASS' if passed else 'FAIL'} hold: {r.message}"


def test_nan_break_is_reported_as_nan(tmp_path):
    # The longest stretch before the deadline is the one reported.
    r = verdicts(tmp_path, HOLD.format(within=30, hold=15), duration=20,
                 values={"lamp_angle_deg": lambda t: NAN if abs(t - 8) < 0.01 else 0.0})["hold"]
    assert (r.passed, r.window, r.failed_at, r.value) == (False, (8.05, 20.0), 20.0, None)
    assert r.message == "held from 8.05 s until the run ended at 20 s: 11.95 s of 15 s"


def test_within_without_for_and_neither(tmp_path):
    sheet = """
    [[check]]
    name = "by 3"
    when = "abs(lamp_angle_deg) < 2"
    within = 3
    [[check]]
    name = "by 2.95"
    when = "abs(lamp_angle_deg) < 2"
    within = 2.95
    [[check]]
    name = "ever"
    when = "abs(lamp_angle_deg) < 2"
    [[check]]
    name = "never"
    when = "lamp_angle_deg > 50"
    """
    r = verdicts(tmp_path, sheet, duration=20, values=band(3, 3))
    # One row is enough without a duration.
    assert (r["by 3"].passed, r["by 3"].window) == (True, (3.0, 3.0))
    assert not r["by 2.95"].passed
    assert r["by 2.95"].failed_at == 2.95
    assert r["ever"].passed
    assert r["never"].message == "never held; at 20 s: lamp_angle_deg = 10"
    assert r["never"].failed_at == 20.0


ALWAYS = """
[[check]]
name = "calm"
always = "abs(rate_dps) < 40"
{extra}
"""


@pytest.mark.parametrize("extra,passed,message", [
    ("", False, "at 7.5 s: abs(rate_dps) = 45"),
    ("after = 7.55", True, "held from 7.55 s to 20 s"),
    ("last = 12.45", True, "held from 7.55 s to 20 s"),
    ("last = 12.5", False, "at 7.5 s: abs(rate_dps) = 45"),
    ("after = 30", False, "no telemetry rows after 30 s"),
])
def test_always_and_its_window(tmp_path, extra, passed, message):
    r = verdicts(tmp_path, ALWAYS.format(extra=extra), duration=20,
                 values={"rate_dps": lambda t: -45.0 if abs(t - 7.5) < 0.01 else 1.0})["calm"]
    assert (r.passed, r.message) == (passed, message)


def test_always_fails_on_nan_and_on_no_telemetry(tmp_path):
    r = verdicts(tmp_path / "a", ALWAYS.format(extra=""), duration=5,
                 values={"rate_dps": lambda t: NAN if t >= 2 else 0.0})["calm"]
    assert (r.passed, r.failed_at, r.value) == (False, 2.0, "abs(rate_dps) = nan")
    # A mission that never ran cannot have stayed calm.
    r = verdicts(tmp_path / "b", ALWAYS.format(extra=""), raw_rows=[])["calm"]
    assert (r.passed, r.message) == (False, "no telemetry rows")
    r = verdicts(tmp_path / "c", HOLD.format(within=1, hold=1), raw_rows=[])["hold"]
    assert (r.passed, r.message) == (False, "no telemetry rows")


def test_a_row_cut_short_at_the_end_is_dropped(tmp_path):
    header = list(run_folder.COLUMNS)
    full = ["0"] * len(header)
    r = verdicts(tmp_path, ALWAYS.format(extra=""), raw_rows=[full, full, ["0.1", "5"]])["calm"]
    assert (r.passed, r.window) == (True, (0.0, 0.0))


LOG = """
[[check]]
name = "reports"
log = "pointing error [0-9.]+ deg"
within = 60
[[check]]
name = "twice"
log = "pointing error"
count = 2
[[check]]
name = "any time"
log = "^done$"
"""


@pytest.fixture
def other_zone():
    """This machine in a zone other than the run's, so that only run.json's
    offset can give the right arrival times."""
    saved = os.environ.get("TZ")
    os.environ["TZ"] = "America/Argentina/Buenos_Aires"
    time.tzset()
    yield
    if saved is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = saved
    time.tzset()


def test_log_searches_lines_by_arrival_time(tmp_path, other_zone):
    r = verdicts(tmp_path / "a", LOG, duration=1, log=[
        (-0.5, "hello before t = 0"),
        (60.0, "sun pointing: pointing error 1.25 deg, holding"),
        (61.5, "done"),
    ])
    assert r["reports"].passed
    assert r["reports"].message == "line at 60 s: sun pointing: pointing error 1.25 deg, holding"
    assert r["reports"].window == (60.0, 60.0)
    assert not r["twice"].passed
    assert r["twice"].message == "1 of 2 ground log lines match"
    assert r["any time"].passed and r["any time"].window == (61.5, 61.5)

    r = verdicts(tmp_path / "b", LOG, duration=1, log=[
        (60.001, "pointing error 1.25 deg"), (70, "pointing error 0.5 deg"), (71, "not done")])
    assert r["reports"].message == "no ground log line matches within 60 s; the next came at " \
                                   "60.001 s"
    assert r["reports"].failed_at == 60.0
    assert r["reports"].marks == [60.001, 70.0]
    assert r["twice"].passed and r["twice"].message.startswith("2 lines by 70 s")
    assert not r["any time"].passed


def test_photos_and_exit(tmp_path):
    sheet = """
    [[check]]
    name = "one photo"
    photos = 1
    [[check]]
    name = "three photos"
    photos = 3
    [[check]]
    name = "clean"
    exit = 0
    """
    r = verdicts(tmp_path / "a", sheet, duration=1, photos=2, exit_status=0)
    assert r["one photo"].passed and r["one photo"].message == "2 photos received"
    assert r["three photos"].message == "2 photos received, 3 needed"
    assert r["clean"].passed
    # Files the station has not finished are hidden and do not count.
    os.makedirs(tmp_path / "c" / "run" / "ground" / "incoming")
    open(tmp_path / "c" / "run" / "ground" / "incoming" / ".upload.jpeg", "w").close()
    r = verdicts(tmp_path / "c", sheet, duration=1, photos=0, exit_status=137, time_limited=True)
    assert r["one photo"].message == "0 photos received, 1 needed"
    assert r["clean"].message == "the mission ended with status 137, stopped at the time " \
                                 "limit, 0 expected"
    r = verdicts(tmp_path / "b", sheet, duration=1, exit_status=None)
    assert r["clean"].message == "the mission's exit status is unknown: the run did not end"


def test_photos_by_number_count_only_images_of_the_cameras_size(tmp_path):
    sheet = """
    [[check]]
    name = "any photo"
    photos = 1
    [[check]]
    name = "photo one"
    photos = [1]
    [[check]]
    name = "photos one and two"
    photos = [2, 1]
    points = 2.5
    """
    # Photo 4 alone does not make a lab that asks for photo 1.
    r = verdicts(tmp_path / "a", sheet, duration=1, photos={4: None})
    assert r["any photo"].passed
    assert not r["photo one"].passed
    assert r["photo one"].message == "no photo 1 (received: photo 4)"
    assert r["photos one and two"].message == "no photo 1; no photo 2 (received: photo 4)"
    assert r["photos one and two"].check.points == 2.5
    # A 24-byte fake and a photo of another size are received but count for nothing.
    r = verdicts(tmp_path / "b", sheet, duration=1,
                 photos={1: b"\xff\xd8" + b"x" * 20 + b"\xff\xd9",
                         2: run_folder.camera_photo((320, 240))})
    assert not r["any photo"].passed
    assert r["any photo"].message.startswith(
        "0 photos received (20251206000000-1.jpeg does not decode as an image (24 bytes: ")
    assert r["any photo"].message.endswith(", and 1 more not counted), 1 needed")
    assert r["photo one"].message.startswith("photo 1 does not decode as an image (24 bytes")
    assert "photo 2 is 320x240, not the camera's 640x480" in r["photos one and two"].message
    r = verdicts(tmp_path / "c", sheet, duration=1, photos={1: None, 2: None})
    assert all(x.passed for x in r.values())
    assert r["photos one and two"].message == "photos 1, 2 received"
    r = verdicts(tmp_path / "d", sheet, duration=1)
    assert r["photo one"].message == "no photo 1 (no photo received)"
    for bad in ("[]", "[-1]", '["1"]', "[1.5]", "[true]"):
        [e] = load_errors(tmp_path,
                          f'[[check]]\nname = "p"\nphotos = {bad}\n')
        assert "'photos' needs a number of photos or a list of photo numbers" in e
    [e] = load_errors(tmp_path, '[[check]]\nname = "p"\nexit = 0\npoints = -1\n')
    assert e.endswith(":4: check 'p': 'points' needs a number, 0 or more")


def test_sheet_faults_are_all_reported_with_their_lines(tmp_path):
    errors = load_errors(tmp_path, """\
        [run]
        lamp-azimth = 200
        telemetry = "elsewhere.csv"
        seed = 1.5

        [[check]]
        name = "holds"
        when = "abs(lamp_angle) < 2"
        within = 30

        [[check]]
        name = "spins"
        always = "abs(rate_dps) < "
        "for" = 3

        [[check]]
        when = "rate_dps < 1"

        [[check]]
        name = "holds"
        photos = -1

        [[check]]
        name = "both"
        log = "(unclosed"
        exit = 0

        [[check]]
        name = "nothing"
        within = -1
        """)
    f = str(tmp_path / "lab.toml")
    assert errors == [
        f"{f}:2: [run]: unknown simulator option 'lamp-azimth' (did you mean 'lamp-azimuth'?)",
        f"{f}:3: [run]: 'telemetry' is decided by the run itself, not by the lab sheet",
        f"{f}:4: [run]: 'seed' must be a whole number, 0 or more",
        f"{f}:8: check 'holds': when: unknown column 'lamp_angle' (column 5) "
        f"(did you mean 'lamp_angle_deg'?)",
        f"{f}:14: check 'spins': 'always' takes no 'for' (it belongs to a 'when' check)",
        f"{f}:13: check 'spins': always: expected a number, a column or '(', found the end "
        f"(column 17): abs(rate_dps) < ",
        f"{f}:16: check 3: has no name (name = \"...\")",
        f"{f}:19: check 'holds': the name is taken by the check on line 6",
        f"{f}:21: check 'holds': 'photos' needs a whole number, 0 or more",
        f"{f}:26: check 'both': has both 'log' and 'exit': one check, one of when, always, "
        f"log, photos, exit",
        f"{f}:29: check 'nothing': says nothing to check: give one of when, always, log, "
        f"photos, exit",
    ]


def test_sheet_faults_of_other_kinds(tmp_path):
    [e] = load_errors(tmp_path, "[[check]]\nname = \"x\"\nwhen = \"a < 1\n")
    assert e.startswith(f"{tmp_path / 'lab.toml'}:3: ")
    [e] = load_errors(tmp_path, "[[check]]\nname = \"x\"\nlog = \"(a\"\n")
    assert e.startswith(f"{tmp_path / 'lab.toml'}:3: check 'x': log: not a regular expression")
    [e] = load_errors(tmp_path, "[[check]]\nname = \"x\"\nwhen = \"motor_on > 0\"\n",
                      columns=["t", "rate_dps"])
    assert "unknown column 'motor_on'" in e
    [e] = load_errors(tmp_path, "[labs]\nx = 1\n")
    assert e == f"{tmp_path / 'lab.toml'}: unknown table 'labs' (a lab sheet holds [run], " \
                f"[[check]] and [[event]])"


def test_sheets_past_every_bound_are_told_by_line_in_bounded_memory(tmp_path):
    import tracemalloc
    from labkit import run_tool, sheet

    def check(text, key="when"):
        return f'[[check]]\nname = "big"\n{key} = "{text}"\n'

    cases = [
        # Deep parentheses, a long chain of not, of signs, of calls.
        (check("(" * 300 + "lamp_angle_deg" + ")" * 300 + " < 1"), 3, "nested too deeply"),
        (check("not " * 500 + "lamp_angle_deg < 1"), 3, "nested too deeply"),
        (check("-" * 500 + "lamp_angle_deg < 1"), 3, "nested too deeply"),
        (check("abs(" * 100 + "rate_dps" + ")" * 100 + " < 1"), 3, "nested too deeply"),
        # 2,000 terms, and 100,000: each a message, not a traceback.
        (check(" + ".join(["rate_dps"] * 2000) + " < 1"), 3, "too long"),
        (check("+".join(["x"] * 100000) + " < 1"), 3, "too long"),
        # A scenario's event reads its condition the same way.
        ('[[event]]\nwhen = "' + "(" * 300 + "rate_dps < 1" + ")" * 300 + '"\nlamp = "off"\n', 2,
         "nested too deeply"),
        # Short enough to read, too deep to evaluate by recursion.
        (check("+".join(["1"] * 150) + "+rate_dps < 1"), 3, "too deep"),
        # The TOML itself nested past its reader's recursion.
        ("[[check]]\nname = 'a'\nlog = 'x'\nv = " + "[" * 5000 + "]" * 5000 + "\n", 4,
         "nested too deeply"),
        ("[[check]]\nname = 'a'\nlog = 'x'\n" + "v = [[[[[[[[\n" * 5 + "]]]]]]]]\n" * 5, 8,
         "nested too deeply"),
        ("".join(f"[[check]]\nname = 'c{i}'\nlog = 'x'\n" for i in range(1200)), 3001,
         "too many [[check]] entries"),
    ]
    for text, line, message in cases:
        tracemalloc.start()
        errors = load_errors(tmp_path, text)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert len(errors) == 1 and errors[0].startswith(f"{tmp_path}/lab.toml:{line}: "), errors
        assert message in errors[0] and len(errors[0]) < len(str(tmp_path)) + 250, errors
        # The sheet itself is under a megabyte; its reading stays a few of them.
        assert peak < 16 * 1024 * 1024, (message, peak)
    big = sheet(tmp_path, cases[5][0], "big.toml")
    r = run_tool("kelvex-lab", "options", big)
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr.startswith(f"{big}:3: check 'big': when: the expression is too long")
    assert "Traceback" not in r.stderr


def test_a_condition_at_the_bounds_is_read_and_evaluated(tmp_path):
    # The most a sheet may write still parses and evaluates without recursion trouble.
    deep = "(" * 30 + "rate_dps" + ")" * 30
    chain = " + ".join(["rate_dps"] * 90)
    r = verdicts(tmp_path, f'[[check]]\nname = "edge"\nalways = "{deep} + {chain} < 1000"\n',
                 duration=1, values={"rate_dps": lambda t: 1.0})
    assert r["edge"].passed, r["edge"].message
