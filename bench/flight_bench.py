#!/usr/bin/python3
"""Where a flight's and a graded case's time goes, and how fast flights and a
class go: a bench program, run by hand (docs/benchmarks.md, "Flights").

  case   a 60 s mission (the sun-pointing example holding the lamp for 45 s
         instead of 8) flown by `kelvex-sim run --checks` and graded alone by
         `kelvex-grade`, rounds interleaved: wall and processor seconds of the
         whole, and per piece (start-up, flight, judging, plotting, the
         simulator's and the mission's processor time, exchanges on the line)
  sun    examples/sun_pointing flown by `kelvex-sim run`, each --clock/--speed
         given (--mode, repeatable) interleaved: wall and processor seconds,
         with Python's compiled modules as the environment has them
  class  a class of STUDENTS copies of the 60 s mission x CASES cases, built
         and graded by `kelvex-grade` in a temporary folder, once per --mode
         and round: wall and processor seconds, and the pieces of the grader
         and of all the runs (summed)

Each mode is a set of extra `kelvex-sim run` options ("" is plain real time),
e.g. --mode "" --mode "--clock=virtual --speed=max"; kelvex-grade is given a
mode's options through the lab sheet's [run] table. In `sun`, a mode's word
"sim=PATH" flies with that kelvex-sim instead (another build, its kit beside
it), so that two builds compare in one run; in `class`, "build=PATH" grades
with that build's kelvex-grade and kit, and "jobs=N" and "plots=WHICH" are
kelvex-grade's options. Figures are medians over
the rounds with the lowest and highest in brackets, and each mode's ratio to
the first mode, measured in the same run.

Usage: bench/flight_bench.py {case,sun,class} [--build-dir BUILD] [--rounds N]
           [--mode OPTIONS]... [--students N] [--cases N] [--hold S] [--keep DIR]"""

import argparse
import json
import os
import re
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
PROBE = os.path.join(SOURCE, "bench", "flight_probe")

