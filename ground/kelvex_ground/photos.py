"""The FTP server that receives the satellites' photos, and the photos
received. An upload goes to a hidden temporary name and becomes the photo only
once its transfer is complete, so a cut upload never shows nor replaces one."""

import collections
import errno
import itertools
import logging
import os
import sys
import threading
import time
import warnings

# pyftpdlib loads, where they are installed, modules for parts this station
# never uses: pyOpenSSL for a TLS handler (a tenth of a second at every
# start of a run, and as much again at its exit), crypt for an authorizer of
# the machine's accounts (its import hashes a password by every method it
# knows), multiprocessing for a server of processes (with a lock and an
# event made at import) and curses for coloured logs on a terminal. Each
# optional there; it is kept from finding them here only.
_HIDDEN = [name for name in ("OpenSSL", "crypt", "multiprocessing", "curses")
           if name not in sys.modules]
for _name in _HIDDEN:
    sys.modules[_name] = None
try:
    from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
    from pyftpdlib.filesystems import AbstractedFS
    from pyftpdlib.handlers import DTPHandler, FTPHandler
    from pyftpdlib.ioloop import IOLoop
    from pyftpdlib.servers import FTPServer
finally:
    for _name in _HIDDEN:
        if _name in sys.modules and sys.modules[_name] is None:
            del sys.modules[_name]

from . import thumbs

IMAGE_SUFFIXES = (".jpeg", ".jpg", ".png")
PART_PREFIX = ".upload-"
IMAGE_ENDINGS = {".jpeg": b"\xff\xd9", ".jpg": b"\xff\xd9", ".png": b"IEND\xaeB`\x82"}
MB = 1024 * 1024
# Thumbnails made at a time, each by a process of its own; a request waits
# this long for its turn, so that thumbnails never hold the page's workers.
_thumb_gate = threading.Semaphore(2)
THUMB_WAIT_S = 2.0
# Thumbnails kept, of every satellite together, the least recently shown
# going first.
THUMB_CACHE_BYTES = 16 * MB
_part_numbers = itertools.count(1)

logger = logging.getLogger("pyftpdlib")


class Quota:
    """Upload limits in bytes: per satellite, for the whole station, and
    what an upload that does not announce its size (ALLO) reserves."""

    def __init__(self, per_satellite=500 * MB, total=4096 * MB, per_upload=64 * MB):
        self.per_satellite = per_satellite
        self.total = total
        self.per_upload = per_upload


def _folder_bytes(path):
    """Bytes of the photos in a folder; uploads on their way are counted by
    what they reserved."""
    try:
        return sum(e.stat().st_size for e in os.scandir(path)
                   if e.is_file() and not e.name.startswith(PART_PREFIX))
    except OSError:
        return 0


class PhotoStore:
    """The photos of one satellite, in its incoming folder."""

    def __init__(self, incoming):
        self.incoming = incoming
        # Bytes reserved by uploads on their way (the FTP server's thread).
        self.reserved = 0
        # What this satellite lost: uploads refused for its quota, uploads
        # cut short, connections refused past its share.
        self.refused_uploads = 0
        self.cut_uploads = 0
        self.refused_connections = 0

    def used_bytes(self):
        """Bytes of its photos and of the reservations of its uploads."""
        return _folder_bytes(self.incoming) + self.reserved

    def listing(self):
        photos = []
        try:
            entries = list(os.scandir(self.incoming))
        except OSError:
            return photos
        for entry in entries:
            if (entry.name.startswith(".") or not entry.name.lower().endswith(IMAGE_SUFFIXES)
                    or not entry.is_file()):
                continue
            st = entry.stat()
            photos.append({"name": entry.name, "size": st.st_size, "t": st.st_mtime})
        photos.sort(key=lambda p: (p["t"], p["name"]))
        return photos

    def path_of(self, name):
        """The file of a listed photo, or None for anything else."""
        if "/" in name or "\0" in name or name.startswith(".") or not name.lower().endswith(IMAGE_SUFFIXES):
            return None
        path = os.path.join(self.incoming, name)
        return path if os.path.isfile(path) else None

    def thumbnail(self, name):
        """A small JPEG of the photo, or None when it cannot be read or is
        larger than a thumbnail may decode; TimeoutError when the thumbnails
        being made leave no turn for it now."""
        path = self.path_of(name)
        if path is None:
            return None
        key = (path, os.stat(path).st_mtime_ns)
        data = _thumb_cache.get(key)
        if data is None:
            if not _thumb_gate.acquire(timeout=THUMB_WAIT_S):
                raise TimeoutError("every thumbnail worker is busy")
            try:
                data = thumbs.make(path)
            finally:
                _thumb_gate.release()
            if data is not None:
                _thumb_cache.put(key, data)
        return data


