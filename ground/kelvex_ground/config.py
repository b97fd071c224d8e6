"""The station's settings: built-in defaults, then a TOML file (--config),
then the command line."""

import tomllib

from .photos import MB

DEFAULTS = {
    "bind": "127.0.0.1",
    "log_port": 4567,
    "ftp_port": 2121,
    "http_port": 8080,
    # Under the run folders' root, which .gitignore lists: a station started
    # from a checkout never writes into the source tree.
    "dir": "kelvex-run/ground-station",
    "satellite_mb": 500,
    "total_mb": 4096,
    # What an upload that does not announce its size (ALLO) reserves.
    "upload_mb": 64,
    "idle_timeout": 120,
    "connections_per_address": 8,
    "max_connections": 256,
    "passive_ports": None,
    "max_satellites": 256,
    "ingest_from": ["127.0.0.0/8", "::1/128"],
    "mqtt": None,
}
# Where each setting lives in the file: [table] key.
FILE_KEYS = {
    ("station", "bind"): ("bind", str),
    ("station", "log_port"): ("log_port", int),
    ("station", "ftp_port"): ("ftp_port", int),
    ("station", "http_port"): ("http_port", int),
    ("station", "dir"): ("dir", str),
    ("station", "max_satellites"): ("max_satellites", int),
    ("quotas", "satellite_mb"): ("satellite_mb", (int, float)),
    ("quotas", "total_mb"): ("total_mb", (int, float)),
    ("quotas", "upload_mb"): ("upload_mb", (int, float)),
    ("ftp", "idle_timeout"): ("idle_timeout", int),
    ("ftp", "connections_per_address"): ("connections_per_address", int),
    ("ftp", "max_connections"): ("max_connections", int),
    ("ftp", "passive_ports"): ("passive_ports", list),
    ("ingest", "from"): ("ingest_from", list),
    ("mqtt", "broker"): ("mqtt", str),
}


class ConfigError(Exception):
    pass


def read(path):
    """The settings of a file, by their names in DEFAULTS."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise ConfigError("%s: %s" % (path, e.strerror or e))
    except tomllib.TOMLDecodeError as e:
        raise ConfigError("%s: %s" % (path, e))
    out = {}
    for table, values in data.items():
        if not isinstance(values, dict):
            raise ConfigError("%s: '%s' is not a table" % (path, table))
        for key, value in values.items():
            if (table, key) not in FILE_KEYS:
                raise ConfigError("%s: unknown setting [%s] %s" % (path, table, key))
            name, kind = FILE_KEYS[(table, key)]
            if not isinstance(value, kind) or isinstance(value, bool):
                kinds = kind if isinstance(kind, tuple) else (kind,)
                raise ConfigError("%s: [%s] %s must be a %s" % (path, table, key,
                                                                " or ".join(k.__name__ for k in kinds)))
            if isinstance(value, (int, float)) and value < 0:
                raise ConfigError("%s: [%s] %s must not be negative" % (path, table, key))
            out[name] = value
    ports = out.get("passive_ports")
    if ports is not None and not (len(ports) == 2 and all(isinstance(p, int) for p in ports)
                                  and 0 < ports[0] <= ports[1] < 65536):
        raise ConfigError("%s: [ftp] passive_ports must be [FIRST, LAST]" % path)
    if "mqtt" in out and not out["mqtt"]:
        out["mqtt"] = None
    return out


def settings(args):
    """Defaults, the file's settings and the command line's, in that order."""
    merged = dict(DEFAULTS)
    if args.config:
        merged.update(read(args.config))
    for name in DEFAULTS:
        value = getattr(args, name, None)
        if value is not None:
            merged[name] = value
    merged["quota_bytes"] = (int(merged["satellite_mb"] * MB), int(merged["total_mb"] * MB),
                             int(merged["upload_mb"] * MB))
    return merged
