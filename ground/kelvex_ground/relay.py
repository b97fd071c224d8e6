"""Sends everything a per-run station receives on to a shared station: log
lines, telemetry rows and status by HTTP, complete photos by FTP. The run
registers first under its run id, its student's name and a secret it made;
every request then carries the run id and the secret (the FTP login is the
run id and the secret), which is how the shared station knows the run,
whatever address anyone else binds. The instructor's switches for this run
are asked for the same way and done on this run's own simulator."""

import collections
import json
import os
import re
import threading
import time
import urllib.parse

from .logstore import datagram_text, say

# Loaded by the first Relay: a run without a shared station asks this module
# for its run id only, and needs no FTP, HTTP or TLS client.
ftplib = http = None


def _load_clients():
    global ftplib, http
    import ftplib
    import http.client

# What waits for a shared station that does not answer.
MAX_WAITING = 100000
MAX_WAITING_BYTES = 32 * 1024 * 1024
TIMEOUT = 10.0
# How long the end of the run may take to reach the shared station.
DRAIN = 2.0
# Log lines go in one request up to this many.
LOG_BATCH = 2000
LOG_BATCH_BYTES = 512 * 1024
# How often the panel's switches are asked for, and the simulator's faults
# told again.
CONTROL_POLL_S = 0.5
FAULTS_EVERY_S = 5.0
# A run that has nothing to send says its status again this often: the
# shared station counts a run long unheard as no longer live.
HEARTBEAT_S = 20.0
# How often a refused registration is tried again (the run's user may have
# a place once another of its runs ends).
REFUSED_RETRY_S = 10.0
RUN_HEADER, SECRET_HEADER = "X-Kelvex-Run", "X-Kelvex-Secret"


class Refused(ValueError):
    """The shared station refuses this run's registration; the reason is
    its own words."""


def new_run_id(label=None):
    """A run's id on a class station: its label (the run folder's name) for
    the eye, and random digits so that no two runs share it."""
    label = re.sub(r"[^A-Za-z0-9_-]+", "-", label or "").strip("-_")[:40]
    # os.urandom as secrets.token_hex uses it: secrets loads OpenSSL's library.
    return "%s-%s" % (label or time.strftime("%Y%m%dT%H%M%S", time.gmtime()), os.urandom(4).hex())


