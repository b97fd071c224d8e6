"""Flights in virtual time repeat byte for byte: a C mission and a Python
script that sleep, wait on the line, watch the clock, run the battery loop
in a forked child and start curl give the same telemetry, line log, events
and ground log alone, several at once and beside a process that keeps both
cores busy. What the clock cannot follow is refused, naming the call."""

import concurrent.futures
import json
import multiprocessing
import os
import re
import subprocess
import time

import pytest

from groundkit import simulator

HERE = os.path.dirname(os.path.abspath(__file__))
AT_ONCE = int(os.environ.get("CLOCK_TEST_AT_ONCE", "3"))
SEAL = [o for o in [os.environ.get("CLOCK_TEST_SEAL")] if o]
COMPARED = ["telemetry.csv", "line.log", "events.csv", os.path.join("ground", "log.txt")]


def mission(kind, name="clock_flight"):
    build = os.environ["KELVEX_BUILD_DIR"]
    if kind == "c":
        return [os.path.join(build, "tests", "missions", name)]
    return ["/usr/bin/python3", os.path.join(HERE, "..", "missions", name + ".py")]


def fly(folder, program, *options, battery=True):
    env = dict(os.environ, CLOCK_FLIGHT_BATTERY="1" if battery else "0")
    r = subprocess.run([simulator(), "run", "--clock", "virtual", "--speed", "max", "--no-plot",
                        "--seed", "5", "--run-dir", str(folder), *SEAL, *options, "--", *program],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120,
                       env=env)
    return r


def bundle(folder):
    """The files that must repeat; the run's own loopback address (another
    for each run side by side) is the one thing a mission may print that
    differs."""
    out = {}
    for name in COMPARED:
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            out[name] = re.sub(rb"127\.0\.0\.\d+", b"127.0.0.N", f.read())
    return out


def hog(stop):
    while not stop.is_set():
        pass


def beside_hogs(work):
    """work() while two processes keep both cores busy."""
    stop = multiprocessing.Event()
    hogs = [multiprocessing.Process(target=hog, args=(stop,)) for _ in range(2)]
    for h in hogs:
        h.start()
    try:
        return work()
    finally:
        stop.set()
        for h in hogs:
            h.join()


@pytest.mark.parametrize("battery", [False, True], ids=["", "with-battery-loop"])
@pytest.mark.parametrize("kind", ["c", "python"])
def test_a_flight_repeats_byte_for_byte_at_any_load(tmp_path, kind, battery):
    program = mission(kind)
    fly_ = lambda folder: fly(folder, program, battery=battery)  # noqa: E731
    first = fly_(tmp_path / "alone1")
    assert first.returncode == 0, first.stdout
    reference = bundle(tmp_path / "alone1")
    log = reference[os.path.join("ground", "log.txt")].decode()
    # Every step reached the ground, at its virtual time.
    assert "t=0.250000 sensor 1" in log, log
    assert "t=1.250000 after watching the clock" in log, log
    assert "t=2.250000 curl status 0" in log, log
    assert re.search(r"t=3\.25[01]000 done", log), log
    assert log.startswith("2026-01-01 00:00:0"), log
    assert os.path.exists(tmp_path / "alone1" / "ground" / "incoming" / "clock-flight.txt")
    record = json.loads((tmp_path / "alone1" / "run.json").read_text())
    assert record["clock"]["kind"] == "virtual"
    assert record["clock"]["real_time_fallbacks"] == 0, record

    again = fly_(tmp_path / "alone2")
    assert again.returncode == 0, again.stdout
    assert bundle(tmp_path / "alone2") == reference

    # Several at once, beside two processes that keep both cores busy: three
    # by default, so that the suite stays short on two cores; sixteen at once
    # (CLOCK_TEST_AT_ONCE=16) take about 40 s here and repeat as well.
    def at_once():
        with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
            return list(pool.map(lambda i: fly_(tmp_path / f"loaded{i}"), range(AT_ONCE)))
    runs = beside_hogs(at_once)
    for i, r in enumerate(runs):
        assert r.returncode == 0, r.stdout
        assert bundle(tmp_path / f"loaded{i}") == reference, f"run {i} under load"


