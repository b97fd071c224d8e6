"""What kelvex-grade tells while a class flies: cases done, running and
left, the time so far and an estimate of the rest. On a terminal a bar that
redraws itself in place; otherwise (a log, a CI job) a plain line each time
a case ends and every HEARTBEAT seconds between."""

import threading
import time

BAR = 24
TICK = 0.5
HEARTBEAT = 30.0


def clock(seconds):
    seconds = int(round(seconds))
    if seconds >= 3600:
        return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
    return f"{seconds // 60}:{seconds % 60:02d}"


class Progress:
    def __init__(self, total, stream, now=time.monotonic):
        self.total = total
        self.stream = stream
        self.now = now
        self.done = self.running = 0
        self.started = now()
        self.terminal = bool(getattr(stream, "isatty", lambda: False)())
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._last_line = self.started
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self._tick, name="progress", daemon=True)
        self._thread.start()
        return self

    def case_started(self):
        with self._lock:
            self.running += 1

    def case_ended(self):
        with self._lock:
            self.running -= 1
            self.done += 1
            if not self.terminal:
                self._print(self.line())

    def drop(self, n):
        """n cases that will not fly after all (their submission did not
        build)."""
        with self._lock:
            self.total -= n

    def estimate(self):
        """Seconds left at the pace so far: cases end in rounds of the pool,
        so the time per case so far stands for the ones left."""
        if not self.done:
            return None
        elapsed = self.now() - self.started
        return elapsed / self.done * (self.total - self.done)

    def line(self):
        elapsed = self.now() - self.started
        left = self.total - self.done - self.running
        text = (f"{self.done} of {self.total} cases done, {self.running} running, {left} left, "
                f"{clock(elapsed)} elapsed")
        est = self.estimate()
        if est is not None and self.done < self.total:
            text += f", about {clock(est)} to go"
        return text

    def bar(self):
        filled = BAR * self.done // max(1, self.total)
        return "[" + "#" * filled + "-" * (BAR - filled) + "] " + self.line()

    def _print(self, text):
        self._last_line = self.now()
        if self.terminal:
            # Back to the line's start and over what was there.
            self.stream.write("\r\x1b[K" + text)
        else:
            self.stream.write(f"kelvex-grade: {text}\n")
        self.stream.flush()

    def _tick(self):
        while not self._stop.wait(TICK):
            with self._lock:
                if self.terminal:
                    self._print(self.bar())
                elif self.now() - self._last_line >= HEARTBEAT:
                    self._print(self.line())

    def finish(self):
        self._stop.set()
        if self._thread:
            self._thread.join()
        if self.terminal:
            with self._lock:
                self._print(self.bar())
                self.stream.write("\n")
                self.stream.flush()
