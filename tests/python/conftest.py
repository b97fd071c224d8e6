# Shared by the Python suites: the test doubles in tests/fakes.
import os
import sys

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
sys.path.insert(0, os.path.join(SOURCE, "tests", "fakes"))
# The simulator's tables the build writes (kelvex_sim_tables), for the suites
# and the tools they start, also when started by hand: the build tree is
# KELVEX_BUILD_DIR, else build/.
TABLES = os.path.join(os.environ.get("KELVEX_BUILD_DIR", os.path.join(SOURCE, "build")), "lab")
sys.path.append(TABLES)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), TABLES]))

import pytest  # noqa: E402


@pytest.fixture
def fake_control(tmp_path):
    """A stand-in for a run's control.sock (tests/fakes/fake_control.py)."""
    from fake_control import FakeControl
    with FakeControl(str(tmp_path / "control.sock")) as control:
        yield control
