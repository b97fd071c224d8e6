"""What one `kelvex-sim run --scenario` starts, counted by strace: the
orchestrator, the simulator and at most a question or two, never a program
per concern (the mission and whatever it starts aside)."""

import os
import shutil
import signal
import subprocess
import sys

import pytest

from groundkit import simulator

MOST = 5

SCENARIO = """\
[run]
seed = 2
time-limit = 20

[[event]]
at = 0.2
fault = "gyro-stuck"
unit = 0

[[event]]
when = "t > 0.4"
lamp = "off"

[[check]]
name = "ends cleanly"
exit = 0
"""


def execs(trace):
    """(pid, program) of every execve that succeeded, in order."""
    out = []
    for line in trace.splitlines():
        pid, _, call = line.partition(" ")
        call = call.strip()
        if call.startswith("execve(") and call.endswith("= 0"):
            out.append((int(pid), call[len('execve("'):call.index('"', len('execve("'))]))
    return out


def test_a_scenario_run_starts_at_most_five_programs(tmp_path):
    sim = simulator()
    if shutil.which("strace") is None:
        pytest.skip("needs strace (scripts/packages.txt)")
    (tmp_path / "scenario.toml").write_text(SCENARIO)
    mission = tmp_path / "mission.sh"
    mission.write_text("#!/bin/sh\nexec sleep 1\n")
    mission.chmod(0o755)
    trace = tmp_path / "trace"
    r = subprocess.run(["strace", "-f", "-qq", "-e", "trace=execve", "-o", str(trace), sim, "run",
                        # The mission's room (bwrap, prlimit) is the
                        # mission's start, not the run's orchestration.
                        "--no-seal", "--scenario", "scenario.toml", "--run-dir", "run", "--",
                        str(mission)],
                       cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "PASS ends cleanly" in r.stdout and "fault gyro-stuck unit=0 source=scenario: ok" in \
        r.stdout, r.stdout
    started = execs(trace.read_text())
    # The mission's own process (which execs its sleep) aside.
    mission_pid = next(pid for pid, program in started if program == str(mission))
    ours = [program for pid, program in started if pid != mission_pid]
    assert len(ours) <= MOST, ours
    assert os.path.basename(ours[0]) == "kelvex-sim" and "kelvex-lab" in ours[1], ours


def test_a_launcher_wraps_how_the_mission_starts(tmp_path):
    # The seams a sandbox or an interposer plugs into: the run hands the
    # launcher the mission's command and environment, and starts what it
    # returns in the mission's stead; a Flight of its own opens the
    # station's log socket.
    from groundkit import SOURCE_GROUND
    from labkit import LAB
    for d in (LAB, SOURCE_GROUND):
        if d not in sys.path:
            sys.path.insert(0, d)
    from kelvex_lab import flight

    class Wrapped(flight.MissionLauncher):
        def command(self, argv, env, run):
            self.seen = (argv, run.address, run.run_dir)
            return ["/usr/bin/env", "KELVEX_WRAPPED=" + run.address] + argv, \
                dict(env, KELVEX_TAG="tagged")

    class Opened(flight.Flight):
        # Where a run opens its station's log socket (say, in a namespace).
        sockets = []

        def open_log_socket(self, address, port):
            self.sockets.append((address, port))
            return super().open_log_socket(address, port)

    launcher = Wrapped()
    kept = {n: signal.getsignal(n) for n in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    try:
        status = flight.main(["--sim", simulator(), "--", "--no-ground", "--no-plot",
                              "--run-dir=%s" % (tmp_path / "run"), "--", "/bin/sh", "-c",
                              'test "$KELVEX_WRAPPED $KELVEX_TAG" = "$KELVEX_GROUND tagged" '
                              "|| exit 9; exit 4", "mission"], launcher=launcher, flight=Opened)
    finally:
        for number, handler in kept.items():
            signal.signal(number, handler)
    assert status == 4
    argv, address, run_dir = launcher.seen
    assert argv[:4] == ["/bin/sh", "-c", argv[2], "mission"] and argv[4:6] == ["-z", address]
    assert run_dir == str(tmp_path / "run")
    assert Opened.sockets[-1] == (address, 4567)
