"""Loaded by every /usr/bin/python3 that bench/flight_bench.py starts (its
folder is first on PYTHONPATH); in `kelvex-lab fly` (a run) and in
`kelvex-grade` it times the pieces of the case and, at exit, appends one JSON
line to $KELVEX_BENCH_PROBE: per piece its wall seconds and this process's
processor seconds, and the processor seconds of the children reaped inside
it (the simulator, the mission, a build). Anywhere else it does nothing."""

import atexit
import functools
import importlib
import json
import os
import resource
import sys
import threading
import time


def _role():
    prog = os.path.basename(sys.argv[0]) if sys.argv else ""
    if prog == "kelvex-lab" and sys.argv[1:2] == ["fly"]:
        return "fly"
    if prog == "kelvex-grade":
        return "grade"
    return None


# Where each role's pieces are: (module, attribute path, piece).
PIECES = {
    "fly": [
        ("kelvex_lab.flight.line", "Simulator.go", "start simulator"),
        ("kelvex_lab.flight", "Flight.claim_address", "start station"),
        ("kelvex_lab.flight", "Flight.watch", "flight"),
        ("kelvex_lab.flight.line", "Simulator.end", "stop simulator"),
        ("kelvex_lab.flight.mission", "Mission.stop", "stop mission"),
        ("kelvex_lab.flight", "Flight.stop_station", "stop station"),
        ("kelvex_lab.flight", "Flight.after", "judge and plot"),
        ("kelvex_lab.evaluate", "evaluate", "judge"),
        ("kelvex_lab.plot", "_call", "plot"),
    ],
    "grade": [
        ("kelvex_lab.submissions", "build", "build"),
        ("kelvex_lab.grade", "run_case", "case run"),
        ("kelvex_lab.evaluate", "evaluate", "judge"),
        ("kelvex_lab.plot", "_call", "plot"),
        ("kelvex_lab.feedback", "draw_checks", "check plots"),
        ("kelvex_lab.table", "write", "class table"),
        ("kelvex_lab.feedback", "write_student", "feedback pages"),
    ],
}


def _children():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def _install(role, out):
    record = {"role": role, "pid": os.getpid(), "pieces": {}, "marks": {}}
    lock = threading.Lock()
    zero = time.monotonic()
    record["marks"]["probe loaded"] = 0.0

    def wrap(fn, piece):
        @functools.wraps(fn)
        def timed(*a, **k):
            w, c, ch = time.monotonic(), time.process_time(), _children()
            try:
                return fn(*a, **k)
            finally:
                now = time.monotonic()
                with lock:
                    p = record["pieces"].setdefault(piece, {"calls": 0, "wall": 0.0, "cpu": 0.0,
                                                            "children_cpu": 0.0})
                    p["calls"] += 1
                    p["wall"] += now - w
                    p["cpu"] += time.process_time() - c
                    p["children_cpu"] += _children() - ch
                    record["marks"].setdefault(piece + " ends", now - zero)
        return timed

    for module, path, piece in PIECES[role]:
        try:
            m = importlib.import_module(module)
        except ImportError:
            continue
        owner, name = m, path
        if "." in path:
            cls, name = path.split(".")
            owner = getattr(m, cls, None)
        if owner is not None and hasattr(owner, name):
            setattr(owner, name, wrap(getattr(owner, name), piece))
    record["marks"]["imports done"] = time.monotonic() - zero

    @atexit.register
    def _write():
        record["wall"] = time.monotonic() - zero
        record["cpu"] = time.process_time()
        record["children_cpu"] = _children()
        with open(out, "a") as f:
            f.write(json.dumps(record) + "\n")


def _start():
    out = os.environ.get("KELVEX_BENCH_PROBE")
    role = _role() if out else None
    if role is None:
        return
    # The package folders the launcher would put first, so that what it
    # imports is what was patched here.
    for d in os.environ.get("KELVEX_BENCH_PATHS", "").split(os.pathsep):
        if d and d not in sys.path:
            sys.path.append(d)
    _install(role, out)


_start()
