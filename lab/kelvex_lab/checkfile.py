"""Reads a lab sheet: the [run] table of simulator options and its [[check]]
entries. Every fault is reported as "FILE:LINE: check 'NAME': message", all
of them at once and before anything runs."""

import difflib
import math
import re

from . import expr
from . import simulator
from .simulator import RUN_FOLDER_OPTIONS

KINDS = ("when", "always", "log", "photos", "exit")
# Keys each kind takes beside its own and the name.
EXTRA_KEYS = {
    "when": ("within", "for"),
    "always": ("after", "last"),
    "log": ("within", "count"),
    "photos": (),
    "exit": (),
}
# Keys every kind takes.
COMMON_KEYS = ("name", "points")
# Tables a lab sheet may hold; [[event]] belongs to the scenario reader.
TABLES = ("run", "check", "event")
# A sheet is written by hand: bounds far past any lab's keep a mistaken or
# hostile one to a message (the TOML reader recurses per level of [ and {).
MAX_FILE_BYTES = 1024 * 1024
MAX_ENTRIES = 1000          # [[check]] and [[event]], each
MAX_NESTING = 32


class CheckFileError(Exception):
    def __init__(self, errors):
        super().__init__("\n".join(errors))
        self.errors = errors


class Check:
    def __init__(self, index, name, kind, line):
        self.index = index          # 1-based, in the file's order
        self.name = name
        self.kind = kind
        self.line = line
        self.text = None            # the expression, the pattern or the number
        self.condition = None
        self.pattern = None
        self.expected = None        # photos, exit
        self.within = None
        self.hold = None            # the file's `for`
        self.after = None
        self.last = None
        self.count = 1
        self.numbers = None         # photos: the photo numbers asked for
        self.points = 1.0           # what the check is worth in the gradebook


class CheckFile:
    def __init__(self, path, run_options, checks, events=(), raw=b""):
        self.path = path
        self.raw = raw              # the file as read: a run keeps its copy
        self.run_options = run_options
        self.checks = checks
        self.events = list(events)  # a scenario's, scheduled by kelvex-lab scenario

    def columns(self):
        return set().union(*(c.condition.columns for c in self.checks if c.condition))

    def sim_arguments(self, skip=()):
        """The [run] table as kelvex-sim long options, in the file's order."""
        out = []
        for name, value in self.run_options.items():
            if name in skip:
                continue
            if isinstance(value, bool):
                if value:
                    out.append(f"--{name}")
            else:
                out.append(f"--{name}={format_value(value)}")
        return out


def format_value(value):
    if isinstance(value, float):
        return repr(int(value)) if value.is_integer() and abs(value) < 1e15 else repr(value)
    return str(value)


_TABLE_HEADER = re.compile(r"^\s*\[")
_CHECK_HEADER = re.compile(r"^\s*\[\[\s*check\s*\]\]")
_EVENT_HEADER = re.compile(r"^\s*\[\[\s*event\s*\]\]")
_RUN_HEADER = re.compile(r"^\s*\[\s*run\s*\]")
_KEY = re.compile(r"""^\s*(?:"([^"]*)"|'([^']*)'|([A-Za-z0-9_-]+))\s*=""")


class Lines:
    """Where things stand in the file. tomllib tells no lines, so the text is
    scanned for the table headers and, inside each table, its keys."""

    def __init__(self, text):
        self.check_tables = []      # [(header line, {key: line})]
        self.event_tables = []
        self.run = (None, {})
        current = None
        for n, line in enumerate(text.splitlines(), 1):
            if _TABLE_HEADER.match(line):
                current = None
                if _CHECK_HEADER.match(line) or _EVENT_HEADER.match(line):
                    current = {}
                    tables = self.check_tables if _CHECK_HEADER.match(line) else self.event_tables
                    tables.append((n, current))
                elif _RUN_HEADER.match(line):
                    current = {}
                    self.run = (n, current)
                continue
            m = _KEY.match(line)
            if m and current is not None:
                key = next(g for g in m.groups() if g is not None)
                current.setdefault(key, n)

    def check(self, index):
        if index < len(self.check_tables):
            return self.check_tables[index]
        return (None, {})

    def event(self, index):
        if index < len(self.event_tables):
            return self.event_tables[index]
        return (None, {})


def _where(path, line):
    return f"{path}:{line}" if line else f"{path}"


def _is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _suggest(name, known):
    # A name with its unit left off is the likeliest slip: rate for rate_dps.
    close = sorted(k for k in known if k.startswith(name + "_"))
    close = close or difflib.get_close_matches(name, sorted(known), n=1)
    return f" (did you mean '{close[0]}'?)" if close else ""


