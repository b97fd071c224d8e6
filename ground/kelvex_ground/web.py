"""The ground station's web pages and the JSON they poll.

The server reads the station through a data object with these methods
(None for a satellite it does not know):
  satellites()              [{id, name, address, last_heard, state, exit_status,
                              pointing_deg, rate_dps, last_photo, photos, lines,
                              alarms, dropped}]
  log(sat, since)           {next, lines: [{n, t, time, text}], dropped}
  photos(sat)               [{name, size, t}]
  telemetry(sat, since)     {columns, rows, next, file_generation[, t0_unix]}
  station_info()            {version, log_port, ftp_port, http_port, drops, started}
  photo_path(sat, name)     path of a listed photo
  thumbnail(sat, name)      JPEG bytes of its thumbnail; TimeoutError: not now
and, on a station that takes what per-run stations relay,
  register(peer, body, identity, origin), ingest_log/_telemetry/_status/_control(peer, body, identity)
                            the JSON answer; IngestRefused for a peer or identity
                            it does not take from, ValueError for a body it rejects.
                            identity: (run id, secret) of the request's
                            X-Kelvex-Run and X-Kelvex-Secret headers; origin: the
                            connection's ((address, port), (own address, port))
  satellite(sat)            one entry as in satellites(), also of a satellite
                            no longer in the overview (optional)
  earlier()                 [{id, name, address, run, last_heard, state, exit_status,
                              time_limited, owner, photo_bytes}]: the runs that left
                            the overview, the latest first (optional)
"""

import base64
import io
import ipaddress
import json
import os
import re
import socket
import threading
import urllib.parse
from http import HTTPStatus

from .httpserve import IDLE_TIMEOUT, BoundedHTTPServer, request_complete

try:
    from .satellites import IngestRefused
except ImportError:
    # A station without a class of satellites takes nothing in.
    class IngestRefused(Exception):
        pass

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
# Where the page's libraries fetched at build time are, once installed.
VENDOR = os.path.join(STATIC, "vendor")
CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".jpeg": "image/jpeg",
    ".jpg": "image/jpeg",
    ".png": "image/png",
}
FILE_NAME = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_.+-]*\Z")
BAD_ESCAPE = re.compile(r"%(?![0-9A-Fa-f]{2})")
LOCAL_NAMES = ("localhost", "localhost.localdomain", "ip6-localhost")
TOKEN_HEADER = "X-Kelvex-Token"
RUN_HEADER, SECRET_HEADER = "X-Kelvex-Run", "X-Kelvex-Secret"
INGEST = {"register": "register", "log": "ingest_log", "telemetry": "ingest_telemetry",
          "status": "ingest_status", "control": "ingest_control"}
MAX_BODY = 4096
# A per-run station relays its telemetry rows in answers of up to this size.
MAX_INGEST = 1024 * 1024
PAGE_POLICY = ("default-src 'self'; img-src 'self'; object-src 'none'; base-uri 'none'; "
               "form-action 'none'; frame-ancestors 'none'")


class BadRequest(Exception):
    pass


class NotFound(Exception):
    pass


def decode_path(target):
    """The request target's path as text, split into its segments, and its
    query; BadRequest for anything a browser would not send."""
    if not target.startswith("/") or BAD_ESCAPE.search(target):
        raise BadRequest()
    url = urllib.parse.urlsplit(target)
    try:
        path = urllib.parse.unquote_to_bytes(url.path).decode("utf-8")
        query = urllib.parse.parse_qs(url.query, strict_parsing=False, errors="strict")
    except (UnicodeDecodeError, ValueError):
        raise BadRequest()
    if any(ord(c) < 32 or ord(c) == 127 for c in path) or "\\" in path:
        raise BadRequest()
    return path.split("/")[1:], query


def since_of(query):
    text = query.get("since", ["0"])[0]
    if not text.isdigit():
        raise BadRequest()
    return int(text)


