"""The ground station's web page and the JSON it polls."""

import json
import os
import socket
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .satellites import IngestRefused

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".jpeg": "image/jpeg",
    ".jpg": "image/jpeg",
    ".png": "image/png",
}


MAX_INGEST = 1024 * 1024


def make_web_server(bind, port, station):
    """station: a satellites.Station, whose methods answer the API."""
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
                return self._json(station.legacy_log(since))
            if path == "/api/photos":
                return self._json(station.legacy_photos())
            if path == "/api/telemetry":
                return self._json(station.legacy_telemetry(since))
            if path == "/api/station":
                return self._json(station.station_info())
            if path == "/api/satellites":
                return self._json(station.satellites())
            parts = path.split("/")
            if len(parts) == 5 and parts[:3] == ["", "api", "sat"]:
                answer = {"log": lambda: station.log(parts[3], since),
                          "photos": lambda: station.photos(parts[3]),
                          "telemetry": lambda: station.telemetry(parts[3], since)}.get(parts[4])
                value = answer() if answer else None
                return self._error(404) if value is None else self._json(value)
            if len(parts) in (3, 4) and parts[1] in ("photos", "thumbs"):
                sat_id, name = (parts[2], parts[3]) if len(parts) == 4 else (station.first_id(), parts[2])
                if parts[1] == "photos":
                    found = station.photo_path(sat_id, name)
                    return self._file(found) if found else self._error(404)
                data = station.thumbnail(sat_id, name)
                return self._send(200, "image/jpeg", data) if data else self._error(404)
            return self._error(404)

        def do_POST(self):
            ingest = {"/api/ingest/telemetry": station.ingest_telemetry,
                      "/api/ingest/status": station.ingest_status}.get(urllib.parse.urlsplit(self.path).path)
            if ingest is None:
                return self._error(404)
            try:
                size = int(self.headers.get("Content-Length", ""))
            except ValueError:
                return self._send(411, "text/plain; charset=utf-8", b"length required\n")
            if not 0 <= size <= MAX_INGEST:
                return self._send(413, "text/plain; charset=utf-8", b"too large\n")
            try:
                body = json.loads(self.rfile.read(size))
                return self._json(ingest(self.client_address[0], body))
            except IngestRefused as e:
                return self._send(403, "text/plain; charset=utf-8", ("%s\n" % e).encode())
            except ValueError as e:
                return self._send(400, "text/plain; charset=utf-8", ("%s\n" % e).encode())

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
        if self._thread.ident is None:
            self.server.server_close()
            return
        self.server.shutdown()
        self.server.server_close()
        self._thread.join(timeout=5)
