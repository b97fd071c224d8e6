"""The instructor's panel on a virtual satellite: faults switched through
the simulator's control channel (the run's control.sock, a command a line).
A per-run station speaks it itself; a shared station hands each switch to
the run's own station when that one asks for it (satellites.RunControl), so
that it never connects anywhere a status told it to."""

import csv
import math
import os
import re
import socket

SOURCE = "panel"
TOKEN_HEADER = "X-Kelvex-Token"
ANSWER_S = 3.0
_NAME = re.compile(r"^[a-z][a-z0-9-]{0,39}$")
_UNITS = re.compile(r"^(\d+)-(\d+)$")
_MAX_UNIT = 255


def request_command(request):
    """The control line of a panel request: {fault, unit[, value]} switches
    on, {clear, unit} off. ValueError for anything else, so nothing but one
    well-formed command ever reaches the simulator."""
    action = "fault" if "fault" in request else "clear" if "clear" in request else None
    if action is None or ("fault" in request and "clear" in request):
        raise ValueError("a request is {fault, unit[, value]} or {clear, unit}")
    extra = set(request) - {action, "unit", "value"}
    if extra:
        raise ValueError("unexpected %s" % ", ".join(sorted(extra)))
    name, unit = request[action], request.get("unit", 0)
    if not isinstance(name, str) or not _NAME.match(name):
        raise ValueError("no fault named %r" % (name,))
    if not isinstance(unit, int) or isinstance(unit, bool) or not 0 <= unit <= _MAX_UNIT:
        raise ValueError("the unit is a whole number from 0 to %d" % _MAX_UNIT)
    words = [action, name, "unit=%d" % unit]
    if "value" in request:
        value = request["value"]
        if action == "clear":
            raise ValueError("a clear takes no value")
        if not isinstance(value, (int, float)) or isinstance(value, bool) or \
                not math.isfinite(value):
            raise ValueError("the value is a number")
        words.append("value=%r" % value)
    return " ".join(words + ["source=" + SOURCE])


def fields(line):
    """{key: value} of a `list` or `active` line; help= takes the rest."""
    out = {}
    rest = line
    while rest:
        key, _, rest = rest.partition("=")
        if key == "help":
            out[key] = rest
            break
        value, _, rest = rest.partition(" ")
        out[key] = value
    return out


def available(lines):
    """The `list` block as the panel shows it."""
    out = []
    for line in lines:
        f = fields(line)
        m = _UNITS.match(f.get("units", ""))
        help_text = f.get("help", "")
        meaning = re.search(r"\(value: ([^)]*)\)", help_text)
        default = re.search(r"\(default ([-0-9.e]+)\)", help_text)
        entry = {"name": f.get("name"), "units": int(m.group(2)) + 1 if m else 1,
                 "value": None if f.get("value", "none") == "none" else
                 (meaning.group(1) if meaning else "value"), "help": help_text}
        if default:
            entry["default"] = float(default.group(1))
        out.append(entry)
    return out


def active(lines):
    out = []
    for line in lines:
        f = fields(line)
        value = f.get("value", "")
        out.append({"fault": f.get("name"), "unit": int(f.get("unit", "0") or 0),
                    "value": float(value) if value else None, "source": f.get("source")})
    return out


