"""The log channel: receives datagrams into a bounded queue, turns them into
printable lines, keeps recent lines in memory for the page and appends them to
text files that never hold half a line."""

import collections
import datetime
import errno
import os
import re
import socket
import sys
import threading
import time

# Asked for; the kernel doubles it, and without the right to force it the
# system's maximum applies (reported on start).
RECEIVE_BUFFER = 64 * 1024 * 1024
MAX_DATAGRAM = 65535
# The receiver's queue, between the socket and the writer: a flood of large
# datagrams fills it in bytes, a burst of small ones in entries.
QUEUE_BYTES = 32 * 1024 * 1024
QUEUE_ENTRIES = 250000
# Per satellite, for the page; the log file keeps everything.
MEMORY_LINES = 20000
MEMORY_BYTES = 4 * 1024 * 1024
# What Python spends on a kept line beside its text.
LINE_OVERHEAD = 150
# Lines waiting for a file that cannot be written (disk full).
BACKLOG_BYTES = 16 * 1024 * 1024
# Write errors that pass once there is room again.
TRANSIENT_WRITE_ERRORS = (errno.ENOSPC, errno.EDQUOT, errno.EAGAIN)
# One answer to the page stays small, whatever the lines.
ANSWER_BYTES = 1024 * 1024

# Control characters but the tab (C0, DEL and C1), the backslash, the bytes
# that are not UTF-8 (surrogate escapes) and the invisible characters that
# reorder or hide text on a terminal or a page (bidi overrides and isolates,
# direction marks, line and paragraph separators, the byte order mark,
# interlinear annotations, the non-characters XML refuses), each as its escape.
_ESCAPES = {c: "\\x%02x" % c for c in list(range(32)) + [127] if c != 9}
# Code points from U+0080 on as \uXXXX: \x80 is the byte that was not UTF-8.
_INVISIBLE = (list(range(0x80, 0xA0)) + [0x061C, 0x200E, 0x200F, 0xFEFF, 0xFFFE, 0xFFFF]
              + list(range(0x2028, 0x202F)) + list(range(0x2060, 0x2070))
              + list(range(0xFFF9, 0xFFFC)))
_ESCAPES.update({c: "\\u%04x" % c for c in _INVISIBLE})
_ESCAPES.update({10: "\\n", 13: "\\r"})
# A line of text already ours (a message, an escaped line) keeps its backslashes.
_CONTROLS = dict(_ESCAPES)
_ESCAPES.update({ord("\\"): "\\\\"})
_ESCAPES.update({c: "\\x%02x" % (c - 0xDC00) for c in range(0xDC80, 0xDD00)})
_STAMP = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (.*)$")


_second = (None, "")


def stamp(t):
    """Arrival time as written in the log file and shown on the page."""
    global _second
    whole = int(t)
    second = _second
    if second[0] != whole:
        # Many lines share a second; the calendar is worked out once.
        second = _second = (whole, datetime.datetime.fromtimestamp(whole).strftime("%Y-%m-%d %H:%M:%S."))
    return second[1] + "%03d" % int((t - whole) * 1000)


def datagram_text(data):
    """One datagram as one printable line: a single trailing newline is the
    sender's line end and is dropped; control bytes, bytes that are not UTF-8
    and the backslash itself are escaped, so that a datagram never spans two
    lines of the log file and the escapes stay unambiguous."""
    if data.endswith(b"\n"):
        data = data[:-1]
    return data.decode("utf-8", errors="surrogateescape").translate(_ESCAPES)


def printable(text):
    """text with its control and invisible characters escaped, as a received
    line is; what is escaped already stays as it is."""
    return text.translate(_CONTROLS)


def parse_line(line):
    """(unix time, rest) of a line of a log file, or None."""
    m = _STAMP.match(line)
    if not m:
        return None
    try:
        d = datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f")
    except ValueError:
        return None
    return d.timestamp(), m.group(2)


