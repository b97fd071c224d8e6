"""The shell blocks the READMEs mark as runnable run as written.

A block opened with ```` ```sh run ```` is a promise to the reader: pasted into
a shell at the repository's top, after a build into build/, it works. Each one
runs here in a scratch folder that looks like the repository's top to it
(build/ is this build tree, the source folders are links), so nothing it
writes lands in the source tree, and it must end with status 0 within its
time. Blocks that install packages or need the board stay plain ```` ```sh ````.
"""

import os
import pathlib
import re
import subprocess
import time

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("KELVEX_BUILD_DIR", SOURCE / "build"))
DOCUMENTS = ("README.md", "sim/README.md")
# The folders a block may name relative to the top; everything else it
# creates stays in the scratch folder.
LINKED = ("examples", "include", "scripts", "sim", "ground", "lab", "tests", "docs")
FENCE = re.compile(r"^```sh run[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)
TIMEOUT = 180


def runnable_blocks():
    for doc in DOCUMENTS:
        text = (SOURCE / doc).read_text(encoding="utf-8")
        for m in FENCE.finditer(text):
            line = text.count("\n", 0, m.start()) + 1
            yield pytest.param(m.group(1), id="%s:%d" % (doc, line))


def scratch_top(tmp_path):
    top = tmp_path / "top"
    top.mkdir()
    (top / "build").symlink_to(BUILD)
    for name in LINKED:
        if (SOURCE / name).exists():
            (top / name).symlink_to(SOURCE / name)
    return top


def test_every_document_has_runnable_blocks():
    found = {doc: len(FENCE.findall((SOURCE / doc).read_text(encoding="utf-8")))
             for doc in DOCUMENTS}
    assert all(found.values()), found


def living_in_session(sid, grace=3.0):
    """The processes of session sid that still run after a short grace. A
    sealed room's own init is reparented to this machine's when the room
    ends, and is a zombie until that init reaps it: gone, not left behind."""
    deadline = time.monotonic() + grace
    while True:
        ps = subprocess.run(["ps", "-o", "pid=,stat=", "-s", str(sid)], stdout=subprocess.PIPE,
                            text=True).stdout.split("\n")
        left = [line.split()[0] for line in ps if line.strip() and not line.split()[1].startswith("Z")]
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.1)


@pytest.mark.parametrize("block", runnable_blocks())
def test_block_runs(block, tmp_path):
    if not (BUILD / "sim" / "kelvex-sim").exists():
        pytest.skip("the blocks need a build with the virtual satellite")
    top = scratch_top(tmp_path)
    env = dict(os.environ, HOME=str(tmp_path))
    proc = subprocess.Popen(["bash", "-euo", "pipefail", "-c", block], cwd=top, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=TIMEOUT)
    finally:
        # A block that leaves a process behind would hold ports for the next
        # one: whatever is left of its session is a failure, and is ended.
        left = living_in_session(proc.pid)
        for pid in left:
            subprocess.run(["kill", "-KILL", pid])
        proc.kill()
    assert proc.returncode == 0, "block ended with %d:\n%s\n--- output ---\n%s" % (
        proc.returncode, block, out.decode(errors="replace")[-4000:])
    assert not left, "processes left running by the block: %s" % left
