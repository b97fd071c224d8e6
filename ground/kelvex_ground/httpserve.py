"""An HTTP server on which neither an idle connection nor a slow reader costs
a thread: one selector thread holds every connection until its request has
fully arrived, a fixed pool of workers makes the answers to complete
requests, and the selector thread sends each answer as its reader takes it
(a file straight from the disk, by sendfile), then closes the connection."""

import collections
import os
import re
import selectors
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor

WORKERS = 8
# Past this many open connections the one waiting longest for its request
# (else the slowest reader) makes room, so that a crowd of idle sockets never
# locks out a new request.
MAX_CONNECTIONS = 256
# From the connection to the last byte of the request, and between two
# pieces of an answer the reader takes.
IDLE_TIMEOUT = 20.0
MAX_REQUEST = 64 * 1024
# Requests still arriving, all connections together, are held up to this
# size; past it, the connection that would go over is closed.
MAX_BUFFERED = 32 * 1024 * 1024
# Answers made but not yet sent, all connections together (the files they
# send stay on the disk); an answer that would go over is not sent.
MAX_UNSENT = 32 * 1024 * 1024
SEND_CHUNK = 256 * 1024
HEAD_END = b"\r\n\r\n"
CONTENT_LENGTH = re.compile(rb"\r\ncontent-length:[ \t]*([0-9]+)[ \t]*\r\n", re.IGNORECASE)


class Answer:
    """What a worker answers: bytes (the head, a small body), then at most
    one open file, sent after the worker is done."""

    def __init__(self, local=None):
        # The connection's own end (address, port), for the answer to see.
        self.local = local
        self.data = bytearray()
        self.file = None
        self.offset = 0
        self.remaining = 0

    def write(self, data):
        self.data += data
        return len(data)

    def send_file(self, f, length):
        """Sends length bytes of f (open, binary) from where it stands after
        the bytes written, and closes it."""
        self.file, self.offset, self.remaining = f, f.tell(), length

    def flush(self):
        pass

    def close(self):
        if self.file is not None:
            self.file.close()
            self.file = None


class _Connection:
    """A connection from its accept to its close: its request as it
    arrives, then its answer as it leaves."""
    __slots__ = ("sock", "address", "local", "data", "deadline", "answer", "view", "size")

    def __init__(self, sock, address, deadline):
        self.sock = sock
        self.address = address
        try:
            self.local = sock.getsockname()
        except OSError:
            self.local = None
        self.data = b""
        self.deadline = deadline
        self.answer = None
        self.view = None
        # The bytes of its answer, counted in the server's unsent bytes.
        self.size = 0

    def send(self):
        """Sends what the socket takes now: True once everything is sent;
        BlockingIOError when the reader has not taken it yet."""
        while self.view:
            n = self.sock.send(self.view[:SEND_CHUNK])
            self.view = self.view[n:]
        a = self.answer
        while a.remaining > 0:
            n = os.sendfile(self.sock.fileno(), a.file.fileno(), a.offset,
                            min(a.remaining, SEND_CHUNK))
            if n == 0:
                # The file shrank meanwhile: the reader gets a short answer.
                break
            a.offset += n
            a.remaining -= n
        return True


def request_complete(data):
    """Whether data holds a whole request: its head and, when it announces
    one, its body."""
    end = data.find(HEAD_END)
    if end < 0:
        return False
    m = CONTENT_LENGTH.search(data, 0, end + 2)
    return m is None or len(data) >= end + len(HEAD_END) + int(m.group(1))


