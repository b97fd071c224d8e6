"""The satellites a station serves, told apart by the source address of their
datagrams, FTP connections and ingest requests. This module is also the
interface between the station's data and its web server.

    station = Station(root, single=False, read_only=False, ...)

Everything below is thread-safe and returns values ready for json.dumps;
<id> is the satellite's address as text ("127.0.0.5"). A method given an
unknown id returns None (the web server answers 404).

    station.station_info()          GET /api/station
        {"version", "log_port", "ftp_port", "http_port", "started" (unix),
         "single", "review", "folder" (the folder a review serves, else null), "drops": {"kernel", "queue", "file", "refused",
         "mqtt", "relay"}, "receive_buffer", "queue": {"bytes", "peak_bytes",
         "limit_bytes", "received"} (null when reviewing), "alarms": [text...]}
    station.satellites()            GET /api/satellites
        [{"id", "name", "address", "last_heard" (unix or null),
          "state": "running"|"ended"|"silent", "exit_status", "time_limited",
          "run" (the run folder's name or null), "pointing_deg",
          "rate_dps", "last_photo" (name or null), "photos", "lines",
          "alarms": [text...], "dropped" (log lines lost), "drops":
          {"log_queue", "log_file", "uploads_refused", "uploads_cut",
           "connections_refused"}]              in the order first heard
    station.log(id, since)          GET /api/sat/<id>/log?since=N
        {"next", "first", "lines": [{"n", "t", "time", "text"}], "dropped"}
    station.photos(id)              GET /api/sat/<id>/photos
        [{"name", "size", "t"}]                 oldest first
    station.telemetry(id, since)    GET /api/sat/<id>/telemetry?since=N
        {"columns", "rows", "next", "first", "file_generation", ...}
    station.photo_path(id, name)    GET /photos/<id>/<name>   a file path or None
    station.thumbnail(id, name)     GET /thumbs/<id>/<name>   JPEG bytes or None
    station.ingest_telemetry(peer, body)    POST /api/ingest/telemetry
        body {"columns": [...], "rows": [[...]], "generation": any,
              "t0_unix": wall-clock time of t = 0 (optional)}
    station.ingest_status(peer, body)       POST /api/ingest/status
        body {"state": "running"|"ended", "exit_status": int|null,
              "name": text, "run": text, "time_limited": bool (each optional)}
        peer: the request's source address (it names the satellite); body:
        the decoded JSON. Both return {"ok": true, ...}; they raise
        IngestRefused (answer 403) for a peer not allowed to ingest and
        ValueError (answer 400) for a body that is not as above. A review
        station refuses every ingest.
"""

import ipaddress
import json
import math
import os
import re
import threading
import time

from . import __version__
from .logstore import MEMORY_BYTES, Echo, LineFile, LogBook, datagram_text, say, stamp
from .photos import PhotoStore, Quota, remove_parts
from .telemetry import MAX_ROWS, Telemetry

# A satellite not heard for this long shows as silent.
SILENT_AFTER = 30.0
MAX_SATELLITES = 256
# The page's lines of all satellites together; each gets its share.
MEMORY_BUDGET = 64 * 1024 * 1024
ROWS_BUDGET = 200000
LOOPBACK = ("127.0.0.0/8", "::1/128")
HELLO = re.compile(r"^The (.{1,200}?) says 'HELLO' to ")
STATES = ("running", "ended")


class IngestRefused(Exception):
    pass


def address_of(peer):
    """The satellite's address of a peer, IPv4 also when it came over IPv6."""
    try:
        ip = ipaddress.ip_address(peer.split("%", 1)[0])
    except ValueError:
        return peer
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return str(ip)


def _write_json(path, value):
    tmp = path + ".tmp"
    try:
        with open(tmp, "w") as f:
            json.dump(value, f, indent=1)
            f.write("\n")
        os.replace(tmp, path)
    except OSError:
        pass


def _read_json(path):
    try:
        with open(path) as f:
            value = json.load(f)
        return value if isinstance(value, dict) else {}
    except (OSError, ValueError):
        return {}


