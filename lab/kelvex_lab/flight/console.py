"""The run's console: the terminal of the person who started it."""

import errno
import os
import threading

from kelvex_ground.logstore import printable

# A full disk under a redirected console passes; what could not be printed is
# lost to the terminal only (the run folder has it), the next write is tried.
_PASSING = (errno.ENOSPC, errno.EDQUOT, errno.EAGAIN)


class Console:
    """What the person at the terminal sees: the mission's output as it
    printed it, and lines of the run's own (the ground log as "[ground]
    TEXT", the simulator's messages) each on a line of its own. A console
    that went away (`kelvex-sim run ... | head`) ends nothing: the run folder
    still gets everything. A console on a full disk skips what it cannot
    write and goes on when there is room."""

    def __init__(self, fd=1):
        self.fd = fd
        self.closed = False
        self._at_line_start = True
        self._lock = threading.Lock()

    def mission(self, data):
        if data:
            with self._lock:
                self._write(data)
                self._at_line_start = data.endswith(b"\n")

    def ground(self, text):
        self.say("[ground] " + text)

    def say(self, line):
        # Each line said is one line on the terminal: nothing received in it
        # moves the cursor, changes the terminal or turns the text around.
        data = (printable(line) + "\n").encode("utf-8", errors="surrogateescape")
        with self._lock:
            # A mission line still being printed is left open, not run into.
            self._write(data if self._at_line_start else b"\n" + data)
            self._at_line_start = True

    def _write(self, data):
        try:
            while data and not self.closed:
                data = data[os.write(self.fd, data):]
        except OSError as e:
            if e.errno not in _PASSING:
                self.closed = True


class ConsoleLines:
    """A text stream whose whole lines go to the console as the run's own
    (for the scenario's and the checks' reports)."""

    def __init__(self, console):
        self.console = console
        self.rest = ""

    def write(self, text):
        self.rest += text
        *lines, self.rest = self.rest.split("\n")
        for line in lines:
            self.console.say(line)
        return len(text)

    def flush(self):
        pass


class GroundEcho:
    """A station listener: each log line the station filed, on the console."""

    def __init__(self, console):
        self.console = console

    def on_lines(self, sat, first, entries):
        for _, text, _ in entries:
            self.console.ground(text)

    def start(self, station):
        pass

    def stop(self):
        pass
