"""kelvex-lab: the lab sheet's tools that kelvex-sim calls.

  kelvex-lab fly --sim PATH [...] -- OPTIONS -- PROGRAM [ARGS]
                                          a whole run: what kelvex-sim run
                                          becomes (flight/)
  kelvex-lab options [--scenario] FILE    check the whole file, print [run] as
                                          kelvex-sim long options (a scenario
                                          with checks: --checks=FILE too)
  kelvex-lab check RUNDIR FILE            verdicts on a finished run
  kelvex-lab replay RUNDIR [--checks FILE] [--out DIR]
                                          the same without the mission: the
                                          run's own checks.toml by default,
                                          into RUNDIR/replay-N or DIR, never
                                          over what is there
  kelvex-lab scenario RUNDIR FILE         switch the file's events on a run
                                          (a run flown by fly does it itself)

Exit status: 0 every check holds, 3 a check failed, 2 a bad file or folder."""

import argparse
import os
import shutil
import sys

from . import checkfile, plot, scenario
from .simulator import Programs

EXIT_PASSED, EXIT_BAD_INPUT, EXIT_FAILED = 0, 2, 3
KEPT_CHECKS = "checks.toml"


def _errors(e):
    for line in e.errors:
        print(line, file=sys.stderr)
    return EXIT_BAD_INPUT


def _before_run(command):
    """A command on a sheet that must be sound before anything runs."""
    def checked(args):
        try:
            sheet = checkfile.load(args.file)
        except checkfile.CheckFileError as e:
            return _errors(e)
        return command(args, sheet)
    return checked


@_before_run
def cmd_options(args, sheet):
    for option in sheet.sim_arguments():
        print(option)
    if args.scenario and sheet.checks:
        print(f"--checks={args.file}")
    elif sheet.events and not args.scenario:
        print(f"kelvex-lab: {args.file} has [[event]] entries; they are switched with "
              f"--scenario {args.file}, not --checks", file=sys.stderr)
    return EXIT_PASSED


@_before_run
def cmd_scenario(args, sheet):
    scenario.run(args.rundir, sheet.events)
    return EXIT_PASSED