SHEET = """\
[run]
lamp-azimuth = 120
seed = 3
time-limit = {limit}
{run}
[[check]]
name = "finds and holds the lamp"
when = "abs(lamp_angle_deg) < 2"
within = 30
for = 8

[[check]]
name = "never spins faster than 40 deg/s"
always = "abs(rate_dps) < 40"

[[check]]
name = "reports its pointing"
log = "final pointing error [0-9.]+ deg"

[[check]]
name = "ends cleanly"
exit = 0
"""


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def median_spread(values, fmt="{:.3f}"):
    if not values:
        return "-"
    return (fmt.format(statistics.median(values)) + " [" + fmt.format(min(values)) + "-"
            + fmt.format(max(values)) + "]")


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build_dir)
        self.sim = os.path.join(self.build, "sim", "kelvex-sim")
        self.grade = os.path.join(self.build, "lab", "kelvex-grade")
        for p in (self.sim, self.grade):
            if not os.access(p, os.X_OK):
                raise SystemExit(f"flight_bench: {p} is missing (build first)")
        self.tmp = args.keep or tempfile.mkdtemp(prefix="kelvex-flight-bench-")
        os.makedirs(self.tmp, exist_ok=True)
        self.probe_out = os.path.join(self.tmp, "probe.jsonl")
        # Modules compiled once, as an installed kit's are, into the bench's
        # folder: a start-up figure without compiling the lab every time.
        self.env = dict(os.environ, KELVEX_BUILD_DIR=self.build,
                        PYTHONPYCACHEPREFIX=os.path.join(self.tmp, "pycache"),
                        PYTHONPATH=os.pathsep.join(
                            [PROBE] + [p for p in os.environ.get("PYTHONPATH", "").split(
                                os.pathsep) if p]),
                        KELVEX_BENCH_PATHS=os.pathsep.join(launcher_paths(
                            os.path.join(self.build, "lab", "kelvex-lab"))))
        self.env.pop("PYTHONDONTWRITEBYTECODE", None)
        self.count = 0

    def timed(self, cmd, probe=True, cwd=None, env=None):
        """(wall s, processor s of everything it started, [probe records],
        exit status). env: variables that replace the bench's own."""
        env = dict(self.env, **(env or {}))
        if probe:
            env["KELVEX_BENCH_PROBE"] = self.probe_out
        if os.path.exists(self.probe_out):
            os.remove(self.probe_out)
        cpu, wall = children_cpu(), time.monotonic()
        r = subprocess.run(cmd, env=env, cwd=cwd or self.tmp, capture_output=True, text=True)
        wall, cpu = time.monotonic() - wall, children_cpu() - cpu
        if r.returncode not in (0, 3):
            raise SystemExit(f"flight_bench: {shlex.join(cmd)} ended with {r.returncode}:\n"
                             f"{r.stdout[-3000:]}{r.stderr[-3000:]}")
        records = []
        if probe and os.path.exists(self.probe_out):
            with open(self.probe_out) as f:
                records = [json.loads(line) for line in f if line.strip()]
        return wall, cpu, records, r

    def fresh(self, name):
        self.count += 1
        return os.path.join(self.tmp, f"{name}-{self.count}")

    def mission_source(self, hold):
        with open(os.path.join(SOURCE, "examples", "sun_pointing.c")) as f:
            text = f.read()
        text, n = re.subn(r"#define HOLD_S [0-9.]+", f"#define HOLD_S {hold:.1f}", text)
        if n != 1:
            raise SystemExit("flight_bench: examples/sun_pointing.c has no HOLD_S to change")
        return text

    def sheet(self, limit, mode_opts):
        """A lab sheet whose [run] table carries the mode's options."""
        run = ""
        for o in shlex.split(mode_opts):
            name, eq, value = o[2:].partition("=")
            if not eq:
                run += f"{name} = true\n"
            else:
                try:
                    float(value)
                    run += f"{name} = {value}\n"
                except ValueError:
                    run += f'{name} = "{value}"\n'
        path = self.fresh("lab") + ".toml"
        with open(path, "w") as f:
            f.write(SHEET.format(limit=f"{limit:g}", run=run))
        return path

    def student(self, root, name, hold):
        folder = os.path.join(root, name)
        os.makedirs(folder)
        with open(os.path.join(folder, "mission.c"), "w") as f:
            f.write(self.mission_source(hold))
        return folder


def launcher_paths(launcher):
    """The package folders the build's launcher puts on its path, in the
    order they end there (each goes in front: the last one written first)."""
    with open(launcher) as f:
        text = f.read()
    return re.findall(r'sys\.path\.insert\(0, "([^"]+)"\)', text)[::-1]


def exchanges(run_dir):
    """Answers the simulator sent (one per exchange) in the run's line.log."""
    try:
        with open(os.path.join(run_dir, "line.log")) as f:
            return sum(1 for line in f if line.split(" ", 2)[1:2] == ["tx"])
    except OSError:
        return 0


def flight_seconds(run_dir):
    try:
        with open(os.path.join(run_dir, "telemetry.csv")) as f:
            last = f.readlines()[-1]
        return float(last.split(",", 1)[0])
    except (OSError, ValueError, IndexError):
        return float("nan")


def find_run(root):
    for d, _, files in os.walk(root):
        if "line.log" in files and "run.json" in files:
            return d
    return None


def pieces(records, role):
    out = {}
    for rec in records:
        if rec["role"] == role:
            for name, p in rec["pieces"].items():
                out[name] = p
            out["(whole process)"] = {"wall": rec["wall"], "cpu": rec["cpu"],
                                      "children_cpu": rec["children_cpu"]}
    return out


