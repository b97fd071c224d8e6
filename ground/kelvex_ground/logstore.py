"""Receives the satellite's log datagrams and keeps them, in arrival order."""

import collections
import datetime
import os
import socket
import threading
import time

# Big enough for a few thousand short datagrams while the writer catches up.
RECEIVE_BUFFER = 8 * 1024 * 1024
MAX_DATAGRAM = 65535
# Lines kept in memory for the page; the log file keeps everything.
MEMORY_LINES = 50000


def stamp(t):
    """Arrival time as written in the log file and shown on the page."""
    d = datetime.datetime.fromtimestamp(t)
    return d.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (d.microsecond // 1000)


def datagram_text(data):
    """One datagram as one printable line: a single trailing newline is the
    sender's line end and is dropped; control bytes, bytes that are not UTF-8
    and the backslash itself are escaped, so that a datagram never spans two
    lines of the log file and the escapes stay unambiguous."""
    text = data.decode("utf-8", errors="surrogateescape")
    if text.endswith("\n"):
        text = text[:-1]
    out = []
    for ch in text:
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:
            out.append("\\x%02x" % (code - 0xDC00))
        elif ch == "\\" or (code < 32 and ch != "\t") or code == 127:
            out.append({"\\": "\\\\", "\n": "\\n", "\r": "\\r"}.get(ch, "\\x%02x" % code))
        else:
            out.append(ch)
    return "".join(out)


def open_udp(bind, port):
    sock = socket.socket(socket.AF_INET6 if ":" in bind else socket.AF_INET, socket.SOCK_DGRAM)
    # SO_RCVBUFFORCE goes past the system's rmem_max when we are allowed to.
    for opt in (getattr(socket, "SO_RCVBUFFORCE", None), socket.SO_RCVBUF):
        if opt is None:
            continue
        try:
            sock.setsockopt(socket.SOL_SOCKET, opt, RECEIVE_BUFFER)
            break
        except OSError:
            pass
    sock.bind((bind, port))
    return sock


class LogStore:
    """Two threads: the receiver only receives and queues, so that a burst is
    drained from the socket as fast as it comes; the writer appends to the log
    file, echoes to the terminal and publishes the lines to the page."""

    def __init__(self, sock, path, echo=None):
        """echo: a binary stream that gets every datagram as it arrives."""
        self.sock = sock
        self.path = path
        self.echo = echo
        self._queue = collections.deque()
        self._wake = threading.Event()
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._lines = collections.deque()
        self._first = 0
        self._count = 0
        self._threads = [
            threading.Thread(target=self._receive, name="log-receiver", daemon=True),
            threading.Thread(target=self._write, name="log-writer", daemon=True),
        ]

    @property
    def port(self):
        return self.sock.getsockname()[1]

    def start(self):
        for t in self._threads:
            t.start()

    def stop(self):
        self._stop.set()
        try:
            # Unblocks recvfrom; the receiver sees the stop flag next.
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._wake.set()
        for t in self._threads:
            t.join(timeout=5)
        self.sock.close()

    def _receive(self):
        recv, queue, wake = self.sock.recvfrom, self._queue, self._wake
        while not self._stop.is_set():
            try:
                data, _ = recv(MAX_DATAGRAM)
            except OSError:
                if self._stop.is_set():
                    break
                continue
            if self._stop.is_set() and not data:
                break
            queue.append((time.time(), data))
            wake.set()

    def _write(self):
        with open(self.path, "a", encoding="utf-8") as f:
            while True:
                self._wake.wait(0.5)
                self._wake.clear()
                batch = []
                while self._queue:
                    batch.append(self._queue.popleft())
                if batch:
                    self._publish(f, batch)
                elif self._stop.is_set():
                    break

    def _publish(self, f, batch):
        entries = [(t, datagram_text(data), data) for t, data in batch]
        f.write("".join("%s %s\n" % (stamp(t), text) for t, text, _ in entries))
        f.flush()
        if self.echo is not None:
            # The datagrams' own bytes, whatever the terminal's encoding.
            self.echo.write(b"".join(d if d.endswith(b"\n") else d + b"\n" for _, _, d in entries))
            self.echo.flush()
        with self._lock:
            for t, text, _ in entries:
                self._lines.append((t, text))
            self._count += len(entries)
            while len(self._lines) > MEMORY_LINES:
                self._lines.popleft()
                self._first += 1

    def since(self, seq, limit=2000):
        """Lines from sequence number seq on (at most limit) and the next
        sequence number to ask for."""
        with self._lock:
            start = max(seq, self._first)
            end = min(self._count, start + limit)
            lines = [
                {"seq": i, "t": self._lines[i - self._first][0],
                 "time": stamp(self._lines[i - self._first][0]),
                 "text": self._lines[i - self._first][1]}
                for i in range(start, end)
            ]
            return {"next": end, "first": self._first, "lines": lines}
