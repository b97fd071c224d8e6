"""kelvex-grade: every submission of a class under one lab sheet.

Each (submission, case) runs in its own kelvex-sim run folder, in parallel;
case k has the same seed and starting conditions for every student, drawn
reproducibly from the --vary ranges. A submission's student.toml (id, name)
names its student. The class table (class.csv, cases.csv, gradebook.csv,
index.html) goes into the output folder with a folder per student holding
their attempts' run folders and feedback.html; grading into a folder graded
before adds a new attempt for each submission given and keeps the rest.
Every failed case is printed with the one command that reruns it.

Exit status: 0 every case of every submission passes, 3 something failed,
2 a bad lab sheet or command line."""

import argparse
import concurrent.futures
import http.client
import json
import math
import os
import random
import shlex
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

from . import (__version__, checkfile, classbook, cli, evaluate, feedback, plot, report,
               runfolder, sandbox, submissions, table)
from .progress import Progress
from .simulator import Programs, run_options

DEFAULT_TIME_LIMIT = 300
# Beyond the mission's time limit: the simulator's own start and stop.
GRACE_SECONDS = 60
# A few runs per core: one that keeps pace with a clock mostly waits on its
# line, and one in virtual time as fast as it goes still leaves its
# processor while its parties take turns on the clock. Measured in virtual
# time on two cores shared with other work: 2 per core took 5 to 16 % less
# processor time but 2 to 17 % more wall time than 4.
RUNS_PER_CORE = 4
STATION_TIMEOUT = 3.0
# The class folder's folder of the reference mission's runs.
REFERENCE = "_reference"


class Vary:
    def __init__(self, name, low, high, whole):
        self.name, self.low, self.high, self.whole = name, low, high, whole

    def draw(self, seed):
        rng = random.Random(f"{seed}:{self.name}")
        if self.whole:
            return rng.randint(int(self.low), int(self.high))
        return round(rng.uniform(self.low, self.high), 3)


def parse_vary(text):
    name, eq, rng = text.partition("=")
    low, colon, high = rng.partition(":")
    if not eq or not colon:
        raise ValueError(f"--vary {text}: write NAME=LOW:HIGH")
    if name == "seed":
        raise ValueError(f"--vary {text}: every case has a seed of its own; --seed sets the "
                         f"first")
    if run_options().get(name) != "number" or name in ("time-limit", "ftp-port", "http-port"):
        raise ValueError(f"--vary {text}: '{name}' is not a starting condition of the simulator")
    try:
        lo, hi = float(low), float(high)
    except ValueError:
        raise ValueError(f"--vary {text}: LOW and HIGH must be numbers")
    if not (math.isfinite(lo) and math.isfinite(hi)) or lo > hi:
        raise ValueError(f"--vary {text}: LOW must not be above HIGH")
    whole = all(part.strip().lstrip("+-").isdigit() for part in (low, high))
    return Vary(name, lo, hi, whole)


class Case:
    def __init__(self, number, seed, draws):
        self.number = number
        self.seed = seed
        self.draws = draws            # [(name, value)]

    def arguments(self):
        return [f"--seed={self.seed}"] + [f"--{n}={checkfile.format_value(v)}"
                                         for n, v in self.draws]

    def label(self):
        return ", ".join([f"seed {self.seed}"] + [f"{n} {checkfile.format_value(v)}"
                                                  for n, v in self.draws])


def make_cases(count, base_seed, varies):
    cases = []
    for k in range(1, count + 1):
        seed = base_seed + k - 1
        cases.append(Case(k, seed, [(v.name, v.draw(seed)) for v in varies]))
    return cases


class Outcome:
    """One (submission, case): what ran and what came of it."""

    def __init__(self, sub, case, run_dir):
        self.sub, self.case, self.run_dir = sub, case, run_dir
        self.status = None            # passed, failed, crashed, error
        self.reason = ""
        self.results = []
        self.rerun = None
        self.report = None
        self.plot = None
        self.run = None               # the judged runfolder.Run, for its plots


def _kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGTERM)
        proc.wait(10)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    proc.wait()


