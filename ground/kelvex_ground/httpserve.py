"""An HTTP server on which an idle connection costs no thread: one selector
thread holds every connection until its request has fully arrived, and a
fixed pool of workers answers complete requests, one per connection."""

import collections
import re
import selectors
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor

WORKERS = 8
# Past this many open connections the one waiting longest for its request
# makes room, so that a crowd of idle sockets never locks out a new request.
MAX_CONNECTIONS = 256
# From the connection to the last byte of the request, and for each answer.
IDLE_TIMEOUT = 20.0
MAX_REQUEST = 64 * 1024
# Requests still arriving, all connections together, are held up to this
# size; past it, the connection that would go over is closed.
MAX_BUFFERED = 32 * 1024 * 1024
HEAD_END = b"\r\n\r\n"
CONTENT_LENGTH = re.compile(rb"\r\ncontent-length:[ \t]*([0-9]+)[ \t]*\r\n", re.IGNORECASE)


class _Waiting:
    __slots__ = ("sock", "address", "data", "deadline")

    def __init__(self, sock, address, deadline):
        self.sock = sock
        self.address = address
        self.data = b""
        self.deadline = deadline


class SocketWriter:
    """The answer's stream: straight to the socket, whose timeout bounds
    every write (a reader that stops reading loses its answer)."""

    def __init__(self, sock):
        self._sock = sock

    def write(self, data):
        self._sock.sendall(data)
        return len(data)

    def flush(self):
        pass

    def close(self):
        pass


def request_complete(data):
    """Whether data holds a whole request: its head and, when it announces
    one, its body."""
    end = data.find(HEAD_END)
    if end < 0:
        return False
    m = CONTENT_LENGTH.search(data, 0, end + 2)
    return m is None or len(data) >= end + len(HEAD_END) + int(m.group(1))


class BoundedHTTPServer:
    """answer(sock, address, request_bytes) is called on a worker thread
    with the whole request and writes the answer; the connection is closed
    after it."""

    def __init__(self, bind, port, answer, workers=WORKERS, max_connections=MAX_CONNECTIONS,
                 idle_timeout=IDLE_TIMEOUT, max_request=MAX_REQUEST):
        family = socket.AF_INET6 if ":" in bind else socket.AF_INET
        self.socket = socket.create_server((bind, port), family=family, backlog=128)
        self.socket.setblocking(False)
        self.server_address = self.socket.getsockname()
        self.answer = answer
        self.idle_timeout = idle_timeout
        self.max_connections = max_connections
        self.max_request = max_request
        self._waiting = collections.OrderedDict()
        self._lock = threading.Lock()
        self._serving = 0
        self._serving_socks = set()
        self._buffered = 0
        self._stop = threading.Event()
        self._wake_r, self._wake_w = socket.socketpair()
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
            return len(self._waiting) + self._serving

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        self._wake_w.send(b"x")
        if self._thread.is_alive():
            self._thread.join(timeout=5)
        with self._lock:
            serving = list(self._serving_socks)
        for sock in serving:
            # A worker writing to a reader that stopped reading gives up now.
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._pool.shutdown(wait=True, cancel_futures=True)
        for w in list(self._waiting.values()):
            self._close(w)
        self._selector.close()
        self.socket.close()
        self._wake_r.close()
        self._wake_w.close()

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
                    self._wake_r.recv(64)
                else:
                    try:
                        self._read(key.data)
                    except Exception:
                        # One connection's trouble never stops the others.
                        if key.data.sock in self._waiting:
                            self._drop(key.data)
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
                if not self._waiting:
                    sock.close()
                    continue
                self._drop(next(iter(self._waiting.values())))
            sock.setblocking(False)
            w = _Waiting(sock, address, time.monotonic() + self.idle_timeout)
            with self._lock:
                self._waiting[sock] = w
            self._selector.register(sock, selectors.EVENT_READ, w)

    def _read(self, w):
        try:
            chunk = w.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            chunk = b""
        if not chunk or self._buffered + len(chunk) > MAX_BUFFERED:
            return self._drop(w)
        w.data += chunk
        self._buffered += len(chunk)
        if request_complete(w.data) or len(w.data) > self.max_request:
            # An oversized request goes to a worker too, which refuses it.
            self._selector.unregister(w.sock)
            self._buffered -= len(w.data)
            with self._lock:
                del self._waiting[w.sock]
                self._serving += 1
                self._serving_socks.add(w.sock)
            self._pool.submit(self._serve, w)

    def _expire(self):
        now = time.monotonic()
        while self._waiting:
            oldest = next(iter(self._waiting.values()))
            if oldest.deadline > now:
                break
            self._drop(oldest)

    def _drop(self, w):
        self._buffered -= len(w.data)
        self._selector.unregister(w.sock)
        with self._lock:
            del self._waiting[w.sock]
        self._close(w)

    @staticmethod
    def _close(w):
        try:
            w.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        w.sock.close()

    def _serve(self, w):
        try:
            w.sock.setblocking(True)
            w.sock.settimeout(self.idle_timeout)
            self.answer(w.sock, w.address, w.data)
        except Exception:
            # The client went away or timed out; nothing to tell it.
            pass
        finally:
            with self._lock:
                self._serving -= 1
                self._serving_socks.discard(w.sock)
            self._close(w)
