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


def redraw(run_dir, out_dir, report_path=None, title=None, programs=None):
    """Writes out_dir/telemetry.png with the kelvex-plot programs find;
    returns (path, None) or (None, reason)."""
    program = (programs or Programs()).find("kelvex-plot")
    if not program:
        return None, "kelvex-plot not found"
    csv_path = os.path.join(run_dir, "telemetry.csv")
    if not os.path.exists(csv_path):
        return None, "no telemetry.csv"
    out = os.path.join(out_dir, "telemetry.png")
    argv = ["-o", out, "--title", title or os.path.basename(os.path.abspath(run_dir)), csv_path]
    if report_path:
        argv[0:0] = ["--report", report_path]
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            _plot_module(program).main(argv)
    except SystemExit as e:
        return None, str(e)
    except Exception as e:  # a plot must never cost the verdicts
        return None, f"{type(e).__name__}: {e}"
    return out, None
