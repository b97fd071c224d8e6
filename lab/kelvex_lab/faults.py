"""The faults the simulator switches live (kelvex-sim's control channel and
--fault), which a scenario is held against before a run: the simulator's own
table, which the build writes as the module kelvex_sim_tables."""

import kelvex_sim_tables


def command(action, name, unit=None, value=None, source="scenario"):
    """One line of the control channel: `fault NAME unit=N value=X source=S`."""
    words = [action, name]
    if unit is not None:
        words.append(f"unit={unit}")
    if value is not None:
        words.append(f"value={value:g}" if isinstance(value, float) else f"value={value}")
    words.append(f"source={source}")
    return " ".join(words)


class Fault:
    def __init__(self, name, units, use, low=None, high=None):
        self.name = name
        self.units = units      # how many
        self.use = use          # "none", "required" or "optional"
        self.low, self.high = low, high


FAULTS = {f["name"]: Fault(f["name"], f["units"], f["value"], f["low"], f["high"])
          for f in kelvex_sim_tables.FAULTS}


def table():
    """{name: Fault} of the simulator."""
    return FAULTS
