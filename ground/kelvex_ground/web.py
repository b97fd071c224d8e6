"""The ground station's web page and the JSON it polls."""

import json
import os
import socket
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".jpeg": "image/jpeg",
    ".jpg": "image/jpeg",
    ".png": "image/png",
}


def make_web_server(bind, port, log, photos, telemetry):
    class Handler(BaseHTTPRequestHandler):
        server_version = "kelvex-ground"

        def log_message(self, fmt, *args):
            pass

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            query = urllib.parse.parse_qs(url.query)
            since = _int(query.get("since", ["0"])[0])
            path = urllib.parse.unquote(url.path)
            if path in ("/", "/index.html"):
                return self._file(os.path.join(STATIC, "index.html"))
            if path.startswith("/static/"):
                name = path[len("/static/"):]
                if "/" in name or name.startswith("."):
                    return self._error(404)
                return self._file(os.path.join(STATIC, name))
            if path == "/api/log":
                return self._json(log.since(since))
            if path == "/api/photos":
                return self._json({"photos": photos.listing()})
            if path == "/api/telemetry":
                return self._json(telemetry.since(since))
            if path.startswith("/photos/"):
                found = photos.path_of(path[len("/photos/"):])
                return self._file(found) if found else self._error(404)
            if path.startswith("/thumbs/"):
                data = photos.thumbnail(path[len("/thumbs/"):])
                return self._send(200, "image/jpeg", data) if data else self._error(404)
            return self._error(404)

        def _json(self, value):
            self._send(200, "application/json", json.dumps(value).encode())

        def _file(self, path):
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                return self._error(404)
            kind = CONTENT_TYPES.get(os.path.splitext(path)[1].lower(), "application/octet-stream")
            self._send(200, kind, data)

        def _error(self, code):
            self._send(code, "text/plain; charset=utf-8", b"not found\n")

        def _send(self, code, kind, data):
            self.send_response(code)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(data)

    class Server(ThreadingHTTPServer):
        daemon_threads = True
        address_family = socket.AF_INET6 if ":" in bind else socket.AF_INET

    return Server((bind, port), Handler)


def _int(text):
    try:
        return max(0, int(text))
    except ValueError:
        return 0


class WebThread:
    def __init__(self, server):
        self.server = server
        self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                                        name="web", daemon=True)

    @property
    def port(self):
        return self.server.server_address[1]

    def start(self):
        self._thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self._thread.join(timeout=5)
