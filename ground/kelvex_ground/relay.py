"""Sends everything a per-run station receives on to a shared station: log
datagrams by UDP, complete photos by FTP, telemetry rows and status by HTTP,
all from sockets bound to this station's own address, so that the shared
station attributes them to this satellite by their source address."""

import collections
import ftplib
import http.client
import json
import os
import socket
import threading
import time
import urllib.parse

from .logstore import say

# What waits for a shared station that does not answer.
MAX_WAITING = 100000
MAX_WAITING_BYTES = 32 * 1024 * 1024
TIMEOUT = 10.0
# How long the end of the run may take to reach the shared station.
DRAIN = 2.0


class Relay:
    def __init__(self, url, bind, root):
        parts = urllib.parse.urlsplit(url if "//" in url else "http://" + url)
        if parts.scheme != "http" or not parts.hostname:
            raise ValueError("--upstream: an http:// address of a station, not %r" % url)
        self.url = url
        self.host = parts.hostname
        self.http_port = parts.port or 80
        self.bind = bind
        self.run_json = os.path.join(os.path.dirname(root.rstrip("/")), "run.json")
        self.drops = {"relay": 0}
        # Sent with every status: where the shared station's panel reaches
        # this run's own (its control URL and token), when it has one.
        self.status_extra = {}
        self.alarm = None
        self.ports = None
        self._queue = collections.deque()
        self._bytes = 0
        self._lock = threading.Lock()
        self._wake = threading.Event()
        self._stop = threading.Event()
        self._udp = None
        self._station = None
        self._thread = threading.Thread(target=self._run, name="relay", daemon=True)
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        self._udp = socket.socket(family, socket.SOCK_DGRAM)
        self._udp.bind((bind, 0))

    def check(self):
        """Asks the shared station once, before anything runs: a wrong or
        unreachable address is an error at start, not a run that flies past
        the class station without a word."""
        try:
            self.ports = self._request("GET", "/api/station")
            int(self.ports["log_port"])
        except (OSError, http.client.HTTPException, ValueError, KeyError, TypeError) as e:
            self.ports = None
            raise ValueError("--upstream %s: no kelvex ground station answers there (%s)"
                             % (self.url, e or type(e).__name__))

    def start(self, station):
        self._station = station
        self._thread.start()

    def stop(self):
        status = dict(self._run_fields(), state="ended", exit_status=self._exit_status())
        self._put(("status", status))
        self._stop.set()
        self._wake.set()
        self._thread.join(timeout=DRAIN + 5)
        self._udp.close()

    def _record(self):
        try:
            with open(self.run_json) as f:
                value = json.load(f)
        except (OSError, ValueError):
            return {}
        return value if isinstance(value, dict) else {}

    def _exit_status(self):
        value = self._record().get("exit_status")
        return value if isinstance(value, int) and not isinstance(value, bool) else None

    def _run_fields(self):
        """The run's name (its folder's) and whether the time limit stopped
        it, for the shared station's tile."""
        fields = {"run": os.path.basename(os.path.dirname(self.run_json)) or None}
        if self._record().get("time_limited") is True:
            fields["time_limited"] = True
        return {k: v for k, v in fields.items() if v is not None}

    # --- the station's events

    def _put(self, item):
        size = len(item[1]) if item[0] == "log" else 1000
        with self._lock:
            if len(self._queue) >= MAX_WAITING or self._bytes + size > MAX_WAITING_BYTES:
                self.drops["relay"] += 1
                return
            self._queue.append((size, item))
            self._bytes += size
        self._wake.set()

    def on_lines(self, sat, first, entries):
        for _, _, data in entries:
            self._put(("log", data))

    def on_photo(self, sat, photo):
        self._put(("photo", photo["path"], photo["name"]))

    def on_telemetry(self, sat, columns, rows):
        generation = "%r-%d" % (self._station.started, sat.telemetry.since(0, 0)["generation"])
        body = {"columns": columns, "rows": rows, "generation": generation}
        t0 = sat.telemetry.since(0, 0).get("t0_unix")
        if t0 is not None:
            body["t0_unix"] = t0
        self._put(("telemetry", body))

    def on_status(self, sat, status):
        state = "ended" if status["state"] == "ended" else "running"
        body = dict(self._run_fields(), state=state, exit_status=status["exit_status"])
        if sat.name:
            body["name"] = sat.name
        body.update(self.status_extra)
        self._put(("status", body))

    # --- sending

    def _run(self):
        deadline = None
        while True:
            if self._stop.is_set() and deadline is None:
                deadline = time.monotonic() + DRAIN
            with self._lock:
                size, item = self._queue[0] if self._queue else (0, None)
            if item is None:
                if deadline is not None:
                    return
                self._wake.wait(0.5)
                self._wake.clear()
                continue
            try:
                self._send(item)
            except (OSError, ftplib.Error, http.client.HTTPException, ValueError) as e:
                if self.alarm is None:
                    say("the station at %s does not take what this one sends (%s); "
                        "trying again" % (self.url, e))
                self.alarm = "upstream %s: %s" % (self.url, e)
                if deadline is not None and time.monotonic() > deadline:
                    with self._lock:
                        self.drops["relay"] += len(self._queue)
                        self._queue.clear()
                        self._bytes = 0
                    return
                self._stop.wait(1.0) if deadline is None else time.sleep(0.2)
                continue
            if self.alarm is not None:
                say("sending to the station at %s again" % self.url)
                self.alarm = None
            with self._lock:
                self._queue.popleft()
                self._bytes -= size

    def _send(self, item):
        if self.ports is None:
            self.ports = self._request("GET", "/api/station")
        kind = item[0]
        if kind == "log":
            self._udp.sendto(item[1], (self.host, int(self.ports["log_port"])))
        elif kind == "photo":
            self._upload(item[1], item[2])
        else:
            self._request("POST", "/api/ingest/" + kind, item[1])

    def _request(self, method, path, body=None):
        conn = http.client.HTTPConnection(self.host, self.http_port, timeout=TIMEOUT,
                                          source_address=(self.bind, 0))
        try:
            data = None if body is None else json.dumps(body).encode()
            headers = {"Content-Type": "application/json"} if data is not None else {}
            conn.request(method, path, body=data, headers=headers)
            answer = conn.getresponse()
            text = answer.read()
            if answer.status == 400:
                # Not going to be taken however often it is sent.
                self.drops["relay"] += 1
                return None
            if answer.status != 200:
                raise ValueError("%s %s: %d %s" % (method, path, answer.status, answer.reason))
            return json.loads(text)
        finally:
            conn.close()

    def _upload(self, path, name):
        ftp = ftplib.FTP(timeout=TIMEOUT, source_address=(self.bind, 0))
        try:
            ftp.connect(self.host, int(self.ports["ftp_port"]))
            ftp.login()
            with open(path, "rb") as f:
                ftp.storbinary("STOR incoming/" + name, f)
            ftp.quit()
        except FileNotFoundError:
            return
        finally:
            ftp.close()
