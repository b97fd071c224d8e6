#!/usr/bin/python3
"""Replay of a 5-minute run at 20 Hz (6001 rows, every column, a ground log
of 600 lines, a sheet of eight checks): `kelvex-lab replay` as kelvex-sim
runs it (interpreter start, evaluation, reports, plot), against its
baseline in the same run: kelvex-plot alone drawing the same telemetry.
Rounds are interleaved; median and spread of each, and the ratio, in wall
time and in processor time.

Usage: bench/lab_replay_bench.py [--rounds N] [--build-dir BUILD]"""

import argparse
import math
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "fakes"))
import run_folder  # noqa: E402

SHEET = """
[[check]]
name = "finds and holds the lamp"
when = "abs(lamp_angle_deg) < 2"
within = 60
for = 30
[[check]]
name = "settles"
when = "abs(rate_dps) < 0.5 and abs(wheel_rpm) < 4000"
[[check]]
name = "never spins faster than 40 deg/s"
always = "abs(rate_dps) < 40"
[[check]]
name = "holds to the end"
always = "-2 < lamp_angle_deg < 2"
last = 60
[[check]]
name = "reports its pointing"
log = "pointing error [0-9.]+ deg"
within = 60
[[check]]
name = "reports often"
log = "pointing error"
count = 500
[[check]]
name = "photo reaches the ground"
photos = 1
[[check]]
name = "ends cleanly"
exit = 0
"""


def timed(cmd, env):
    """(wall, cpu) seconds; the processor time is what a quiet machine's wall
    time would be, as this machine is shared."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    r = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if r.returncode not in (0, 3):
        raise SystemExit(f"{cmd[0]} failed ({r.returncode}): {r.stderr.decode()}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return elapsed, cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--build-dir", default=os.environ.get("KELVEX_BUILD_DIR"))
    args = ap.parse_args()
    lab = [os.path.join(args.build_dir, "lab", "kelvex-lab")] if args.build_dir else \
        ["/usr/bin/python3", os.path.join(SOURCE, "lab", "kelvex-lab")]
    plot = os.path.join(SOURCE, "sim", "kelvex-plot")
    env = dict(os.environ, KELVEX_PLOT=plot)
    with tempfile.TemporaryDirectory() as tmp:
        run = run_folder.write_run(
            os.path.join(tmp, "run"), duration=300, photos=1,
            values={"lamp_angle_deg": lambda t: 120 * math.exp(-t / 8) + 0.3 * math.sin(t),
                    "rate_dps": lambda t: 15 * math.exp(-t / 8),
                    "yaw_deg": lambda t: 120 - 120 * math.exp(-t / 8),
                    "wheel_rpm": lambda t: 2500 * math.exp(-t / 8)},
            log=[(0.5 * i, f"sun pointing: pointing error {abs(120 * math.exp(-i / 16)):.2f} deg")
                 for i in range(600)])
        with open(os.path.join(run, "checks.toml"), "w") as f:
            f.write(SHEET)
        replay = [*lab, "replay", run]
        baseline = ["/usr/bin/python3", plot, "-o", os.path.join(tmp, "plain.png"),
                    os.path.join(run, "telemetry.csv")]
        timed(replay, env)                       # warm the page cache and bytecode
        times = {"replay": [], "kelvex-plot": []}
        for _ in range(args.rounds):
            times["replay"].append(timed(replay, env))
            times["kelvex-plot"].append(timed(baseline, env))
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    for k, what in ((0, "wall"), (1, "cpu")):
        for name, ts in times.items():
            ts = [x[k] for x in ts]
            print(f"{what} {name:12s} median {statistics.median(ts):.3f} s  min {min(ts):.3f}  "
                  f"max {max(ts):.3f}  ({len(ts)} rounds)")
        ratios = [a[k] / b[k] for a, b in zip(times["replay"], times["kelvex-plot"])]
        print(f"{what} replay / kelvex-plot: median {statistics.median(ratios):.2f}  "
              f"min {min(ratios):.2f}  max {max(ratios):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