class Satellite:
    def __init__(self, address, folder, station, telemetry=None):
        self.id = self.address = address
        self.dir = folder
        self.station = station
        ro = station.read_only
        self.incoming = os.path.join(folder, "incoming")
        if not ro:
            os.makedirs(self.incoming, exist_ok=True)
            remove_parts(self.incoming)
        self.book = LogBook()
        log_path = os.path.join(folder, "log.txt")
        self.book.load(log_path)
        self.file = None if ro else LineFile(log_path)
        self.photos = PhotoStore(self.incoming)
        if telemetry is not None:
            self.telemetry = Telemetry(telemetry, follow=True)
        else:
            self.telemetry = Telemetry(os.path.join(folder, "telemetry.csv"), follow=False, read_only=ro)
        self.status_path = os.path.join(folder, "status.json")
        saved = _read_json(self.status_path)
        self.name = saved.get("name") if isinstance(saved.get("name"), str) else None
        self.reported = saved.get("state") if saved.get("state") in STATES else None
        self.exit_status = saved.get("exit_status") if isinstance(saved.get("exit_status"), int) else None
        self.time_limited = saved.get("time_limited") is True
        self.run = saved.get("run") if isinstance(saved.get("run"), str) else None
        last = self.book.last()
        self.last_heard = saved.get("last_heard") if isinstance(saved.get("last_heard"), (int, float)) \
            else (last[0] if last else None)
        if self.name is None:
            self._name_from_log()
        self.dropped = 0
        self._saved = None

    def _name_from_log(self):
        for line in self.book.since(0, 200)["lines"]:
            self.hello(line["text"])

    def hello(self, text):
        m = HELLO.match(text)
        if m:
            self.name = m.group(1)
            # A new start of the program: whatever it ended with is past.
            self.reported = "running"
            self.exit_status = None
            self.time_limited = False
            return True
        return False

    def state(self, now=None):
        if self.reported == "ended":
            return "ended"
        now = time.time() if now is None else now
        if self.last_heard is None or now - self.last_heard > SILENT_AFTER:
            return "silent"
        return "running"

    def status(self):
        return {"id": self.id, "name": self.name or self.address, "address": self.address,
                "last_heard": self.last_heard, "state": self.state(), "exit_status": self.exit_status,
                "time_limited": self.time_limited, "run": self.run}

    def save(self):
        """status.json, when something in it changed."""
        value = dict(self.status(), last_heard=self.last_heard)
        key = (value["name"], value["state"], value["exit_status"], int(self.last_heard or 0) // 10)
        if self.station.read_only or key == self._saved:
            return False
        self._saved = key
        _write_json(self.status_path, value)
        return True

    def lost(self):
        return self.dropped + (self.file.dropped if self.file else 0)

    def drops(self):
        """What this satellite lost, by where."""
        return {"log_queue": self.dropped, "log_file": self.file.dropped if self.file else 0,
                "uploads_refused": self.photos.refused_uploads,
                "uploads_cut": self.photos.cut_uploads,
                "connections_refused": self.photos.refused_connections}

    def alarms(self, now):
        out = []
        state = self.state(now)
        if state == "silent" and self.last_heard is not None:
            out.append("silent for %d s" % (now - self.last_heard))
        if state == "ended" and self.exit_status not in (None, 0):
            out.append("ended with status %d" % self.exit_status)
        if self.lost():
            out.append("%d log lines lost" % self.lost())
        if self.photos.refused_uploads:
            out.append("%d uploads refused: over the quota" % self.photos.refused_uploads)
        if self.photos.cut_uploads:
            out.append("%d uploads cut short" % self.photos.cut_uploads)
        if self.photos.refused_connections:
            out.append("%d FTP connections refused: past its share"
                       % self.photos.refused_connections)
        if self.file is not None and self.file.failing:
            out.append("log.txt cannot be written: %s" % self.file.failing)
        used = self.photos.used_bytes() / max(1, self.station.quota.per_satellite)
        if used >= 0.9:
            out.append("uploads use %d%% of the quota" % min(100, used * 100))
        return out

    def summary(self, now):
        photos = self.photos.listing()
        return dict(self.status(),
                    pointing_deg=self.telemetry.last("lamp_angle_deg"),
                    rate_dps=self.telemetry.last("rate_dps"),
                    last_photo=photos[-1]["name"] if photos else None,
                    photos=len(photos), lines=self.book.count,
                    alarms=self.alarms(now), dropped=self.lost(), drops=self.drops())


class Station:
    """See the module's description. Listeners get every event of the data:
    objects with on_lines(sat, first_n, entries [(t, text, data)]),
    on_status(sat, status), on_photo(sat, photo), on_telemetry(sat, columns,
    rows); each method optional."""

    def __init__(self, root, single=False, read_only=False, telemetry=None, address="127.0.0.1",
                 quota=None, ingest_from=LOOPBACK, max_satellites=MAX_SATELLITES, echo=None):
        self.root = root
        self.single = single
        self.read_only = read_only
        self.quota = quota or Quota()
        self.ingest_from = [ipaddress.ip_network(n, strict=False) for n in ingest_from]
        self.max_satellites = max_satellites
        self.started = time.time()
        self.receiver = None
        self.ports = {"log_port": None, "ftp_port": None, "http_port": None}
        self.listeners = []
        # A class station's panel learns from each run's status where that
        # run's own station takes the instructor's switches.
        self.control_routes = None
        self.refused = 0
        self._lock = threading.RLock()
        self._sats = {}
        self._echo = Echo(echo) if echo is not None else None
        self._stop = threading.Event()
        self._threads = []
        if single:
            self._sats[address] = Satellite(address, root, self, telemetry)
            self.main_file = None
        else:
            self.sat_root = os.path.join(root, "satellites")
            if not read_only:
                os.makedirs(self.sat_root, exist_ok=True)
            self._load_satellites()
            self.main_file = None if read_only else LineFile(os.path.join(root, "log.txt"))
        self._telemetry_next = {}

    def _load_satellites(self):
        try:
            names = os.listdir(self.sat_root)
        except OSError:
            return
        found = []
        for name in names:
            folder = os.path.join(self.sat_root, name)
            if os.path.isdir(folder) and address_of(name) == name:
                sat = Satellite(name, folder, self)
                found.append((sat.book.since(0, 1)["lines"][0]["t"] if sat.book.count else 0.0, name, sat))
        for _, name, sat in sorted(found):
            self._sats[name] = sat
        self._share_memory()

    # --- attribution

    def satellite_for(self, peer, create=True):
        """The satellite behind a source address, None when the station is
        full (counted) or it is not known and create is off."""
        if self.single:
            return next(iter(self._sats.values()))
        address = address_of(peer)
        with self._lock:
            sat = self._sats.get(address)
            if sat is None and create and not self.read_only:
                if len(self._sats) >= self.max_satellites:
                    self.refused += 1
                    return None
                sat = Satellite(address, os.path.join(self.sat_root, address), self)
                self._sats[address] = sat
                self._share_memory()
            return sat

    def _share_memory(self):
        count = max(1, len(self._sats))
        for sat in self._sats.values():
            sat.book.max_bytes = min(MEMORY_BYTES, MEMORY_BUDGET // count)
            sat.telemetry.max_rows = min(MAX_ROWS, ROWS_BUDGET // count)

    def ftp_home(self, peer):
        """Where an FTP connection from peer puts its files (PhotoServer)."""
        sat = self.satellite_for(peer)
        if sat is None:
            return None
        sat.last_heard = time.time()
        return (sat.dir, sat.photos, [s.photos for s in self._all()])

    def photo_arrived(self, peer, store, name):
        sat = next((s for s in self._all() if s.photos is store), None)
        path = store.path_of(name)
        if sat is None or path is None:
            return
        st = os.stat(path)
        self._emit("on_photo", sat, {"name": name, "size": st.st_size, "t": st.st_mtime, "path": path})

    def _all(self):
        with self._lock:
            return list(self._sats.values())

    def _get(self, sat_id):
        with self._lock:
            return self._sats.get(sat_id)

    def _emit(self, event, *args):
        for listener in self.listeners:
            method = getattr(listener, event, None)
            if method is not None:
                try:
                    method(*args)
                except Exception as e:  # a listener never stops the station
                    say("%s failed: %s" % (type(listener).__name__, e))

    # --- the log writer

    def start(self, receiver=None):
        self.receiver = receiver
        if receiver is not None:
            self._threads.append(threading.Thread(target=self._write, name="log-writer", daemon=True))
        if any(s.telemetry.follow and s.telemetry.path for s in self._all()) and not self.read_only:
            self._threads.append(threading.Thread(target=self._watch, name="telemetry", daemon=True))
        for t in self._threads:
            t.start()
        for sat in self._all():
            if not self.read_only and self.single:
                sat.last_heard = sat.last_heard or time.time()
            self._emit("on_status", sat, sat.status())

    def stop(self):
        self._stop.set()
        if self.receiver is not None:
            self.receiver.stop()
        for t in self._threads:
            t.join(timeout=10)
        for sat in self._all():
            sat.save()
            if sat.file is not None:
                sat.file.close()
        if self.main_file is not None:
            self.main_file.close()

    def end(self, exit_status):
        """A single satellite's run ended with exit_status (its orchestrator
        knows it): kept in status.json and told to the listeners, before
        they stop, so that a shared station hears how the run ended."""
        for sat in self._all():
            with self._lock:
                sat.reported = "ended"
                sat.exit_status = exit_status
            sat.save()
            self._emit("on_status", sat, sat.status())

    def _files(self):
        files = [s.file for s in self._all() if s.file is not None]
        return files + ([self.main_file] if self.main_file is not None else [])

    def _write(self):
        r = self.receiver
        retry = 0.0
        while True:
            r.wake.wait(0.2)
            r.wake.clear()
            batch = r.take()
            if batch:
                self.deliver(batch)
                r.wake.set()
                if len(batch) > 1000:
                    # A burst: the receiver empties the socket first.
                    time.sleep(0.002)
            now = time.monotonic()
            if now >= retry:
                retry = now + 1.0
                for f in self._files():
                    if f.failing:
                        f.flush()
                self._count_drops()
                for sat in self._all():
                    if sat.save():
                        self._emit("on_status", sat, sat.status())
            if not batch and self._stop.is_set():
                break

    def deliver(self, batch):
        """batch: (arrival time, peer address, datagram) in arrival order."""
        groups, echo, main = {}, [], []
        for t, peer, data in batch:
            sat = self.satellite_for(peer)
            if sat is None:
                continue
            text = datagram_text(data)
            groups.setdefault(sat, []).append((t, text, data))
            if self.single:
                echo.append(text)
            else:
                echo.append("[%s] %s" % (sat.address, text))
                main.append("%s [%s] %s" % (stamp(t), sat.address, text))
        for sat, entries in groups.items():
            changed = False
            for _, text, _ in entries:
                if text.startswith("The ") and sat.hello(text):
                    changed = True
            sat.last_heard = entries[-1][0]
            first = sat.book.count
            sat.book.add([(t, text) for t, text, _ in entries])
            if sat.file is not None:
                sat.file.append("%s %s" % (stamp(t), text) for t, text, _ in entries)
                sat.file.flush()
            self._emit("on_lines", sat, first, entries)
            if changed:
                sat.save()
                self._emit("on_status", sat, sat.status())
        if self.main_file is not None:
            self.main_file.append(main)
            self.main_file.flush()
        if self._echo is not None:
            self._echo.write(echo)
        self._count_drops()

    def _count_drops(self):
        """Datagrams the receiver's queue dropped, on the satellite that sent
        them, also when none of its lines got through. (What the kernel drops
        names no sender: the station counts it.)"""
        if self.receiver is None:
            return
        by_peer = dict.copy(getattr(self.receiver, "dropped_by", {}))
        if self.single:
            for sat in self._all():
                sat.dropped = sum(by_peer.values())
            return
        for peer, count in by_peer.items():
            sat = self._get(address_of(peer))
            if sat is not None:
                sat.dropped = count

    def _watch(self):
        """New rows of followed telemetry files, for the listeners."""
        while not self._stop.wait(0.5):
            self.poll_telemetry()
        self.poll_telemetry()

    def poll_telemetry(self):
        for sat in self._all():
            if not (sat.telemetry.follow and sat.telemetry.path):
                continue
            gen, start = self._telemetry_next.get(sat.id, (None, 0))
            page = sat.telemetry.since(start)
            if page["generation"] != gen:
                page = sat.telemetry.since(0)
            if page["rows"]:
                self._emit("on_telemetry", sat, page["columns"], page["rows"])
            self._telemetry_next[sat.id] = (page["generation"], page["next"])

    # --- what the web server asks

    def station_info(self):
        r = self.receiver
        drops = {"kernel": r.dropped_kernel if r else 0, "queue": r.dropped_queue if r else 0,
                 "file": sum(f.dropped for f in self._files()), "refused": self.refused}
        alarms = []
        for listener in self.listeners:
            drops.update(getattr(listener, "drops", {}))
            if getattr(listener, "alarm", None):
                alarms.append(listener.alarm)
        if drops["kernel"] or drops["queue"]:
            alarms.append("%d log datagrams dropped on arrival" % (drops["kernel"] + drops["queue"]))
        if self.refused:
            alarms.append("%d datagrams, uploads or posts refused: the satellite table is full "
                          "(%d satellites)" % (self.refused, self.max_satellites))
        if self._echo is not None and self._echo.closed:
            alarms.append("standard output is closed")
        queue = {"bytes": r.queued_bytes, "peak_bytes": r.peak_bytes, "limit_bytes": r.queue_bytes,
                 "received": r.received} if r else None
        return dict(self.ports, version=__version__, started=self.started, single=self.single,
                    review=self.read_only, folder=self.root if self.read_only else None, drops=drops, alarms=alarms, queue=queue,
                    receive_buffer=r.buffer if r else None)

    def satellites(self):
        now = time.time()
        return [s.summary(now) for s in self._all()]

    def log(self, sat_id, since):
        sat = self._get(sat_id)
        if sat is None:
            return None
        return dict(sat.book.since(since), dropped=sat.lost())

    def photos(self, sat_id):
        sat = self._get(sat_id)
        return None if sat is None else sat.photos.listing()

    def telemetry(self, sat_id, since):
        sat = self._get(sat_id)
        return None if sat is None else sat.telemetry.since(since)

    def photo_path(self, sat_id, name):
        sat = self._get(sat_id)
        return None if sat is None else sat.photos.path_of(name)

    def thumbnail(self, sat_id, name):
        sat = self._get(sat_id)
        return None if sat is None else sat.photos.thumbnail(name)

    def _ingest_sat(self, peer):
        if self.read_only:
            raise IngestRefused("a review station takes nothing in")
        try:
            ip = ipaddress.ip_address(address_of(peer))
        except ValueError:
            raise IngestRefused("not an address: %s" % peer)
        if not any(ip in net for net in self.ingest_from):
            raise IngestRefused("%s may not send to this station" % ip)
        sat = self.satellite_for(str(ip))
        if sat is None:
            raise IngestRefused("this station serves no more satellites")
        sat.last_heard = time.time()
        return sat

    def ingest_telemetry(self, peer, body):
        if not isinstance(body, dict):
            raise ValueError("a JSON object")
        sat = self._ingest_sat(peer)
        if sat.telemetry.follow:
            raise ValueError("this satellite's telemetry comes from its own file")
        rows = body.get("rows")
        t0 = body.get("t0_unix")
        if t0 is not None and (not isinstance(t0, (int, float)) or isinstance(t0, bool)
                               or not math.isfinite(t0)):
            raise ValueError("t0_unix: a number")
        count = sat.telemetry.ingest(body.get("columns"), rows, body.get("generation"))
        if t0 is not None:
            sat.telemetry.t0_unix = float(t0)
        self._emit("on_telemetry", sat, sat.telemetry.columns, rows)
        return {"ok": True, "next": count}

    def ingest_status(self, peer, body):
        if not isinstance(body, dict) or body.get("state") not in STATES:
            raise ValueError('{"state": "running" or "ended", ...}')
        exit_status = body.get("exit_status")
        if exit_status is not None and (not isinstance(exit_status, int) or isinstance(exit_status, bool)):
            raise ValueError("exit_status: an integer or null")
        name = body.get("name")
        if name is not None and (not isinstance(name, str) or not 0 < len(name) <= 200):
            raise ValueError("name: a text")
        run = body.get("run")
        if run is not None and (not isinstance(run, str) or not 0 < len(run) <= 200):
            raise ValueError("run: a text")
        if not isinstance(body.get("time_limited", False), bool):
            raise ValueError("time_limited: true or false")
        sat = self._ingest_sat(peer)
        with self._lock:
            sat.reported = body["state"]
            sat.exit_status = exit_status if body["state"] == "ended" else None
            sat.time_limited = body["state"] == "ended" and body.get("time_limited") is True
            if name:
                sat.name = datagram_text(name.encode("utf-8", errors="replace"))
            if run:
                sat.run = datagram_text(run.encode("utf-8", errors="replace"))
        sat.save()
        if self.control_routes is not None:
            self.control_routes.learn(sat.id, body)
        self._emit("on_status", sat, sat.status())
        return {"ok": True, "state": sat.state()}
