"""Redraws a run's telemetry plot with its checks, through kelvex-plot loaded
into this process (one interpreter, one matplotlib start)."""

import contextlib
import importlib.machinery
import types
import io
import os

from .simulator import Programs

_loaded = {}


def _plot_module(path):
    if path not in _loaded:
        # kelvex-plot is a script without a .py name: load it as a module.
        loader = importlib.machinery.SourceFileLoader("kelvex_plot", path)
        module = types.ModuleType("kelvex_plot")
        module.__file__ = path
        loader.exec_module(module)
        _loaded[path] = module
    return _loaded[path]


def _call(argv, programs=None):
    program = (programs or Programs()).find("kelvex-plot")
    if not program:
        return "kelvex-plot not found"
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            _plot_module(program).main(argv)
    except SystemExit as e:
        return str(e)
    except Exception as e:  # a plot must never cost the verdicts
        return f"{type(e).__name__}: {e}"
    return None


def compare(run_dirs, labels, out, programs=None):
    """Writes out, the runs' telemetry overlaid on t, with the kelvex-plot
    programs find; (path, None) or (None, reason)."""
    argv = ["-o", out, "--title", " vs ".join(labels)]
    for label in labels:
        argv += ["--label", label]
    reason = _call(argv + [os.path.join(d, "telemetry.csv") for d in run_dirs], programs)
    return (None, reason) if reason else (out, None)


def redraw(run_dir, out_dir, report_path=None, title=None, programs=None):
    """Writes out_dir/telemetry.png with the kelvex-plot programs find;
    returns (path, None) or (None, reason)."""
    csv_path = os.path.join(run_dir, "telemetry.csv")
    if not os.path.exists(csv_path):
        return None, "no telemetry.csv"
    out = os.path.join(out_dir, "telemetry.png")
    argv = ["-o", out, "--title", title or os.path.basename(os.path.abspath(run_dir)), csv_path]
    if report_path:
        argv[0:0] = ["--report", report_path]
    reason = _call(argv, programs)
    return (None, reason) if reason else (out, None)
