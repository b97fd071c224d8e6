"""kelvex-lab scenario RUNDIR FILE: a scenario's events switched on the
running simulator. It follows RUNDIR/telemetry.csv as it grows and sends each
event over RUNDIR/control.sock (source=scenario) when its time comes or its
condition first holds on a row; it ends once every event went or the run
ended. A run (kelvex_lab.flight) runs it in a thread of its own for the run's length;
the command is for a run flown otherwise."""

import json
import math
import os
import socket
import sys
import time

from .evaluate import seconds
from .runfolder import _number

CONTROL = "control.sock"
POLL_S = 0.05
ANSWER_S = 2.0
CONNECT_S = 1.0
ENDED_CHECK_S = 0.5


class Control:
    """The simulator's control channel: a command a line, an answer a line.
    A lost connection is made again once per command."""

    def __init__(self, path):
        self.path = path
        self.sock = None
        self.buf = b""

    def send(self, line):
        for attempt in (1, 2):
            try:
                if self.sock is None:
                    self._connect()
                self.sock.sendall(line.encode() + b"\n")
                return self._answer()
            except OSError:
                self.close()
                if attempt == 2:
                    raise

    def _connect(self):
        # The ground station's package is the flight's, where the scheduler
        # runs; the other lab tools do without it.
        from kelvex_ground.control import connect_unix
        # An event due at the very start may come before the simulator listens.
        until = time.monotonic() + CONNECT_S
        while True:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.settimeout(ANSWER_S)
            try:
                return connect_unix(self.sock, self.path)
            except (FileNotFoundError, ConnectionRefusedError):
                self.close()
                if time.monotonic() >= until:
                    raise
                time.sleep(POLL_S)

    def _answer(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionResetError("the simulator closed the control channel")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode(errors="replace").strip()

    def close(self):
        if self.sock is not None:
            self.sock.close()
        self.sock, self.buf = None, b""


class Follower:
    """The complete rows a growing CSV gained since the last call, as
    {column: float}; the first line is its header."""

    def __init__(self, path):
        self.path = path
        self.file = None
        self.header = None
        self.rest = ""

    def rows(self):
        if self.file is None:
            try:
                self.file = open(self.path, newline="")
            except FileNotFoundError:
                return []
        self.rest += self.file.read()
        lines = self.rest.split("\n")
        self.rest = lines.pop()
        out = []
        for line in lines:
            cells = line.strip().split(",")
            if self.header is None:
                self.header = [c.strip() for c in cells]
            elif len(cells) == len(self.header):
                out.append({name: _number(c) for name, c in zip(self.header, cells)})
        return out


def _record(run_dir):
    try:
        with open(os.path.join(run_dir, "run.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def run(run_dir, events, out=sys.stdout, clock=time.time, poll=POLL_S, t0=None, ended=None,
        party=None, row_s=None):
    """Switches the events as they come; returns the number that went.
    t0: the wall-clock time of telemetry t = 0 (default: run.json's);
    ended: an Event set when the run ends (default: run.json says so).
    party: the run's own party on a virtual clock (flight/clock.py), when
    the run flies in virtual time: the events then go at their virtual time
    (row_s apart the rows come)."""
    if party is not None:
        return _run_virtual(run_dir, events, out, party, ended, row_s)
    if t0 is None:
        t0 = _record(run_dir).get("t0_unix")
    if not isinstance(t0, (int, float)):
        print(f"kelvex-lab scenario: {run_dir}/run.json gives no t0_unix", file=sys.stderr)
        return 0
    control = Control(os.path.join(run_dir, CONTROL))
    follower = Follower(os.path.join(run_dir, "telemetry.csv"))
    pending, sent, looked = list(events), 0, clock()
    while pending:
        rows = follower.rows()
        due = _due(pending, rows, clock() - t0, follower.header, out)
        for t, event in due:
            _switch(control, event, t, out)
            pending.remove(event)
            sent += 1
        if ended is not None:
            if ended.wait(poll):
                break
            continue
        if clock() - looked >= ENDED_CHECK_S:
            looked = clock()
            if _record(run_dir).get("ended"):
                break
        time.sleep(poll)
    control.close()
    return sent


# A row is written at the first physics step that reaches its time (the
# simulator's step, sim/line/server.h).
STEP_S = 0.001


def _run_virtual(run_dir, events, out, party, ended, row_s):
    """In virtual time the clock stands still while the scheduler looks:
    each `at` event goes at its instant, each `when` event on the first
    instant after the row it holds on was written (within a physics step),
    the same in every run. Between looks it waits on the clock for the next
    `at` or the next row."""
    control = Control(os.path.join(run_dir, CONTROL))
    follower = Follower(os.path.join(run_dir, "telemetry.csv"))
    pending, sent, last_row = list(events), 0, None
    try:
        while pending:
            rows = follower.rows()
            if rows:
                last_row = rows[-1].get("t", last_row)
            now = party.vclock.now_ns() / 1e9
            for t, event in _due(pending, rows, now, follower.header, out):
                _switch(control, event, t, out)
                pending.remove(event)
                sent += 1
            nexts = [e.at for e in pending if e.at is not None]
            if any(e.at is None for e in pending) and row_s:
                # From the last row, not from now: the looks keep the rows' pace.
                row = (now if last_row is None else last_row) + row_s + STEP_S
                nexts.append(max(row, now + STEP_S))
            if not nexts or not party.wait_until(math.ceil(min(nexts) * 1e9), ended):
                break
    finally:
        party.release()
        control.close()
    return sent


def _due(pending, rows, now, header, out):
    """(t, event) of the events that come now, in time order (file order
    among equals); an event whose columns the telemetry lacks is dropped."""
    due = []
    for event in list(pending):
        if event.at is not None:
            if now >= event.at:
                due.append((event.at, event))
            continue
        if header is not None and not event.when.columns <= set(header):
            missing = ", ".join(sorted(event.when.columns - set(header)))
            print(f"scenario: {event.describe()}: the telemetry has no {missing}; it never comes",
                  file=out, flush=True)
            pending.remove(event)
            continue
        t = next((row.get("t") for row in rows if event.when.holds(row)), None)
        if t is not None:
            due.append((t, event))
    return sorted(due, key=lambda d: (d[0], d[1].index))


def _switch(control, event, t, out):
    line = event.command()
    try:
        answer = control.send(line)
    except OSError as e:
        answer = f"not sent: no control channel at {control.path} ({e.strerror or e})"
    print(f"scenario: {seconds(t)}: {event.describe()}: {line}: {answer}", file=out, flush=True)
