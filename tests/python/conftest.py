# Shared by the Python suites: the test doubles in tests/fakes.
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "fakes"))

import pytest  # noqa: E402


@pytest.fixture
def fake_control(tmp_path):
    """A stand-in for a run's control.sock (tests/fakes/fake_control.py)."""
    from fake_control import FakeControl
    with FakeControl(str(tmp_path / "control.sock")) as control:
        yield control
