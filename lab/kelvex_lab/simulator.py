"""What the lab tools know of kelvex-sim before any run: the telemetry
columns it writes and the long options it takes, from the simulator's own
tables, which the build writes as the module kelvex_sim_tables. Checks
written before a run are held against them; after a run, against the
telemetry's own header."""

import os
import shutil

import kelvex_sim_tables

TELEMETRY_COLUMNS = kelvex_sim_tables.TELEMETRY_COLUMNS

# Options that place a run's files: the run itself decides them, so a lab
# sheet may not.
RUN_FOLDER_OPTIONS = ("telemetry", "state", "ground-dir", "run-dir", "link", "checks",
                      "scenario")
# Options of a sitting at the desk, not of a lab.
DESK_OPTIONS = ("name", "keep-station", "no-plot", "no-seal")
# Options a lab sheet's [run] table may set: kind "number", "text" or "flag".
RUN_OPTIONS = {o["name"]: o["kind"] for o in kelvex_sim_tables.OPTIONS
               if "run" in o["commands"] and o["kind"] != "list"
               and o["name"] not in RUN_FOLDER_OPTIONS + DESK_OPTIONS}


# Paths the launchers were configured with (build tree or installation).
PROGRAMS = {}


def find_program(name, configured=None, env=None):
    """A program of the kit: the environment's choice, the path the build or
    installation configured, a sibling in this tree, then PATH."""
    candidates = [os.environ.get(env) if env else None, configured]
    for c in candidates:
        if c and os.access(c, os.X_OK):
            return c
    return shutil.which(name)


def telemetry_columns():
    return TELEMETRY_COLUMNS


def run_options():
    """{option: kind} a lab sheet's [run] table may set."""
    return RUN_OPTIONS
