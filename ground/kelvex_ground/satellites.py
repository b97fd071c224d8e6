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
           "connections_refused", "upstream": {what: count}}]
                                                in the order first heard
        (the live ones and, as room allows, those that ended or fell silent;
        "archived": it holds no live place)
    station.satellite(id)           GET /api/sat/<id>
        one entry as above, also of a run that left the overview
    station.earlier()               GET /api/earlier
        [{"id", "name", "address", "run", "last_heard", "state",
          "exit_status", "time_limited", "owner", "photo_bytes"}]
                                                the runs that left the
                                                overview, the latest first
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
              "name": text, "run": text, "time_limited": bool,
              "lost": {what: count} (its run's losses before this station)
              (each optional)}
    station.register(peer, body, identity, origin)  POST /api/ingest/register
        body {"run", "name", "secret"}; origin: the connection's (address,
        port) and the station's own, which tell the local user registering
        peer: the request's source address; body: the decoded JSON. Each
        returns {"ok": true, ...}; they raise IngestRefused (answer 403) for
        a peer or run not allowed to ingest (and a run past its user's share
        of the table, saying so) and ValueError (answer 400) for a body that
        is not as above. A review station refuses every ingest.

The table (max_satellites) holds the live satellites: every board, and each
registered run until it ends or falls silent for LIVE_SILENT_S. Each local
user (else each address) registers within its share of it; a run that no
longer holds a live place leaves the overview when room is needed, its
folder staying and still read by its id.
"""

import collections
import ipaddress
import itertools
import json
import math
import os
import pwd
import re
import threading
import time

from . import __version__
from .logstore import MEMORY_BYTES, Echo, LineFile, LogBook, datagram_text, say, stamp
from .photos import PhotoStore, Quota, remove_parts
from .senders import socket_owner
from .telemetry import MAX_ROWS, Telemetry

# A satellite not heard for this long shows as silent.
SILENT_AFTER = 30.0
# A registered run not heard for this long (its station says its status at
# least every 20 s) holds no place among the live satellites.
LIVE_SILENT_S = 120.0
MAX_SATELLITES = 256
# Records of runs that left the overview, listed for the page; older ones
# are still read by their id.
EARLIER_INDEX = 20000
# ... of which the page lists the latest.
EARLIER_SHOWN = 500
# Runs that left the overview, kept open for reading at once.
READERS = 4
EARLIER_FIELDS = ("id", "name", "address", "run", "last_heard", "state", "exit_status",
                  "time_limited", "owner")
# The page's lines of all satellites together; each gets its share.
MEMORY_BUDGET = 64 * 1024 * 1024
ROWS_BUDGET = 200000
LOOPBACK = ("127.0.0.0/8", "::1/128")
HELLO = re.compile(r"^The (.{1,200}?) says 'HELLO' to ")
STATES = ("running", "ended")
# A run's id names its folder and its page: no dots or colons, so that it is
# never taken for a board's address.
RUN_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]{0,63}\Z")
MIN_SECRET = 16
# A run that has not asked for the panel's switches for this long cannot be
# switched (it ended, or its station is gone).
CONTROL_STALE_S = 10.0


# What a run's relay reports its run lost before the shared station: its own
# station's losses (Satellite.drops) and the relay's.
UPSTREAM_LOSSES = {"log_queue": "log lines (queue)", "log_file": "log lines (log.txt)",
                   "uploads_refused": "uploads refused", "uploads_cut": "uploads cut short",
                   "connections_refused": "FTP connections refused",
                   "relay": "messages the relay dropped"}


FULL = "this station serves no more satellites: its table of %d is full of live ones"


class IngestRefused(Exception):
    pass


# hashlib and hmac are loaded by a class station's first run that relays
# (they load OpenSSL's library): a run's own station never needs them.
def secret_hash(secret):
    import hashlib
    return hashlib.sha256(secret.encode()).hexdigest()


def holds_secret(secret, stored):
    """Whether secret is the one whose hash is stored, in constant time."""
    import hmac
    return hmac.compare_digest(secret_hash(secret), stored)


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
    """A board (id: its address) or a registered run (id: the run's id;
    address: where it registered from, for the page only)."""

    def __init__(self, address, folder, station, telemetry=None, run=None, read_only=None):
        self.id = run or address
        self.address = address
        self.run = run
        self.dir = folder
        self.station = station
        ro = station.read_only if read_only is None else read_only
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
        # A name the run registered (the student's) is not renamed by a hello.
        self.named = saved.get("named") is True
        self.secret = saved.get("secret_sha256") if isinstance(saved.get("secret_sha256"), str) else None
        if run is not None and isinstance(saved.get("address"), str):
            self.address = saved["address"]
        # Whose share of the table a registered run takes: "user UID" of the
        # process that registered it, else "address ADDR".
        self.owner = saved.get("owner") if isinstance(saved.get("owner"), str) else None
        self.reported = saved.get("state") if saved.get("state") in STATES else None
        self.exit_status = saved.get("exit_status") if isinstance(saved.get("exit_status"), int) else None
        self.time_limited = saved.get("time_limited") is True
        last = self.book.last()
        self.last_heard = saved.get("last_heard") if isinstance(saved.get("last_heard"), (int, float)) \
            else (last[0] if last else None)
        if self.name is None:
            self._name_from_log()
        self.dropped = 0
        self.dropped_kernel = 0     # the socket's, while this satellite alone was heard
        # A registered run's losses on its way here, as its relay reports them.
        self.lost_upstream = {}
        self._saved = None

    def _name_from_log(self):
        for line in self.book.since(0, 200)["lines"]:
            self.hello(line["text"])

    def hello(self, text):
        m = HELLO.match(text)
        if m:
            if not self.named:
                self.name = m.group(1)
            if self.run is not None and self.reported == "ended" and not self.station.single:
                # A registered run that ended does not start again: a new
                # start is a new run, under a record of its own.
                return True
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

    def live(self, now):
        """Whether it holds a place in the satellite table: a board always;
        a registered run until it ends or falls silent for long."""
        if self.run is None or self.station.single:
            return True
        return (self.reported != "ended" and self.last_heard is not None
                and now - self.last_heard <= LIVE_SILENT_S)

    def status(self):
        return {"id": self.id, "name": self.name or self.address, "address": self.address,
                "run": self.run, "last_heard": self.last_heard, "state": self.state(),
                "exit_status": self.exit_status, "time_limited": self.time_limited}

    def holds(self, secret):
        return (self.secret is not None and isinstance(secret, str)
                and holds_secret(secret, self.secret))

    def save(self):
        """status.json, when something in it changed."""
        value = dict(self.status(), last_heard=self.last_heard, named=self.named)
        if self.owner is not None:
            value["owner"] = self.owner
        if self.secret is not None:
            # Only its hash: the folder may be read by others than the run.
            value["secret_sha256"] = self.secret
        key = (value["name"], value["state"], value["exit_status"], int(self.last_heard or 0) // 10)
        if self.station.read_only or key == self._saved:
            return False
        self._saved = key
        _write_json(self.status_path, value)
        return True

    def lost(self):
        return self.dropped + (self.file.dropped if self.file else 0)

    def drops(self):
        """What this satellite lost, by where; a registered run's losses at
        its own station and on the relay's way here are "upstream"."""
        return {"log_queue": self.dropped, "log_file": self.file.dropped if self.file else 0,
                "uploads_refused": self.photos.refused_uploads,
                "uploads_cut": self.photos.cut_uploads,
                "connections_refused": self.photos.refused_connections,
                "upstream": dict(self.lost_upstream)}

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
        if self.lost_upstream:
            out.append("lost before it reached this station: %s" % ", ".join(
                "%d %s" % (v, UPSTREAM_LOSSES[k]) for k, v in sorted(self.lost_upstream.items())))
        if self.file is not None and self.file.failing:
            out.append("log.txt cannot be written: %s" % self.file.failing)
        used = self.photos.used_bytes() / max(1, self.station.quota.per_satellite)
        if used >= 0.9:
            out.append("uploads use %d%% of the quota" % min(100, used * 100))
        return out

    def summary(self, now):
        photos = self.photos.listing()
        return dict(self.status(), archived=not self.live(now),
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
                 quota=None, ingest_from=LOOPBACK, max_satellites=MAX_SATELLITES, echo=None,
                 boards=None, run=None, name=None, senders=None, runs_per_user=None):
        """boards: the networks a class station takes boards' datagrams and
        anonymous uploads from (None: any address). run, name: the run a
        single station is the station of, and its student's name.
        senders: a SenderCheck a single station's mission must pass.
        max_satellites: the live satellites at once (the table); runs_per_user:
        the live runs one local user (else one address) may register at
        once (default a quarter of the table)."""
        self.root = root
        self.single = single
        self.read_only = read_only
        self.quota = quota or Quota()
        self.ingest_from = [ipaddress.ip_network(n, strict=False) for n in ingest_from]
        self.max_satellites = max_satellites
        self.runs_per_user = runs_per_user or max(1, max_satellites // 4)
        # Registrations refused for their owner's share: {owner: count}.
        self.share_refused = {}
        # Runs that left the overview: their summaries, newest last, and the
        # bytes of their photos, which the total quota still counts.
        self._earlier = collections.OrderedDict()
        self._earlier_bytes = 0
        self._readers = collections.OrderedDict()
        self.boards = None if boards is None else [ipaddress.ip_network(n, strict=False) for n in boards]
        self.senders = senders
        self.strangers = 0
        self.started = time.time()
        self.receiver = None
        self.ports = {"log_port": None, "ftp_port": None, "http_port": None}
        self.listeners = []
        # A class station's panel learns from each run's status where that
        # run's own station takes the instructor's switches.
        self.control = RunControl()
        self.refused = 0
        # Kernel drops not yet put on a satellite, and who was heard since.
        self._kernel_counted = 0
        self._heard = set()
        self._lock = threading.RLock()
        self._sats = {}
        self._echo = Echo(echo) if echo is not None else None
        self._stop = threading.Event()
        self._threads = []
        if single:
            sat = Satellite(address, root, self, telemetry)
            sat.run = run
            if name:
                sat.name, sat.named = name, True
            self._sats[address] = sat
            self.main_file = None
        else:
            self.sat_root = os.path.join(root, "satellites")
            if not read_only:
                os.makedirs(self.sat_root, exist_ok=True)
            self._load_satellites()
            self.main_file = None if read_only else LineFile(os.path.join(root, "log.txt"))
        self._telemetry_next = {}

    def _load_satellites(self):
        """The records in the station directory: every board's, and the runs
        most recently heard as far as the table has room; older runs are
        listed as earlier ones and still read by their id."""
        try:
            names = os.listdir(self.sat_root)
        except OSError:
            return
        boards, runs = [], []
        for name in names:
            folder = os.path.join(self.sat_root, name)
            if not os.path.isdir(folder):
                continue
            if RUN_ID.match(name):
                saved = _read_json(os.path.join(folder, "status.json"))
                heard = saved.get("last_heard")
                runs.append((heard if isinstance(heard, (int, float)) else 0.0, name, saved))
            elif address_of(name) == name:
                boards.append(Satellite(name, folder, self))
        runs.sort()
        room = max(0, self.max_satellites - len(boards))
        kept = [Satellite(name, os.path.join(self.sat_root, name), self, run=name)
                for _, name, _ in runs[len(runs) - room:]] if room else []
        for _, name, saved in runs[:len(runs) - len(kept)]:
            # Its status is enough to list it: its log is read when asked for.
            entry = {k: saved.get(k) for k in EARLIER_FIELDS}
            entry.update(id=name, run=name, state="ended" if saved.get("state") == "ended" else "silent")
            self._remember(entry, PhotoStore(os.path.join(self.sat_root, name, "incoming")).used_bytes())
        found = []
        for sat in boards + kept:
            first = sat.book.since(0, 1)["lines"][0]["t"] if sat.book.count else sat.last_heard
            found.append((first or 0.0, sat.id, sat))
        for _, name, sat in sorted(found):
            self._sats[name] = sat
        self._share_memory()

    # --- attribution

    def is_board(self, address):
        if self.boards is None:
            return True
        try:
            ip = ipaddress.ip_address(address)
        except ValueError:
            return False
        return any(ip in net for net in self.boards)

    def satellite_for(self, peer, create=True):
        """The board behind a source address (a single station's one
        satellite), None when the address is not a board's (counted), the
        station is full (counted) or it is not known and create is off. A
        registered run's satellite is never found by address."""
        if self.single:
            return next(iter(self._sats.values()))
        address = address_of(peer)
        if not self.is_board(address):
            self.strangers += 1
            return None
        with self._lock:
            sat = self._sats.get(address)
            if sat is None and create and not self.read_only:
                sat = self._add(address, None)
            return sat

    def _add(self, address, run, owner=None):
        if run is None and self.boards is None:
            # Where any address is a board's, one sender that binds many
            # addresses could fill the table: addresses nobody listed leave
            # a quarter of it to the runs that register.
            unlisted = sum(1 for s in self._sats.values() if s.run is None)
            if unlisted >= self.max_satellites - self.max_satellites // 4:
                self.refused += 1
                return None
        if not self._make_room():
            self.refused += 1
            return None
        key = run or address
        sat = Satellite(address, os.path.join(self.sat_root, key), self, run=run)
        sat.owner = owner
        self._sats[key] = sat
        self._share_memory()
        return sat

    def _make_room(self, only_look=False):
        """Room in the table for one more record. A run that ended or fell
        silent holds no live place: when the table is full, the one heard
        longest ago leaves the overview (its files stay, its pages are still
        read by its id, and it is listed among the earlier runs).
        only_look: whether there is room, nothing moved."""
        if len(self._sats) < self.max_satellites:
            return True
        now = time.time()
        idle = [s for s in self._sats.values() if not s.live(now) and not s.photos.reserved]
        if not idle or only_look:
            return bool(idle)
        sat = min(idle, key=lambda s: s.last_heard or 0.0)
        del self._sats[sat.id]
        sat.save()
        if sat.file is not None:
            sat.file.close()
        self._telemetry_next.pop(sat.id, None)
        self.control.forget(sat.id)
        self._remember(dict(sat.status(), owner=sat.owner), sat.photos.used_bytes())
        return True

    def _remember(self, entry, photo_bytes):
        """A run that left the overview, listed among the earlier ones; its
        photos still count against the total quota."""
        entry = {k: entry.get(k) for k in EARLIER_FIELDS}
        entry["photo_bytes"] = photo_bytes
        self._earlier.pop(entry["id"], None)
        self._earlier[entry["id"]] = entry
        self._earlier_bytes += photo_bytes
        while len(self._earlier) > EARLIER_INDEX:
            self._earlier.popitem(last=False)

    def _bring_back(self, sat_id):
        """The writable record of a run that left the overview (it speaks
        again, or registers again after a restart), put back in the table;
        None when there is no such run. IngestRefused when the table has no
        room."""
        folder = os.path.join(self.sat_root, sat_id)
        if not RUN_ID.match(sat_id) or not os.path.isdir(folder):
            return None
        if not self._make_room():
            self.refused += 1
            raise IngestRefused(FULL % self.max_satellites)
        self._readers.pop(sat_id, None)
        entry = self._earlier.pop(sat_id, None)
        if entry is not None:
            self._earlier_bytes -= entry["photo_bytes"]
        sat = Satellite(sat_id, folder, self, run=sat_id)
        self._sats[sat_id] = sat
        self._share_memory()
        return sat

    def _share_refusal(self, owner):
        """Why owner may not hold one more live run, or None. Each local user
        (else each address) holds at most runs_per_user live runs; once half
        the table is taken, at most its fair share: the table over the users
        holding live runs and one more, so that a newcomer finds room."""
        now = time.time()
        live = [s for s in self._sats.values() if s.run is not None and s.live(now)]
        boards = sum(1 for s in self._sats.values() if s.run is None)
        mine = sum(1 for s in live if s.owner == owner)
        held = "%s has %d live run%s on this station" % (owner, mine, "" if mine == 1 else "s")
        if mine >= self.runs_per_user:
            return held + ", the most one user may have at once"
        if boards + len(live) >= self.max_satellites // 2:
            owners = {s.owner for s in live} | {owner}
            fair = max(1, (self.max_satellites - boards) // (len(owners) + 1))
            if mine >= fair:
                return held + (", its fair share of a busy table (%d satellites, %d users "
                               "with live runs)" % (self.max_satellites, len(owners)))
        return None

    def _admit(self, owner):
        """A run that takes a live place (it registers, or an ended or long
        silent one speaks again) within its owner's share; IngestRefused
        saying why, counted for the station's alarm."""
        why = self._share_refusal(owner)
        if why is None:
            return
        if owner not in self.share_refused and len(self.share_refused) >= 256:
            owner = "others"
        self.share_refused[owner] = self.share_refused.get(owner, 0) + 1
        raise IngestRefused("%s; a run takes a place again once one of them ends" % why)

    def _share_memory(self):
        count = max(1, len(self._sats))
        for sat in self._sats.values():
            sat.book.max_bytes = min(MEMORY_BYTES, MEMORY_BUDGET // count)
            sat.telemetry.max_rows = min(MAX_ROWS, ROWS_BUDGET // count)

    def ftp_home(self, peer):
        """Where an anonymous FTP login from peer puts its files
        (PhotoServer): a board's."""
        sat = self.satellite_for(peer)
        if sat is None:
            return None
        return self._home(sat)

    def _home(self, sat):
        sat.last_heard = time.time()
        return (sat.dir, sat.photos, self.photo_stores)

    def photo_stores(self):
        """Every satellite's photos, which the total quota bounds (with those
        of the runs that left the overview)."""
        stores = [s.photos for s in self._all()]
        if self._earlier_bytes:
            stores.append(_Stored(self._earlier_bytes))
        return stores

    def ftp_login(self, peer, user, secret):
        """Where the uploads of a run that logs in with its id and secret go;
        None when they do not match a registered run."""
        if self.single or self.read_only:
            return None
        try:
            sat = self._run_record((user, secret))
        except IngestRefused:
            return None
        return self._home(sat)

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
        """The record of sat_id to read: one in the table, or a run that left
        it, read from its folder (a few are kept open)."""
        with self._lock:
            sat = self._sats.get(sat_id)
            if sat is not None or self.single or not isinstance(sat_id, str) \
                    or not RUN_ID.match(sat_id):
                return sat
            sat = self._readers.get(sat_id)
            if sat is not None:
                self._readers.move_to_end(sat_id)
                return sat
        folder = os.path.join(self.sat_root, sat_id)
        if not os.path.isfile(os.path.join(folder, "status.json")):
            return None
        # Read outside the lock: its log may be long.
        sat = Satellite(sat_id, folder, self, run=sat_id, read_only=True)
        with self._lock:
            if sat_id in self._sats:
                return self._sats[sat_id]
            self._readers[sat_id] = sat
            while len(self._readers) > READERS:
                self._readers.popitem(last=False)
        return sat

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
                self._count_drops()
                for f in self._files():
                    if f.failing:
                        f.flush()
                for sat in self._all():
                    if sat.save():
                        self._emit("on_status", sat, sat.status())
            if not batch and self._stop.is_set():
                break

    def deliver(self, batch, sat_of=None):
        """batch: (arrival time, peer address, datagram) in arrival order;
        sat_of(peer): their satellite (default: the board at that address)."""
        groups, echo, main = {}, [], []
        for t, peer, data in batch:
            sat = (sat_of or self.satellite_for)(peer)
            if sat is None:
                continue
            text = datagram_text(data)
            groups.setdefault(sat, []).append((t, text, data))
            if self.single:
                echo.append(text)
            else:
                echo.append("[%s] %s" % (sat.id, text))
                main.append("%s [%s] %s" % (stamp(t), sat.id, text))
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
        self._heard.update(groups)
        # Every satellite's: one whose lines the queue all dropped is in no
        # group.
        self._count_drops(self._all())

    def _count_drops(self, sats=None):
        """Puts each loss on the satellite that lost it: what the queue refused
        by sender, and what the socket's full buffer dropped while only one
        satellite was heard (the kernel does not say whose; with several, the
        loss stays the station's). Done each second too, so that the end of a
        burst, after which the satellite says nothing more, is counted."""
        r = self.receiver
        if r is None:
            return
        by_peer = getattr(r, "dropped_by", {})
        if sats is None:
            kernel = r.dropped_kernel
            if kernel > self._kernel_counted:
                if len(self._heard) == 1:
                    next(iter(self._heard)).dropped_kernel += kernel - self._kernel_counted
                self._kernel_counted = kernel
            self._heard = set()
            sats = self._all()
        for sat in sats:
            if sat.run is not None and not self.single:
                # A registered run's lines come to a class station by its
                # relay, not by datagram: an address's losses are a board's.
                continue
            if self.single:
                # Whoever the senders the check let through, they are its one
                # mission's.
                dropped = sum(dict.copy(by_peer).values()) + sat.dropped_kernel
            else:
                dropped = by_peer.get(sat.address, 0) + sat.dropped_kernel
            if dropped != sat.dropped:
                sat.dropped = dropped
                self._emit("on_status", sat, sat.status())

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
                 "file": sum(f.dropped for f in self._files()), "refused": self.refused,
                 "strangers": self.strangers + (r.refused if r else 0)
                 + (self.senders.refused if self.senders else 0)}
        alarms, details = [], {}
        for listener in self.listeners:
            drops.update(getattr(listener, "drops", {}))
            details.update(listener.details() if hasattr(listener, "details") else {})
            if getattr(listener, "alarm", None):
                alarms.append(listener.alarm)
        if drops["strangers"]:
            alarms.append("%d datagrams, uploads or posts refused from senders that are not "
                          "this station's satellites" % drops["strangers"])
        if drops["kernel"] or drops["queue"]:
            alarms.append("%d log datagrams dropped on arrival" % (drops["kernel"] + drops["queue"]))
        if self.refused:
            alarms.append("%d datagrams, uploads or posts refused: the satellite table is full "
                          "(%d satellites)" % (self.refused, self.max_satellites))
        with self._lock:
            refused = dict(self.share_refused)
            earlier = len(self._earlier)
        for owner, count in sorted(refused.items()):
            alarms.append("%d registrations refused from %s: past its share of the satellite "
                          "table" % (count, owner))
        if self._echo is not None and self._echo.closed:
            alarms.append("standard output is closed")
        queue = {"bytes": r.queued_bytes, "peak_bytes": r.peak_bytes, "limit_bytes": r.queue_bytes,
                 "received": r.received} if r else None
        return dict(self.ports, version=__version__, started=self.started, single=self.single,
                    review=self.read_only, folder=self.root if self.read_only else None,
                    drops=drops, alarms=alarms, queue=queue, earlier=earlier,
                    registrations_refused=refused, max_satellites=self.max_satellites,
                    runs_per_user=self.runs_per_user,
                    receive_buffer=r.buffer if r else None, **details)

    def satellites(self):
        now = time.time()
        return [s.summary(now) for s in self._all()]

    def satellite(self, sat_id):
        """One satellite's entry, also of a run that left the overview."""
        sat = self._get(sat_id)
        return None if sat is None else sat.summary(time.time())

    def earlier(self, limit=EARLIER_SHOWN):
        """The runs that left the overview, the latest first (the latest
        limit of them)."""
        with self._lock:
            return list(itertools.islice(reversed(self._earlier.values()), limit))

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

    def _ingest_peer(self, peer):
        if self.read_only:
            raise IngestRefused("a review station takes nothing in")
        if self.single:
            raise IngestRefused("a run's own station takes nothing in")
        try:
            ip = ipaddress.ip_address(address_of(peer))
        except ValueError:
            raise IngestRefused("not an address: %s" % peer)
        if not any(ip in net for net in self.ingest_from):
            raise IngestRefused("%s may not send to this station" % ip)
        return str(ip)

    def _ingest_sat(self, peer, identity, wakes=None):
        """The registered run that identity (run id, secret) names, or
        IngestRefused: whatever the address, nobody speaks for a run without
        its secret. wakes: whether what it sends makes it live (default:
        unless it ended); a run that takes a live place again does so
        within its owner's share."""
        self._ingest_peer(peer)
        return self._run_record(identity, wakes)

    def _stored(self, run):
        """What the folder of a run says of it ({} for no such run)."""
        if self.single or not isinstance(run, str) or not RUN_ID.match(run):
            return {}
        return _read_json(os.path.join(self.sat_root, run, "status.json"))

    def _run_record(self, identity, wakes=None):
        run, secret = identity or (None, None)
        with self._lock:
            sat = self._sats.get(run) if isinstance(run, str) else None
            stored = self._stored(run) if sat is None else {}
            if sat is not None:
                known = sat.run is not None and sat.holds(secret)
            else:
                known = (isinstance(secret, str) and isinstance(stored.get("secret_sha256"), str)
                         and holds_secret(secret, stored["secret_sha256"]))
            if not known:
                self.strangers += 1
                raise IngestRefused("not a registered run, or not its secret")
            now = time.time()
            if wakes is None:
                wakes = (sat.reported if sat is not None else stored.get("state")) != "ended"
            if wakes and (sat is None or not sat.live(now)):
                owner = sat.owner if sat is not None else stored.get("owner")
                address = sat.address if sat is not None else stored.get("address")
                self._admit(owner if isinstance(owner, str) else "address %s" % address)
            if sat is None:
                sat = self._bring_back(run)
            sat.last_heard = now
        return sat

    def _owner(self, address, origin):
        """Whose share a registration takes: the local user owning the
        connection it came on (origin: its (address, port) and this
        station's), else its address (a station elsewhere)."""
        uid = None
        if origin is not None:
            try:
                uid = socket_owner("tcp", origin[0], origin[1])
            except (OSError, ValueError, IndexError, TypeError):
                uid = None
        if uid is None:
            return "address %s" % address
        try:
            return "user %d (%s)" % (uid, pwd.getpwuid(uid).pw_name)
        except KeyError:
            return "user %d" % uid

    def register(self, peer, body, identity=None, origin=None):
        """A run joins: body {"run": id, "name": the student's, "secret"}.
        The first registration of an id makes its record; a later one (the
        run again, after this station restarted) must hold the same secret.
        A run id is never re-used for someone else's run. origin: the
        connection's (address, port) and this station's, which tell the
        local user registering. A new run takes a live place within that
        user's share (IngestRefused saying so)."""
        address = self._ingest_peer(peer)
        if not isinstance(body, dict):
            raise ValueError("a JSON object")
        run, name, secret = body.get("run"), body.get("name"), body.get("secret")
        if not isinstance(run, str) or not RUN_ID.match(run):
            raise ValueError("run: letters, digits, - and _ (at most 64)")
        if name is not None and (not isinstance(name, str) or not 0 < len(name) <= 200):
            raise ValueError("name: a text")
        if not isinstance(secret, str) or not MIN_SECRET <= len(secret) <= 200:
            raise ValueError("secret: a text of %d to 200 characters" % MIN_SECRET)
        owner = self._owner(address, origin)
        with self._lock:
            if run in self._sats or self._stored(run):
                try:
                    sat = self._run_record((run, secret))
                except IngestRefused as e:
                    if "secret" in str(e):
                        raise IngestRefused("run %s is registered already" % run)
                    raise
            else:
                if not self._make_room(only_look=True):
                    self.refused += 1
                    raise IngestRefused(FULL % self.max_satellites)
                self._admit(owner)
                sat = self._add(address, run, owner)
                if sat is None:
                    raise IngestRefused(FULL % self.max_satellites)
                sat.secret = secret_hash(secret)
                sat.reported = "running"
            if name:
                sat.name = datagram_text(name.encode("utf-8", errors="replace"))
                sat.named = True
            sat.last_heard = time.time()
        sat.save()
        self._emit("on_status", sat, sat.status())
        return {"ok": True, "id": sat.id}

    def ingest_log(self, peer, body, identity=None):
        """body {"lines": [datagram, as text of its bytes in latin-1]}."""
        sat = self._ingest_sat(peer, identity)
        lines = body.get("lines") if isinstance(body, dict) else None
        if not isinstance(lines, list) or not all(isinstance(x, str) for x in lines):
            raise ValueError('{"lines": [text, ...]}')
        try:
            batch = [(time.time(), None, x.encode("latin-1")) for x in lines]
        except UnicodeEncodeError:
            raise ValueError("lines: the datagrams' bytes, as latin-1 text")
        self.deliver(batch, sat_of=lambda _: sat)
        return {"ok": True, "lines": sat.book.count}

    def ingest_control(self, peer, body, identity=None):
        """A run's station asks for the panel's next switch, saying how its
        simulator answered the last one: body {"faults": state or null,
        "answer": {"n", "state" or "error"} (optional)}."""
        sat = self._ingest_sat(peer, identity)
        if not isinstance(body, dict):
            raise ValueError("a JSON object")
        return self.control.poll(sat.id, body)

    def ingest_telemetry(self, peer, body, identity=None):
        if not isinstance(body, dict):
            raise ValueError("a JSON object")
        sat = self._ingest_sat(peer, identity)
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

    def ingest_status(self, peer, body, identity=None):
        if not isinstance(body, dict) or body.get("state") not in STATES:
            raise ValueError('{"state": "running" or "ended", ...}')
        exit_status = body.get("exit_status")
        if exit_status is not None and (not isinstance(exit_status, int) or isinstance(exit_status, bool)):
            raise ValueError("exit_status: an integer or null")
        name = body.get("name")
        if name is not None and (not isinstance(name, str) or not 0 < len(name) <= 200):
            raise ValueError("name: a text")
        if not isinstance(body.get("time_limited", False), bool):
            raise ValueError("time_limited: true or false")
        lost = body.get("lost", {})
        if not (isinstance(lost, dict) and len(lost) <= len(UPSTREAM_LOSSES)
                and all(k in UPSTREAM_LOSSES and isinstance(v, int) and not isinstance(v, bool)
                        and 0 <= v < 2 ** 53 for k, v in lost.items())):
            raise ValueError("lost: {%s: a count}" % ", ".join(UPSTREAM_LOSSES))
        sat = self._ingest_sat(peer, identity, wakes=body["state"] == "running")
        with self._lock:
            sat.reported = body["state"]
            sat.exit_status = exit_status if body["state"] == "ended" else None
            sat.time_limited = body["state"] == "ended" and body.get("time_limited") is True
            if name and not sat.named:
                sat.name = datagram_text(name.encode("utf-8", errors="replace"))
            if "lost" in body:
                sat.lost_upstream = lost
        sat.save()
        self._emit("on_status", sat, sat.status())
        return {"ok": True, "state": sat.state()}


class _Stored:
    """Photos on the disk that no satellite in the table holds (the runs
    that left the overview), for the total quota."""
    reserved = 0

    def __init__(self, size):
        self.size = size

    def used_bytes(self):
        return self.size


class RunControl:
    """The class station's panel on registered runs. The station never
    connects to a run: each run's own station asks here, with its secret,
    for the switches waiting for it, has its simulator do them, and brings
    back the simulator's answer, which the panel shows. So the panel reaches
    only the simulator of the run that holds the secret."""

    def __init__(self, answer_s=4.0):
        self.answer_s = answer_s
        self._cond = threading.Condition()
        self._runs = {}

    def _run(self, sat):
        return self._runs.setdefault(sat, {"faults": None, "seen": 0.0, "next": 1,
                                           "waiting": None, "answers": {}})

    def poll(self, sat, body):
        faults, answer = body.get("faults"), body.get("answer")
        if faults is not None and not isinstance(faults, dict):
            raise ValueError("faults: an object or null")
        with self._cond:
            run = self._run(sat)
            if "faults" in body:
                run["faults"] = faults
            run["seen"] = time.monotonic()
            if isinstance(answer, dict) and isinstance(answer.get("n"), int):
                run["answers"][answer["n"]] = answer
                # Only the one the panel waits for is kept.
                for n in [n for n in run["answers"] if n < answer["n"]]:
                    del run["answers"][n]
                self._cond.notify_all()
            waiting = run["waiting"]
            run["waiting"] = None
        return {"ok": True, "request": waiting[1], "n": waiting[0]} if waiting else {"ok": True}

    def forget(self, sat):
        with self._cond:
            self._runs.pop(sat, None)

    def faults(self, sat):
        with self._cond:
            run = self._runs.get(sat)
            if run is None or time.monotonic() - run["seen"] > CONTROL_STALE_S:
                return None
            return run["faults"]

    def switch(self, sat, request):
        from .control import request_command
        request_command(request)    # refused here already, not a hop later
        deadline = time.monotonic() + self.answer_s
        with self._cond:
            run = self._run(sat)
            n = run["next"]
            run["next"] += 1
            run["waiting"] = (n, request)
            while n not in run["answers"]:
                left = deadline - time.monotonic()
                if left <= 0:
                    if run["waiting"] and run["waiting"][0] == n:
                        run["waiting"] = None
                    raise ValueError("the satellite's own station did not answer")
                self._cond.wait(left)
            answer = run["answers"].pop(n)
        if isinstance(answer.get("error"), str):
            raise ValueError(answer["error"])
        state = answer.get("state")
        if not isinstance(state, dict):
            raise ValueError("the satellite's own station answered nothing")
        return state
