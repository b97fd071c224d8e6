"""The FTP server that receives the satellites' photos, and the photos
received. An upload goes to a hidden temporary name and becomes the photo only
once its transfer is complete, so a cut upload never shows nor replaces one."""

import errno
import io
import itertools
import logging
import os
import threading
import warnings

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer

IMAGE_SUFFIXES = (".jpeg", ".jpg", ".png")
THUMB_SIZE = (160, 120)
# A thumbnail never decodes more than this (a 6000x4000 photo; about 72 MB
# as RGB), and only one is made at a time.
MAX_DECODE_PIXELS = 24_000_000
PART_PREFIX = ".upload-"
IMAGE_ENDINGS = {".jpeg": b"\xff\xd9", ".jpg": b"\xff\xd9", ".png": b"IEND\xaeB`\x82"}
_thumb_gate = threading.Semaphore(1)
_part_numbers = itertools.count(1)

MB = 1024 * 1024


class Quota:
    """Upload limits in bytes: per satellite and for the whole station."""

    def __init__(self, per_satellite=500 * MB, total=4096 * MB):
        self.per_satellite = per_satellite
        self.total = total


def _folder_bytes(path):
    try:
        return sum(e.stat().st_size for e in os.scandir(path) if e.is_file())
    except OSError:
        return 0