def test_bursts_of_thousands_of_exchanges_repeat_byte_for_byte(tmp_path):
    # The sun-pointing example: about 4,000 exchanges in bursts of ten, a
    # photo and its upload. The clock once moved a millisecond in the middle
    # of a burst about one flight in four (a waiter seen off the line with
    # its answer on the way, a request counted just after the look at the
    # count), so a few flights alone and a few beside busy cores.
    program = [os.path.join(os.environ["KELVEX_BUILD_DIR"], "examples", "sun_pointing")]
    fly_ = lambda folder: fly(folder, program, "--seed", "7")  # noqa: E731
    runs = [fly_(tmp_path / f"alone{i}") for i in range(4)]

    def at_once():
        with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
            return list(pool.map(lambda i: fly_(tmp_path / f"loaded{i}"), range(AT_ONCE)))
    runs += beside_hogs(at_once)
    folders = [f"alone{i}" for i in range(4)] + [f"loaded{i}" for i in range(AT_ONCE)]
    for r in runs:
        assert r.returncode == 0, r.stdout
    reference = bundle(tmp_path / folders[0])
    assert reference["line.log"].count(b" rx ") > 4000
    assert b"photo 1 transmitted: done (0)" in reference[os.path.join("ground", "log.txt")]
    differing = [f for f in folders[1:] if bundle(tmp_path / f) != reference]
    assert not differing, differing


@pytest.mark.parametrize("kind", ["c", "python"])
def test_threads_handing_work_over_wake_at_the_same_instant_at_any_load(tmp_path, kind):
    """A thread woken through a wait without a time-out (a semaphore, a
    condition, an event, a queue, a join) by one that sleeps again at once
    wakes at the instant it was handed the work, whatever the load: the
    clock does not move on before it runs."""
    program = mission(kind, "clock_handoff")
    first = fly(tmp_path / "alone", program, "--telemetry-rate", "200")
    assert first.returncode == 0, first.stdout
    reference = bundle(tmp_path / "alone")
    log = reference[os.path.join("ground", "log.txt")].decode()
    # Every hand-over wakes its thread on the instant it was made: the first
    # 20 ms in, each of a kind a giver's round after the last (the Python
    # event's giver naps 1 ms more).
    woke = {}
    for what, t in re.findall(r"handoff: (\w+) \d+ woke t=([0-9.]+)", log):
        woke.setdefault(what, []).append(round(float(t) * 1000))
    assert len(woke) == 3 and all(len(times) == 12 for times in woke.values()), log
    assert min(min(times) for times in woke.values()) == 20, log
    for what, times in woke.items():
        step = 21 if what == "event" else 20
        assert [b - a for a, b in zip(times, times[1:])] == [step] * 11, (what, log)
    record = json.loads((tmp_path / "alone" / "run.json").read_text())
    assert record["clock"]["real_time_fallbacks"] == 0, record

    for rep in range(2):
        def flights():
            with concurrent.futures.ThreadPoolExecutor(AT_ONCE) as pool:
                return list(pool.map(lambda i: fly(tmp_path / f"loaded{rep}-{i}", program,
                                                   "--telemetry-rate", "200"), range(AT_ONCE)))
        runs = beside_hogs(flights)
        for i, r in enumerate(runs):
            assert r.returncode == 0, r.stdout
            assert bundle(tmp_path / f"loaded{rep}-{i}") == reference, f"run {i} of {rep} under load"


def test_a_sleep_takes_no_wall_time(tmp_path):
    script = tmp_path / "nap.py"
    script.write_text("import time\ntime.sleep(30)\nprint('woke', time.monotonic() > 1029)\n")
    started = time.monotonic()
    r = fly(tmp_path / "run", ["/usr/bin/python3", str(script)], "--no-ground")
    assert r.returncode == 0, r.stdout
    assert "woke True" in r.stdout
    assert time.monotonic() - started < 15, "30 s of sleep took the wall clock's time"