def cmd_case(b, args):
    """One 60 s case, flown alone and graded alone, taking turns."""
    limit = args.hold + 30
    student_root = b.fresh("student")
    os.makedirs(student_root)
    student = b.student(student_root, "ada", args.hold)
    mission = os.path.join(student_root, "mission")
    flags = kit_flags(b.build)
    subprocess.run(["cc", "-O2", *flags[0], os.path.join(student, "mission.c"), *flags[1],
                    "-o", mission], check=True)
    rows = {}     # (mode, what) -> list of {key: value}
    for k in range(args.rounds):
        order = list(enumerate(args.mode))
        order = order[k % len(order):] + order[:k % len(order)]
        for m, mode in order:
            sheet = b.sheet(limit, mode)
            run_dir = b.fresh("run")
            wall, cpu, rec, r = b.timed([b.sim, "run", f"--checks={sheet}", f"--run-dir={run_dir}",
                                         "--", mission])
            p = pieces(rec, "fly")
            rows.setdefault((m, "run"), []).append(
                dict(wall=wall, cpu=cpu, exchanges=exchanges(run_dir),
                     flight=flight_seconds(run_dir), pieces=p))
            out = b.fresh("graded")
            wall, cpu, rec, r = b.timed([b.grade, "--checks", sheet, "--build-dir", b.build,
                                         "--out", out, student])
            run_dir = find_run(out)
            rows.setdefault((m, "graded"), []).append(
                dict(wall=wall, cpu=cpu, exchanges=exchanges(run_dir) if run_dir else 0,
                     flight=flight_seconds(run_dir) if run_dir else float("nan"),
                     pieces={**{"grader " + n: v for n, v in pieces(rec, "grade").items()},
                             **{"run " + n: v for n, v in pieces(rec, "fly").items()}}))
    print(f"A {args.hold + 15:g} s case (sun pointing, holding {args.hold:g} s), "
          f"{args.rounds} rounds, modes interleaved; seconds, median [lowest-highest]")
    base = {}
    for (m, what), rs in sorted(rows.items()):
        mode = args.mode[m] or "real time"
        print(f"\n{what}, {mode}:")
        walls, cpus = [r["wall"] for r in rs], [r["cpu"] for r in rs]
        ex = [r["exchanges"] for r in rs]
        fl = [r["flight"] for r in rs]
        print(f"  whole: wall {median_spread(walls)}  processor {median_spread(cpus)}  "
              f"flight {median_spread(fl, '{:.1f}')} s  exchanges {median_spread(ex, '{:.0f}')}")
        if m == 0:
            base[what] = (walls, cpus)
        else:
            bw, bc = base[what]
            print(f"  / {args.mode[0] or 'real time'}: wall "
                  f"{median_spread([a / c for a, c in zip(walls, bw)])}  processor "
                  f"{median_spread([a / c for a, c in zip(cpus, bc)])}")
        names = []
        for r in rs:
            names += [n for n in r["pieces"] if n not in names]
        print(f"  {'piece':34} {'calls':>5} {'wall':>22} {'processor':>22} {'children':>22}")
        for n in names:
            got = [r["pieces"][n] for r in rs if n in r["pieces"]]
            print(f"  {n:34} {got[0].get('calls', 1):>5} "
                  f"{median_spread([g['wall'] for g in got]):>22} "
                  f"{median_spread([g['cpu'] for g in got]):>22} "
                  f"{median_spread([g['children_cpu'] for g in got]):>22}")
        sim = [r["pieces"].get("stop simulator", r["pieces"].get("run stop simulator"))
               for r in rs]
        per = [s["children_cpu"] / r["exchanges"] * 1e6 for s, r in zip(sim, rs)
               if s and r["exchanges"]]
        if per:
            print(f"  simulator's processor time per exchange (all of it, physics and "
                  f"telemetry included): {median_spread(per, '{:.0f}')} us")


def kit_flags(build):
    sys.path[0:0] = launcher_paths(os.path.join(build, "lab", "kelvex-lab"))
    from kelvex_lab import submissions
    return submissions.kit_flags(build)


