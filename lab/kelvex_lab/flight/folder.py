"""The run folder and its record, run.json (sim/README.md, The run folder)."""

import datetime
import json
import os
import sys
import time

from .errors import RunError

RUN_PARENT = "kelvex-run"


def iso_now():
    """Local time as ISO 8601 with milliseconds and the UTC offset."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


def default_run_folder():
    return os.path.join(RUN_PARENT, time.strftime("%Y%m%d-%H%M%S") + "-%d" % os.getpid())


def make_run_folder(path, given):
    """The run folder: path as given (new or empty), else the default
    kelvex-run/STAMP-PID with kelvex-run/latest pointing at it; holds
    ground/ and battery.key."""
    if not given:
        name = os.path.basename(path)
        os.makedirs(RUN_PARENT, exist_ok=True)
        os.mkdir(path)
        tmp = os.path.join(RUN_PARENT, ".latest.%d" % os.getpid())
        try:
            os.symlink(name, tmp)
            os.replace(tmp, os.path.join(RUN_PARENT, "latest"))
        except OSError as e:
            print("kelvex-sim: %s/latest not updated: %s" % (RUN_PARENT, e.strerror),
                  file=sys.stderr)
    else:
        path = path.rstrip("/") or "/"
        try:
            os.mkdir(path)
        except FileExistsError:
            if not os.path.isdir(path) or os.listdir(path):
                # Another run's files would mix with this one's.
                raise RunError("%s exists and is not an empty folder; give --run-dir a new one"
                               % path)
        except FileNotFoundError:
            os.makedirs(path)
    os.makedirs(os.path.join(path, "ground"), exist_ok=True)
    open(os.path.join(path, "battery.key"), "w").close()
    return path


def write_record(run_dir, r):
    """run.json through a temporary file and a rename: a reader never sees
    half of it. r: the record's fields (ended and exit_status None while
    the run lasts)."""
    fields = [("format", 1), ("satellite", r["satellite"]), ("address", r["address"]),
              ("program", r["program"]), ("options", r["options"]),
              ("t0_unix", r["t0_unix"]), ("started", r["started"]),
              ("ended", r.get("ended")), ("exit_status", r.get("exit_status")),
              ("time_limited", r.get("time_limited", False)),
              ("station", r["station"]), ("run_id", r.get("run_id")),
              ("scenario", r["scenario"]),
              ("sealed", r.get("sealed", False)), ("network", r.get("network")),
              ("limit", r.get("limit")),
              ("clock", r.get("clock", {"kind": "real", "speed": 1}))]
    text = "{\n" + ",\n".join("  %s: %s" % (json.dumps(k), json.dumps(v))
                              for k, v in fields) + "\n}\n"
    path = os.path.join(run_dir, "run.json")
    try:
        with open(path + ".tmp", "w") as f:
            f.write(text)
        os.replace(path + ".tmp", path)
    except OSError as e:
        print("kelvex-sim: %s: %s" % (path, e.strerror), file=sys.stderr)
