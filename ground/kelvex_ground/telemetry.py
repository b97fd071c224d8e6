"""Follows the simulator's telemetry CSV, which may appear late and grows
while the mission runs."""

import math
import os
import threading

MAX_ROWS = 200000


def number(text):
    """A finite number, or None: the page's JSON has no NaN or infinity."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


class Telemetry:
    def __init__(self, path):
        self.path = path
        self._lock = threading.Lock()
        self._generation = 0
        self._reset()

    def _reset(self):
        self._offset = 0
        self._pending = b""
        self._identity = None
        self.columns = []
        self.rows = []
        self._first = 0

    def _refresh(self):
        try:
            st = os.stat(self.path)
        except OSError:
            return
        identity = (st.st_dev, st.st_ino)
        # A new or truncated file is a new run: start over.
        if identity != self._identity or st.st_size < self._offset:
            self._reset()
            self._identity = identity
            self._generation += 1
        if st.st_size == self._offset:
            return
        with open(self.path, "rb") as f:
            f.seek(self._offset)
            chunk = f.read(st.st_size - self._offset)
        self._offset += len(chunk)
        data = self._pending + chunk
        # Only complete lines count; the writer may be in the middle of one.
        cut = data.rfind(b"\n") + 1
        self._pending = data[cut:]
        for line in data[:cut].decode("utf-8", errors="replace").splitlines():
            fields = [x.strip() for x in line.split(",")]
            if not line.strip():
                continue
            if not self.columns:
                self.columns = fields
                continue
            self.rows.append([number(x) for x in fields[:len(self.columns)]])
        if len(self.rows) > MAX_ROWS:
            drop = len(self.rows) - MAX_ROWS
            del self.rows[:drop]
            self._first += drop

    def since(self, seq, limit=5000):
        with self._lock:
            if self.path:
                self._refresh()
            start = max(seq, self._first)
            total = self._first + len(self.rows)
            end = min(total, start + limit)
            return {
                "file": self.path or "",
                "generation": self._generation,
                "columns": self.columns,
                "first": self._first,
                "start": start,
                "next": end,
                "rows": self.rows[start - self._first:end - self._first],
            }
