"""A satellite's telemetry: the simulator's CSV followed as it appears and
grows, or rows sent to the station and kept in a CSV of its own."""

import json
import math
import os
import threading

from .logstore import LineFile

MAX_ROWS = 200000
MAX_COLUMNS = 64


def number(text):
    """A finite number, or None: the page's JSON has no NaN or infinity."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


class Telemetry:
    """follow: the file is someone else's and is read as it grows; else the
    file is ours, read once and appended to by ingest()."""

    def __init__(self, path, follow=True, read_only=False):
        self.path = path
        self.follow = follow
        self.read_only = read_only
        # Rows kept for the page; the file keeps them all.
        self.max_rows = MAX_ROWS
        # Wall-clock time of the row with t = 0, which puts the plots on the
        # log's clock: from the run folder the CSV sits in, or from whoever
        # ingests the rows.
        self.t0_unix = None
        self._lock = threading.Lock()
        self._generation = 0
        self._file = None
        self._reset()
        if not follow and path:
            self._refresh()
            if self.columns and not read_only:
                self._file = LineFile(path)

    def _reset(self):
        self._offset = 0
        self._pending = b""
        self._identity = None
        self.columns = []
        self.rows = []
        self._first = 0
        self._source = None

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
        self._trim()

    def _trim(self):
        if len(self.rows) > self.max_rows:
            drop = len(self.rows) - self.max_rows
            del self.rows[:drop]
            self._first += drop

    def _run_t0(self):
        if self.t0_unix is None and self.path:
            try:
                with open(os.path.join(os.path.dirname(self.path), "run.json")) as f:
                    t0 = json.load(f).get("t0_unix")
            except (OSError, ValueError, AttributeError):
                return None
            if isinstance(t0, (int, float)) and not isinstance(t0, bool) and math.isfinite(t0):
                self.t0_unix = float(t0)
        return self.t0_unix

    def ingest(self, columns, rows, generation=None):
        """Rows of a satellite's run; other columns or another generation
        start the record over."""
        if (not isinstance(columns, list) or not 0 < len(columns) <= MAX_COLUMNS
                or not all(isinstance(c, str) and c and "," not in c and "\n" not in c for c in columns)):
            raise ValueError("columns: a list of names")
        clean = []
        for row in rows if isinstance(rows, list) else [None]:
            if not isinstance(row, list) or len(row) != len(columns):
                raise ValueError("rows: lists of %d numbers" % len(columns))
            clean.append([number(x) if isinstance(x, (int, float)) and not isinstance(x, bool)
                          else None for x in row])
        with self._lock:
            # A record read back from the file goes on with whoever sends next.
            if columns != self.columns or (generation is not None and self._source is not None
                                           and generation != self._source):
                self._start_over(columns)
            self._source = generation
            self.rows.extend(clean)
            self._trim()
            if self._file is not None:
                self._file.append(",".join("" if x is None else repr(x) for x in row) for row in clean)
                self._file.flush()
            return self._first + len(self.rows)

    def _start_over(self, columns):
        self._reset()
        self._generation += 1
        self.columns = list(columns)
        if self.read_only or not self.path:
            return
        if self._file is not None:
            self._file.close()
        tmp = self.path + ".tmp"
        try:
            with open(tmp, "w") as f:
                f.write(",".join(columns) + "\n")
            os.replace(tmp, self.path)
        except OSError:
            pass
        self._file = LineFile(self.path)

    def last(self, column):
        """The latest value of a column, or None."""
        with self._lock:
            if self.follow and self.path:
                self._refresh()
            if column not in self.columns or not self.rows:
                return None
            return self.rows[-1][self.columns.index(column)]

    def since(self, seq, limit=5000):
        with self._lock:
            if self.follow and self.path:
                self._refresh()
            start = max(seq, self._first)
            total = self._first + len(self.rows)
            end = min(total, start + limit)
            answer = {
                "file": self.path or "",
                "generation": self._generation,
                "file_generation": self._generation,
                "columns": self.columns,
                "first": self._first,
                "start": start,
                "next": end,
                "rows": self.rows[start - self._first:end - self._first],
            }
        if self._run_t0() is not None:
            answer["t0_unix"] = self.t0_unix
        return answer
