# Shared by the Python suites: the test doubles in tests/fakes and the kits
# of the components' folders (groundkit, labkit, module_support, and
# projects: the desk's pyproject.toml entry points), which suites of other
# components use too.
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
for kit in ("python", "lab", "ground", "cmake", "fakes"):
    sys.path.insert(0, os.path.join(HERE, kit))
# The simulator's tables the build writes (kelvex_sim_tables), for the suites
# and the tools they start, also when started by hand: the build tree is
# KELVEX_BUILD_DIR, else build/.
TABLES = os.path.join(os.environ.get("KELVEX_BUILD_DIR", os.path.join(HERE, os.pardir, "build")), "lab")
sys.path.append(TABLES)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), TABLES]))

import pytest  # noqa: E402


@pytest.fixture
def fake_control(tmp_path):
    """A stand-in for a run's control.sock (tests/fakes/fake_control.py)."""
    from fake_control import FakeControl
    with FakeControl(str(tmp_path / "control.sock")) as control:
        yield control
