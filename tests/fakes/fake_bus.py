"""A scripted bus controller on a pseudo-terminal for the Python tests.

The fake serves the master side of a pty on a thread. It collects the bytes
the mission writes to the slave, cuts them into frames at every zero byte,
decodes each frame with its own reference COBS decoder (not the one under
test), records it and asks the test's handler what to send back. A reply is a
list of steps, each a pause in milliseconds and then raw bytes, so a test can
answer late, split an answer, glue frames, send garbage or stay silent.
"""

import os
import select
import struct
import threading
import time
import tty


def cobs_encode_ref(data):
    out = bytearray([0])
    code_at, code = 0, 1
    for i, byte in enumerate(data):
        if byte == 0:
            out[code_at] = code
            code_at, code = len(out), 1
            out.append(0)
            continue
        out.append(byte)
        code += 1
        if code == 0xFF and i + 1 < len(data):
            out[code_at] = code
            code_at, code = len(out), 1
            out.append(0)
    out[code_at] = code
    return bytes(out)


def cobs_decode_ref(enc):
    """The decoded bytes, or None when enc is not a valid encoding."""
    out = bytearray()
    i = 0
    while i < len(enc):
        code = enc[i]
        i += 1
        if code == 0 or i + code - 1 > len(enc):
            return None
        block = enc[i:i + code - 1]
        if 0 in block:
            return None
        out += block
        i += code - 1
        if code != 0xFF and i < len(enc):
            out.append(0)
    return bytes(out) if enc else None


def wire_frame(decoded):
    """One frame as it goes on the wire: the encoding and its delimiter."""
    return cobs_encode_ref(decoded) + b"\x00"


def le16(*words):
    return b"".join(struct.pack("<H", w & 0xFFFF) for w in words)


def answer_to(request, values=b""):
    """The controller's answer: word 0 copied, the two addresses swapped,
    then values from byte offset 6."""
    return bytes(request[0:2] + request[4:6] + request[2:4]) + bytes(values)


class Frame:
    def __init__(self, raw):
        self.raw = bytes(raw)
        self.decoded = cobs_decode_ref(self.raw)
        self.valid = self.decoded is not None

    def __repr__(self):
        return "Frame(%s)" % (self.decoded.hex(" ") if self.valid else "invalid " + self.raw.hex(" "))


class FakeBus:
    """Serves the master of a fresh pty; the mission opens `path`."""

    def __init__(self):
        master, slave = os.openpty()
        tty.setraw(master)
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        # Holding the slave open keeps the master readable while the mission
        # closes and reopens its side.
        self._slave = slave
        self._master = master
        self._stop_r, self._stop_w = os.pipe()
        self._lock = threading.Condition()
        self._handler = None
        self._frames = []
        self._received = bytearray()
        self._pending = bytearray()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    @property
    def slave_fd(self):
        """The fake's own descriptor of the mission's side, for termios checks."""
        return self._slave

    def close(self):
        if self._thread is None:
            return
        os.write(self._stop_w, b"x")
        self._thread.join(timeout=5)
        self._thread = None
        for fd in (self._master, self._slave, self._stop_r, self._stop_w):
            os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def on_frame(self, handler):
        """handler(frame) returns a list of (delay_ms, bytes) steps."""
        with self._lock:
            self._handler = handler

    def answer_all(self, values=b""):
        """Answer every valid request with values at offset 6."""
        def handler(frame):
            if not frame.valid or len(frame.decoded) < 6:
                return []
            return [(0, wire_frame(answer_to(frame.decoded, values)))]
        self.on_frame(handler)

    def send(self, data):
        self._write_all(data)

    def frames(self):
        with self._lock:
            return list(self._frames)

    def requests(self):
        """The decoded frames, in arrival order."""
        return [f.decoded for f in self.frames() if f.valid]

    def received(self):
        with self._lock:
            return bytes(self._received)

    def clear(self):
        with self._lock:
            self._frames.clear()
            self._received.clear()
            self._pending.clear()

    def wait_frames(self, count, timeout=2.0):
        deadline = time.monotonic() + timeout
        with self._lock:
            while len(self._frames) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._lock.wait(left)
            return True

    def _write_all(self, data):
        view = memoryview(bytes(data))
        deadline = time.monotonic() + 5
        while view and time.monotonic() < deadline:
            try:
                n = os.write(self._master, view)
            except BlockingIOError:
                select.select([], [self._master], [], 0.1)
                continue
            view = view[n:]

    def _deliver(self, reply):
        for delay_ms, data in reply:
            if delay_ms > 0:
                ready, _, _ = select.select([self._stop_r], [], [], delay_ms / 1000.0)
                if ready:
                    return
            self._write_all(data)

    def _serve(self):
        while True:
            ready, _, _ = select.select([self._master, self._stop_r], [], [], 1.0)
            if self._stop_r in ready:
                return
            if self._master not in ready:
                continue
            try:
                chunk = os.read(self._master, 4096)
            except OSError:
                time.sleep(0.02)
                continue
            done = []
            with self._lock:
                self._received += chunk
                for byte in chunk:
                    if byte != 0:
                        self._pending.append(byte)
                    elif self._pending:
                        frame = Frame(self._pending)
                        self._pending.clear()
                        self._frames.append(frame)
                        done.append(frame)
                handler = self._handler
                self._lock.notify_all()
            for frame in done:
                if handler is not None:
                    self._deliver(handler(frame))