def scenario_events(run_dir):
    """The run's scenario (RUN/scenario.toml) as the panel lists it, each
    event marked done once events.csv shows the simulator switched it:
    {"file", "events": [{"when", "what", "done"}]}, or None without one."""
    import tomllib  # here: a run without a scenario never loads it
    path = os.path.join(run_dir, "scenario.toml")
    try:
        with open(path, "rb") as f:
            entries = tomllib.load(f).get("event", [])
    except (OSError, ValueError):
        return None
    if not isinstance(entries, list) or not entries:
        return None
    switched = []
    try:
        with open(os.path.join(run_dir, "events.csv"), newline="") as f:
            for row in csv.DictReader(f):
                if row.get("source") == "scenario":
                    switched.append((row.get("action"), row.get("name"), row.get("unit") or "0"))
    except OSError:
        pass
    events = []
    for e in entries:
        if not isinstance(e, dict):
            continue
        unit = str(e.get("unit", 0))
        if "fault" in e:
            key, what = ("fault", str(e["fault"])), "%s %s" % (e["fault"], unit)
        elif "clear" in e:
            key, what = ("clear", str(e["clear"])), "clear %s %s" % (e["clear"], unit)
        elif "lamp" in e:
            key = ("fault" if e["lamp"] == "off" else "clear", "lamp-off")
            what, unit = "lamp %s" % e["lamp"], "0"
        elif "lamp-azimuth" in e:
            key, what, unit = ("fault", "lamp-azimuth"), "lamp at %s deg" % e["lamp-azimuth"], "0"
        else:
            continue
        if "value" in e:
            what += " = %s" % e["value"]
        when = "at %g s" % e["at"] if isinstance(e.get("at"), (int, float)) else \
            "when %s" % e.get("when")
        order = e["at"] if isinstance(e.get("at"), (int, float)) else float("inf")
        events.append({"when": when, "what": what, "key": key + (unit,), "order": order})
    events.sort(key=lambda e: e["order"])
    for e in events:
        e["done"] = e["key"] in switched
        if e["done"]:
            switched.remove(e["key"])
        del e["key"], e["order"]
    return {"file": os.path.basename(path), "events": events}



# What an AF_UNIX address holds (sun_path, less its final NUL).
UNIX_PATH_MAX = 107


def connect_unix(sock, path):
    """Connects sock to the socket at path. A run folder may sit deeper than
    an AF_UNIX address holds (a class folder, an attempt, a case): then the
    address goes through the folder's descriptor, open for the connect."""
    if len(os.fsencode(path)) <= UNIX_PATH_MAX:
        return sock.connect(path)
    folder = os.open(os.path.dirname(path) or ".", os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        return sock.connect("/proc/self/fd/%d/%s" % (folder, os.path.basename(path)))
    finally:
        os.close(folder)


class ControlChannel:
    """One connection per question: the panel switches now and then."""

    def __init__(self, path, timeout=ANSWER_S):
        self.path = path
        self.timeout = timeout

    def ask(self, line, block=False):
        """The answer line, or a block's lines up to "end". Raises OSError."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(self.timeout)
            connect_unix(s, self.path)
            s.sendall(line.encode() + b"\n")
            buf, lines = b"", []
            while True:
                while b"\n" not in buf:
                    chunk = s.recv(65536)
                    if not chunk:
                        raise ConnectionResetError("the simulator closed the control channel")
                    buf += chunk
                raw, buf = buf.split(b"\n", 1)
                text = raw.decode(errors="replace").rstrip("\r")
                if not block or text.startswith("error"):
                    return text if not block else [text]
                if text == "end":
                    return lines
                lines.append(text)


class SocketForwarder:
    """The faults of the one satellite behind a control socket."""

    def __init__(self, path):
        self.channel = ControlChannel(path)

    def faults(self, sat):
        try:
            state = {"available": available(self.channel.ask("list", block=True)),
                     "active": active(self.channel.ask("active", block=True))}
        except OSError:
            return None     # no simulator behind it (any more)
        state["scenario"] = scenario_events(os.path.dirname(self.channel.path))
        return state

    def switch(self, sat, request):
        line = request_command(request)
        try:
            answer = self.channel.ask(line)
        except OSError as e:
            raise ValueError("the simulator does not answer (%s)" % (e.strerror or e))
        if not answer.startswith("ok"):
            raise ValueError(answer[len("error "):] if answer.startswith("error ") else answer)
        state = self.faults(sat)
        if state is None:
            raise ValueError("the simulator ended")
        return state