class PhotoStore:
    """The photos of one satellite, in its incoming folder."""

    def __init__(self, incoming):
        self.incoming = incoming
        self._lock = threading.Lock()
        self._thumbs = {}

    def used_bytes(self):
        return _folder_bytes(self.incoming)

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
        larger than a thumbnail may decode."""
        path = self.path_of(name)
        if path is None:
            return None
        key = (name, os.stat(path).st_mtime_ns)
        with self._lock:
            if key in self._thumbs:
                return self._thumbs[key]
        with _thumb_gate:
            data = make_thumbnail(path)
        if data is not None:
            with self._lock:
                if len(self._thumbs) > 1000:
                    self._thumbs.clear()
                self._thumbs[key] = data
        return data


def make_thumbnail(path):
    from PIL import Image
    # A JPEG may be far larger than what its draft decodes.
    Image.MAX_IMAGE_PIXELS = 64 * MAX_DECODE_PIXELS
    try:
        with warnings.catch_warnings(), Image.open(path) as im:
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            # The header's size, before any pixel is decoded. A JPEG decodes
            # at a fraction of its size (draft); anything else whole.
            w, h = im.size
            if im.format == "JPEG":
                im.draft("RGB", (THUMB_SIZE[0] * 2, THUMB_SIZE[1] * 2))
                w, h = im.size
            if w * h > MAX_DECODE_PIXELS:
                return None
            im = im.convert("RGB")
            im.thumbnail(THUMB_SIZE)
            out = io.BytesIO()
            im.save(out, "JPEG", quality=80)
            return out.getvalue()
    except (OSError, ValueError, Image.DecompressionBombError, SyntaxError):
        return None


class _Upload:
    """The file an upload writes: a hidden temporary one, bounded by what the
    quotas leave. It carries the photo's own name, which is what the FTP
    server reports the transfer under."""

    def __init__(self, final, limit):
        folder, name = os.path.split(final)
        self.part = os.path.join(folder, "%s%d-%s" % (PART_PREFIX, next(_part_numbers), name))
        self._file = open(self.part, "wb")
        self.name = self.final = final
        self.limit = limit
        self.written = 0
        self.over = False

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
    """Anonymous may list and write in an incoming folder, nothing else."""

    def has_perm(self, username, perm, path=None):
        if perm == "e":
            return True
        if path is None or perm not in "lw":
            return False
        folder = path if os.path.isdir(path) else os.path.dirname(path)
        return os.path.basename(folder.rstrip("/")) == "incoming"


def make_ftp_server(root, home_of, bind, port, quota, arrived, idle_timeout=120,
                    per_address=8, max_connections=256, passive_ports=None, refuse=None,
                    login_of=None, accept=None):
    """Anonymous FTP; each connection's files go where home_of(peer address)
    says: a (folder whose incoming/ takes the uploads, PhotoStore, list of
    every PhotoStore for the total quota) or None to refuse it. arrived(peer,
    store, name) is called once a photo is complete. Data connections are
    passive, on the control connection's own address. refuse(), when given,
    names a reason to refuse every upload for now (None: take them).
    login_of(peer, user, password), when given: the home of a connection
    that logs in as a registered run (or None), whose address need not be
    one home_of takes. accept((address, port), (own address, port)), when
    given, says whether a connection comes from a sender the station takes
    at all (a run's own station: its mission's)."""
    logger = logging.getLogger("pyftpdlib")
    if not logger.handlers:
        logger.addHandler(logging.StreamHandler())
    logger.setLevel(logging.WARNING)

    class Authorizer(_Authorizer):
        def validate_authentication(self, username, password, handler):
            if username == "anonymous":
                # A board's record is made when it logs in, not when anyone
                # connects from its address.
                handler.home = home_of(handler.remote_ip)
                if handler.home is None:
                    raise AuthenticationFailed("Anonymous uploads are taken from the boards only.")
                return
            home = login_of(handler.remote_ip, username, password) if login_of else None
            if home is None:
                raise AuthenticationFailed("Authentication failed.")
            handler.home = home

        def get_home_dir(self, username):
            return root

        def get_msg_login(self, username):
            return "Login successful."

    authorizer = Authorizer()
    with warnings.catch_warnings():
        # Anonymous uploads are the point of this server.
        warnings.simplefilter("ignore", RuntimeWarning)
        authorizer.add_anonymous(root, perm="elw")

    class Filesystem(AbstractedFS):
        def __init__(self, _root, cmd_channel):
            super().__init__(cmd_channel.home[0], cmd_channel)

    class Data(DTPHandler):
        timeout = idle_timeout

        def handle_close(self):
            upload = self.file_obj
            if not self._closed and self.receive and isinstance(upload, _Upload) and not upload.whole():
                self.transfer_finished = False
                self._resp = ("426 Upload incomplete: the image stops before its end.", logger.info)
                self.close()
                return
            super().handle_close()

        def handle_error(self):
            upload = self.file_obj
            if isinstance(upload, _Upload) and upload.over and not self._closed:
                self._resp = ("552 Upload quota exceeded; transfer aborted.", logger.info)
                self.close()
                return
            super().handle_error()

    class Handler(FTPHandler):
        banner = "kelvex ground station ready."
        timeout = idle_timeout
        dtp_handler = Data
        abstracted_fs = Filesystem

        def handle(self):
            self.parts = {}
            if accept is not None and not accept((self.remote_ip, self.remote_port),
                                                 self.socket.getsockname()[:2]):
                self.respond("421 This station takes uploads from its own mission only.")
                self.close_when_done()
                return
            self.home = None
            super().handle()

        def ftp_APPE(self, file):
            self.respond("550 Only whole uploads are taken.")

        def ftp_STOR(self, file, mode="w"):
            if self._restart_position:
                self._restart_position = 0
                self.respond("550 Only whole uploads are taken.")
                return None
            why = refuse() if refuse else None
            if why:
                self.respond("550 %s." % why)
                return None
            _, store, stores = self.home
            room = min(quota.per_satellite - store.used_bytes(),
                       quota.total - sum(s.used_bytes() for s in stores))
            if room <= 0:
                self.respond("552 Upload quota exceeded.")
                return None
            try:
                fd = self.run_as_current_user(_Upload, file, room)
            except OSError as e:
                self.respond("550 %s." % (e.strerror or e))
                return None
            self.parts[file] = fd
            if self.data_channel is not None:
                self.respond("125 Data connection already open. Transfer starting.")
                self.data_channel.file_obj = fd
                self.data_channel.enable_receiving(self._current_type, "STOR")
            else:
                self.respond("150 File status okay. About to open data connection.")
                self._in_dtp_queue = (fd, "STOR")
            return file

        def on_file_received(self, file):
            upload = self.parts.pop(file, None)
            if upload is None:
                return
            part = upload.part
            try:
                os.replace(part, file)
            except OSError:
                _remove(part)
                return
            arrived(self.remote_ip, self.home[1], os.path.basename(file))

        def on_incomplete_file_received(self, file):
            upload = self.parts.pop(file, None)
            if upload is not None:
                _remove(upload.part)

    Handler.authorizer = authorizer
    Handler.permit_foreign_addresses = False
    if passive_ports:
        Handler.passive_ports = list(range(passive_ports[0], passive_ports[1] + 1))

    class Server(FTPServer):
        pass

    Server.max_cons = max_connections
    Server.max_cons_per_ip = per_address
    return Server((bind, port), Handler)


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


class FtpThread:
    def __init__(self, server):
        self.server = server
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="ftp", daemon=True)

    @property
    def port(self):
        return self.server.socket.getsockname()[1]

    def start(self):
        self._thread.start()

    def stop(self):
        self._stop.set()
        if self._thread.ident is None:
            self.server.close_all()
            return
        self._thread.join(timeout=5)

    def _run(self):
        while not self._stop.is_set():
            self.server.serve_forever(timeout=0.2, blocking=False, handle_exit=False)
        self.server.close_all()