def seal_arguments(limits):
    """kelvex-sim run's options that seal the mission with these limits, or
    that say it is not sealed."""
    if limits is None:
        return ["--no-seal"]
    return [f"--{n}={checkfile.format_value(v)}" for n, v in limits.options().items()]


def run_case(o, sim, sheet, time_limit, skip, extra=(), limits=None):
    """Flies one case; whatever goes wrong with it (a full disk, a flood)
    ends that case only."""
    try:
        return _run_case(o, sim, sheet, time_limit, skip, extra, limits)
    except OSError as e:
        o.status, o.reason = "error", f"the grader could not run this case: {e}"
        return o


def virtual_time(sheet):
    """A case flies in virtual time as fast as it goes, as any judged run
    does (the grader judges it itself, so the run is not told --checks):
    it repeats byte for byte and does not wait. The sheet's [run] may say
    otherwise; its own options come after these and win."""
    given = sheet.run_options
    if given.get("clock") == "real":
        return []
    return ["--clock=virtual"] + ([] if "speed" in given else ["--speed=max"])


def _run_case(o, sim, sheet, time_limit, skip, extra, limits):
    run_args = (sheet.sim_arguments(skip=skip | set(sandbox.Limits.NAMES)) + o.case.arguments()
                + list(extra))
    # A sheet with events is a scenario: the run switches them and judges.
    # The run draws no plot: the grader draws each case's once, with its
    # checks.
    sheet_path = os.path.abspath(sheet.path)
    events = [f"--scenario={sheet_path}"] if sheet.events else []
    # The student's name names the satellite: in run.json, on the plot and,
    # with --station, on the class station.
    name = [f"--name={o.sub.student_name}, case {o.case.number}"] if extra else []
    cmd = [sim, "run", f"--run-dir={o.run_dir}", *events, "--no-plot", *virtual_time(sheet),
           *run_args, *name,
           *seal_arguments(limits),
           f"--time-limit={time_limit:g}", "--", *o.sub.command]
    # The sheet gives the rest of the conditions again; the time limit too,
    # unless the grader was given another.
    own_limit = [] if sheet.run_options.get("time-limit") == time_limit else \
        [f"--time-limit={time_limit:g}"]
    o.rerun = shlex.join([sim, "run", f"--{'scenario' if sheet.events else 'checks'}={sheet_path}",
                          *o.case.arguments(), *own_limit, "--",
                          *(o.sub.rerun_command or o.sub.command)])
    sim_log = o.run_dir + ".sim.log"
    # Unsealed, the run folder is the mission's working directory too: two
    # cases of one student must not share photos/.
    os.makedirs(o.run_dir, exist_ok=True)
    # The run says the instructor's panel address, token and all: the log is
    # the grader's alone.
    with open(os.open(sim_log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as log:
        os.fchmod(log.fileno(), 0o600)
        # The run is told that this grader made a room here as it started.
        env = dict(os.environ, **sandbox.made_word()) if limits is not None else None
        proc = subprocess.Popen(cmd, cwd=o.run_dir, stdin=subprocess.DEVNULL, env=env,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            proc.wait(time_limit + GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            _kill_group(proc)
            o.status = "error"
            o.reason = f"the simulator did not end within {time_limit + GRACE_SECONDS:g} s"
    try:
        run = runfolder.Run(o.run_dir)
    except runfolder.RunFolderError:
        with open(sim_log, errors="replace") as f:
            tail = [l.strip() for l in f if l.strip()][-1:] or ["no output"]
        o.status = "error"
        o.reason = o.reason or f"the simulator left no run (status {proc.returncode}): {tail[0]}"
        return o
    try:
        checks = checkfile.load(sheet.path, columns=run.telemetry.header or None)
    except checkfile.CheckFileError as e:
        o.status, o.reason = "error", e.errors[0]
        return o
    judged = os.path.join(o.run_dir, report.REPORT_JSON)
    if sheet.events and os.path.exists(judged):
        # A scenario's run judged itself by the sheet it flew: its verdicts
        # stand, the case is not judged twice.
        o.results, o.report = _verdicts(checks, judged), judged
    else:
        o.results = evaluate.evaluate(checks, run)
        o.report = report.write(o.run_dir, checks, run, o.results)
        # As a judged run keeps it: `kelvex-sim replay` of the folder then
        # judges it again and draws its plot with these checks.
        _keep_sheet(o.run_dir, sheet)
    o.run = run
    status = run.exit_status
    if o.status == "error":
        return o
    o.status, o.reason = verdict(run, o.results, time_limit)
    # A limit of its room ended the mission: that, not the signal, is why.
    limit = run.info.get("limit")
    if isinstance(limit, str) and limit:
        o.status, o.reason = "failed", limit
    return o


def _keep_sheet(run_dir, sheet):
    kept = os.path.join(run_dir, cli.KEPT_CHECKS)
    if sheet.raw and not os.path.exists(kept):
        with open(kept, "wb") as f:
            f.write(sheet.raw)


def verdict(run, results, time_limit):
    """(status, reason) of a judged run: every failure says why, as a
    student reads it in the class table."""
    status = run.exit_status
    failed = [r for r in results if not r.passed]
    why = []
    if status is None:
        return "crashed", "the run did not end"
    if status >= 128 and not run.time_limited:
        return "crashed", f"crashed: {_signal_name(status - 128)}"
    if run.time_limited:
        why.append(f"stopped at the time limit ({time_limit:g} s)")
    if failed:
        first = f"{failed[0].check.name}: {failed[0].message}"
        why.append(first + (f" (and {len(failed) - 1} more)" if len(failed) > 1 else ""))
    return ("failed" if failed else "passed"), "; ".join(why)


def _verdicts(checks, report_path):
    """The Results a run's report.json holds, on the sheet's own checks."""
    with open(report_path) as f:
        judged = {c["name"]: c for c in json.load(f)["checks"]}
    return [evaluate.Result(c, judged[c.name]["passed"], judged[c.name]["message"],
                            judged[c.name]["window"], judged[c.name]["failed_at"],
                            judged[c.name]["value"], judged[c.name].get("marks", ()))
            for c in checks.checks]


# Which cases the grader draws: the run's plot with its checks and a plot
# per check for the feedback page.
PLOTS = ("failed", "all", "none")


def drawn(o, plots):
    """Whether this case's plots are drawn. By default only a case that did
    not pass: its feedback explains a failure, while a passed case's plots
    would cost a third of the processor time of grading it, for a page that
    has nothing to explain (it says the command that draws them)."""
    if not o.report or plots == "none":
        return False
    return plots == "all" or o.status != "passed"


def draw(o, programs):
    """The run's plot with its checks (matplotlib draws one figure at a time,
    so one thread draws them all while the runs go on)."""
    if o.report:
        o.plot, _ = plot.redraw(o.run_dir, o.run_dir, o.report,
                                title=f"{o.sub.student_name}, case {o.case.number}",
                                programs=programs)
        feedback.draw_checks(o.run_dir, o.results, o.run)
    o.run = None                  # its telemetry is not kept for the whole class
    return o


def _signal_name(n):
    try:
        return signal.Signals(n).name
    except ValueError:
        return f"signal {n}"


def grade(args, out=sys.stdout, programs=None):
    programs = programs or Programs()
    try:
        sheet = checkfile.load(args.checks)
    except checkfile.CheckFileError as e:
        return cli._errors(e)
    try:
        varies = [parse_vary(v) for v in args.vary]
        names = [v.name for v in varies]
        for n in set(names):
            if names.count(n) > 1:
                raise ValueError(f"--vary {n} is given twice")
    except ValueError as e:
        print(f"kelvex-grade: {e}", file=sys.stderr)
        return cli.EXIT_BAD_INPUT
    sim = args.sim or programs.find("kelvex-sim")
    if not sim:
        print("kelvex-grade: kelvex-sim not found (give --sim PATH)", file=sys.stderr)
        return cli.EXIT_BAD_INPUT
    sealed = not args.no_sandbox
    problem = sandbox.probe() if sealed else None
    if problem:
        print(f"kelvex-grade: cannot seal the class's builds and missions: {problem}. "
              f"Give --no-sandbox to grade unsealed (every report and the class table then "
              f"say 'not sealed')", file=sys.stderr)
        return cli.EXIT_BAD_INPUT
    try:
        limits = sandbox.Limits.from_options(sheet.run_options, {
            n: getattr(args, n.replace("-", "_")) for n in sandbox.Limits.NAMES})
    except ValueError as e:
        print(f"kelvex-grade: {e}", file=sys.stderr)
        return cli.EXIT_BAD_INPUT
    time_limit = args.time_limit or sheet.run_options.get("time-limit") or DEFAULT_TIME_LIMIT
    base_seed = args.seed if args.seed is not None else sheet.run_options.get("seed", 1)
    cases = make_cases(args.cases, base_seed, varies)
    skip = {"seed", "time-limit"} | {v.name for v in varies}
    if args.station:
        problem = station_problem(args.station)
        if problem:
            print(f"kelvex-grade: --station {args.station}: {problem}", file=sys.stderr)
            return cli.EXIT_BAD_INPUT
    out_dir = make_out_dir(args.out)
    try:
        book = classbook.ClassBook(out_dir)
        book.lock()
    except classbook.ClassBookError as e:
        print(f"kelvex-grade: {e}", file=sys.stderr)
        return cli.EXIT_BAD_INPUT
    subs = submissions.find(args.submissions)
    ref = None
    if args.reference:
        # The instructor's own mission, flown with the class for the
        # feedback pages to compare with; it is nobody's grade.
        [ref] = submissions.find([args.reference])
        ref.name = ref.student_id = ref.student_name = "reference"
        ref.dir = os.path.join(out_dir, REFERENCE, time.strftime("%Y%m%d-%H%M%S"))
        os.makedirs(ref.dir, exist_ok=True)
        if ref.problem:
            print(f"kelvex-grade: --reference {args.reference}: {ref.problem}", file=sys.stderr)
            return cli.EXIT_BAD_INPUT
    for s in subs:
        if s.note:
            print(f"kelvex-grade: {s.path}: {s.note}", file=sys.stderr)
        s.attempt, s.dir = book.next_attempt(s.name)
        os.makedirs(s.dir)
    jobs = args.jobs or RUNS_PER_CORE * (os.cpu_count() or 1)
    earlier = sum(1 for s in subs if s.attempt > 1)
    print(f"kelvex-grade: {len(subs)} submissions x {len(cases)} cases, {jobs} at a time, "
          f"into {out_dir}" + ("" if sealed else ", not sealed")
          + (f" ({earlier} graded before: a new attempt each)" if earlier else ""),
          file=out, flush=True)
    with tempfile.TemporaryDirectory(prefix="kelvex-grade-") as staging:
        if sealed:
            # Each room sees a private copy of its own submission only.
            os.chmod(staging, 0o755)
            for i, s in enumerate(subs + ([ref] if ref else [])):
                if not s.problem:
                    submissions.stage(s, os.path.join(staging, str(i)))
        ok = _grade_class(out, sheet, subs, ref, book, cases, skip, out_dir, jobs, sim,
                          time_limit, args, limits if sealed else None, programs)
    return cli.EXIT_PASSED if ok else cli.EXIT_FAILED


def _grade_class(out, sheet, subs, ref, book, cases, skip, out_dir, jobs, sim, time_limit,
                 args, limits, programs):
    started = time.monotonic()
    flags, flags_problem = None, None
    if any(s.kind == "c" and not s.problem for s in subs):
        try:
            flags = submissions.kit_flags(args.build_dir)
        except RuntimeError as e:
            flags_problem = str(e)
    extra = [f"--station={args.station}"] if args.station else []
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool, \
            concurrent.futures.ThreadPoolExecutor(max_workers=1) as drawer:
        everyone = subs + ([ref] if ref else [])
        for s in everyone:
            if s.kind == "c" and not s.problem and flags_problem:
                s.problem = flags_problem
        planned = [s for s in everyone if not s.problem]
        progress = Progress(len(planned) * len(cases), sys.stderr).start()
        futures, lock = [], threading.Lock()

        def fly(o):
            """The case flown and judged; its plots, if it has any, are drawn
            while the rest fly."""
            progress.case_started()
            try:
                run_case(o, sim, sheet, time_limit, skip, extra, limits)
            finally:
                progress.case_ended()
            if drawn(o, args.plots):
                return drawer.submit(draw, o, programs)
            o.run = None
            done = concurrent.futures.Future()
            done.set_result(o)
            return done

        def schedule(s):
            if s.problem:
                progress.drop(len(cases))
                return
            with lock:
                futures.extend(pool.submit(fly, Outcome(s, c, os.path.join(s.dir,
                                                                            f"case-{c.number}")))
                               for c in cases)

        def build_then_fly(s, room):
            # A submission's cases fly as soon as it is built: no processor
            # waits for the class's last build.
            try:
                submissions.build(s, s.dir, flags, room, args.build_time_limit)
            except Exception as e:  # whatever it was, this submission only
                s.problem = s.problem or f"the grader could not build it: {e}"
            schedule(s)

        builds = []
        for s in planned:
            if s.kind == "c":
                room = sandbox.Room(limits) if limits else None
                builds.append(pool.submit(build_then_fly, s, room))
            else:
                schedule(s)
        # Every case is in the pool once the last build has ended.
        concurrent.futures.wait(builds)
        outcomes = [f.result().result() for f in futures]
        progress.finish()
    by_sub = {s.name: sorted((o for o in outcomes if o.sub is s), key=lambda o: o.case.number)
              for s in subs}
    reference = {o.case.number: o.run_dir for o in outcomes if o.sub is ref and o.report}
    if ref and ref.problem:
        print(f"kelvex-grade: --reference {args.reference}: {ref.problem}", file=sys.stderr)
    for s in subs:
        book.add(s, s.attempt, s.dir, sheet, cases, by_sub[s.name])
    book.save()
    table.write(out_dir, sheet, book, cases, sealed=limits is not None)
    for s in subs:
        feedback.write_student(out_dir, book.student(s.name), reference, programs)
    print_summary(out, subs, cases, by_sub, out_dir, time.monotonic() - started)
    return all(not s.problem and all(o.status == "passed" for o in by_sub[s.name]) for s in subs)


def station_problem(url):
    """Why the class station at url cannot be reported to, or None. Asked
    once before anything flies: a class flown past a station that is not
    there shows nothing on the screen the instructor watches."""
    parts = urllib.parse.urlsplit(url if "//" in url else "http://" + url)
    if parts.scheme != "http" or not parts.hostname:
        return "not an http:// address of a station"
    try:
        conn = http.client.HTTPConnection(parts.hostname, parts.port or 80,
                                          timeout=STATION_TIMEOUT)
        try:
            conn.request("GET", "/api/station")
            answer = conn.getresponse()
            body = answer.read()
        finally:
            conn.close()
    except (OSError, http.client.HTTPException) as e:
        return f"does not answer ({e})"
    if answer.status != 200:
        return f"answers {answer.status} {answer.reason}: not a kelvex ground station"
    try:
        info = json.loads(body)
        int(info["log_port"])
    except (ValueError, KeyError, TypeError):
        return "answers, but not as a kelvex ground station"
    return None


def print_summary(out, subs, cases, by_sub, out_dir, elapsed):
    for s in subs:
        rows = by_sub[s.name]
        who = s.name if s.student_name == s.name else f"{s.name} ({s.student_name})"
        if s.problem:
            print(f"FAIL {who}: {s.problem}", file=out)
            continue
        passed = sum(o.status == "passed" for o in rows)
        print(f"{'PASS' if passed == len(cases) else 'FAIL'} {who}: {passed} of "
              f"{len(cases)} cases", file=out)
        for o in rows:
            if o.status == "passed":
                continue
            why = o.reason
            if o.status == "failed":
                failed = [r for r in o.results if not r.passed]
                why = failed[0].line()
                if len(failed) > 1:
                    why += f" (and {len(failed) - 1} more)"
            print(f"  case {o.case.number} ({o.case.label()}): {why}", file=out)
            print(f"    rerun: {o.rerun}", file=out)
    print(f"kelvex-grade: class table {os.path.join(out_dir, 'index.html')}, gradebook "
          f"{os.path.join(out_dir, 'gradebook.csv')}, a feedback.html in each student's folder "
          f"({elapsed:.0f} s)", file=out)


def make_out_dir(given):
    if given:
        os.makedirs(given, exist_ok=True)
        return os.path.abspath(given)
    # Beside the runs' folders, which .gitignore lists: grading from a
    # checkout never writes into the source tree.
    root = os.path.abspath(os.path.join("kelvex-run", "grades"))
    path = os.path.join(root, time.strftime("%Y%m%d-%H%M%S") + f"-{os.getpid()}")
    os.makedirs(path)
    latest = os.path.join(root, "latest")
    tmp = f"{latest}.{os.getpid()}"
    os.symlink(os.path.basename(path), tmp)
    os.replace(tmp, latest)
    return path


def main(argv=None, programs=None):
    """programs: {name: path} of the kit's programs (kelvex-sim, kelvex-plot)
    the build or installation configured."""
    ap = argparse.ArgumentParser(prog="kelvex-grade", description=__doc__.split("\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog="\n".join(__doc__.split("\n")[2:]))
    ap.add_argument("--version", action="version", version="kelvex-grade " + __version__)
    ap.add_argument("--checks", required=True, help="the lab sheet (TOML)")
    ap.add_argument("--cases", type=int, default=1, help="cases per submission (default 1)")
    ap.add_argument("--vary", action="append", default=[], metavar="NAME=LOW:HIGH",
                    help="draw this simulator option per case (repeatable)")
    ap.add_argument("--seed", type=int, default=None,
                    help="seed of case 1, then one more per case (default: the sheet's, or 1)")
    ap.add_argument("--time-limit", type=float, default=None,
                    help=f"seconds per run (default: the sheet's, or {DEFAULT_TIME_LIMIT})")
    ap.add_argument("--out", default=None,
                    help="output folder (default ./kelvex-run/grades/<time>-<pid>, and latest)")
    ap.add_argument("--jobs", "-j", type=int, default=None,
                    help=f"runs at a time (default {RUNS_PER_CORE} per core)")
    ap.add_argument("--build-dir", default=os.environ.get("KELVEX_BUILD_DIR"),
                    help="a kelvex build tree to build C missions against instead of the "
                         "installed kit (default: $KELVEX_BUILD_DIR, else pkg-config)")
    ap.add_argument("--sim", default=None, help="the kelvex-sim to run (default: the kit's)")
    ap.add_argument("--reference", default=None, metavar="SUBMISSION",
                    help="the instructor's own mission, flown in every case for the feedback "
                         "pages to overlay on each student's runs (not graded)")
    ap.add_argument("--plots", choices=PLOTS, default="failed",
                    help="whose run plot and check plots to draw: cases that did not pass "
                         "(default), all, or none; a feedback page says the command that "
                         "draws one left out")
    ap.add_argument("--station", default=None, metavar="URL",
                    help="every run also reports to the class station at URL (checked first)")
    ap.add_argument("--build-time-limit", type=float, default=submissions.BUILD_SECONDS,
                    metavar="S", help="seconds a build may take, every process of it "
                                      f"(default {submissions.BUILD_SECONDS})")
    ap.add_argument("--no-sandbox", action="store_true",
                    help="build and fly every submission as this user, unsealed (only where "
                         "bubblewrap or user namespaces are missing; reports say 'not sealed')")
    defaults = sandbox.Limits().options()
    for name, (_, _, unit) in sandbox.Limits.NAMES.items():
        ap.add_argument(f"--{name}", type=float, default=None, metavar=unit.upper(),
                        help=f"each build's and mission's {name.replace('-limit', '')} limit "
                             f"(default: the sheet's, or {defaults[name]:g} {unit})")
    ap.add_argument("submissions", nargs="+", metavar="SUBMISSION",
                    help="a folder with a C mission or a Python script")
    try:
        args = ap.parse_args(argv)
    except SystemExit as e:
        return cli.EXIT_BAD_INPUT if e.code else 0
    if args.cases < 1 or (args.jobs is not None and args.jobs < 1):
        print("kelvex-grade: --cases and --jobs must be 1 or more", file=sys.stderr)
        return cli.EXIT_BAD_INPUT
    return grade(args, programs=Programs(programs))
