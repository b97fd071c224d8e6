"""What one `kelvex-sim run --scenario` starts, counted by strace: the
orchestrator, the simulator and at most a question or two, never a program
per concern (the mission and whatever it starts aside)."""

import os
import shutil
import subprocess

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
                        # The mission's room (nsenter, bwrap, prlimit) is the
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