class _ThumbCache:
    """Thumbnails by (path, mtime), bounded in bytes."""

    def __init__(self, max_bytes):
        self.max_bytes = max_bytes
        self.bytes = 0
        self._lock = threading.Lock()
        self._kept = collections.OrderedDict()

    def get(self, key):
        with self._lock:
            data = self._kept.get(key)
            if data is not None:
                self._kept.move_to_end(key)
            return data

    def put(self, key, data):
        with self._lock:
            old = self._kept.pop(key, None)
            self.bytes += len(data) - (len(old) if old else 0)
            self._kept[key] = data
            while self.bytes > self.max_bytes:
                self.bytes -= len(self._kept.popitem(last=False)[1])


_thumb_cache = _ThumbCache(THUMB_CACHE_BYTES)


class _Upload:
    """The file an upload writes: a hidden temporary one, bounded by what the
    quotas leave. It carries the photo's own name, which is what the FTP
    server reports the transfer under."""

    def __init__(self, final, store, limit):
        folder, name = os.path.split(final)
        self.part = os.path.join(folder, "%s%d-%s" % (PART_PREFIX, next(_part_numbers), name))
        self._file = open(self.part, "wb")
        self.name = self.final = final
        self.store = store
        self.limit = limit
        self.written = 0
        self.over = False
        store.reserved += limit

    def release(self):
        """Gives back the reservation (once the photo counts as a file, or
        is gone)."""
        self.store.reserved -= self.limit
        self.limit = 0

    @property
    def closed(self):
        return self._file.closed

    def close(self):
        self._file.close()

    def whole(self):
        """Whether the file ends as an image of its kind ends: a client that
        dies closes its data connection as if the upload were complete."""
        suffix = os.path.splitext(self.final)[1].lower()
        ending = IMAGE_ENDINGS.get(suffix)
        if ending is None:
            return True
        self._file.flush()
        with open(self.part, "rb") as f:
            f.seek(max(0, os.fstat(f.fileno()).st_size - 4096))
            tail = f.read().rstrip(b"\0\r\n ")
        return tail.endswith(ending)

    def write(self, data):
        self.written += len(data)
        if self.written > self.limit:
            self.over = True
            raise OSError(errno.EDQUOT, "upload quota exceeded")
        return self._file.write(data)


class _Authorizer(DummyAuthorizer):
    """A login is taken when the connection found its satellite
    (_PhotoChannel.ftp_PASS); it may then list and write in its incoming
    folder, nothing else."""

    def validate_authentication(self, username, password, handler):
        if handler.home is None:
            raise AuthenticationFailed("Anonymous uploads are taken from the boards only."
                                       if username == "anonymous" else "Authentication failed.")

    def get_home_dir(self, username):
        # Unused: each connection's filesystem is its satellite's folder.
        return os.path.dirname(os.path.abspath(__file__))

    def get_msg_login(self, username):
        return "Login successful."

    def has_perm(self, username, perm, path=None):
        if perm == "e":
            return True
        if path is None or perm not in "lw":
            return False
        folder = path if os.path.isdir(path) else os.path.dirname(path)
        return os.path.basename(folder.rstrip("/")) == "incoming"


class FtpSettings:
    """How the FTP server treats connections: seconds a connection may stay
    idle and may take to log in, connections of one satellite (and, before
    they log in, of one address) and in all, and the passive ports ((first,
    last) or None: any)."""

    def __init__(self, idle_timeout=120, per_address=8, max_connections=256, passive_ports=None,
                 login_timeout=10):
        self.idle_timeout = idle_timeout
        self.login_timeout = login_timeout
        self.per_address = per_address
        self.max_connections = max_connections
        self.passive_ports = passive_ports