class HostCheck:
    """The Host names the page answers to: its own address, the loopback
    names, the names it is configured with, and any address literal when it
    listens on every address. A web page elsewhere that rebinds its own name
    to this station's address is refused."""

    def __init__(self, bind, port, names=()):
        self.port = port
        self.names = {n.lower().rstrip(".") for n in names}
        self.own = {"127.0.0.1", "::1", *LOCAL_NAMES}
        self.any_address = bind in ("", "0.0.0.0", "::")
        if not self.any_address:
            self.own.add(str(ipaddress.ip_address(bind)))
        else:
            self.own.add(socket.gethostname().lower())

    def check(self, header):
        """None when the Host is served, else the status to answer with."""
        if header is None:
            return None
        m = re.fullmatch(r"(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9._-]+)(?::([0-9]{1,5}))?", header.strip())
        if not m:
            return 400
        name, port = m.group(1).lower().rstrip("."), m.group(2)
        if name.startswith("["):
            name = name[1:-1]
        if name in self.names:
            return None
        if port is not None and int(port) != self.port:
            return 421
        if name in self.own:
            return None
        try:
            address = ipaddress.ip_address(name)
        except ValueError:
            return 421
        return None if self.any_address or address.is_loopback else 421


class Instructor:
    """Who may switch faults: requests that carry the token, from loopback or
    from the networks given. The forwarder switches them on the satellite:
      faults(sat)           {available: [{name, units, value}], active: [{fault, unit, value}]}
                            or None for a satellite it cannot switch (a real board)
      switch(sat, request)  the same after the request ({fault, unit[, value]} switches on,
                            {clear, unit} off); ValueError for a request it rejects"""

    def __init__(self, forwarder, token=None, networks=()):
        self.forwarder = forwarder
        self.token = token or new_token(18)
        self.networks = [ipaddress.ip_network(n, strict=False) for n in networks]

    def announce(self, url, stream):
        print("kelvex-ground: instructor token %s (the panel on a satellite's page, e.g. %s#token=%s)"
              % (self.token, url, self.token), file=stream, flush=True)

    def refusal(self, peer, token):
        address = ipaddress.ip_address(peer.split("%")[0])
        if address.version == 6 and address.ipv4_mapped:
            address = address.ipv4_mapped
        if not address.is_loopback and not any(address in n for n in self.networks):
            return 403
        import hmac
        if not token or not hmac.compare_digest(token.encode(), self.token.encode()):
            return 401
        return None


def new_token(nbytes):
    """secrets.token_urlsafe(nbytes), as it makes it, without loading
    secrets: it loads hmac and with it OpenSSL's library, which nothing else
    in a run's own station needs."""
    return base64.urlsafe_b64encode(os.urandom(nbytes)).rstrip(b"=").decode("ascii")


