"""Synthetic run folders, laid out as kelvex-sim run leaves them, for the lab
tools' tests and the fake simulator: no simulator, no mission, no waiting."""

import datetime
import json
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                                "lab"))
from kelvex_lab.simulator import TELEMETRY_COLUMNS as COLUMNS  # noqa: E402

T0_UNIX = 1765000000.25
# A fixed zone, not this machine's: the log's local times must be read with
# the offset run.json states.
ZONE = datetime.timezone(datetime.timedelta(hours=2))


def stamp(t_unix, zone=ZONE):
    d = datetime.datetime.fromtimestamp(t_unix, zone)
    return d.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (d.microsecond // 1000)


_PHOTO = []


def camera_photo(size=(640, 480)):
    """A JPEG as the camera takes it (its size), made once."""
    if size != (640, 480) or not _PHOTO:
        import io
        from PIL import Image
        out = io.BytesIO()
        Image.new("RGB", size, (30, 34, 40)).save(out, "JPEG", quality=50)
        if size != (640, 480):
            return out.getvalue()
        _PHOTO.append(out.getvalue())
    return _PHOTO[0]


def write_run(path, columns=None, duration=None, rate=20.0, values=None, log=(), photos=0,
              exit_status=0, time_limited=False, options=None, header=None, t0=T0_UNIX,
              zone=ZONE, raw_rows=None):
    """Writes a run folder.

    values: {column: f(t)} for the rows at `rate` Hz over [0, duration];
    other columns read 0. Or raw_rows: the CSV's rows as lists of text.
    log: [(t, text)] ground log lines at run time t."""
    os.makedirs(os.path.join(path, "ground", "incoming"), exist_ok=True)
    header = list(header or columns or COLUMNS)
    lines = [",".join(header)]
    if raw_rows is not None:
        lines += [",".join(r) for r in raw_rows]
    elif duration is not None:
        n = int(round(duration * rate))
        for i in range(n + 1):
            t = round(i / rate, 3)
            row = []
            for name in header:
                f = (values or {}).get(name)
                v = t if name == "t" else (f(t) if f else 0.0)
                row.append("nan" if isinstance(v, float) and math.isnan(v) else f"{v:.3f}")
            lines.append(",".join(row))
    with open(os.path.join(path, "telemetry.csv"), "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(path, "ground", "log.txt"), "w") as f:
        for t, text in log:
            f.write(f"{stamp(t0 + t, zone)} {text}\n")
    # photos: how many (numbered 1, 2, ...), or {number: bytes} for photos
    # of a content of the test's own.
    given = photos if isinstance(photos, dict) else {k + 1: None for k in range(photos)}
    for k, (number, data) in enumerate(sorted(given.items())):
        name = os.path.join(path, "ground", "incoming", f"20251206{k:06d}-{number}.jpeg")
        with open(name, "wb") as f:
            f.write(camera_photo() if data is None else data)
    started = datetime.datetime.fromtimestamp(t0, zone).isoformat(timespec="milliseconds")
    info = {"format": 1, "satellite": "test", "address": "127.0.0.2",
            "program": ["mission"], "options": options or {"seed": 1},
            "t0_unix": t0, "started": started, "ended": started,
            "exit_status": exit_status, "time_limited": time_limited, "station": None}
    with open(os.path.join(path, "run.json"), "w") as f:
        json.dump(info, f)
    return path
