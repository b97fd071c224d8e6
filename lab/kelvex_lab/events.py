"""A scenario's [[event]] entries: when each comes (at a time, or the first
telemetry row where a condition holds) and what it switches. Faults are
reported as "FILE:LINE: event N: message", with the sheet's other faults,
before anything runs."""

import math

from . import expr
from . import faults

# What an event does: the key that names it and how it becomes a switch.
ACTIONS = ("fault", "clear", "lamp", "lamp-azimuth")
KEYS = ("at", "when", "unit", "value") + ACTIONS


class Event:
    def __init__(self, index, line):
        self.index = index      # 1-based, in the file's order
        self.line = line
        self.at = None          # seconds from t = 0
        self.when = None        # an expr.Condition
        self.action = None      # "fault" or "clear", as the control channel says
        self.name = None
        self.unit = None
        self.value = None

    def command(self):
        return faults.command(self.action, self.name, self.unit, self.value)

    def describe(self):
        when = f"at {self.at:g} s" if self.when is None else f"when {self.when.text}"
        return f"event {self.index} ({when})"


def _is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def read(path, entries, lines, known, errors, where, suggest):
    """Events of the file's [[event]] list; faults go to errors."""
    if not isinstance(entries, list):
        errors.append(f"{path}: 'event' must be [[event]] entries")
        return []
    events = []
    for i, entry in enumerate(entries):
        header, key_lines = lines.event(i)
        event = Event(i + 1, header)
        before = len(errors)

        def fail(key, message, event=event, key_lines=key_lines, header=header):
            errors.append(f"{where(path, key_lines.get(key, header))}: event {event.index}: "
                          f"{message}")

        if not isinstance(entry, dict):
            fail(None, "must be a table")
            continue
        for key in entry:
            if key not in KEYS:
                fail(key, f"unknown key '{key}' (an event takes {', '.join(KEYS)})")
        _timing(entry, event, fail, known, suggest)
        _action(entry, event, fail)
        if len(errors) == before:
            events.append(event)
    return events


def _timing(entry, event, fail, known, suggest):
    if ("at" in entry) == ("when" in entry):
        key = "when" if "at" in entry else None
        fail(key, "give 'at' (seconds from the start) or 'when' (a condition), one of them")
        return
    if "at" in entry:
        at = entry["at"]
        if not _is_number(at) or at < 0:
            fail("at", "'at' needs a number of seconds, at least 0")
        else:
            event.at = float(at)
        return
    text = entry["when"]
    if not isinstance(text, str):
        fail("when", "'when' needs an expression in quotes")
        return
    try:
        event.when = expr.parse_condition(text)
    except expr.ExprError as e:
        fail("when", f"when: {e}: {expr.excerpt(text)}")
        return
    for col, at in event.when.unknown_columns(known):
        fail("when", f"when: unknown column '{col}' (column {at}){suggest(col, known)}")


def _action(entry, event, fail):
    given = [k for k in ACTIONS if k in entry]
    if len(given) != 1:
        fail(given[1] if given else None,
             f"give one of {', '.join(ACTIONS)}" + (f", not both '{given[0]}' and '{given[1]}'"
                                                    if given else ""))
        return
    key = given[0]
    value = entry[key]
    if key == "lamp":
        if value not in ("off", "on"):
            fail(key, "'lamp' is \"off\" or \"on\"")
        event.action, event.name = ("fault" if value == "off" else "clear"), "lamp-off"
        _no_unit_nor_value(entry, event, fail, key)
    elif key == "lamp-azimuth":
        if not _is_number(value):
            fail(key, "'lamp-azimuth' needs a number of degrees")
        event.action, event.name, event.value = "fault", "lamp-azimuth", value
        _no_unit_nor_value(entry, event, fail, key)
    elif not isinstance(value, str) or value not in faults.table():
        fail(key, f"'{key}': no fault named {value!r} (faults: {', '.join(faults.table())})")
    else:
        event.action, event.name = key, value
        _unit_and_value(entry, event, fail)


def _no_unit_nor_value(entry, event, fail, key):
    for extra in ("unit", "value"):
        if extra in entry:
            fail(extra, f"'{key}' takes no '{extra}'")


def _unit_and_value(entry, event, fail):
    fault = faults.table()[event.name]
    unit = entry.get("unit")
    if unit is not None:
        if not isinstance(unit, int) or isinstance(unit, bool) or unit < 0:
            fail("unit", "'unit' needs a whole number, 0 or more")
        elif fault.units is not None and unit >= fault.units:
            fail("unit", f"{event.name}: unit {unit} out of range "
                         f"({'0 only' if fault.units == 1 else f'0 to {fault.units - 1}'})")
        else:
            event.unit = unit
    value = entry.get("value")
    if event.action == "clear" or fault.use == "none":
        if value is not None:
            fail("value", f"{event.name} takes no value" if fault.use == "none"
                 else "a 'clear' takes no value")
    elif value is None:
        if fault.use == "required":
            fail("fault", f"{event.name} needs a value (value = ...)")
    elif not _is_number(value) or (fault.low is not None and not fault.low <= value <= fault.high):
        fail("value", f"{event.name}: value must be a number"
                      + (f" from {fault.low:g} to {fault.high:g}" if fault.low is not None else ""))
    else:
        event.value = value
