#!/usr/bin/python3
"""Stands in for `kelvex-sim run --run-dir DIR ... -- MISSION` where the lab
tools are tested: it runs the mission for real (a C program gets a pty it
never answers and a GPIO tree, a script its KELVEX_TTY), then writes a
synthetic run folder of 20 simulated seconds from what the mission printed:

    sim: offset X     the angle to the lamp settles at X degrees (default 0)
    sim: spin X       the yaw rate starts at X deg/s (default 20)
    sim: photo        one photo arrives at the ground
    buzz: TEXT        a ground log line, arriving 0.5 s after the one before

With --checks FILE it takes the sheet's [run] options and judges the run
with kelvex-lab's own code, as kelvex-sim run --checks does.

The angle starts at the lamp's azimuth less the initial yaw and decays with a
time constant of 2 s, so every --lamp-azimuth and --yaw shows in the rows."""

import math
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_folder  # noqa: E402

USAGE = """Usage: kelvex-sim run [options] -- PROGRAM [ARGS...]
  --run-dir DIR            the run's folder
  --time-limit S           the mission is stopped after S seconds
  --seed N, --lamp-azimuth DEG, --yaw DEG, ... as kelvex-sim
"""
DURATION = 20.0


def parse(argv):
    options = {}
    i = 0
    while i < len(argv) and argv[i] != "--":
        a = argv[i]
        if not a.startswith("--"):
            raise SystemExit(f"kelvex-sim: unexpected {a}")
        name, eq, value = a[2:].partition("=")
        if not eq:
            if i + 1 < len(argv) and not argv[i + 1].startswith("--"):
                value = argv[i + 1]
                i += 1
            else:
                value = True
        options[name] = value
        i += 1
    return options, argv[i + 1:]


def main(argv):
    if len(argv) < 2 or argv[1] != "run":
        raise SystemExit("kelvex-sim (fake): only run")
    head = argv[2:argv.index("--")] if "--" in argv else argv[2:]
    if "--help" in head:
        print(USAGE)
        return 0
    options, mission = parse(argv[2:])
    checks = options.pop("checks", None) or options.get("scenario")
    options.pop("no-plot", None)
    if checks:
        # As the real one: the sheet's [run] options, under the command line's.
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                        os.pardir, "lab"))
        from kelvex_lab import checkfile
        sheet_options, _ = parse(checkfile.load(checks).sim_arguments())
        options = {**sheet_options, **options}
    run_dir = options.pop("run-dir", os.path.join("kelvex-run", str(os.getpid())))
    limit = float(options.get("time-limit", 60))
    os.makedirs(run_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        gpio = os.path.join(tmp, "gpio")
        os.makedirs(os.path.join(gpio, "gpio17"))
        for name in ("export", "unexport", "gpio17/direction", "gpio17/value"):
            open(os.path.join(gpio, name), "w").close()
        master, slave = os.openpty()
        tty = os.ttyname(slave)
        script = os.path.basename(mission[0]).startswith("python") or mission[0].endswith(".py")
        cmd = mission if script else mission + [tty]
        env = dict(os.environ, KELVEX_TTY=tty, KELVEX_GPIO_ROOT=gpio, KELVEX_RUN_DIR=run_dir)
        time_limited = False
        with open(os.path.join(run_dir, "mission.log"), "wb") as log:
            proc = subprocess.Popen(cmd, cwd=run_dir, env=env, stdout=log,
                                    stderr=subprocess.STDOUT)
            try:
                status = proc.wait(limit)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                status, time_limited = 137, True
        os.close(master)
        os.close(slave)
    if status < 0:
        status = 128 - status
    with open(os.path.join(run_dir, "mission.log"), errors="replace") as f:
        out = f.read().splitlines()
    offset, spin, photos, log = 0.0, 20.0, 0, []
    for line in out:
        if line.startswith("sim: offset "):
            offset = float(line.split()[2])
        elif line.startswith("sim: spin "):
            spin = float(line.split()[2])
        elif line == "sim: photo":
            photos += 1
        elif line.startswith("buzz: "):
            log.append((0.5 * (len(log) + 1), line[6:]))
    start = float(options.get("lamp-azimuth", 120)) - float(options.get("yaw", 0))
    start = (start + 180) % 360 - 180
    run_folder.write_run(
        run_dir, duration=min(DURATION, limit), log=log, photos=photos, exit_status=status,
        time_limited=time_limited, options=options,
        values={"lamp_angle_deg": lambda t: offset + (start - offset) * math.exp(-t / 2),
                "rate_dps": lambda t: spin * math.exp(-t / 2),
                "lamp_azimuth_deg": lambda t: float(options.get("lamp-azimuth", 120))})
    if checks:
        from kelvex_lab import cli
        # The verdicts decide, as with the real one (events are not switched).
        return cli.judge(run_dir, checks, draw=False)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