def load(path, columns=None):
    """Reads and checks the whole file; columns are the telemetry's (the
    simulator's known columns when None). Raises CheckFileError."""
    import tomllib  # here: a run without a lab sheet never loads it
    try:
        with open(path, "rb") as f:
            raw = f.read(MAX_FILE_BYTES + 1)
    except OSError as e:
        raise CheckFileError([f"{path}: {e.strerror}"])
    if len(raw) > MAX_FILE_BYTES:
        raise CheckFileError([f"{path}: too long for a lab sheet (more than "
                              f"{MAX_FILE_BYTES // 1024} KB)"])
    try:
        text = raw.decode("utf-8")
        deep = _too_deep(text)
        if deep:
            raise CheckFileError([f"{path}:{deep}: nested too deeply (more than {MAX_NESTING} "
                                  f"levels of [ and {{)"])
        data = tomllib.loads(text)
    except RecursionError:
        raise CheckFileError([f"{path}: nested too deeply"]) from None
    except UnicodeDecodeError as e:
        raise CheckFileError([f"{path}: not UTF-8 text ({e.reason} at byte {e.start})"])
    except tomllib.TOMLDecodeError as e:
        m = re.search(r"\(at line (\d+), column (\d+)\)$", str(e))
        msg = str(e)[:m.start()].strip() if m else str(e)
        raise CheckFileError([f"{_where(path, m.group(1) if m else None)}: {msg}"])
    known = set(columns) if columns is not None else set(simulator.telemetry_columns())
    lines = Lines(text)
    errors = []
    for key in data:
        if key not in TABLES:
            errors.append(f"{path}: unknown table '{key}' (a lab sheet holds [run], "
                          f"[[check]] and [[event]])")
    run_options = _run_table(path, data.get("run", {}), lines, errors)
    checks = []
    entries = data.get("check", [])
    if not isinstance(entries, list):
        errors.append(f"{path}: 'check' must be [[check]] entries")
        entries = []
    names = {}
    for key, listed in (("check", entries), ("event", data.get("event", []))):
        if isinstance(listed, list) and len(listed) > MAX_ENTRIES:
            line = (lines.check(MAX_ENTRIES) if key == "check" else lines.event(MAX_ENTRIES))[0]
            raise CheckFileError([f"{_where(path, line)}: too many [[{key}]] entries "
                                  f"(at most {MAX_ENTRIES})"])
    for i, entry in enumerate(entries):
        check = _check(path, i, entry, lines, known, names, errors)
        if check is not None:
            checks.append(check)
    from . import events
    scheduled = events.read(path, data.get("event", []), lines, known, errors, _where, _suggest)
    if errors:
        raise CheckFileError(errors)
    return CheckFile(path, run_options, checks, scheduled, raw)


def _too_deep(text):
    """The line where [ and { first nest past the bound, or None. Brackets in
    strings and comments are skipped roughly: a sheet near the bound is not
    one anybody writes."""
    depth = 0
    for n, line in enumerate(text.splitlines(), 1):
        quote = None
        for c in line:
            if quote:
                if c == quote:
                    quote = None
            elif c in "\"'":
                quote = c
            elif c == "#":
                break
            elif c in "[{":
                depth += 1
                if depth > MAX_NESTING:
                    return n
            elif c in "]}":
                depth = max(depth - 1, 0)
    return None


def _run_table(path, table, lines, errors):
    header, key_lines = lines.run
    if not isinstance(table, dict):
        errors.append(f"{path}: 'run' must be a table, [run]")
        return {}
    options = {}
    known = simulator.run_options() if table else {}
    for name, value in table.items():
        where = _where(path, key_lines.get(name, header))
        kind = known.get(name)
        if name in RUN_FOLDER_OPTIONS:
            errors.append(f"{where}: [run]: '{name}' is decided by the run itself, not by "
                          f"the lab sheet")
            continue
        if kind is None:
            errors.append(f"{where}: [run]: unknown simulator option '{name}'"
                          f"{_suggest(name, known)}")
            continue
        if kind == "flag" and not isinstance(value, bool):
            errors.append(f"{where}: [run]: '{name}' is a switch: true or false")
        elif kind == "number" and not (_is_number(value) and math.isfinite(value)):
            errors.append(f"{where}: [run]: '{name}' needs a number")
        elif kind == "text" and not isinstance(value, str):
            errors.append(f"{where}: [run]: '{name}' needs a text in quotes")
        elif name == "time-limit" and value <= 0:
            errors.append(f"{where}: [run]: 'time-limit' must be more than 0 seconds")
        elif name == "seed" and (not isinstance(value, int) or value < 0):
            errors.append(f"{where}: [run]: 'seed' must be a whole number, 0 or more")
        else:
            options[name] = value
    return options


