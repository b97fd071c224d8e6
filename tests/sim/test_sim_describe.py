"""`kelvex-sim describe --json`: the simulator's tables in one object, which
says what the commands users ask say (columns, options, faults, families),
and the Python module the build writes from it (kelvex_sim_tables), which
the lab tools and the test doubles import."""

import importlib.util
import json
import os
import subprocess
import sys

import groundkit
import pytest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
sys.path.insert(0, os.path.join(SOURCE, "sim", "cli"))
import python_tables  # noqa: E402


@pytest.fixture(scope="module")
def sim():
    return groundkit.simulator()


def said(sim, *args):
    r = subprocess.run([sim, *args], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.fixture(scope="module")
def described(sim):
    return json.loads(said(sim, "describe", "--json"))


def test_describe_says_what_the_other_commands_say(sim, described):
    assert ",".join(c["name"] for c in described["telemetry"]) == said(sim, "columns").strip()
    assert all(c["format"].startswith("%") and c["unit"] for c in described["telemetry"])
    run = [f"{o['name']} {o['kind']}" for o in described["options"]
           if "run" in o["commands"] and o["kind"] != "list" and o["name"] != "verbose"]
    assert run == said(sim, "options").splitlines()
    listed = [f"name={f['name']} units=0-{f['units'] - 1} value={f['value']} help={f['help']}"
              + (f" (value: {f['meaning']})" if f["value"] != "none" else "") for f in described["faults"]]
    assert listed == said(sim, "faults").splitlines()
    markdown = said(sim, "families", "--markdown").splitlines()[2:]
    assert [f"`{f['prefix']}`" for f in described["families"]] == [row.split(" | ")[0][2:] for row in markdown]


def test_faults_name_their_scope_and_the_family_they_break(described):
    scopes = {f["name"]: (f["scope"], f["family"]) for f in described["faults"]}
    assert scopes["wheel-dead"] == ("unit", "motor")
    assert scopes["lamp-off"] == ("lamp", None)
    assert scopes["drop"] == ("line", None)
    families = {f["name"]: f for f in described["families"]}
    for f in described["faults"]:
        assert f["units"] == (families[f["family"]]["units"] if f["family"] else 1), f["name"]
        assert (f["low"] is None) == (f["value"] == "none") and (f["default"] is None) == (f["value"] != "optional")


def test_options_carry_their_defaults_and_every_command_line_name(sim, described):
    options = {o["name"]: o for o in described["options"]}
    assert (options["seed"]["default"], options["lamp-azimuth"]["default"]) == (1, 120)
    assert options["fault"]["kind"] == "list" and options["no-plot"]["kind"] == "flag"
    usage = said(sim, "--help")
    assert all(f"--{name}" in usage for name in options)


def test_operations_are_the_device_rows_with_their_prototypes(described):
    ops = {o["name"]: o for o in described["operations"]}
    assert ops["motor_set_speed"]["params"] == "uint16_t num, int16_t RPM, kelvex_out_short* confirm"
    assert (ops["motor_set_speed"]["kind"], ops["motor_set_speed"]["offset"]) == ("set_and_confirm", 0)
    assert ops["gyro_request_raw"]["python"] == "hidden"
    families = {f["name"] for f in described["families"]}
    assert {o["family"] for o in described["operations"]} <= families


def test_the_build_wrote_the_tables_from_this_simulator(described):
    import kelvex_sim_tables
    with open(kelvex_sim_tables.__file__, encoding="utf-8") as f:
        assert f.read() == python_tables.render(described), "the build's kelvex_sim_tables.py is stale"
    assert kelvex_sim_tables.TELEMETRY_COLUMNS == tuple(c["name"] for c in described["telemetry"])
    assert list(kelvex_sim_tables.FAULTS) == described["faults"]


def test_the_written_module_reads_back_as_the_description(tmp_path):
    # Text that needs quoting survives, and a row's keys keep their order.
    description = {key: [] for _, key, _ in python_tables.TABLES}
    description["faults"] = [{"name": "tilt", "help": "it's \"odd\"\\\n", "low": None, "high": 1e12}]
    description["telemetry"] = [{"name": "t", "format": "%.3f", "unit": "s"}]
    path = tmp_path / "tables.py"
    path.write_text(python_tables.render(description))
    loader_spec = importlib.util.spec_from_file_location("tables", path)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    assert module.FAULTS == tuple(description["faults"]) and module.TELEMETRY_COLUMNS == ("t",)
    assert [list(row) for row in module.FAULTS] == [["name", "help", "low", "high"]]