def say(text):
    """A message of the station itself, on standard error."""
    try:
        print("kelvex-ground: " + text, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def open_udp(bind, port, buffer=RECEIVE_BUFFER):
    sock = socket.socket(socket.AF_INET6 if ":" in bind else socket.AF_INET, socket.SOCK_DGRAM)
    # SO_RCVBUFFORCE goes past the system's rmem_max when we are allowed to.
    for opt in (getattr(socket, "SO_RCVBUFFORCE", None), socket.SO_RCVBUF):
        if opt is None:
            continue
        try:
            sock.setsockopt(socket.SOL_SOCKET, opt, buffer)
            break
        except OSError:
            pass
    sock.bind((bind, port))
    return sock


class Receiver:
    """Only receives and queues, so that a burst is drained from the socket as
    fast as it comes. Whatever does not fit the queue is counted, and so is
    what the kernel dropped before we could read it."""

    def __init__(self, sock, queue_bytes=QUEUE_BYTES, queue_entries=QUEUE_ENTRIES):
        self.sock = sock
        self.queue_bytes = queue_bytes
        self.queue_entries = queue_entries
        self.received = 0
        self.dropped_queue = 0
        self.dropped_by = collections.Counter()
        self.peak_bytes = 0
        # accept(peer) -> bool, when set: datagrams it refuses are counted
        # in refused and go no further (a run's station takes its mission's
        # only).
        self.accept = None
        self.refused = 0
        # Each written by one thread only: the queue needs no lock.
        self._bytes_in = 0
        self._bytes_out = 0
        self._queue = collections.deque()
        self.wake = threading.Event()
        self._stop = threading.Event()
        self._inode = os.fstat(sock.fileno()).st_ino
        self._kernel = (0.0, 0)
        self._thread = threading.Thread(target=self._run, name="log-receiver", daemon=True)
        # What stamps a datagram (a run in virtual time gives its clock), and
        # who hears that one was stamped (that clock waits for it).
        self.clock = time.time
        self.on_taken = None

    @property
    def port(self):
        return self.sock.getsockname()[1]

    @property
    def buffer(self):
        return self.sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)

    @property
    def queued_bytes(self):
        return self._bytes_in - self._bytes_out

    @property
    def dropped_kernel(self):
        """Datagrams the socket's full buffer dropped (the kernel's count)."""
        when, count = self._kernel
        if time.monotonic() - when > 0.2:
            count = max(count, kernel_drops(self._inode))
            self._kernel = (time.monotonic(), count)
        return count

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        try:
            # Unblocks the receive; the thread sees the stop flag next.
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        if self._thread.ident is not None:
            self._thread.join(timeout=5)
        self._kernel = (0.0, self.dropped_kernel)
        self.sock.close()
        self.wake.set()

    def take(self, limit=20000, limit_bytes=2 * 1024 * 1024):
        """The oldest datagrams; a batch stays small, whatever they hold."""
        queue, batch = self._queue, []
        size = 0
        while queue and len(batch) < limit and size < limit_bytes:
            item = queue.popleft()
            size += len(item[2]) + 100
            batch.append(item)
        self._bytes_out += size
        return batch

    def _run(self):
        recv, queue, wake = self.sock.recvfrom, self._queue, self.wake
        append = queue.append
        while not self._stop.is_set():
            try:
                data, peer = recv(MAX_DATAGRAM)
            except OSError:
                if self._stop.is_set():
                    break
                continue
            if self._stop.is_set() and not data and peer is None:
                break
            self.received += 1
            if self.accept is not None and (peer is None or not self.accept(peer)):
                self.refused += 1
                continue
            size = len(data) + 100
            queued = self._bytes_in - self._bytes_out
            if len(queue) >= self.queue_entries or queued + size > self.queue_bytes:
                self.dropped_queue += 1
                self.dropped_by[peer[0] if peer else ""] += 1
                if self.on_taken is not None:
                    self.on_taken()
                continue
            append((self.clock(), peer[0] if peer else "", data))
            if self.on_taken is not None:
                self.on_taken()
            self._bytes_in += size
            if queued + size > self.peak_bytes:
                self.peak_bytes = queued + size
            if not wake.is_set():
                wake.set()


def kernel_drops(inode):
    """The drops column of a UDP socket in /proc/net/udp or udp6."""
    for name in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(name) as f:
                next(f, None)
                for line in f:
                    fields = line.split()
                    if len(fields) >= 13 and fields[9] == str(inode):
                        return int(fields[12])
        except (OSError, ValueError):
            pass
    return 0