@pytest.mark.parametrize("call", ["signal.alarm(3)", "signal.setitimer(signal.ITIMER_REAL, 1.0)"])
def test_a_timer_that_signals_is_refused_naming_the_call(tmp_path, call):
    script = tmp_path / "timer.py"
    script.write_text(f"import signal, time\n{call}\ntime.sleep(10)\nprint('still flying')\n")
    r = fly(tmp_path / "run", ["/usr/bin/python3", str(script)], "--no-ground")
    assert r.returncode == 2, r.stdout
    name = call.split("(")[0].split(".")[1] + "()"
    assert f"virtual time cannot follow {name}" in r.stdout, r.stdout
    assert "--clock real" in r.stdout
    assert "still flying" not in r.stdout
    record = json.loads((tmp_path / "run" / "run.json").read_text())
    assert name in record["clock"]["refused"]


def test_a_statically_linked_mission_is_refused_before_it_starts(tmp_path):
    static = os.path.join(os.environ["KELVEX_BUILD_DIR"], "tests", "missions", "static_probe")
    r = fly(tmp_path / "run", [static], "--no-ground")
    assert r.returncode == 2, r.stdout
    assert "statically linked" in r.stdout and "--clock real" in r.stdout, r.stdout


def test_a_real_clock_run_says_so(tmp_path):
    r = subprocess.run([simulator(), "run", "--clock", "real", "--no-plot", "--no-ground",
                        "--run-dir", str(tmp_path / "run"), "--", "/bin/true"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    assert r.returncode == 0, r.stdout
    record = json.loads((tmp_path / "run" / "run.json").read_text())
    assert record["clock"]["kind"] == "real" and record["clock"]["speed"] == 1
    bad = subprocess.run([simulator(), "run", "--clock", "real", "--speed", "4", "--no-ground",
                          "--run-dir", str(tmp_path / "bad"), "--", "/bin/true"],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    assert bad.returncode == 2 and "--speed needs --clock virtual" in bad.stdout, bad.stdout


SCENARIO = """\
[run]
seed = 5

[[event]]
at = 0.5
lamp = "off"

[[event]]
when = "wheel_rpm > 2500"
lamp-azimuth = 200
"""


def test_a_scenario_flies_in_virtual_time_its_events_at_their_instants(tmp_path):
    """A scenario is judged: virtual time at max unless told otherwise; its
    events go at their virtual time, the same in every run."""
    sheet = tmp_path / "events.toml"
    sheet.write_text(SCENARIO)
    env = dict(os.environ, CLOCK_FLIGHT_BATTERY="0")
    folders = [tmp_path / "one", tmp_path / "two"]
    for folder in folders:
        r = subprocess.run([simulator(), "run", "--scenario", str(sheet), "--no-plot", *SEAL,
                            "--run-dir", str(folder), "--", *mission("c")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=120, env=env)
        assert r.returncode == 0, r.stdout
    record = json.loads((folders[0] / "run.json").read_text())
    assert record["clock"]["kind"] == "virtual" and record["clock"]["speed"] == "max", record
    assert bundle(folders[0]) == bundle(folders[1])
    events = (folders[0] / "events.csv").read_text().splitlines()[1:]
    assert len(events) == 2, events
    assert events[0].startswith("0.500,scenario,fault,lamp-off"), events
    t_event = float(events[1].split(",")[0])
    rows = (folders[0] / "telemetry.csv").read_text().splitlines()
    header = rows[0].split(",")
    rpm, t = header.index("wheel_rpm"), header.index("t")
    first = next(float(row.split(",")[t]) for row in rows[1:]
                 if float(row.split(",")[rpm]) > 2500)
    # Switched on the row it holds on, within a physics step or two.
    assert 0 <= t_event - first <= 0.0025, (first, events)


RACING = """\
import os, sys, threading, time
# Two threads racing for a shared count, and sleeps drawn from /dev/urandom:
# no two flights of this mission are alike.
count = [0]
def work():
    for _ in range(int.from_bytes(os.urandom(1), "little") + 1):
        count[0] += 1
        time.sleep(int.from_bytes(os.urandom(1), "little") / 1000)
threads = [threading.Thread(target=work) for _ in range(2)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("counted", count[0], "at", round(time.monotonic(), 3))
sys.exit(count[0] % 2)
"""

RACING_SHEET = """\
[[check]]
name = "ends cleanly"
exit = 0

[[check]]
name = "counts"
log = "counted"
"""


def test_a_nondeterministic_mission_still_replays_to_its_verdicts(tmp_path):
    """Racing threads and /dev/urandom make every flight differ; what the run
    says of each must still be what its bundle shows."""
    (tmp_path / "racing.py").write_text(RACING)
    (tmp_path / "sheet.toml").write_text(RACING_SHEET)
    for n in range(2):
        run = tmp_path / f"run{n}"
        r = subprocess.run([simulator(), "run", "--checks", str(tmp_path / "sheet.toml"),
                            "--no-plot", *SEAL, "--run-dir", str(run), "--",
                            "/usr/bin/python3", str(tmp_path / "racing.py")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=120)
        assert r.returncode in (0, 3), r.stdout
        record = json.loads((run / "run.json").read_text())
        assert record["clock"]["kind"] == "virtual", record
        with open(run / "report.json") as f:
            live = json.load(f)["checks"]
        replay = subprocess.run([simulator(), "replay", str(run), "--no-plot", "--out",
                                 str(tmp_path / f"replay{n}")],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                timeout=60)
        assert replay.returncode == r.returncode, replay.stdout
        with open(tmp_path / f"replay{n}" / "report.json") as f:
            assert json.load(f)["checks"] == live
        # What it printed is what it ended with.
        log = (run / "mission.log").read_text()
        counted = int(re.search(r"counted (\d+)", log).group(1))
        assert record["exit_status"] == counted % 2, (log, record)


def test_a_long_real_wait_lets_the_clock_go_on_and_says_so(tmp_path):
    script = tmp_path / "listen.py"
    script.write_text("import socket\n"
                      "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                      "s.bind(('127.0.0.1', 0))\n"
                      "s.settimeout(3)\n"
                      "try:\n    s.recv(1)\nexcept socket.timeout:\n    print('nothing came')\n")
    started = time.monotonic()
    r = fly(tmp_path / "run", ["/usr/bin/python3", str(script)], "--no-ground")
    assert r.returncode == 0, r.stdout
    assert "nothing came" in r.stdout
    assert "the clock went on in real time" in r.stdout, r.stdout
    assert time.monotonic() - started < 60
    record = json.loads((tmp_path / "run" / "run.json").read_text())
    assert record["clock"]["real_time_fallbacks"] >= 1, record
    assert record["clock"]["fallback_s"] > 0.5, record
    assert "outside the run" in record["clock"]["fallback_note"], record


def test_a_short_real_wait_that_times_out_says_the_flight_may_not_repeat(tmp_path):
    # A peer that does not answer within the real time a wait was given may
    # only have been slow (a station starved on a loaded machine): the
    # time-out is taken, and said.
    script = tmp_path / "listen.py"
    script.write_text("import socket, time\n"
                      "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                      "s.bind(('127.0.0.1', 0))\n"
                      "s.settimeout(0.05)\n"
                      "t = time.monotonic()\n"
                      "try:\n    s.recv(1)\nexcept socket.timeout:\n"
                      "    print('nothing came after %.3f s' % (time.monotonic() - t))\n")
    r = fly(tmp_path / "run", ["/usr/bin/python3", str(script)], "--no-ground")
    assert r.returncode == 0, r.stdout
    assert "nothing came after 0.050 s" in r.stdout, r.stdout
    assert "this flight may not repeat exactly" in r.stdout, r.stdout
    record = json.loads((tmp_path / "run" / "run.json").read_text())
    assert record["clock"]["real_time_fallbacks"] == 1, record
    assert "had no answer within 0.1 s of real time" in record["clock"]["fallback_note"], record


def test_a_flight_behind_the_wall_counts_the_real_time_it_went_on(tmp_path):
    # A mission that computes without ever waiting holds the clock: the run
    # gives up on virtual time a margin past its limit, goes on at the wall's
    # pace to the limit, and its record says for how long.
    script = tmp_path / "spin.py"
    script.write_text("while True:\n    pass\n")
    r = fly(tmp_path / "run", ["/usr/bin/python3", str(script)], "--no-ground",
            "--time-limit=1")
    record = json.loads((tmp_path / "run" / "run.json").read_text())
    assert record["time_limited"] is True, (r.stdout, record)
    assert record["clock"]["real_time_fallbacks"] >= 1, record
    assert "wall's pace" in record["clock"]["fallback_note"], record
    assert record["clock"]["fallback_s"] >= 0.9, record