def _check(path, i, entry, lines, known, names, errors):
    header, key_lines = lines.check(i)
    if not isinstance(entry, dict):
        errors.append(f"{_where(path, header)}: check {i + 1}: must be a table")
        return None
    name = entry.get("name")
    if not isinstance(name, str) or not name.strip():
        label = f"check {i + 1}"
        if name is None:
            errors.append(f"{_where(path, header)}: {label}: has no name (name = \"...\")")
        else:
            errors.append(f"{_where(path, key_lines.get('name', header))}: {label}: the name "
                          f"must be a text")
        name = None
    label = f"check '{name}'" if name else f"check {i + 1}"
    if name in names:
        errors.append(f"{_where(path, header)}: {label}: the name is taken by the check on "
                      f"line {names[name]}")
    elif name:
        names[name] = header

    def fail(key, message):
        errors.append(f"{_where(path, key_lines.get(key, header))}: {label}: {message}")

    kinds = [k for k in KINDS if k in entry]
    if len(kinds) != 1:
        if kinds:
            fail(kinds[1], f"has both '{kinds[0]}' and '{kinds[1]}': one check, one of "
                           f"{', '.join(KINDS)}")
        else:
            fail("name", f"says nothing to check: give one of {', '.join(KINDS)}")
        return None
    kind = kinds[0]
    check = Check(i + 1, name, kind, header)
    before = len(errors)
    allowed = COMMON_KEYS + (kind,) + EXTRA_KEYS[kind]
    for key in entry:
        if key not in allowed:
            others = [k for k in EXTRA_KEYS if key in EXTRA_KEYS[k]]
            hint = f" (it belongs to a '{others[0]}' check)" if others else ""
            fail(key, f"'{kind}' takes no '{key}'{hint}")
    value = entry[kind]
    check.text = value
    if kind in ("when", "always"):
        if not isinstance(value, str):
            fail(kind, f"'{kind}' needs an expression in quotes")
        else:
            try:
                check.condition = expr.parse_condition(value)
            except expr.ExprError as e:
                fail(kind, f"{kind}: {e}: {expr.excerpt(value)}")
            else:
                for col, at in check.condition.unknown_columns(known):
                    fail(kind, f"{kind}: unknown column '{col}' (column {at})"
                               f"{_suggest(col, known)}")
    elif kind == "log":
        if not isinstance(value, str):
            fail(kind, "'log' needs a regular expression in quotes")
        else:
            try:
                check.pattern = re.compile(value)
            except re.error as e:
                fail(kind, f"log: not a regular expression: {e}")
    elif kind == "photos" and isinstance(value, list):
        if not value or not all(isinstance(v, int) and not isinstance(v, bool) and 0 <= v <= 65535
                                for v in value):
            fail(kind, "'photos' needs a number of photos or a list of photo numbers, "
                       "[1, 2] (0 to 65535)")
        else:
            check.numbers = sorted(set(value))
            check.expected = len(check.numbers)
    else:
        if not isinstance(value, int) or isinstance(value, bool) or value < 0:
            fail(kind, f"'{kind}' needs a whole number, 0 or more")
        elif kind == "exit" and value > 255:
            fail(kind, "'exit' is a status from 0 to 255")
        check.expected = value

    def seconds(key, positive):
        v = entry.get(key)
        if v is None:
            return None
        if not _is_number(v) or not math.isfinite(v) or v < 0 or (positive and v == 0):
            fail(key, f"'{key}' needs a number of seconds, {'more than' if positive else 'at least'} 0")
            return None
        return float(v)

    if "points" in entry:
        p = entry["points"]
        if not _is_number(p) or not math.isfinite(p) or p < 0:
            fail("points", "'points' needs a number, 0 or more")
        else:
            check.points = float(p)
    if kind in ("when", "log"):
        check.within = seconds("within", False)
    if kind == "when":
        check.hold = seconds("for", True)
    if kind == "always":
        check.after = seconds("after", False)
        check.last = seconds("last", True)
        if "after" in entry and "last" in entry:
            fail("last", "give 'after' or 'last', not both")
    if kind == "log" and "count" in entry:
        c = entry["count"]
        if not isinstance(c, int) or isinstance(c, bool) or c < 1:
            fail("count", "'count' needs a whole number, 1 or more")
        else:
            check.count = c
    return check if len(errors) == before else None