def judge(run_dir, checks_path, out_dir=None, draw=True, keep_sheet=True, out=sys.stdout,
          sheet=None, programs=None):
    """Evaluates checks_path on run_dir and writes the reports (and plot) into
    out_dir (default: the run folder). Returns the exit status. sheet: the
    file already read (a run read it before it flew), so it is not read
    again. programs: the kit's programs (kelvex-plot draws)."""
    # Here: a run flown without a sheet (a graded case, judged by the
    # grader) loads none of the judge's modules.
    from . import evaluate, report, runfolder
    programs = programs or Programs()
    out_dir = out_dir or run_dir
    try:
        run = runfolder.Run(run_dir)
        header = run.telemetry.header
        if sheet is None:
            sheet = checkfile.load(checks_path, columns=header or None)
        results = evaluate.evaluate(sheet, run)
    except checkfile.CheckFileError as e:
        return _errors(e)
    except runfolder.RunFolderError as e:
        print(f"kelvex-lab: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    for r in results:
        print(r.line(), file=out)
    os.makedirs(out_dir, exist_ok=True)
    report_path = report.write(out_dir, sheet, run, results)
    if keep_sheet:
        kept = os.path.join(run_dir, KEPT_CHECKS)
        if sheet.raw:
            with open(kept, "wb") as f:
                f.write(sheet.raw)
        elif not (os.path.exists(kept) and os.path.samefile(kept, checks_path)):
            shutil.copyfile(checks_path, kept)
    if draw:
        _, reason = plot.redraw(run_dir, out_dir, report_path, programs=programs)
        if reason:
            print(f"kelvex-lab: no plot: {reason}", file=sys.stderr)
    return EXIT_PASSED if all(r.passed for r in results) else EXIT_FAILED


def cmd_check(args):
    return judge(args.rundir, args.file, draw=not args.no_plot, programs=args.programs)


def replay_folder(run_dir, given):
    """Where a replay writes: --out, which must not hold a report yet, or the
    next free RUNDIR/replay-N. A replay never overwrites what the run was
    judged by when it flew (or by an earlier replay)."""
    from . import report
    if given:
        for name in (report.REPORT_JSON, report.REPORT_XML, "telemetry.png"):
            if os.path.exists(os.path.join(given, name)):
                raise FileExistsError(f"{given} already holds {name}; a replay writes only "
                                      f"into a folder without one")
        os.makedirs(given, exist_ok=True)
        return given
    n = 1
    while True:
        path = os.path.join(run_dir, f"replay-{n}")
        try:
            os.mkdir(path)
            return path
        except FileExistsError:
            n += 1


def cmd_replay(args):
    checks = args.checks
    if checks is None:
        kept = os.path.join(args.rundir, KEPT_CHECKS)
        checks = kept if os.path.exists(kept) else None
    if not os.path.exists(os.path.join(args.rundir, "run.json")):
        print(f"kelvex-lab: {args.rundir}: no run.json, so not a run folder", file=sys.stderr)
        return EXIT_BAD_INPUT
    if checks is not None:
        try:
            checkfile.load(checks)
        except checkfile.CheckFileError as e:
            return _errors(e)
    try:
        out = replay_folder(args.rundir, args.out)
    except OSError as e:
        print(f"kelvex-lab: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    print(f"kelvex-lab: replay into {out}")
    if checks is None:
        print(f"kelvex-lab: {args.rundir} has no {KEPT_CHECKS}; redrawing the plot only")
        if not args.no_plot:
            _, reason = plot.redraw(args.rundir, out, programs=args.programs)
            if reason:
                print(f"kelvex-lab: no plot: {reason}", file=sys.stderr)
        return EXIT_PASSED
    # A replay leaves the run's own sheet alone: it may be judged by another.
    return judge(args.rundir, checks, out_dir=out, draw=not args.no_plot, keep_sheet=False,
                 programs=args.programs)


def main(argv=None, programs=None):
    """programs: {name: path} of the kit's programs (kelvex-sim, kelvex-plot)
    the build or installation configured."""
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["fly"]:
        # kelvex-sim run: the orchestrated run (kelvex_lab.flight), started by
        # kelvex-sim with the kit's paths; no sheet's command.
        from . import flight
        return flight.main(argv[1:], programs=programs)
    ap = argparse.ArgumentParser(prog="kelvex-lab", description=__doc__.split("\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog="\n".join(__doc__.split("\n")[2:]))
    sub = ap.add_subparsers(dest="command", required=True)
    p = sub.add_parser("options", help="check a lab sheet, print its [run] options")
    p.add_argument("file")
    p.add_argument("--scenario", action="store_true",
                   help="for kelvex-sim run --scenario: --checks=FILE too when it has checks")
    p.set_defaults(func=cmd_options)
    p = sub.add_parser("check", help="evaluate a lab sheet on a finished run")
    p.add_argument("rundir")
    p.add_argument("file")
    p.add_argument("--no-plot", action="store_true", help="leave telemetry.png alone")
    p.set_defaults(func=cmd_check)
    p = sub.add_parser("replay", help="evaluate again and redraw, without running anything")
    p.add_argument("rundir")
    p.add_argument("--checks", default=None, help=f"lab sheet (default: RUNDIR/{KEPT_CHECKS})")
    p.add_argument("--out", default=None,
                   help="a folder without reports for the reports and plot "
                        "(default: the next RUNDIR/replay-N)")
    p.add_argument("--no-plot", action="store_true", help="leave telemetry.png alone")
    p.set_defaults(func=cmd_replay)
    p = sub.add_parser("scenario", help="switch a scenario's events on a running simulator")
    p.add_argument("rundir")
    p.add_argument("file")
    p.set_defaults(func=cmd_scenario)
    try:
        args = ap.parse_args(argv)
    except SystemExit as e:
        return EXIT_BAD_INPUT if e.code else 0
    args.programs = Programs(programs)
    return args.func(args)
