"""The FTP server that receives the satellite's photos, and the list of the
photos received."""

import io
import logging
import os
import threading
import warnings

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

IMAGE_SUFFIXES = (".jpeg", ".jpg", ".png")
THUMB_SIZE = (160, 120)


class PhotoStore:
    """Photos in the incoming directory. A file being uploaded is listed only
    once its transfer has completed."""

    def __init__(self, incoming):
        self.incoming = incoming
        self._lock = threading.Lock()
        self._uploading = set()
        self._thumbs = {}

    def upload_started(self, path):
        with self._lock:
            self._uploading.add(os.path.realpath(path))

    def upload_ended(self, path):
        with self._lock:
            self._uploading.discard(os.path.realpath(path))

    def listing(self):
        photos = []
        with self._lock:
            busy = set(self._uploading)
        for entry in os.scandir(self.incoming):
            if (not entry.name.lower().endswith(IMAGE_SUFFIXES) or not entry.is_file()
                    or os.path.realpath(entry.path) in busy):
                continue
            st = entry.stat()
            photos.append({"name": entry.name, "size": st.st_size, "mtime": st.st_mtime})
        photos.sort(key=lambda p: (p["mtime"], p["name"]))
        return photos

    def path_of(self, name):
        """The file of a listed photo, or None for anything else."""
        if "/" in name or name.startswith(".") or not name.lower().endswith(IMAGE_SUFFIXES):
            return None
        path = os.path.join(self.incoming, name)
        return path if os.path.isfile(path) else None

    def thumbnail(self, name):
        """A small JPEG of the photo, or None when it cannot be read."""
        path = self.path_of(name)
        if path is None:
            return None
        from PIL import Image
        key = (name, os.stat(path).st_mtime_ns)
        with self._lock:
            if key in self._thumbs:
                return self._thumbs[key]
        try:
            with Image.open(path) as im:
                im = im.convert("RGB")
                im.thumbnail(THUMB_SIZE)
                out = io.BytesIO()
                im.save(out, "JPEG", quality=80)
        except (OSError, ValueError):
            return None
        with self._lock:
            self._thumbs[key] = out.getvalue()
        return self._thumbs[key]


def make_ftp_server(root, store, bind, port):
    """Anonymous FTP whose only writable place is root/incoming; data
    connections are passive, on the control connection's own address."""
    logger = logging.getLogger("pyftpdlib")
    if not logger.handlers:
        logger.addHandler(logging.StreamHandler())
    logger.setLevel(logging.WARNING)

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(root, perm="e")
    with warnings.catch_warnings():
        # Anonymous uploads are the point of this server.
        warnings.simplefilter("ignore", RuntimeWarning)
        authorizer.override_perm("anonymous", os.path.join(root, "incoming"), perm="elw")

    class Handler(FTPHandler):
        banner = "kelvex ground station ready."

        def ftp_STOR(self, file, mode="w"):
            store.upload_started(file)
            return super().ftp_STOR(file, mode)

        def on_file_received(self, file):
            store.upload_ended(file)

        def on_incomplete_file_received(self, file):
            store.upload_ended(file)
            try:
                os.remove(file)
            except OSError:
                pass

    Handler.authorizer = authorizer
    Handler.permit_foreign_addresses = False
    return FTPServer((bind, port), Handler)


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
        self._thread.join(timeout=5)

    def _run(self):
        while not self._stop.is_set():
            self.server.serve_forever(timeout=0.2, blocking=False, handle_exit=False)
        self.server.close_all()
