"""The faults the simulator switches live (kelvex-sim's control channel and
--fault), which a scenario is held against before a run: the kit's
kelvex-sim tells its table (`kelvex-sim faults`), with the units of each;
the list below stands in for a simulator that cannot tell, and gives the
ranges of the values."""

import functools
import re

from . import simulator

# name: (takes a unit, value: "none" | "required" | "optional", low, high)
FAULTS = {
    "gyro-stuck": (True, "none", None, None),
    "gyro-bias": (True, "required", -3600, 3600),
    "gyro-noise": (True, "optional", 0, 1000),
    "gyro-dead": (True, "none", None, None),
    "mag-bias": (True, "required", -1e4, 1e4),
    "sun-sensor-dead": (True, "none", None, None),
    "sun-sensor-stuck": (True, "none", None, None),
    "light-sensor-dead": (True, "none", None, None),
    "light-sensor-stuck": (True, "none", None, None),
    "wheel-stuck": (True, "none", None, None),
    "wheel-limit": (True, "required", 0, 32767),
    "wheel-dead": (True, "none", None, None),
    "coil-dead": (True, "none", None, None),
    "engine-dead": (True, "none", None, None),
    "transmitter-dead": (True, "none", None, None),
    "camera-fail": (True, "none", None, None),
    "receiver-quality": (True, "optional", 0, 1),
    "lamp-off": (False, "none", None, None),
    "lamp-azimuth": (False, "required", -1e12, 1e12),
    "drop": (False, "required", 0, 1),
    "corrupt": (False, "required", 0, 1),
    "late": (False, "required", 0, 1),
    "glue": (False, "required", 0, 1),
    "delay": (False, "required", 0, 60000),
    "baud": (False, "required", 0, 1e8),
}


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
        self.units = units      # how many; None: not known before the run
        self.use = use
        self.low, self.high = low, high


_LINE = re.compile(r"^name=(\S+) units=0-(\d+) value=(none|required|optional)\b")


@functools.lru_cache(maxsize=None)
def table(sim=None):
    """{name: Fault} of the kelvex-sim at sim, else of the list above."""
    told = [_LINE.match(line) for line in simulator.ask("faults", sim=sim) or ()]
    if told and all(told):
        return {m[1]: Fault(m[1], int(m[2]) + 1, m[3], *FAULTS.get(m[1], (0, 0, None, None))[2:])
                for m in told}
    return {name: Fault(name, None if unit else 1, use, low, high)
            for name, (unit, use, low, high) in FAULTS.items()}
