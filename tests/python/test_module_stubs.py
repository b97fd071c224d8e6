"""The type stubs of _kelvex (as the build writes it, its device functions
from the operation rows) and of the kelvex wrapper: they name exactly what
the built modules have, with the wrapper's parameter names, and mypy --strict
accepts the examples and a mission that calls every function while it
rejects wrong calls. And the stub generator's rules, on rows of its own."""

import ast
import glob
import inspect
import json
import os
import re
import shutil
import subprocess
import sys

import _kelvex
import kelvex
import pytest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
# The build's module directory: the module, its written stub and kelvex.pyi.
STUBS = os.path.dirname(os.path.abspath(_kelvex.__file__))
sys.path.insert(0, os.path.join(TOP, "python"))
import stub_generator  # noqa: E402


def parse(name):
    with open(os.path.join(STUBS, name), encoding="utf-8") as f:
        return ast.parse(f.read())


def public(names):
    return {n for n in names if not n.startswith("_")}


def stub_contents(tree):
    """Functions (name: parameter names of each definition), classes,
    annotated module variables, and __all__."""
    functions, classes, variables, exported = {}, set(), set(), []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            params = [a.arg for a in node.args.posonlyargs + node.args.args]
            functions.setdefault(node.name, []).append(params)
        elif isinstance(node, ast.ClassDef):
            classes.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            variables.add(node.target.id)
        elif isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "__all__" for t in node.targets):
            exported = ast.literal_eval(node.value)
    return functions, classes, variables, exported


MODULE_FUNCTIONS, MODULE_CLASSES, MODULE_VARIABLES, SHARED = stub_contents(parse("_kelvex.pyi"))
WRAPPER_FUNCTIONS, WRAPPER_CLASSES, WRAPPER_VARIABLES, _ = stub_contents(parse("kelvex.pyi"))


def test_module_stub_names_exactly_the_modules_functions():
    assert public(MODULE_FUNCTIONS) | public(MODULE_VARIABLES) == public(vars(_kelvex))
    # The stub's classes are the types of what the module hands out.
    assert type(_kelvex.cvar).__name__ in MODULE_CLASSES
    g = _kelvex.new_Global()
    try:
        assert type(g).__name__ in MODULE_CLASSES
    finally:
        _kelvex.delete_Global(g)


def test_wrapper_stub_names_exactly_the_wrappers_names():
    named = set(SHARED) | public(WRAPPER_FUNCTIONS) | public(WRAPPER_CLASSES) | public(WRAPPER_VARIABLES)
    assert named == public(vars(kelvex))
    assert set(SHARED) <= set(MODULE_FUNCTIONS)


def test_parameters_are_named_as_the_wrapper_names_them():
    checked = 0
    for name in SHARED:
        params = inspect.signature(getattr(kelvex, name)).parameters
        if any(p.kind is p.VAR_POSITIONAL for p in params.values()):
            continue  # an overload set: its forms are in the stub
        assert MODULE_FUNCTIONS[name] == [list(params)], name
        checked += 1
    assert checked > 90


WRONG_CALLS = """\
import _kelvex as k
import kelvex
k.motor_set_speed("0", 1500)
status, answer = k.cobs_request(b"x")
k.transceiver_send(1, 2, 3)
kelvex.cvar.G.baud = "fast"
k.Global_fd_get(5)
k.battery_set_charge("full")
total: int = k.battery_get_charge()
k.camera_turn_on(0)
"""


@pytest.mark.skipif(shutil.which("mypy") is None, reason="Debian's mypy is not installed")
def test_mypy_strict_accepts_the_examples_and_every_call_and_rejects_wrong_calls(tmp_path):
    wrong = tmp_path / "wrong_calls.py"
    wrong.write_text(WRONG_CALLS)
    right = sorted(glob.glob(os.path.join(TOP, "examples", "*.py")))
    right.append(os.path.join(TOP, "tests", "python", "typed_mission.py"))
    env = dict(os.environ, MYPYPATH=STUBS)
    result = subprocess.run(["mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                             *right, str(wrong)], env=env, capture_output=True, text=True, timeout=300)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [e for e in errors if not e.startswith(str(wrong))] == []
    lines = {int(m.group(1)) for e in errors if (m := re.match(re.escape(str(wrong)) + r":(\d+):", e))}
    assert lines == set(range(3, WRONG_CALLS.count("\n") + 1)), result.stdout


def test_typed_mission_calls_every_function():
    with open(os.path.join(TOP, "tests", "python", "typed_mission.py"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    called = {node.attr for node in ast.walk(tree)
              if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id == "k"}
    assert public(MODULE_FUNCTIONS) - called == set()


def row(name, params, python="expose"):
    return {"name": name, "family": "motor", "kind": "read", "python": python, "result": "int",
            "params": params, "doc": ""}


def test_the_generator_types_inputs_and_outputs_by_the_rows_c_types():
    assert stub_generator.definition(row("motor_x", "uint16_t num, int16_t RPM, kelvex_out_short* confirm")) \
        == "def motor_x(num: int, RPM: int, /) -> list[int]: ..."
    # Bytes take their length with them; a buffer or text output is bytes.
    assert stub_generator.definition(row("motor_y", "uint16_t tx, const uint8_t* data, uint16_t len, "
                                                    "kelvex_out_text* answer")) \
        == "def motor_y(tx: int, data: _Bytes, /) -> list[Any]: ..."
    assert stub_generator.definition(row("motor_z", "void")) == "def motor_z() -> int: ..."
    with pytest.raises(SystemExit, match="motor_w: no Python type for double gain"):
        stub_generator.definition(row("motor_w", "uint16_t num, double gain"))


def test_the_generator_fills_the_template_with_the_exposed_rows_only():
    preprocessed = ("typedef int x; ROW " + json.dumps(row("a_on", "uint16_t num")) + " ROW "
                    + json.dumps(row("a_hidden", "uint16_t num", python="hidden")) + "\n")
    rows = stub_generator.rows(preprocessed)
    assert [r["name"] for r in rows] == ["a_on", "a_hidden"]
    text = stub_generator.render('__all__ = [\n    "v",\n    @DEVICE_NAMES@\n]\n@DEVICE_FUNCTIONS@\n', rows)
    assert text == '__all__ = [\n    "v",\n    "a_on",\n]\ndef a_on(num: int, /) -> int: ...\n'
    with pytest.raises(SystemExit, match="@DEVICE_FUNCTIONS@ once"):
        stub_generator.render("    @DEVICE_NAMES@\n", rows)
