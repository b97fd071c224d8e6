"""The faults the simulator switches live (kelvex-sim's control channel and
--fault): the one list the lab tools hold a scenario against before a run.
The simulator's own table (its `list` answer) has the last word: a unit out
of its family's range is refused by it when the event comes."""

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
