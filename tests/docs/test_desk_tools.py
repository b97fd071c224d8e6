"""The desk tools name the kit's version, which their manual pages carry."""

import os
import pathlib
import re
import subprocess

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("KELVEX_BUILD_DIR", SOURCE / "build"))
TOOLS = ("sim/kelvex-sim", "sim/kelvex-plot", "ground/kelvex-ground", "lab/kelvex-grade")


def project_version():
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(kelvex VERSION ([0-9.]+)", text).group(1)


@pytest.mark.parametrize("tool", TOOLS)
def test_version_is_the_kits(tool):
    program = BUILD / tool
    if not program.exists():
        pytest.skip("built without the desk tools")
    out = subprocess.run([str(program), "--version"], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, timeout=60)
    assert out.returncode == 0, out.stdout
    assert out.stdout.strip() == "%s %s" % (program.name, project_version())