def sim_of(b, mode):
    """(kelvex-sim, options) of a mode: "sim=PATH" among its words flies with
    another build's kelvex-sim (its kit beside it), to compare two builds."""
    words = shlex.split(mode)
    sims = [w[4:] for w in words if w.startswith("sim=")]
    return (sims[-1] if sims else b.sim), [w for w in words if not w.startswith("sim=")]


def start_and_end(run_dir, launched, exited):
    """(seconds from the launch to run.json's "started", from its "ended"
    to the exit): the run's start before the mission (interpreter, imports,
    the sealed room, simulator and station), and its end after the
    simulator's (the station's stop, what the room left, the exit)."""
    import datetime
    try:
        with open(os.path.join(run_dir, "run.json")) as f:
            record = json.load(f)
        started = datetime.datetime.fromisoformat(record["started"]).timestamp()
        ended = datetime.datetime.fromisoformat(record["ended"]).timestamp()
    except (OSError, ValueError, KeyError):
        return float("nan"), float("nan")
    return started - launched, exited - ended


def cmd_sun(b, args):
    program = os.path.join(b.build, "examples", "sun_pointing")
    # As the person at the desk starts it: compiled modules where this
    # machine keeps them (or not), not in the bench's own cache, so that
    # what a start compiles counts.
    env = {"PYTHONPYCACHEPREFIX": "",  # empty: none
           "PYTHONDONTWRITEBYTECODE": os.environ.get("PYTHONDONTWRITEBYTECODE", "")}
    got = {}
    for k in range(args.rounds):
        order = list(enumerate(args.mode))
        order = order[k % len(order):] + order[:k % len(order)]
        for m, mode in order:
            run_dir = b.fresh("sun")
            sim, opts = sim_of(b, mode)
            launched = time.time()
            wall, cpu, _, r = b.timed([sim, "run", f"--run-dir={run_dir}", "--no-plot",
                                       *opts, "--", program], probe=False, env=env)
            got.setdefault(m, []).append((wall, cpu, flight_seconds(run_dir),
                                          *start_and_end(run_dir, launched, launched + wall)))
    print(f"examples/sun_pointing, `kelvex-sim run --no-plot`, {args.rounds} rounds "
          f"interleaved; seconds, median [lowest-highest]")
    for m, rs in sorted(got.items()):
        walls = [r[0] for r in rs]
        line = (f"  {args.mode[m] or 'real time'}\n    wall {median_spread(walls)}  processor "
                f"{median_spread([r[1] for r in rs])}  flight {median_spread([r[2] for r in rs], '{:.1f}')}"
                f"\n    start (to run.json's started) {median_spread([r[3] for r in rs])}"
                f"  end (from its ended) {median_spread([r[4] for r in rs])}")
        if m:
            line += (f"\n    / {args.mode[0] or 'real time'}: wall " + median_spread(
                [a[0] / c[0] for a, c in zip(rs, got[0])]) + "  processor " + median_spread(
                [a[1] / c[1] for a, c in zip(rs, got[0])]))
        print(line)


def class_mode(b, mode):
    """(build folder, kelvex-grade options, kelvex-sim run options) of a class
    mode: its word "build=PATH" grades with another build's kelvex-grade and
    kit (main's, to compare with), "jobs=N" and "plots=WHICH" are given to
    kelvex-grade, the rest go into the sheet's [run]."""
    build, grade_opts, run_opts = b.build, [], []
    for w in shlex.split(mode):
        key, eq, value = w.partition("=")
        if eq and key == "build":
            build = os.path.abspath(value)
        elif eq and key in ("jobs", "plots"):
            grade_opts.append(f"--{key}={value}")
        else:
            run_opts.append(w)
    return build, grade_opts, shlex.join(run_opts)