class Relay:
    def __init__(self, url, bind, root, run=None, name=None):
        _load_clients()
        parts = urllib.parse.urlsplit(url if "//" in url else "http://" + url)
        if parts.scheme != "http" or not parts.hostname:
            raise ValueError("--upstream: an http:// address of a station, not %r" % url)
        self.url = url
        self.host = parts.hostname
        self.http_port = parts.port or 80
        self.bind = bind
        self.run_json = os.path.join(os.path.dirname(root.rstrip("/")), "run.json")
        self.run = run or new_run_id(os.path.basename(os.path.dirname(self.run_json)))
        self.name = name
        import secrets
        self.secret = secrets.token_urlsafe(24)
        self.registered = False
        # The simulator's control channel (a SocketForwarder), when the run
        # has one: the shared station's panel switches through it.
        self.control = None
        self.drops = {"relay": 0}
        self.alarm = None
        self.refusal = None
        self.ports = None
        self._last_status = None
        self._sent_at = time.monotonic()
        self._queue = collections.deque()
        self._bytes = 0
        self._lock = threading.Lock()
        self._wake = threading.Event()
        self._stop = threading.Event()
        self._station = None
        self._thread = threading.Thread(target=self._run, name="relay", daemon=True)
        self._control_thread = threading.Thread(target=self._control, name="relay-control",
                                                daemon=True)

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
        if self.control is not None:
            self._control_thread.start()

    def stop(self):
        status = dict(self._run_fields(), state="ended", exit_status=self._exit_status())
        sats = self._station.satellites() if self._station is not None else []
        status["lost"] = self._lost(sats[0]["drops"] if sats else {})
        self._put(("status", status))
        self._stop.set()
        self._wake.set()
        self._thread.join(timeout=DRAIN + 5)
        if self._control_thread.ident is not None:
            self._control_thread.join(timeout=TIMEOUT + 1)

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

    def _lost(self, drops):
        """What the run lost on its way to the shared station: its own
        station's losses and the relay's, shown there on its satellite."""
        lost = {k: v for k, v in drops.items() if v and isinstance(v, int)}
        if self.drops["relay"]:
            lost["relay"] = self.drops["relay"]
        return lost

    def _run_fields(self):
        """Whether the time limit stopped the run, for the shared station's
        tile (the run's id, which names it there, came with its registration)."""
        return {"time_limited": True} if self._record().get("time_limited") is True else {}

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
        body = dict(self._run_fields(), state=state, exit_status=status["exit_status"],
                    lost=self._lost(sat.drops()))
        if sat.name:
            body["name"] = sat.name
        self._last_status = body
        self._put(("status", body))

    # --- sending

    def _run(self):
        deadline = None
        while True:
            if self._stop.is_set() and deadline is None:
                deadline = time.monotonic() + DRAIN
            with self._lock:
                size, item, count = self._next()
            if item is None:
                if deadline is not None:
                    return
                if (self.registered and self._last_status is not None
                        and time.monotonic() - self._sent_at > HEARTBEAT_S):
                    self._put(("status", self._last_status))
                    continue
                self._wake.wait(0.5)
                self._wake.clear()
                continue
            try:
                self._send(item)
            except Refused as e:
                if str(e) != self.refusal:
                    say("the class station at %s does not take this run: %s. This satellite "
                        "is not on that station's page; everything stays in this run's folder "
                        "and on its own page. Asking again every %d s."
                        % (self.url, e, REFUSED_RETRY_S))
                self.refusal = str(e)
                self.alarm = "the station at %s refuses this run: %s" % (self.url, e)
                if self._give_up(deadline):
                    return
                self._stop.wait(REFUSED_RETRY_S) if deadline is None else time.sleep(0.2)
                continue
            except (OSError, ftplib.Error, http.client.HTTPException, ValueError) as e:
                if self.alarm is None:
                    say("the station at %s does not take what this one sends (%s); "
                        "trying again" % (self.url, e))
                self.alarm = "upstream %s: %s" % (self.url, e)
                if self._give_up(deadline):
                    return
                self._stop.wait(1.0) if deadline is None else time.sleep(0.2)
                continue
            self._sent_at = time.monotonic()
            if self.alarm is not None:
                say("sending to the station at %s again" % self.url)
                self.alarm = self.refusal = None
            with self._lock:
                for _ in range(count):
                    self._queue.popleft()
                self._bytes -= size

    def _give_up(self, deadline):
        """Past the end's deadline: what still waits is counted as lost."""
        if deadline is None or time.monotonic() <= deadline:
            return False
        with self._lock:
            self.drops["relay"] += len(self._queue)
            self._queue.clear()
            self._bytes = 0
        return True

    def _next(self):
        """(bytes, item, queue entries) of what to send next: the log lines
        at the head of the queue go together."""
        if not self._queue:
            return 0, None, 0
        size, item = self._queue[0]
        if item[0] != "log":
            return size, item, 1
        total, lines = 0, []
        for size, queued in self._queue:
            if queued[0] != "log" or len(lines) >= LOG_BATCH or total >= LOG_BATCH_BYTES:
                break
            lines.append(queued[1])
            total += size
        return total, ("log", lines), len(lines)

    def _send(self, item):
        if self.ports is None:
            self.ports = self._request("GET", "/api/station")
        if not self.registered:
            body = {"run": self.run, "secret": self.secret}
            if self.name:
                body["name"] = self.name
            if self._request("POST", "/api/ingest/register", body) is None:
                raise ValueError("the station refuses this run's registration")
            self.registered = True
        kind = item[0]
        if kind == "log":
            self._request("POST", "/api/ingest/log",
                          {"lines": [data.decode("latin-1") for data in item[1]]})
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
            headers.update({RUN_HEADER: self.run, SECRET_HEADER: self.secret})
            conn.request(method, path, body=data, headers=headers)
            answer = conn.getresponse()
            text = answer.read()
            if answer.status == 403:
                if path == "/api/ingest/register":
                    # Its words reach the run's terminal: escaped as a log line is.
                    raise Refused(datagram_text(text.strip()[:500]) or "403 Forbidden")
                # The station no longer knows this run (its folder was
                # removed), or takes no more of it now: registered again
                # before the next try, which says why if it is refused.
                self.registered = False
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
            ftp.login(self.run, self.secret)
            with open(path, "rb") as f:
                ftp.storbinary("STOR incoming/" + name, f)
            ftp.quit()
        except FileNotFoundError:
            return
        finally:
            ftp.close()

    # --- the instructor's panel on the shared station

    def _control(self):
        """Asks the shared station for the panel's switches, has this run's
        simulator do each, and brings its answer back with the next ask."""
        answer, told, delay = None, 0.0, CONTROL_POLL_S
        while not self._stop.wait(delay):
            delay = CONTROL_POLL_S
            body = {}
            if answer is not None:
                body["answer"] = answer
            if answer is not None or time.monotonic() - told > FAULTS_EVERY_S:
                body["faults"] = self.control.faults(None)
                told = time.monotonic()
            try:
                if not self.registered:
                    continue
                reply = self._request("POST", "/api/ingest/control", body)
            except (OSError, http.client.HTTPException, ValueError):
                continue
            answer = None
            request = reply.get("request") if isinstance(reply, dict) else None
            if isinstance(request, dict) and isinstance(reply.get("n"), int):
                try:
                    answer = {"n": reply["n"], "state": self.control.switch(None, request)}
                except ValueError as e:
                    answer = {"n": reply["n"], "error": str(e)}
                delay = 0
