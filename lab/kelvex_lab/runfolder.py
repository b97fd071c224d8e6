"""One run's folder as kelvex-sim leaves it: run.json, telemetry.csv,
ground/log.txt, ground/incoming/. Everything a verdict depends on is read
from here, so that a replay of the folder gives the live verdicts."""

import csv
import datetime
import json
import math
import os
import re

_LOG_LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (.*)$")
# The board's upload names a photo YYYYMMDDhhmmss-<n>.jpeg, n being the
# number the mission took it under; the camera takes them at this size.
_PHOTO_NAME = re.compile(r"-(\d+)\.(?:jpe?g|png)$", re.I)
CAMERA_SIZE = (640, 480)


class RunFolderError(Exception):
    pass


class Telemetry:
    """The CSV's columns; values are parsed only for the columns asked for."""

    def __init__(self, header, raw_rows):
        self.header = header
        self._raw = raw_rows
        self._index = {name: i for i, name in enumerate(header)}
        self._parsed = {}

    def __len__(self):
        return len(self._raw)

    def column(self, name):
        if name not in self._parsed:
            i = self._index[name]
            self._parsed[name] = [_number(r[i]) if i < len(r) else math.nan for r in self._raw]
        return self._parsed[name]


def _number(text):
    try:
        return float(text)
    except ValueError:
        return math.nan


def read_telemetry(path):
    try:
        with open(path, newline="") as f:
            reader = csv.reader(f)
            header = next(reader, [])
            raw = list(reader)
    except FileNotFoundError:
        return Telemetry([], [])
    # A run stopped while the simulator wrote leaves its last row cut short.
    if raw and len(raw[-1]) < len(header):
        raw.pop()
    raw = [r for r in raw if r]
    return Telemetry([h.strip() for h in header], raw)


def _zone(started):
    """The UTC offset the run's local times were written in, from run.json's
    start time; None when it does not carry one (then this machine's zone)."""
    if not isinstance(started, str):
        return None
    try:
        return datetime.datetime.fromisoformat(started).tzinfo
    except ValueError:
        return None


def read_log(path, t0_unix, zone):
    """[(t, text)]: every ground log line with its arrival time counted from
    telemetry t = 0."""
    lines = []
    try:
        with open(path, encoding="utf-8", errors="replace", newline="\n") as f:
            for line in f:
                m = _LOG_LINE.match(line.rstrip("\n"))
                if not m:
                    continue
                stamp = datetime.datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f")
                if zone is not None:
                    stamp = stamp.replace(tzinfo=zone)
                lines.append((round(stamp.timestamp() - t0_unix, 3), m.group(2)))
    except FileNotFoundError:
        pass
    return lines


def read_photos(incoming):
    try:
        names = os.listdir(incoming)
    except FileNotFoundError:
        return []
    return sorted(n for n in names
                  if not n.startswith(".") and os.path.isfile(os.path.join(incoming, n)))


class Photo:
    """A received photo: its number and whether it is an image of the
    camera's size (`problem` says why not)."""

    def __init__(self, folder, name):
        self.name = name
        m = _PHOTO_NAME.search(name)
        self.number = int(m.group(1)) if m else None
        self.size = None
        self.problem = None
        path = os.path.join(folder, name)
        try:
            from PIL import Image
            with Image.open(path) as image:
                image.load()
                self.size = image.size
        except ImportError:
            self.problem = "Pillow is missing, so no photo can be decoded"
        except Exception as e:  # whatever a broken file makes the decoder say
            self.problem = f"does not decode as an image ({os.path.getsize(path)} bytes: " \
                           f"{type(e).__name__})"
        else:
            if self.size != CAMERA_SIZE:
                self.problem = f"is {self.size[0]}x{self.size[1]}, not the camera's " \
                               f"{CAMERA_SIZE[0]}x{CAMERA_SIZE[1]}"

    @property
    def good(self):
        return self.problem is None


class Run:
    def __init__(self, path):
        self.path = path
        info_path = os.path.join(path, "run.json")
        try:
            with open(info_path) as f:
                self.info = json.load(f)
        except FileNotFoundError:
            raise RunFolderError(f"{path}: no run.json, so not a run folder")
        except (OSError, ValueError) as e:
            raise RunFolderError(f"{info_path}: {e}")
        if not isinstance(self.info, dict):
            raise RunFolderError(f"{info_path}: not a run description")
        self.telemetry = read_telemetry(os.path.join(path, "telemetry.csv"))
        t0 = self.info.get("t0_unix")
        self.t0_unix = float(t0) if isinstance(t0, (int, float)) else None
        self._log = None
        self.photos = read_photos(os.path.join(path, "ground", "incoming"))
        self._photo_info = None
        status = self.info.get("exit_status")
        self.exit_status = status if isinstance(status, int) else None
        self.time_limited = bool(self.info.get("time_limited"))

    @property
    def log(self):
        if self._log is None:
            if self.t0_unix is None:
                raise RunFolderError(f"{self.path}/run.json: no t0_unix, so log lines have "
                                     f"no run time")
            self._log = read_log(os.path.join(self.path, "ground", "log.txt"), self.t0_unix,
                                 _zone(self.info.get("started")))
        return self._log

    def photo_info(self):
        """[Photo] of the received photos, decoded once."""
        if self._photo_info is None:
            incoming = os.path.join(self.path, "ground", "incoming")
            self._photo_info = [Photo(incoming, n) for n in self.photos]
        return self._photo_info

    def end_time(self):
        t = self.telemetry.column("t") if "t" in self.telemetry.header else []
        return t[-1] if t else None