class LineFile:
    """An append-only text file of whole lines. A write that fails (a full
    disk) is cut back to the last whole line, the lines wait in a bounded
    backlog and go out once the file can be written again; lines beyond the
    backlog are counted. Each change of state is said once."""

    def __init__(self, path, backlog_bytes=BACKLOG_BYTES):
        self.path = path
        self.backlog_bytes = backlog_bytes
        self.dropped = 0
        self.failing = None
        self._pending = []
        self._pending_bytes = 0
        self._fd = None

    def append(self, lines):
        for line in lines:
            data = (line + "\n").encode("utf-8", errors="surrogateescape")
            if self._pending_bytes + len(data) > self.backlog_bytes and not self.failing:
                self.flush()
            if self._pending_bytes + len(data) > self.backlog_bytes:
                self.dropped += 1
                continue
            self._pending.append(data)
            self._pending_bytes += len(data)

    def flush(self):
        if not self._pending:
            return True
        try:
            if self._fd is None:
                self._fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
            self._write(b"".join(self._pending))
        except OSError as e:
            if self.failing is None:
                say("cannot write %s (%s); lines wait in memory (at most %d MB) and go on "
                    "to the page" % (self.path, e.strerror or e, self.backlog_bytes >> 20))
            self.failing = e.strerror or str(e)
            return False
        self._pending.clear()
        self._pending_bytes = 0
        if self.failing is not None:
            say("writing %s again%s" % (self.path, ", %d lines were lost" % self.dropped
                                         if self.dropped else ""))
            self.failing = None
        return True

    def _write(self, data):
        start = os.fstat(self._fd).st_size
        done = 0
        try:
            while done < len(data):
                n = os.write(self._fd, data[done:])
                if n <= 0:
                    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                done += n
        except OSError:
            if done:
                # Never leave half a line: the whole batch is written again later.
                try:
                    os.ftruncate(self._fd, start)
                except OSError:
                    pass
            raise

    def close(self):
        self.flush()
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


class Echo:
    """The lines on the terminal, escaped as in the log file. A closed
    standard output (the station piped into head) ends the echo, once and
    said; a full disk under it skips lines until there is room; the log goes
    on either way."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.closed = False
        self.full = False

    def write(self, lines):
        if self.closed or not lines:
            return
        data = "".join(x + "\n" for x in lines).encode("utf-8", errors="surrogateescape")
        try:
            while data:
                data = data[os.write(self.fd, data):]
        except OSError as e:
            if e.errno in TRANSIENT_WRITE_ERRORS:
                # A full disk under a redirected output passes: these lines
                # are lost to the terminal (the log has them), the next are tried.
                if not self.full:
                    self.full = True
                    say("standard output: %s; lines not printed until there is room, "
                        "the log goes on" % (e.strerror or e))
                return
            self.closed = True
            say("standard output is closed (%s); no more lines printed, the log goes on"
                % (e.strerror or e))
            return
        if self.full:
            self.full = False
            say("standard output takes lines again")


class LogBook:
    """The recent lines of one satellite, numbered from the first line of its
    log file; bounded in lines and bytes."""

    def __init__(self, max_lines=MEMORY_LINES, max_bytes=MEMORY_BYTES):
        self.max_lines = max_lines
        self.max_bytes = max_bytes
        self._lines = collections.deque()
        self._bytes = 0
        self.first = 0
        self.count = 0
        self.lock = threading.Lock()

    def add(self, entries):
        """entries: (unix time, text) in arrival order."""
        with self.lock:
            for t, text in entries:
                self._lines.append((t, text))
                self._bytes += len(text) + LINE_OVERHEAD
            self.count += len(entries)
            while self._lines and (len(self._lines) > self.max_lines or self._bytes > self.max_bytes):
                self._bytes -= len(self._lines.popleft()[1]) + LINE_OVERHEAD
                self.first += 1

    def load(self, path, strip_address=False):
        """The lines of an earlier run's log file; the page shows them again."""
        try:
            f = open(path, encoding="utf-8", errors="surrogateescape")
        except OSError:
            return
        entries = []
        with f:
            for line in f:
                parsed = parse_line(line.rstrip("\n"))
                if parsed is None:
                    continue
                t, text = parsed
                if strip_address and text.startswith("["):
                    text = text.partition("] ")[2]
                entries.append((t, text))
                if len(entries) >= 4 * self.max_lines:
                    self.add(entries)
                    entries = []
        self.add(entries)

    def last(self):
        with self.lock:
            return self._lines[-1] if self._lines else None

    def since(self, seq, limit=2000):
        """Lines from number seq on (at most limit, and at most ANSWER_BYTES of
        text) and the next number to ask for."""
        with self.lock:
            start = min(max(seq, self.first), self.count)
            end = min(self.count, start + limit)
            lines, size = [], 0
            for i in range(start, end):
                t, text = self._lines[i - self.first]
                if lines and size + len(text) > ANSWER_BYTES:
                    end = i
                    break
                size += len(text)
                lines.append({"n": i, "t": t, "time": stamp(t), "text": text})
            return {"next": end, "first": self.first, "lines": lines}
