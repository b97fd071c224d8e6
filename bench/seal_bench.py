#!/usr/bin/python3
"""What sealing costs a graded case: one C submission (the sun-pointing
example) built and flown by kelvex-grade against the build tree's simulator,
sealed and with --no-sandbox, rounds interleaved. Prints the median and
spread of each, and the ratio of the medians (sealed / unsealed) with the
ratios' own spread over the rounds, in wall time (what a class waits) and in
processor time (grader, simulator, build and mission together). Also the
fixed cost of one room alone: `true` in a room against `true` unsealed.

Usage: bench/seal_bench.py [--rounds N] [--time-limit S] --build-dir BUILD"""

import argparse
import io
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(SOURCE, "lab"))
from kelvex_lab import sandbox  # noqa: E402

SHEET = """
[run]
lamp-azimuth = 120
seed = 3
time-limit = {limit}

[[check]]
name = "finds the lamp"
when = "abs(lamp_angle_deg) < 2"
within = 30
"""


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(cmd, env):
    cpu, wall = children_cpu(), time.monotonic()
    r = subprocess.run(cmd, env=env, capture_output=True, text=True)
    wall, cpu = time.monotonic() - wall, children_cpu() - cpu
    if r.returncode not in (0, 3):
        raise SystemExit(f"{cmd[0]} failed ({r.returncode}):\n{r.stdout}{r.stderr}")
    return wall, cpu


def spread(values):
    return f"{statistics.median(values):8.3f} (min {min(values):.3f}, max {max(values):.3f})"


def room_cost(rounds):
    sealed, open_ = [], []
    room = sandbox.Room(sandbox.Limits())
    for _ in range(rounds):
        t = time.monotonic()
        subprocess.run(["true"])
        open_.append(time.monotonic() - t)
        t = time.monotonic()
        sandbox.run(room, ["true"], io.BytesIO(), 30)
        sealed.append(time.monotonic() - t)
    return sealed, open_


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--time-limit", type=float, default=20)
    ap.add_argument("--build-dir", required=True)
    args = ap.parse_args()
    problem = sandbox.probe()
    if problem:
        raise SystemExit(f"seal_bench: {problem}")
    build = os.path.abspath(args.build_dir)
    grade = os.path.join(build, "lab", "kelvex-grade")
    with tempfile.TemporaryDirectory() as tmp:
        student = os.path.join(tmp, "ada")
        os.mkdir(student)
        with open(os.path.join(SOURCE, "examples", "sun_pointing.c")) as f, \
                open(os.path.join(student, "mission.c"), "w") as out:
            out.write(f.read())
        sheet = os.path.join(tmp, "lab.toml")
        with open(sheet, "w") as f:
            f.write(SHEET.format(limit=f"{args.time_limit:g}"))
        env = dict(os.environ, KELVEX_BUILD_DIR=build)
        runs = {"sealed": [], "unsealed": []}
        for k in range(args.rounds):
            for mode in (("sealed", "unsealed") if k % 2 == 0 else ("unsealed", "sealed")):
                out = os.path.join(tmp, f"{mode}-{k}")
                extra = ["--no-sandbox"] if mode == "unsealed" else []
                runs[mode].append(timed([grade, "--checks", sheet, "--build-dir", build,
                                         "--out", out, *extra, student], env))
        print(f"one case of a {args.time_limit:g} s mission, built and flown, "
              f"{args.rounds} rounds interleaved")
        for i, what in ((0, "wall"), (1, "processor")):
            s = [r[i] for r in runs["sealed"]]
            u = [r[i] for r in runs["unsealed"]]
            ratios = [a / b for a, b in zip(s, u)]
            print(f"  {what:9} s  sealed {spread(s)}  unsealed {spread(u)}")
            print(f"  {what:9}    sealed / unsealed {statistics.median(ratios):.3f} "
                  f"(min {min(ratios):.3f}, max {max(ratios):.3f})")
    sealed, open_ = room_cost(max(10, args.rounds))
    print(f"one room alone: `true` sealed {spread(sealed)} s, unsealed {spread(open_)} s")


if __name__ == "__main__":
    main()
