"""kelvex-sim run-line, the simulator of a run, and how the run talks to it."""

import contextlib
import json
import os
import select
import subprocess
import time

from .errors import RunError

SIM_ANSWER_S = 15.0
LOOK_S = 0.02


class Simulator:
    """kelvex-sim run-line (sim/cli/serve.h): the run's options checked and
    recorded, then the line, the bus and the physics until told to end."""

    def __init__(self, sim, args, where=None):
        # where: the context that starts it in the namespaces of a sealed
        # mission's run.
        with where or contextlib.nullcontext():
            self.proc = subprocess.Popen([sim, "run-line", *args], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, process_group=0)
        self._rest = b""
        self._end = None  # what end() returned, once it has

    def _line(self, timeout=SIM_ANSWER_S, meanwhile=None):
        """Its next line, or None at its end or after timeout seconds;
        meanwhile() is called every LOOK_S while none comes."""
        until = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._rest:
            left = until - time.monotonic()
            if left <= 0:
                return None
            if not select.select([fd], [], [], min(left, LOOK_S) if meanwhile else left)[0]:
                if meanwhile is not None:
                    meanwhile()
                continue
            chunk = os.read(fd, 4096)
            if not chunk:
                return None
            self._rest += chunk
        line, self._rest = self._rest.split(b"\n", 1)
        return line.decode(errors="replace")

    def _expect(self, word):
        line = self._line()
        if line is None or not line.startswith(word + " "):
            self.end()
            return None
        return line[len(word) + 1:]

    def options(self):
        """The run's options by long name, or None when they are bad (the
        simulator said why)."""
        text = self._expect("options")
        return None if text is None else json.loads(text)

    def go(self):
        """Starts it; returns (the line's path, the time of t = 0)."""
        try:
            self.proc.stdin.write(b"go\n")
            self.proc.stdin.flush()
        except OSError:
            pass
        line, t0 = self._expect("line"), self._expect("t0")
        if line is None or t0 is None:
            raise RunError("the simulator did not start (status %s)" % self.proc.wait())
        return line, float(t0)

    def end(self, meanwhile=None):
        """Stops it; returns (simulated seconds, yaw, angle to the lamp), or
        None when it said nothing. In virtual time it ends once its clock
        stands at the run's end with nothing left in flight, which may take
        it a moment: meanwhile() is called every LOOK_S until then. Once
        ended, later calls return the same."""
        if self._end is not None:
            return self._end[0]
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        said = self._line(SIM_ANSWER_S, meanwhile)  # None at once when it ended without a word
        try:
            self.proc.wait(SIM_ANSWER_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        end = None
        if said and said.startswith("end "):
            end = tuple(float(x) for x in said.split()[1:4])
        self._end = (end,)
        return end
