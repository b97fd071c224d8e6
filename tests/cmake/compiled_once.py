#!/usr/bin/python3
"""Checks that the build compiles every source of the products exactly once.

    compiled_once.py SOURCE_DIR COMPILE_COMMANDS [DIR...]

Every C and C++ file under each DIR of the source tree (default: src) must
be the file of exactly one entry of compile_commands.json: a second entry is
a second compilation (a product that compiles the sources itself instead of
linking the objects), a missing one a source no product carries.
"""
import collections
import json
import os
import sys

SUFFIXES = (".c", ".cpp")


def sources(top, folder):
    found = []
    for root, _, files in os.walk(os.path.join(top, folder)):
        found += [os.path.realpath(os.path.join(root, f)) for f in files if f.endswith(SUFFIXES)]
    return sorted(found)


def compiled(commands):
    with open(commands, encoding="utf-8") as f:
        entries = json.load(f)
    return collections.Counter(
        os.path.realpath(os.path.join(e["directory"], e["file"])) for e in entries)


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__)
    top, commands, folders = argv[1], argv[2], argv[3:] or ["src"]
    counts = compiled(commands)
    problems = []
    checked = 0
    for folder in folders:
        files = sources(top, folder)
        if not files:
            problems.append(f"no sources under {folder}/")
        for path in files:
            checked += 1
            n = counts[path]
            if n != 1:
                rel = os.path.relpath(path, top)
                problems.append(f"{rel} is compiled {n} times")
    for p in problems:
        print(p)
    print(f"{checked} sources checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
