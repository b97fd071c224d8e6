#!/usr/bin/python3
"""Writes _kelvex.pyi: the hand-written template (_kelvex.pyi.in) with the
device functions filled in from the rows of src/devices/operation_list.h,
which the build's preprocessor expands through operation_rows.h.

Usage: stub_generator.py PREPROCESSED-ROWS TEMPLATE OUTPUT

In the template, @DEVICE_NAMES@ stands in __all__ for the names and
@DEVICE_FUNCTIONS@ for the definitions of the rows a script is offered as
they are (python: expose); the overloaded rows are written by hand."""

import json
import os
import re
import sys

# What an output hands to Python, by its kelvex_out_ type (see
# operation_list.h): a number, or bytes.
OUTPUTS = {"kelvex_out_short": "int", "kelvex_out_ushort": "int", "kelvex_out_byte": "int",
           "kelvex_out_degrees": "int", "kelvex_out_buffer": "Any", "kelvex_out_text": "Any"}
# What an input takes, by its C type (see kelvex_python.i).
INPUTS = {"uint16_t": "int", "int16_t": "int", "uint8_t": "_Char", "char*": "_Bytes",
          "const uint8_t*": "_Bytes"}


def rows(preprocessed):
    """The rows, in their order, from the preprocessor's output."""
    return [json.loads(r) for r in re.findall(r"\bROW (\{.*?\})(?= ROW |\s*$)", preprocessed, re.S)]


def parameters(text):
    """(name, C type) of each parameter of a prototype's text."""
    out = []
    for p in text.split(","):
        p = " ".join(p.split())
        if p in ("", "void"):
            continue
        m = re.fullmatch(r"(.*?)\s*(\**)\s*(\w+)", p)
        ctype = (m[1].removeprefix("const ") if not m[2] else m[1]) + m[2]
        out.append((m[3], ctype))
    return out


def definition(row):
    inputs, outputs, after_bytes = [], [], False
    for name, ctype in parameters(row["params"]):
        if ctype.rstrip("*") in OUTPUTS:
            outputs.append(OUTPUTS[ctype.rstrip("*")])
        elif after_bytes and name == "len":
            pass  # the length of the bytes before it: Python's own
        elif ctype in INPUTS:
            inputs.append(f"{name}: {INPUTS[ctype]}")
        else:
            raise SystemExit(f"stub_generator.py: {row['name']}: no Python type for {ctype} {name}")
        after_bytes = INPUTS.get(ctype) == "_Bytes"
    result = "int" if not outputs else "list[Any]" if "Any" in outputs else "list[int]"
    params = ", ".join(inputs + ["/"]) if inputs else ""
    return f"def {row['name']}({params}) -> {result}: ..."


def render(template, device_rows):
    exposed = [r for r in device_rows if r["python"] == "expose"]
    names = "".join(f'    "{r["name"]}",\n' for r in exposed)
    functions = "".join(definition(r) + "\n" for r in exposed)
    for marker in ("@DEVICE_NAMES@", "@DEVICE_FUNCTIONS@"):
        if template.count(marker) != 1:
            raise SystemExit(f"stub_generator.py: the template needs {marker} once on a line of its own")
    return (template.replace("    @DEVICE_NAMES@\n", names)
            .replace("@DEVICE_FUNCTIONS@\n", functions))


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__.split("\n\n")[1])
    with open(argv[1], encoding="utf-8") as f:
        device_rows = rows(f.read())
    with open(argv[2], encoding="utf-8") as f:
        text = render(f.read(), device_rows)
    with open(argv[3] + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(argv[3] + ".tmp", argv[3])


if __name__ == "__main__":
    main(sys.argv)
