"""The station of one satellite (one log, one incoming folder, one telemetry
file) seen as the page server reads a station: a class of one."""

import json
import os
import re
import threading
import time

from . import __version__

HELLO = re.compile(r"The (\S+) says 'HELLO' to ")
# A satellite that sent nothing for this long is shown as silent.
SILENT_AFTER = 10.0


class SingleSatellite:
    def __init__(self, address, log, photos, telemetry, ports):
        """ports: dict with log_port, ftp_port, http_port (filled in once
        the servers listen)."""
        self.address = address
        self._log = log
        self._photos = photos
        self._telemetry = telemetry
        self.ports = ports
        self.started = time.time()
        self._lock = threading.Lock()
        self._seen = 0
        self._name = None
        self._last_heard = None
        self._t0 = (None, None)

    def _follow_log(self):
        with self._lock:
            for _ in range(100):
                page = self._log.since(self._seen)
                if not page["lines"]:
                    break
                for line in page["lines"]:
                    m = self._name is None and HELLO.match(line["text"])
                    if m:
                        self._name = m.group(1)
                self._last_heard = page["lines"][-1]["t"]
                self._seen = page["next"]
            return self._seen

    def _mine(self, sat):
        return sat == self.address

    def satellites(self):
        lines = self._follow_log()
        photos = self._photos.listing()
        last = self._latest_telemetry()
        now = time.time()
        heard = self._last_heard
        state = "running" if heard is not None and now - heard < SILENT_AFTER else "silent"
        alarms = []
        if heard is not None and state == "silent":
            alarms.append("nothing heard for %d s" % (now - heard))
        return [{
            "id": self.address, "name": self._name or self.address, "address": self.address,
            "last_heard": heard, "state": state, "exit_status": None,
            "pointing_deg": last.get("lamp_angle_deg"), "rate_dps": last.get("rate_dps"),
            "last_photo": photos[-1]["name"] if photos else None, "photos": len(photos),
            "lines": lines, "alarms": alarms, "dropped": 0,
        }]

    def _latest_telemetry(self):
        if not self._telemetry.path:
            return {}
        page = self._telemetry.since(0, limit=0)
        with self._telemetry._lock:
            row = self._telemetry.rows[-1] if self._telemetry.rows else None
        return dict(zip(page["columns"], row)) if row else {}

    def log(self, sat, since):
        if not self._mine(sat):
            return None
        page = self._log.since(since)
        return {"next": page["next"], "first": page["first"], "dropped": 0,
                "lines": [{"n": x["seq"], "t": x["t"], "time": x["time"], "text": x["text"]}
                          for x in page["lines"]]}

    def photos(self, sat):
        if not self._mine(sat):
            return None
        return [{"name": p["name"], "size": p["size"], "t": p["mtime"]}
                for p in self._photos.listing()]

    def telemetry(self, sat, since):
        if not self._mine(sat):
            return None
        page = self._telemetry.since(since)
        value = {"columns": page["columns"], "rows": page["rows"], "next": page["next"],
                 "first": page["first"], "file_generation": page["generation"]}
        with self._lock:
            # Fixed once per file, so that the page's time axis does not wander.
            if self._t0[0] != page["generation"] or self._t0[1] is None:
                self._t0 = (page["generation"], run_start(self._telemetry.path,
                                                          self._latest_telemetry().get("t")))
            t0 = self._t0[1]
        if t0 is not None:
            value["t0_unix"] = t0
        return value

    def station_info(self):
        return dict(self.ports, version=__version__, drops={}, started=self.started)

    def photo_path(self, sat, name):
        return self._photos.path_of(name) if self._mine(sat) else None

    def thumbnail(self, sat, name):
        return self._photos.thumbnail(name) if self._mine(sat) else None


def run_start(telemetry_path, last_t):
    """Wall-clock time of the telemetry's t = 0: from the run folder's
    run.json beside the file, else from when the file was last written
    (the simulator writes its rows as it goes)."""
    if not telemetry_path:
        return None
    try:
        with open(os.path.join(os.path.dirname(os.path.abspath(telemetry_path)), "run.json")) as f:
            t0 = json.load(f).get("t0_unix")
        if isinstance(t0, (int, float)):
            return t0
    except (OSError, ValueError, AttributeError):
        pass
    if last_t is None:
        return None
    try:
        return os.stat(telemetry_path).st_mtime - last_t
    except OSError:
        return None