class BoundedHTTPServer:
    """answer(address, request_bytes, out) is called on a worker thread with
    the whole request and writes the answer into out (an Answer). A reader
    that takes nothing of its answer for idle_timeout is closed."""

    def __init__(self, bind, port, answer, workers=WORKERS, max_connections=MAX_CONNECTIONS,
                 idle_timeout=IDLE_TIMEOUT, max_request=MAX_REQUEST, max_unsent=MAX_UNSENT):
        family = socket.AF_INET6 if ":" in bind else socket.AF_INET
        self.socket = socket.create_server((bind, port), family=family, backlog=128)
        self.socket.setblocking(False)
        self.server_address = self.socket.getsockname()
        self.answer = answer
        self.idle_timeout = idle_timeout
        self.max_connections = max_connections
        self.max_request = max_request
        self.max_unsent = max_unsent
        # Only the selector thread touches these three, except _made (locked).
        self._waiting = collections.OrderedDict()
        self._sending = {}
        self._buffered = 0
        self._lock = threading.Lock()
        self._serving = 0
        self._made = collections.deque()
        self._unsent = 0
        # Answers not sent because the bytes on their way were at their bound.
        self.refused_answers = 0
        self._stop = threading.Event()
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_w.setblocking(False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self.socket, selectors.EVENT_READ)
        self._selector.register(self._wake_r, selectors.EVENT_READ)
        self._pool = ThreadPoolExecutor(workers, thread_name_prefix="web")
        self._thread = threading.Thread(target=self._run, name="web-accept", daemon=True)

    @property
    def port(self):
        return self.server_address[1]

    def open_connections(self):
        with self._lock:
            return len(self._waiting) + self._serving + len(self._made) + len(self._sending)

    def unsent_bytes(self):
        with self._lock:
            return self._unsent

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._wake()
        if self._thread.is_alive():
            self._thread.join(timeout=5)
        self._pool.shutdown(wait=True, cancel_futures=True)
        with self._lock:
            made, self._made = list(self._made), collections.deque()
        for c in list(self._waiting.values()) + list(self._sending.values()) + made:
            self._close(c)
        self._selector.close()
        self.socket.close()
        self._wake_r.close()
        self._wake_w.close()

    def _wake(self):
        try:
            self._wake_w.send(b"x")
        except OSError:
            # Full: the selector thread is woken already.
            pass

    def _run(self):
        while not self._stop.is_set():
            timeout = 0.5
            if self._waiting:
                oldest = next(iter(self._waiting.values()))
                timeout = min(timeout, max(0.0, oldest.deadline - time.monotonic()))
            for key, _ in self._selector.select(timeout):
                if key.fileobj is self.socket:
                    self._accept()
                elif key.fileobj is self._wake_r:
                    self._wake_r.recv(4096)
                elif key.data.answer is not None:
                    self._send(key.data)
                else:
                    try:
                        self._read(key.data)
                    except Exception:
                        # One connection's trouble never stops the others.
                        if key.data.sock in self._waiting:
                            self._drop(key.data)
            self._take_answers()
            self._expire()

    def _accept(self):
        for _ in range(64):
            try:
                sock, address = self.socket.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                # Out of descriptors or the like: the others still get served.
                return
            if self.open_connections() >= self.max_connections:
                if self._waiting:
                    self._drop(next(iter(self._waiting.values())))
                elif self._sending:
                    self._end(min(self._sending.values(), key=lambda c: c.deadline))
                else:
                    sock.close()
                    continue
            sock.setblocking(False)
            c = _Connection(sock, address, time.monotonic() + self.idle_timeout)
            self._waiting[sock] = c
            self._selector.register(sock, selectors.EVENT_READ, c)

    def _read(self, c):
        try:
            chunk = c.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            chunk = b""
        if not chunk or self._buffered + len(chunk) > MAX_BUFFERED:
            return self._drop(c)
        c.data += chunk
        self._buffered += len(chunk)
        if request_complete(c.data) or len(c.data) > self.max_request:
            # An oversized request goes to a worker too, which refuses it.
            self._selector.unregister(c.sock)
            self._buffered -= len(c.data)
            del self._waiting[c.sock]
            with self._lock:
                self._serving += 1
            self._pool.submit(self._serve, c)

    def _serve(self, c):
        """On a worker: the answer, handed back to the selector thread."""
        out = Answer(c.local)
        try:
            self.answer(c.address, c.data, out)
        except Exception:
            # Nothing sensible to tell the client; it gets what was written.
            pass
        c.data = b""
        with self._lock:
            self._serving -= 1
            if self._unsent + len(out.data) > self.max_unsent:
                self.refused_answers += 1
                out = None
            else:
                c.size = len(out.data)
                self._unsent += c.size
                c.answer = out
                self._made.append(c)
        if out is None:
            self._close(c)
        else:
            self._wake()

    def _take_answers(self):
        while True:
            with self._lock:
                if not self._made:
                    return
                c = self._made.popleft()
            c.view = memoryview(bytes(c.answer.data))
            c.answer.data = None
            self._sending[c.sock] = c
            self._selector.register(c.sock, selectors.EVENT_WRITE, c)
            self._send(c)

    def _send(self, c):
        try:
            c.send()
        except (BlockingIOError, InterruptedError):
            c.deadline = time.monotonic() + self.idle_timeout
            return
        except OSError:
            pass
        self._end(c)

    def _end(self, c):
        """The answer is sent, or its reader is given up on."""
        self._selector.unregister(c.sock)
        del self._sending[c.sock]
        self._close(c)

    def _expire(self):
        now = time.monotonic()
        while self._waiting:
            oldest = next(iter(self._waiting.values()))
            if oldest.deadline > now:
                break
            self._drop(oldest)
        for c in [c for c in self._sending.values() if c.deadline <= now]:
            self._end(c)

    def _drop(self, c):
        self._buffered -= len(c.data)
        self._selector.unregister(c.sock)
        del self._waiting[c.sock]
        self._close(c)

    def _close(self, c):
        if c.answer is not None:
            with self._lock:
                self._unsent -= c.size
            c.answer.close()
            c.answer = None
        try:
            c.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        c.sock.close()
