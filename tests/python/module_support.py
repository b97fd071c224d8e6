"""Helpers of the _kelvex module tests."""

import os
import subprocess
import sys
import textwrap

import pytest

import _kelvex


def run_script(code, timeout=30, python_defaults=False, stdout=subprocess.PIPE):
    """Runs code in a fresh interpreter, whose module state starts clean.
    The fakes are importable there too. python_defaults drops the PYTHON*
    settings of this environment but the path (PYTHONUNBUFFERED would hide
    how the streams buffer for a user)."""
    env = {n: v for n, v in os.environ.items()
           if not (python_defaults and n.startswith("PYTHON") and n != "PYTHONPATH")}
    fakes = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "fakes")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (fakes, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
                          timeout=timeout)


def needs(*names):
    """Skips a test whose functions the headers do not declare yet."""
    missing = [n for n in names if not hasattr(_kelvex, n)]
    return pytest.mark.skipif(bool(missing), reason="not in the module yet: " + ", ".join(missing))