class PageAnswers:
    """One request on the page server, already read whole; its "request"
    is the Answer it writes (httpserve), which the server sends once it is
    made. As in the standard library's servers, self.server is the server it
    came to: its data, hosts, instructor and vendor_dirs are what the answer
    reads. The standard library's request parser under it is put there at
    the first request (page_request())."""

    server_version = "kelvex-ground"
    # Every answer closes its connection: the server then never keeps a
    # thread for a connection that stays open.
    protocol_version = "HTTP/1.0"
    # A request too broken to name its version still gets a status line.
    default_request_version = "HTTP/1.0"

    def __init__(self, out, address, raw, server):
        self._raw = raw
        super().__init__(out, address, server)

    def setup(self):
        self.rfile = io.BytesIO(self._raw)
        self.wfile = self.request

    def finish(self):
        pass

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        self._answer(body=True)

    def do_HEAD(self):
        self._answer(body=False)

    def do_POST(self):
        self._answer(body=True, post=True)

    def _answer(self, body, post=False):
        self._body = body
        refused = self.server.hosts.check(self.headers.get("Host"))
        if refused is None and self.request_version == "HTTP/1.1" and "Host" not in self.headers:
            refused = 400
        if refused:
            return self._error(refused)
        try:
            parts, query = decode_path(self.path)
            if post:
                return self._post(parts)
            return self._get(parts, query)
        except NotFound:
            return self._error(404)
        except BadRequest:
            return self._error(400)
        except Exception:
            return self._error(500)

    def _get(self, parts, query):
        if parts in (["", ], ["index.html"]):
            return self._file(os.path.join(STATIC, "index.html"))
        head = parts[0]
        if head == "static":
            return self._static(parts[1:])
        if head == "sat" and len(parts) == 2:
            if not self._known(parts[1]):
                return self._error(404)
            return self._file(os.path.join(STATIC, "sat.html"))
        if head == "api":
            return self._api(parts[1:], query)
        if head in ("photos", "thumbs") and len(parts) in (2, 3):
            sat = parts[1] if len(parts) == 3 else self._first()
            name = parts[-1]
            if sat is None or not FILE_NAME.match(name):
                return self._error(404)
            if head == "photos":
                found = self.server.data.photo_path(sat, name)
                return self._file(found) if found else self._error(404)
            try:
                thumb = self.server.data.thumbnail(sat, name)
            except TimeoutError:
                # Thumbnails are being made for others: the page asks again.
                return self._error(503, retry_after=1)
            return self._send(200, "image/jpeg", thumb) if thumb else self._error(404)
        return self._error(404)

    def _api(self, parts, query):
        if parts == ["station"]:
            info = dict(self.server.data.station_info())
            info["instructor"] = self.server.instructor is not None
            return self._json(info)
        if parts == ["satellites"]:
            return self._json(self.server.data.satellites())
        if parts == ["earlier"]:
            earlier = getattr(self.server.data, "earlier", None)
            return self._json(earlier() if earlier else [])
        if len(parts) == 2 and parts[0] == "sat" and hasattr(self.server.data, "satellite"):
            sat = self.server.data.satellite(parts[1])
            return self._json(sat) if sat is not None else self._error(404)
        if parts[2:] == ["faults"] and parts[0] == "sat":
            return self._instructed(parts[1], lambda f: f.faults(parts[1]))
        if len(parts) == 3 and parts[0] == "sat":
            return self._json(self._of(parts[1], parts[2], query))
        if len(parts) == 1 and parts[0] in ("log", "photos", "telemetry"):
            # The single-satellite page's endpoints: the first satellite.
            sat = self._first()
            value = self._of(sat, parts[0], query) if sat else None
            return self._json(legacy(parts[0], value))
        return self._error(404)

    def _of(self, sat, what, query):
        if what == "log":
            value = self.server.data.log(sat, since_of(query))
        elif what == "telemetry":
            value = self.server.data.telemetry(sat, since_of(query))
        elif what == "photos":
            value = self.server.data.photos(sat)
        else:
            value = None
        if value is None:
            raise NotFound()
        return value

    def _post(self, parts):
        ingest = None
        if len(parts) == 3 and parts[:2] == ["api", "ingest"] and parts[2] in INGEST:
            ingest = getattr(self.server.data, INGEST[parts[2]], None)
        if not ingest and (len(parts) != 4 or parts[:2] != ["api", "sat"] or parts[3] != "fault"):
            return self._error(404)
        length = self.headers.get("Content-Length", "")
        if not length.isdigit():
            return self._error(411)
        if int(length) > (MAX_INGEST if ingest else MAX_BODY):
            return self._error(413)
        body = self.rfile.read(int(length))
        if ingest:
            # JSON only: a page elsewhere cannot send that without asking
            # first, and nothing here answers such a question.
            if self.headers.get_content_type() != "application/json":
                return self._error(415)
            identity = (self.headers.get(RUN_HEADER), self.headers.get(SECRET_HEADER))
            more = {}
            if parts[2] == "register" and getattr(self.request, "local", None):
                # Who registers: the station finds the local user owning
                # the other end of this connection.
                more["origin"] = (self.client_address[:2], self.request.local[:2])
            try:
                return self._json(ingest(self.client_address[0], json.loads(body),
                                         identity=identity, **more))
            except IngestRefused as e:
                return self._send(403, "text/plain; charset=utf-8", ("%s\n" % e).encode())
            except ValueError as e:
                return self._send(400, "text/plain; charset=utf-8", ("%s\n" % e).encode())

        def switch(forwarder):
            request = json.loads(body)
            if not isinstance(request, dict):
                raise ValueError("the request is not a JSON object")
            return forwarder.switch(parts[2], request)
        return self._instructed(parts[2], switch)

    def _instructed(self, sat, act):
        """act(forwarder) for the instructor only, on a satellite the
        forwarder can switch."""
        instructor = self.server.instructor
        if instructor is None:
            return self._error(404)
        refused = instructor.refusal(self.client_address[0], self.headers.get(TOKEN_HEADER))
        if refused:
            return self._error(refused)
        if not self._known(sat) or instructor.forwarder.faults(sat) is None:
            return self._error(404)
        try:
            return self._json(act(instructor.forwarder))
        except ValueError as e:
            return self._json({"error": str(e)}, 400)

    def _first(self):
        sats = self.server.data.satellites()
        return sats[0]["id"] if sats else None

    def _known(self, sat):
        one = getattr(self.server.data, "satellite", None)
        if one is not None:
            return one(sat) is not None
        return any(s["id"] == sat for s in self.server.data.satellites())

    def _static(self, parts):
        if len(parts) == 1 and FILE_NAME.match(parts[0]):
            return self._file(os.path.join(STATIC, parts[0]))
        if len(parts) == 2 and parts[0] == "vendor" and FILE_NAME.match(parts[1]):
            for d in self.server.vendor_dirs:
                path = os.path.join(d, parts[1])
                if os.path.isfile(path):
                    return self._file(path)
        return self._error(404)

    def _json(self, value, code=200):
        self._send(code, "application/json", json.dumps(value).encode())

    def _file(self, path):
        """A file, sent from the disk as the reader takes it."""
        if not os.path.isfile(path):
            return self._error(404)
        try:
            f = open(path, "rb")
        except OSError:
            return self._error(404)
        kind = CONTENT_TYPES.get(os.path.splitext(path)[1].lower(), "application/octet-stream")
        size = os.fstat(f.fileno()).st_size
        self._head(200, kind, size)
        if getattr(self, "_body", True):
            self.wfile.send_file(f, size)
        else:
            f.close()

    def _error(self, code, retry_after=None):
        text = _phrase(code, "error").lower()
        self._send(code, "text/plain; charset=utf-8", (text + "\n").encode(),
                   retry_after=retry_after)

    def _send(self, code, kind, content, retry_after=None):
        self._head(code, kind, len(content), retry_after)
        if getattr(self, "_body", True):
            self.wfile.write(content)

    def _head(self, code, kind, length, retry_after=None):
        self.send_response(code)
        if retry_after is not None:
            self.send_header("Retry-After", str(retry_after))
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(length))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        if kind.startswith("text/html"):
            # Nothing from elsewhere, and no other site's page around it.
            self.send_header("Content-Security-Policy", PAGE_POLICY)
        self.send_header("Connection", "close")
        self.end_headers()

    def send_error(self, code, message=None, explain=None):
        # Requests the standard parser rejects get the same short answer.
        self.close_connection = True
        self._body = self.command != "HEAD"
        self._error(code)


