"""Shared helpers of the ground station tests: starting the station on free
loopback ports, talking to it, and finding its programs in the build tree (or
in the sources when run outside ctest)."""

import ftplib
import http.client
import io
import json
import os
import signal
import socket
import subprocess
import time
import urllib.request

import pytest

from projects import from_sources

SOURCE_GROUND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ground")


def program(name):
    """Command that runs kelvex-ground or the streamer stand-in."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    if build:
        path = os.path.join(build, "ground", "bin" if name == "streamer" else "", name)
        if os.access(path, os.X_OK):
            return [path]
    return from_sources("ground", "kelvex-streamer" if name == "streamer" else name)


def simulator():
    """The build tree's kelvex-sim; skips the test without one."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    path = os.path.join(build, "sim", "kelvex-sim") if build else None
    if not path or not os.access(path, os.X_OK):
        pytest.skip("needs the build tree's kelvex-sim (KELVEX_BUILD_DIR)")
    return path


def bin_dir():
    """Directory a simulated mission gets first on its PATH."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    if build and os.access(os.path.join(build, "ground", "bin", "streamer"), os.X_OK):
        return os.path.join(build, "ground", "bin")
    return None


def wait_for(condition, timeout=10.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class Station:
    """A kelvex-ground on free ports; single: the desk station of one
    satellite, else the station of a class. stdout: where its standard
    output goes (default a file, read with stdout())."""

    def __init__(self, root, extra=(), single=True, bind="127.0.0.1", directory=None, stdout=None,
                 name="station"):
        self.root = root
        self.bind = bind
        self.dir = directory or os.path.join(root, name)
        self.ready = os.path.join(root, name + ".ready")
        self.stdout_path = os.path.join(root, name + ".stdout")
        self.stderr_path = os.path.join(root, name + ".stderr")
        cmd = program("kelvex-ground") + [
            "--dir", self.dir, "--log-port", "0", "--ftp-port", "0", "--http-port", "0",
            "--bind", bind, "--print-log", "--ready-file", self.ready,
            *(["--single"] if single else []), *extra]
        if os.path.exists(self.ready):
            os.remove(self.ready)
        with open(self.stdout_path, "ab") as out, open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(cmd, stdout=out if stdout is None else stdout, stderr=err)
        if not wait_for(lambda: os.path.exists(self.ready) or self.proc.poll() is not None, 15):
            self.stop()
            raise AssertionError("ground station did not get ready")
        if self.proc.poll() is not None:
            raise AssertionError("ground station ended: " + self.stderr())
        with open(self.ready) as f:
            self.info = dict(line.rstrip("\n").split("=", 1) for line in f)
        self.log_port = int(self.info["log_port"])
        self.ftp_port = int(self.info["ftp_port"])
        self.http_port = int(self.info["http_port"])
        self.url = self.info["url"]

    def send(self, payloads, source=None):
        """Log datagrams, from the source address given (a satellite of a
        class) or any."""
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            if source:
                s.bind((source, 0))
            for p in payloads:
                s.sendto(p, (self.bind, self.log_port))

    def upload(self, name, data, source=None):
        """A photo by FTP as the transmitter sends it; the server's reply."""
        ftp = ftplib.FTP(timeout=20, source_address=(source, 0) if source else None)
        try:
            ftp.connect(self.bind, self.ftp_port)
            ftp.login()
            with io.BytesIO(data) as f:
                return ftp.storbinary("STOR incoming/" + name, f)
        finally:
            ftp.close()

    def post(self, path, body, source=None, headers=None):
        """(status, body text) of a POST of JSON, from the source address,
        with further headers (e.g. a run's identity)."""
        conn = http.client.HTTPConnection(self.bind, self.http_port, timeout=10,
                                          source_address=(source, 0) if source else None)
        try:
            conn.request("POST", path, body=json.dumps(body).encode(),
                         headers=dict({"Content-Type": "application/json"}, **(headers or {})))
            answer = conn.getresponse()
            return answer.status, answer.read().decode()
        finally:
            conn.close()

    def register(self, run, name=None, source=None, secret=None):
        """Registers a run as kelvex-sim's relay does; the headers that then
        speak for it."""
        secret = secret or "secret-of-" + run + "-0123456789"
        body = {"run": run, "secret": secret, **({"name": name} if name else {})}
        code, text = self.post("/api/ingest/register", body, source=source)
        assert code == 200, text
        return {"X-Kelvex-Run": run, "X-Kelvex-Secret": secret}

    def lines_of(self, *parts):
        """Texts of a log file under the station directory."""
        try:
            with open(os.path.join(self.dir, *parts), encoding="utf-8") as f:
                return [line[24:] for line in f.read().splitlines()]
        except FileNotFoundError:
            return []

    def get(self, path):
        with urllib.request.urlopen(self.url.rstrip("/") + path, timeout=10) as r:
            return r.read()

    def json(self, path):
        return json.loads(self.get(path))

    def log_file_lines(self):
        try:
            with open(os.path.join(self.dir, "log.txt"), encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stdout(self):
        with open(self.stdout_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        return self.proc.returncode


def configured(root, settings, **options):
    """A station run with a settings file of the given text."""
    path = os.path.join(root, "ground.toml")
    with open(path, "w") as f:
        f.write(settings)
    return Station(root, ["--config", path], **options)


@pytest.fixture
def station(tmp_path):
    st = Station(str(tmp_path))
    yield st
    assert st.stop() == 0, st.stderr()


def jpeg_bytes(colour=(30, 60, 90), size=(64, 48)):
    from PIL import Image
    out = io.BytesIO()
    Image.new("RGB", size, colour).save(out, "JPEG")
    return out.getvalue()


def rss_mb(pid):
    """Resident memory of a process, in MB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def sim_state(path, **values):
    with open(path, "w") as f:
        f.writelines("%s=%s\n" % kv for kv in values.items())
    return path


def ground_package():
    """The kelvex_ground package's page server from the sources."""
    import sys
    if SOURCE_GROUND not in sys.path:
        sys.path.insert(0, SOURCE_GROUND)
    from kelvex_ground import web
    return web


def vendor_dirs():
    """Where the build fetched the page's plot library."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    return [os.path.join(build, "ground", "vendor")] if build else []


class FakeClass:
    """What the page server reads of a station, for a class of satellites
    made up by a test: sats maps an id to a dict with the satellite's entry
    in /api/satellites plus "log" (lines), "photos" (name -> path) and
    "telemetry" (columns, rows, t0_unix)."""

    def __init__(self, sats, info=None):
        self.sats = sats
        self.ingested = []
        self.info = info or {}

    def satellites(self):
        return [{k: v for k, v in s.items() if k not in ("log", "photo_files", "telemetry")}
                for s in self.sats.values()]

    def satellite(self, sat):
        return next((s for s in self.satellites() if s["id"] == sat), None)

    def log(self, sat, since):
        if sat not in self.sats:
            return None
        lines = self.sats[sat].get("log", [])
        return {"next": len(lines), "dropped": self.sats[sat].get("dropped", 0),
                "lines": [dict(x, n=i) for i, x in enumerate(lines) if i >= since]}

    def photos(self, sat):
        if sat not in self.sats:
            return None
        return [{"name": n, "size": os.path.getsize(p), "t": os.path.getmtime(p)}
                for n, p in self.sats[sat].get("photo_files", {}).items()]

    def telemetry(self, sat, since):
        if sat not in self.sats:
            return None
        t = self.sats[sat].get("telemetry") or {"columns": [], "rows": []}
        out = {"columns": t["columns"], "rows": t["rows"][since:], "next": len(t["rows"]),
               "file_generation": 1}
        if "t0_unix" in t:
            out["t0_unix"] = t["t0_unix"]
        return out

    def ingest_status(self, peer, body, identity=None):
        if not isinstance(body, dict):
            raise ValueError("a JSON object")
        self.ingested.append((peer, body))
        return {"ok": True}

    def station_info(self):
        return dict({"version": "test", "log_port": 4567, "ftp_port": 2121, "http_port": 0,
                     "drops": {}, "started": 0}, **self.info)

    def photo_path(self, sat, name):
        return self.sats.get(sat, {}).get("photo_files", {}).get(name)

    def thumbnail(self, sat, name):
        path = self.photo_path(sat, name)
        if path is None:
            return None
        import io
        from PIL import Image
        with Image.open(path) as im:
            im.thumbnail((160, 120))
            out = io.BytesIO()
            im.convert("RGB").save(out, "JPEG")
        return out.getvalue()


class PageServer:
    """The page server in this process, on a free loopback port."""

    def __init__(self, data, **options):
        web = ground_package()
        options.setdefault("vendor_dirs", vendor_dirs())
        self.server = web.WebServer("127.0.0.1", 0, data, **options)
        self.server.start()
        self.port = self.server.port
        self.url = "http://127.0.0.1:%d/" % self.port

    def request(self, method, path, headers=None, body=None):
        """(status, headers, body) of one request."""
        import http.client
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            c.request(method, path, body=body, headers=headers or {})
            r = c.getresponse()
            return r.status, dict(r.getheaders()), r.read()
        finally:
            c.close()

    def raw(self, data, timeout=10):
        """The bytes answered to data sent as it stands."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            out = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return out
                out += chunk

    def stop(self):
        self.server.stop()


@pytest.fixture
def page_server():
    servers = []

    def start(data, **options):
        servers.append(PageServer(data, **options))
        return servers[-1]
    yield start
    for s in servers:
        s.stop()


class FakeForwarder:
    """Stands in for the simulator's fault switch: keeps the faults switched
    per satellite and every request it got."""

    AVAILABLE = [{"name": "gyro-stuck", "units": 1, "value": None},
                 {"name": "gyro-bias", "units": 1, "value": "deg/s"},
                 {"name": "wheel-dead", "units": 2, "value": None}]

    def __init__(self, satellites, available=None, scenario=None):
        self.active = {sat: {} for sat in satellites}
        self.requests = []
        self.available = available or self.AVAILABLE
        self.scenario = scenario

    def faults(self, sat):
        if sat not in self.active:
            return None
        return {"available": self.available, "scenario": self.scenario,
                "active": [dict(fault=f, unit=u, value=v) for (f, u), v in self.active[sat].items()]}

    def switch(self, sat, request):
        self.requests.append((sat, request))
        names = {f["name"] for f in self.available}
        name = request.get("fault", request.get("clear"))
        if name not in names:
            raise ValueError("no fault named %r" % name)
        key = (name, request.get("unit", 0))
        if "fault" in request:
            self.active[sat][key] = request.get("value")
        else:
            self.active[sat].pop(key, None)
        return self.faults(sat)


class Neighbour:
    """Another Unix user on this machine, made for a test and removed after:
    run(code, *args) runs Python code (sys.argv[1:] = args) as that user and
    returns its standard output."""

    def __init__(self):
        self.name = "kvx%d" % (os.getpid() % 100000)
        subprocess.run(["userdel", self.name], capture_output=True)
        subprocess.run(["useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", self.name],
                       check=True, capture_output=True)
        self.uid, self.gid = (int(subprocess.run(["id", flag, self.name], check=True,
                                                 capture_output=True, text=True).stdout)
                              for flag in ("-u", "-g"))

    def run(self, code, *args, timeout=30):
        r = subprocess.run(["setpriv", "--reuid", str(self.uid), "--regid", str(self.gid),
                            "--clear-groups", "/usr/bin/python3", "-c", code, *map(str, args)],
                           capture_output=True, text=True, timeout=timeout, cwd="/")
        assert r.returncode == 0, r.stderr
        return r.stdout

    def remove(self):
        subprocess.run(["userdel", self.name], capture_output=True)


@pytest.fixture
def neighbour():
    if os.getuid() != 0:
        pytest.skip("making another Unix user needs root")
    n = Neighbour()
    yield n
    n.remove()
