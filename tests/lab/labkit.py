"""Shared helpers of the lab tools' tests: the kelvex_lab package from the
sources, lab sheets and synthetic run folders in temp dirs, and the tools'
commands in the build tree (or the sources outside ctest)."""

import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
LAB = os.path.join(SOURCE, "lab")
sys.path.insert(0, LAB)
# As kelvex-lab's launcher does: a run's scheduler uses the ground station's
# package.
sys.path.insert(1, os.path.join(SOURCE, "ground"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "fakes"))

import run_folder  # noqa: E402,F401  (re-exported for the tests)
from kelvex_lab import checkfile, evaluate, runfolder  # noqa: E402
from projects import from_sources  # noqa: E402

FAKE_SIM = os.path.join(SOURCE, "tests", "fakes", "fake_kelvex_sim.py")
PLOT = os.path.join(SOURCE, "sim", "kelvex-plot")


def sheet(tmp_path, text, name="lab.toml"):
    path = tmp_path / name
    path.write_text(textwrap.dedent(text))
    return str(path)


def verdicts(tmp_path, text, **run):
    """{name: Result} of a sheet on a synthetic run folder."""
    folder = run_folder.write_run(str(tmp_path / "run"), **run)
    run_ = runfolder.Run(folder)
    loaded = checkfile.load(sheet(tmp_path, text), columns=run_.telemetry.header or None)
    return {r.check.name: r for r in evaluate.evaluate(loaded, run_)}


def load_errors(tmp_path, text, columns=None):
    try:
        checkfile.load(sheet(tmp_path, text), columns=columns)
    except checkfile.CheckFileError as e:
        return e.errors
    raise AssertionError("the sheet was accepted")


def tool(name):
    """Command of kelvex-lab or kelvex-grade."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    if build:
        path = os.path.join(build, "lab", name)
        if os.access(path, os.X_OK):
            return [path]
    return from_sources("lab", name)


def run_tool(name, *args, cwd=None, timeout=120):
    env = dict(os.environ, KELVEX_PLOT=PLOT)
    return subprocess.run(tool(name) + [str(a) for a in args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)