_page_request = []
_page_request_lock = threading.Lock()


def page_request():
    """The class of a request: PageAnswers on the standard library's
    request parser, whose module (with the HTTP client, e-mail and TLS
    modules it imports) is loaded at the first request, not as the
    station starts: a run nobody looks at never loads it."""
    with _page_request_lock:
        if not _page_request:
            from http.server import BaseHTTPRequestHandler
            _page_request.append(type("PageRequest", (PageAnswers, BaseHTTPRequestHandler), {}))
        return _page_request[0]


def _phrase(code, default=None):
    try:
        return HTTPStatus(code).phrase
    except ValueError:
        if default is None:
            raise
        return default


def short_answer(code):
    text = _phrase(code)
    return ("HTTP/1.0 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n%s\n" % (code, text, len(text) + 1, text.lower())).encode()


def legacy(what, value):
    """The single-satellite page's forms of the answers."""
    if what == "log":
        value = value or {"next": 0, "lines": [], "dropped": 0}
        return dict(value, first=value.get("first", 0),
                    lines=[dict(x, seq=x["n"]) for x in value["lines"]])
    if what == "photos":
        return {"photos": [dict(p, mtime=p["t"]) for p in value or []]}
    value = value or {"columns": [], "rows": [], "next": 0, "file_generation": 0}
    return dict(value, generation=value["file_generation"])


class WebServer:
    """The page server. data: the station as the module's description says;
    hosts: further Host names it answers to; instructor: who may switch
    faults (None: no panel); vendor_dirs: where the page's libraries are,
    searched in order before the installed ones."""

    def __init__(self, bind, port, data, hosts=(), idle_timeout=IDLE_TIMEOUT, instructor=None,
                 vendor_dirs=(), **limits):
        limits.setdefault("max_request", MAX_INGEST + 64 * 1024)
        self.server = BoundedHTTPServer(bind, port, self._answer, idle_timeout=idle_timeout,
                                        **limits)
        self.data = data
        self.hosts = HostCheck(bind, self.server.port, hosts)
        self.instructor = instructor
        self.vendor_dirs = [*vendor_dirs, VENDOR]

    def _answer(self, address, raw, out):
        if not request_complete(raw):
            return out.write(short_answer(431))
        # Blank lines before the request line are allowed; nothing else is.
        raw = raw.lstrip(b"\r\n")
        if not raw:
            return out.write(short_answer(400))
        page_request()(out, address, raw, self)

    @property
    def port(self):
        return self.server.port

    def start(self):
        self.server.start()

    def stop(self):
        self.server.stop()