def summed(records, role):
    """Each piece's calls, wall and processor seconds summed over every
    process of the role (every run of a class)."""
    out = {}
    for rec in records:
        if rec["role"] != role:
            continue
        whole = {"calls": 1, "wall": rec["wall"], "cpu": rec["cpu"],
                 "children_cpu": rec["children_cpu"]}
        for name, p in [*rec["pieces"].items(), ("(whole process)", whole)]:
            got = out.setdefault(name, {"calls": 0, "wall": 0.0, "cpu": 0.0, "children_cpu": 0.0})
            for k in got:
                got[k] += p[k]
    return out


def cmd_class(b, args):
    root = b.fresh("class")
    os.makedirs(root)
    students = [b.student(root, f"s{i:02d}", args.hold) for i in range(args.students)]
    limit = args.hold + 30
    print(f"A class of {args.students} x {args.cases} cases of a {args.hold + 15:g} s mission, "
          f"built and graded by kelvex-grade ({os.cpu_count()} processors), {args.rounds} "
          f"rounds, modes interleaved; per mode each round's figures in turn")
    got = {}
    for k in range(args.rounds):
        order = list(enumerate(args.mode))
        order = order[k % len(order):] + order[:k % len(order)]
        for m, mode in order:
            build, grade_opts, run_opts = class_mode(b, mode)
            sheet = b.sheet(limit, run_opts)
            out = b.fresh("graded")
            load = os.getloadavg()[0]
            env = {"KELVEX_BUILD_DIR": build, "KELVEX_BENCH_PATHS": os.pathsep.join(
                launcher_paths(os.path.join(build, "lab", "kelvex-lab")))}
            wall, cpu, rec, r = b.timed(
                [os.path.join(build, "lab", "kelvex-grade"), "--checks", sheet, "--cases",
                 str(args.cases), "--vary", "lamp-azimuth=90:150", "--build-dir", build,
                 *grade_opts, "--out", out, *students], env=env)
            summary = [l for l in r.stdout.splitlines() if l.startswith(("PASS", "FAIL"))]
            got.setdefault(m, []).append(dict(
                wall=wall, cpu=cpu, load=(load, os.getloadavg()[0]),
                passed=sum(l.startswith("PASS") for l in summary), students=len(summary),
                grader=summed(rec, "grade"), runs=summed(rec, "fly")))
    for m, rounds in sorted(got.items()):
        print(f"\n{args.mode[m] or 'real time'}:")
        for i, g in enumerate(rounds):
            ratio = ""
            if m:
                base = got[0][i]
                ratio = (f"  / {args.mode[0] or 'real time'}: wall {g['wall'] / base['wall']:.2f}"
                         f"  processor {g['cpu'] / base['cpu']:.2f}")
            print(f"  wall {g['wall']:.1f} s  processor {g['cpu']:.1f} s  {g['passed']} of "
                  f"{g['students']} students pass every case  load {g['load'][0]:.1f} to "
                  f"{g['load'][1]:.1f}{ratio}")
            for who in ("grader", "runs"):
                for name, p in g[who].items():
                    print(f"    {who} {name:28} {p['calls']:>5} wall {p['wall']:8.1f}  "
                          f"processor {p['cpu']:7.1f}  children {p['children_cpu']:7.1f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("what", choices=("case", "sun", "class"))
    ap.add_argument("--build-dir", default=os.path.join(SOURCE, "build"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--mode", action="append", default=None,
                    help='extra kelvex-sim run options, e.g. "--clock=virtual --speed=max" '
                         '(repeatable; default: real time only)')
    ap.add_argument("--students", type=int, default=30)
    ap.add_argument("--cases", type=int, default=3)
    ap.add_argument("--hold", type=float, default=45.0,
                    help="seconds the mission holds the lamp (45: a flight of about 60 s)")
    ap.add_argument("--keep", default=None, help="work in this folder and keep it")
    args = ap.parse_args()
    args.mode = args.mode or [""]
    b = Bench(args)
    try:
        {"case": cmd_case, "sun": cmd_sun, "class": cmd_class}[args.what](b, args)
    finally:
        if not args.keep:
            shutil.rmtree(b.tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