class _Filesystem(AbstractedFS):
    """Each connection's own satellite folder; an upload is written through
    an _Upload bounded by what the connection's STOR left it."""

    def __init__(self, _root, cmd_channel):
        super().__init__(cmd_channel.home[0], cmd_channel)

    def open(self, filename, mode):
        if "w" not in mode:
            return super().open(filename, mode)
        channel = self.cmd_channel
        upload = _Upload(filename, channel.home[1], channel.reservation)
        channel.parts[filename] = upload
        return upload


class _DataChannel(DTPHandler):
    # The replies below replace the one pyftpdlib would send as the data
    # connection closes. pyftpdlib has no public hook for a transfer its
    # receiver judges failed, so they are set in its _resp, which close()
    # sends.

    def __init__(self, sock, cmd_channel):
        self.timeout = cmd_channel.timeout
        super().__init__(sock, cmd_channel)

    def handle_close(self):
        upload = self.file_obj
        if self.receive and isinstance(upload, _Upload) and not upload.closed and not upload.whole():
            self.transfer_finished = False
            self._resp = ("426 Upload incomplete: the image stops before its end.", logger.info)
            self.close()
            return
        super().handle_close()

    def handle_error(self):
        upload = self.file_obj
        if isinstance(upload, _Upload) and upload.over and not upload.closed:
            self._resp = ("552 Upload quota exceeded; transfer aborted.", logger.info)
            self.close()
            return
        super().handle_error()


