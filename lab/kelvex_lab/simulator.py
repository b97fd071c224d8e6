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


# The environment variable that names each program a lab tool runs.
ENVIRONMENT = {"kelvex-sim": "KELVEX_SIM", "kelvex-plot": "KELVEX_PLOT"}


class Programs:
    """The kit's programs a lab tool runs: configured maps a name to the path
    the build or installation gave the tool's launcher."""

    def __init__(self, configured=None):
        self.configured = dict(configured or {})

    def find(self, name):
        """The environment's choice, the configured path, then PATH."""
        for c in (os.environ.get(ENVIRONMENT.get(name, "")), self.configured.get(name)):
            if c and os.access(c, os.X_OK):
                return c
        return shutil.which(name)


def telemetry_columns():
    return TELEMETRY_COLUMNS


def run_options():
    """{option: kind} a lab sheet's [run] table may set."""
    return RUN_OPTIONS
