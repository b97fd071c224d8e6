#!/usr/bin/python3
"""Checks the dynamic symbol tables of libkelvex.so and libkelvex-dev.so.

    exported_symbols.py INCLUDE_DIR LIBDIR [OTHER_LIBDIR]
    exported_symbols.py --module MODULE

With one library directory: every name the two libraries define and export is
documented (declared KELVEX_API, or with default visibility, in the public
headers, or the program entry main), every documented name is defined by
exactly one of them, and the runner's names (runner.h) come from
libkelvex-dev, the rest from libkelvex.
With a second directory (the same libraries built for another architecture)
both builds must export the same names with the same kind and binding, and
objects whose type holds no pointer or size_t must have the same size.

With --module: the Python module exports its entry point and nothing else
(the library code linked into it keeps to itself).

Uses readelf, which reads the ELF files of any architecture.
"""
import os
import re
import subprocess
import sys

LIBRARIES = ("libkelvex.so", "libkelvex-dev.so")
RUNNER_HEADER = "runner.h"
# Exported by libkelvex-dev without a declaration: the mission links against
# the library for its program entry.
UNDECLARED = {"main": "libkelvex-dev.so"}
# A declaration the libraries export: marked KELVEX_API, or (for the
# mission's hook) given default visibility directly.
EXPORTED_DECLARATION = re.compile(
    r'(?:\bKELVEX_API\b|__attribute__\s*\(\(\s*visibility\s*\(\s*"default"\s*\)\s*\)\))([^;]*);')
# Types whose size depends on the architecture's pointer width.
WIDTH_DEPENDENT = re.compile(r"\*|\bsize_t\b|\blong\b|\bGlobal\b")


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def declared_names(include_dir):
    """Maps every KELVEX_API name to (header file, declaration text)."""
    names = {}
    for header in sorted(os.listdir(include_dir)):
        if not header.endswith(".h"):
            continue
        with open(os.path.join(include_dir, header), encoding="utf-8") as f:
            text = strip_comments(f.read())
        text = re.sub(r"^\s*#.*$", " ", text, flags=re.M)
        for decl in re.findall(EXPORTED_DECLARATION, text):
            head = decl.split("(", 1)[0] if "(" in decl else decl.split("[", 1)[0]
            found = re.findall(r"[A-Za-z_]\w*", head)
            if not found:
                raise SystemExit(f"{header}: cannot read the name in '{decl};'")
            names[found[-1]] = (header, " ".join(decl.split()))
    return names


def dynamic_symbols(path):
    """Maps each defined, exported name to (type, binding, size)."""
    out = subprocess.run(["readelf", "--dyn-syms", "-W", path], check=True,
                         capture_output=True, text=True).stdout
    symbols = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 8 or not fields[0].rstrip(":").isdigit():
            continue
        _, _, size, kind, bind, vis, ndx, name = fields[:8]
        if ndx == "UND" or bind == "LOCAL" or vis not in ("DEFAULT", "PROTECTED"):
            continue
        # AddressSanitizer adds an ODR indicator beside every exported global.
        if name.startswith("__odr_asan."):
            continue
        symbols[name.split("@", 1)[0]] = (kind, bind, int(size, 0))
    return symbols


def library_tables(libdir):
    tables = {}
    for lib in LIBRARIES:
        path = os.path.join(libdir, lib)
        if not os.path.exists(path):
            raise SystemExit(f"missing {path}")
        tables[lib] = dynamic_symbols(path)
    return tables


def check_documented(tables, declared, label):
    problems = []
    documented = dict(UNDECLARED)
    for name, (header, _) in declared.items():
        documented[name] = "libkelvex-dev.so" if header == RUNNER_HEADER else "libkelvex.so"
    for lib, symbols in tables.items():
        for name in sorted(symbols):
            if name not in documented:
                problems.append(f"{label}: {lib} exports the undocumented name {name}")
    for name, lib in sorted(documented.items()):
        owners = [l for l, symbols in tables.items() if name in symbols]
        if owners != [lib]:
            where = " and ".join(owners) if owners else "neither library"
            problems.append(f"{label}: {name} should be defined by {lib} alone, found in {where}")
    return problems


def compare(tables, other_tables, declared, label, other_label):
    problems = []
    for lib in LIBRARIES:
        mine, theirs = tables[lib], other_tables[lib]
        for name in sorted(set(mine) - set(theirs)):
            problems.append(f"{lib}: {name} is exported by {label} only")
        for name in sorted(set(theirs) - set(mine)):
            problems.append(f"{lib}: {name} is exported by {other_label} only")
        for name in sorted(set(mine) & set(theirs)):
            (kind, bind, size), (okind, obind, osize) = mine[name], theirs[name]
            if (kind, bind) != (okind, obind):
                problems.append(f"{lib}: {name} is {kind} {bind} in {label}, "
                                f"{okind} {obind} in {other_label}")
            decl = declared.get(name, ("", ""))[1]
            if kind == "OBJECT" and size != osize and not WIDTH_DEPENDENT.search(decl):
                problems.append(f"{lib}: {name} has {size} bytes in {label}, "
                                f"{osize} in {other_label}")
    return problems


def check_module(path):
    names = sorted(dynamic_symbols(path))
    entry = "PyInit_" + os.path.basename(path).split(".", 1)[0]
    for name in names:
        if name != entry:
            print(f"{path} exports {name}")
    if entry not in names:
        print(f"{path} does not export {entry}")
    print(f"{len(names)} exported names checked")
    return 0 if names == [entry] else 1


def main(argv):
    if len(argv) == 3 and argv[1] == "--module":
        return check_module(argv[2])
    if len(argv) not in (3, 4):
        raise SystemExit(__doc__)
    declared = declared_names(argv[1])
    tables = library_tables(argv[2])
    problems = check_documented(tables, declared, argv[2])
    if len(argv) == 4:
        other = library_tables(argv[3])
        problems += check_documented(other, declared, argv[3])
        problems += compare(tables, other, declared, argv[2], argv[3])
    for p in problems:
        print(p)
    count = sum(len(s) for s in tables.values())
    print(f"{count} exported names checked, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
