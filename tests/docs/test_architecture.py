"""docs/architecture.md is the map of the tree: every path it names is there,
and every top folder of the repository and every part of the simulator is on
it. A folder moved or added without the map fails here."""

import os
import pathlib
import re
import subprocess

SOURCE = pathlib.Path(__file__).resolve().parents[2]
DOC = SOURCE / "docs" / "architecture.md"
# A path written from the top of the tree: lower-case first letter, at least
# one slash, not the tail of a longer path or a URL. Placeholders (RUN/...,
# DIR/...) start with a capital and are not paths of the tree.
PATH = re.compile(r"(?<![\w./<>:-])([a-z0-9_][\w.-]*/(?:[\w.*-]+/)*[\w.*-]*)")
# Folders the map names that a run or the build makes, never the sources.
MADE = ("kelvex-run/", "build/")


def named_paths():
    return set(PATH.findall(DOC.read_text(encoding="utf-8")))


def tracked_top_folders():
    try:
        out = subprocess.run(["git", "-C", str(SOURCE), "ls-files"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, timeout=60, check=True).stdout
        names = {line.split("/", 1)[0] for line in out.splitlines() if "/" in line}
    except (OSError, subprocess.SubprocessError):
        names = {entry.name for entry in SOURCE.iterdir()
                 if entry.is_dir() and not entry.name.startswith("build")}
    return sorted(name for name in names if not name.startswith("."))


def test_every_folder_named_exists():
    folders = [p for p in named_paths() if p.endswith("/") and not p.startswith(MADE)]
    assert folders, "the map names no folder"
    missing = sorted(p for p in folders if not (SOURCE / p).is_dir())
    assert not missing, "named in docs/architecture.md but not in the tree: %s" % missing


def test_every_file_named_in_the_tree_exists():
    tops = set(tracked_top_folders())
    files = [p for p in named_paths() if not p.endswith("/") and p.split("/", 1)[0] in tops]
    assert files, "the map names no file"
    missing = sorted(p for p in files if not list(SOURCE.glob(p)))
    assert not missing, "named in docs/architecture.md but not in the tree: %s" % missing


def test_every_top_folder_is_named():
    named = named_paths()
    tops = tracked_top_folders()
    assert "sim" in tops and "tests" in tops, tops
    unnamed = [name for name in tops if name + "/" not in named]
    assert not unnamed, "top folders docs/architecture.md does not name: %s" % unnamed


def test_every_part_of_the_simulator_is_named():
    named = named_paths()
    parts = sorted(entry.name for entry in (SOURCE / "sim").iterdir()
                   if entry.is_dir() and not entry.name.startswith((".", "__")))
    assert parts
    unnamed = [name for name in parts if "sim/%s/" % name not in named]
    assert not unnamed, "folders of sim/ docs/architecture.md does not name: %s" % unnamed


def test_the_check_sees_a_wrong_path():
    # The pattern must take the paths as the map writes them, and leave
    # placeholders and URLs alone, or the checks above could pass on nothing.
    text = ("`sim/line/` and `src/devices/unit.*`, RUN/ground/log.txt, "
            "http://127.0.0.1:8080/api/log, ../sim/README.md, `sims/`")
    assert set(PATH.findall(text)) == {"sim/line/", "src/devices/unit.*", "sims/"}
    assert not (SOURCE / "sims").exists()
    assert os.path.isdir(SOURCE / "sim" / "line")