class _PhotoChannel(FTPHandler):
    """One satellite's FTP connection. It belongs to no satellite until it
    logs in (anonymous: the board at its address; a registered run: the
    run's id and secret); from then on it holds one of that satellite's
    connections. What it may do comes from the PhotoServer it came to
    (self.server)."""

    banner = "kelvex ground station ready."
    dtp_handler = _DataChannel
    abstracted_fs = _Filesystem
    permit_foreign_addresses = False

    def __init__(self, conn, server, ioloop=None):
        self.authorizer = server.authorizer
        self.timeout = server.settings.idle_timeout
        if server.settings.passive_ports:
            first, last = server.settings.passive_ports
            self.passive_ports = list(range(first, last + 1))
        self.home = None
        self.parts = {}
        self.announced = None
        self.reservation = 0
        self.last_command = self.arrived = time.monotonic()
        super().__init__(conn, server, ioloop)

    def handle(self):
        accept = self.server.sender_check
        if accept is not None and not accept((self.remote_ip, self.remote_port),
                                             self.socket.getsockname()[:2]):
            self.respond("421 This station takes uploads from its own mission only.")
            self.close_when_done()
            return
        refused = self.server.arrive(self)
        if refused:
            self.respond("421 %s" % refused)
            self.close_when_done()
            return
        super().handle()

    def ftp_PASS(self, line):
        # The satellite is found here, before pyftpdlib's own check (which
        # the authorizer passes once self.home is set): pyftpdlib has no
        # public hook between a login's check and its 230 reply, and a
        # connection past its satellite's share must be refused there.
        if self.authenticated or not self.username:
            return super().ftp_PASS(line)
        uploads = self.server.uploads
        if self.username == "anonymous":
            # A board's record is made when it logs in, not when anyone
            # connects from its address.
            home = uploads.ftp_home(self.remote_ip)
        else:
            home = uploads.ftp_login(self.remote_ip, self.username, line)
        if home is not None:
            refused = self.server.admit(self, home)
            if refused:
                home[1].refused_connections += 1
                self.respond("421 %s" % refused)
                self.close_when_done()
                return None
            self.home = home
        return super().ftp_PASS(line)

    def flush_account(self):
        # USER again or REIN: the connection is nobody's until it logs in,
        # and waits for that as a new one does.
        self.server.leave(self)
        self.home = None
        super().flush_account()
        self.arrived = time.monotonic()
        refused = self.server.arrive(self)
        if refused:
            self.respond("421 %s" % refused)
            self.close_when_done()

    def pre_process_command(self, line, cmd, arg):
        self.last_command = time.monotonic()
        super().pre_process_command(line, cmd, arg)

    def idle(self):
        """Whether nothing is on its way on this connection."""
        return self.data_channel is None and not self.parts

    def on_disconnect(self):
        self.server.leave(self)
        for upload in self.parts.values():
            if not upload.closed:
                upload.close()
            upload.release()
            _remove(upload.part)
        self.parts.clear()

    def ftp_ALLO(self, line):
        if not line.isdigit():
            self.respond("501 ALLO takes a number of bytes.")
            return
        self.announced = int(line)
        self.respond("200 The next upload may take %s bytes." % line)

    def ftp_APPE(self, file):
        self.respond("550 Only whole uploads are taken.")

    def ftp_REST(self, line):
        self.respond("550 Only whole uploads are taken.")

    def ftp_STOR(self, file, mode="w"):
        announced, self.announced = self.announced, None
        refuse = self.server.refuse
        why = refuse() if refuse else None
        if why:
            self.respond("550 %s." % why)
            return None
        _, store, stores = self.home
        stores = stores()
        quota = self.server.uploads.quota
        # An upload reserves its bytes before the first one arrives, so that
        # uploads at once never overshoot a quota together.
        used, used_all = store.used_bytes(), sum(s.used_bytes() for s in stores)
        room = min(quota.per_satellite - used, quota.total - used_all)
        want = quota.per_upload if announced is None else announced
        if used_all > quota.total // 2:
            # Past half of the total, each satellite is held to its fair
            # share of it: a few cannot fill it for all the others. (An
            # upload that does not announce its size reserves the cap, so
            # what is stored, not reserved, says when half is past.)
            room = min(room, quota.total // max(1, len(stores)) - used)
        if room <= 0 or (announced is not None and announced > room):
            store.refused_uploads += 1
            self.respond("552 Upload quota exceeded.")
            return None
        self.reservation = min(want, room)
        return super().ftp_STOR(file, mode)

    def on_file_received(self, file):
        upload = self.parts.pop(file, None)
        if upload is None:
            return
        try:
            os.replace(upload.part, file)
        except OSError:
            _remove(upload.part)
            return
        finally:
            upload.release()
        self.server.uploads.photo_arrived(self.remote_ip, self.home[1], os.path.basename(file))

    def on_incomplete_file_received(self, file):
        upload = self.parts.pop(file, None)
        if upload is not None:
            if upload.over:
                upload.store.refused_uploads += 1
            else:
                upload.store.cut_uploads += 1
            upload.release()
            _remove(upload.part)


class PhotoServer(FTPServer):
    """FTP into the satellites' incoming folders. uploads is the station:
    uploads.ftp_home(peer address) gives an anonymous login's (folder whose
    incoming/ takes its uploads, PhotoStore, stores() giving every PhotoStore
    for the total quota) or None to refuse it, uploads.ftp_login(peer, user,
    password) the same for a registered run's login, uploads.quota bounds
    them and uploads.photo_arrived(peer, store, name) is told of each
    complete photo. Data connections are passive, on the control
    connection's own address. refuse(), when given, names a reason to refuse
    every upload for now (None: take them); accept((address, port), (own
    address, port)), when given, whether a connection comes from a sender
    the station takes at all (a run's own station: its mission's).

    Connections are shared out by satellite (admit): a logged-in connection
    holds one of its satellite's, whatever address it came from. Before its
    login a connection is only an address's: an address holds a few, for
    settings.login_timeout at most, and a full waiting room makes way for a newcomer."""

    def __init__(self, address, uploads, settings=None, refuse=None, accept=None):
        self.channels = {}
        self.waiting = {}
        if not logger.handlers:
            # pyftpdlib's warnings on the station's standard error, its
            # chatter not.
            logger.addHandler(logging.StreamHandler())
            logger.setLevel(logging.WARNING)
        self.uploads = uploads
        self.settings = settings or FtpSettings()
        self.refuse = refuse
        self.sender_check = accept
        # Connections are shared out here; pyftpdlib's own limit only keeps
        # the descriptors bounded: the logged-in ones with a data connection
        # each, and the waiting ones.
        self.max_cons = 3 * self.settings.max_connections + 16
        self.max_cons_per_ip = 0
        self.authorizer = _Authorizer()
        with warnings.catch_warnings():
            # Anonymous uploads are the point of this server.
            warnings.simplefilter("ignore", RuntimeWarning)
            self.authorizer.add_anonymous(self.authorizer.get_home_dir("anonymous"), perm="elw")
        # A loop of its own: pyftpdlib's shared one would mix its connections
        # with another server's in the same process.
        super().__init__(address, _PhotoChannel, ioloop=IOLoop())
        self.ioloop.call_every(1.0, self._sweep)

    def arrive(self, channel):
        """A new connection, before its login: None when it may wait for
        it, else why not."""
        own = self.waiting.get(channel.remote_ip, [])
        if len(own) >= self.settings.per_address:
            return "Too many connections from this address."
        if sum(len(c) for c in self.waiting.values()) >= self.settings.max_connections:
            # The oldest of an address that waits with the most.
            crowd = max(self.waiting.values(), key=len)
            if len(crowd) <= len(own):
                return "The station is full."
            self._drop_waiting(crowd[0], "421 Making room for another connection.")
        self.waiting.setdefault(channel.remote_ip, []).append(channel)
        return None

    def _drop_waiting(self, channel, reply):
        self._unwait(channel)
        channel.respond(reply)
        channel.close_when_done()

    def _unwait(self, channel):
        own = self.waiting.get(channel.remote_ip, [])
        if channel in own:
            own.remove(channel)
            if not own:
                del self.waiting[channel.remote_ip]

    def _sweep(self):
        """Connections that did not log in in time go."""
        late = time.monotonic() - self.settings.login_timeout
        for own in list(self.waiting.values()):
            for channel in [c for c in own if c.arrived < late]:
                self._drop_waiting(channel, "421 Log in sooner.")

    def admit(self, channel, home):
        """None when the connection, logging in to home's satellite, may
        stay, else why not. A satellite has up to per_address connections;
        when the station is full, an idle connection makes room: the one idle
        the longest among the satellites that hold more than the newcomer's
        will."""
        sat = home[1]
        own = self.channels.get(sat, [])
        if len(own) >= self.settings.per_address:
            return "Too many connections of this satellite."
        if sum(len(c) for c in self.channels.values()) >= self.settings.max_connections:
            idle = [x for s, c in self.channels.items() if s is not sat and len(c) > len(own)
                    for x in c if x.idle()]
            if not idle:
                return "The station is full."
            victim = min(idle, key=lambda x: (-len(self.channels[x.home[1]]), x.last_command))
            self.leave(victim)
            victim.respond("421 Making room for another satellite.")
            victim.close_when_done()
        self._unwait(channel)
        self.channels.setdefault(sat, []).append(channel)
        return None

    def leave(self, channel):
        self._unwait(channel)
        if channel.home is None:
            return
        own = self.channels.get(channel.home[1], [])
        if channel in own:
            own.remove(channel)
            if not own:
                del self.channels[channel.home[1]]


def _remove(path):
    try:
        os.remove(path)
    except OSError:
        pass


def remove_parts(incoming):
    """Temporary files of uploads cut by an earlier end of the station."""
    try:
        for entry in os.scandir(incoming):
            if entry.name.startswith(PART_PREFIX):
                _remove(entry.path)
    except OSError:
        pass


class _Waker:
    """A pipe in the FTP loop's poll, so that stop() ends the loop's wait at
    once instead of at the poll's time-out. The loop calls what pyftpdlib
    calls of a connection; its FtpThread closes the pipe."""

    def __init__(self, ioloop):
        self.fds = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._fileno = self.fds[0]
        self.ioloop = ioloop
        ioloop.register(self._fileno, self, ioloop.READ)

    def readable(self):
        return True

    def writable(self):
        return False

    def handle_read_event(self):
        try:
            os.read(self._fileno, 4096)
        except OSError:
            pass

    def handle_close(self):
        pass

    def handle_error(self):
        pass

    def ring(self):
        try:
            os.write(self.fds[1], b"x")
        except (OSError, IndexError):
            pass  # full: it is rung already

    def close(self):
        self.ioloop.unregister(self._fileno)


class FtpThread:
    def __init__(self, server):
        self.server = server
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="ftp", daemon=True)
        self._waker = _Waker(server.ioloop)

    @property
    def port(self):
        return self.server.socket.getsockname()[1]

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        if self._thread.ident is None:
            self.server.close_all()
        else:
            self._waker.ring()
            self._thread.join(timeout=5)
        if not self._thread.is_alive():
            for fd in self._waker.fds:
                os.close(fd)
            self._waker.fds = ()

    def _run(self):
        while not self._stop.is_set():
            self.server.serve_forever(timeout=0.2, blocking=False, handle_exit=False)
        self.server.close_all()
