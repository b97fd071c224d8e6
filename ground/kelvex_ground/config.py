"""The station's settings: built-in defaults, then a TOML file (--config),
then the command line."""

import ipaddress

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
    "login_timeout": 10,
    "connections_per_address": 8,
    "max_connections": 256,
    "passive_ports": None,
    "max_satellites": 256,
    # Live runs one local user may register at once; None: a quarter of
    # the table.
    "runs_per_user": None,
    "ingest_from": ["127.0.0.0/8", "::1/128"],
    # The boards' addresses (networks); None: any address is a board's.
    "boards": None,
    "mqtt": None,
    "mqtt_user": None,
    "mqtt_password_file": None,
    "mqtt_tls": None,
    "mqtt_cafile": None,
    "mqtt_certfile": None,
    "mqtt_keyfile": None,
    "mqtt_queue_mb": None,
    "mqtt_station": None,
}
# The MQTT settings as the publisher takes them.
MQTT_KEYS = {"mqtt": "broker", "mqtt_user": "username", "mqtt_password_file": "password_file",
             "mqtt_tls": "tls", "mqtt_cafile": "cafile", "mqtt_certfile": "certfile",
             "mqtt_keyfile": "keyfile", "mqtt_queue_mb": "queue_mb", "mqtt_station": "station"}
# Where each setting lives in the file: [table] key.
FILE_KEYS = {
    ("station", "bind"): ("bind", str),
    ("station", "log_port"): ("log_port", int),
    ("station", "ftp_port"): ("ftp_port", int),
    ("station", "http_port"): ("http_port", int),
    ("station", "dir"): ("dir", str),
    ("station", "max_satellites"): ("max_satellites", int),
    ("station", "runs_per_user"): ("runs_per_user", int),
    ("quotas", "satellite_mb"): ("satellite_mb", (int, float)),
    ("quotas", "total_mb"): ("total_mb", (int, float)),
    ("quotas", "upload_mb"): ("upload_mb", (int, float)),
    ("ftp", "idle_timeout"): ("idle_timeout", int),
    ("ftp", "login_timeout"): ("login_timeout", (int, float)),
    ("ftp", "connections_per_address"): ("connections_per_address", int),
    ("ftp", "max_connections"): ("max_connections", int),
    ("ftp", "passive_ports"): ("passive_ports", list),
    ("ingest", "from"): ("ingest_from", list),
    ("boards", "addresses"): ("boards", list),
    ("mqtt", "broker"): ("mqtt", str),
    ("mqtt", "username"): ("mqtt_user", str),
    ("mqtt", "password_file"): ("mqtt_password_file", str),
    ("mqtt", "tls"): ("mqtt_tls", bool),
    ("mqtt", "cafile"): ("mqtt_cafile", str),
    ("mqtt", "certfile"): ("mqtt_certfile", str),
    ("mqtt", "keyfile"): ("mqtt_keyfile", str),
    ("mqtt", "queue_mb"): ("mqtt_queue_mb", (int, float)),
    ("mqtt", "station"): ("mqtt_station", str),
}


class ConfigError(Exception):
    pass


def read(path):
    """The settings of a file, by their names in DEFAULTS."""
    import tomllib  # here: a run's own station reads no settings file
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
            if not isinstance(value, kind) or (isinstance(value, bool) and kind is not bool):
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
    for key, table in (("boards", "[boards] addresses"), ("ingest_from", "[ingest] from")):
        for net in out.get(key) or ():
            try:
                ipaddress.ip_network(net, strict=False)
            except (TypeError, ValueError):
                raise ConfigError("%s: %s: %r is not an address or network" % (path, table, net))
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
        if value is not None and value != []:
            merged[name] = value
    merged["mqtt_settings"] = {key: merged[name] for name, key in MQTT_KEYS.items()}
    merged["quota_bytes"] = (int(merged["satellite_mb"] * MB), int(merged["total_mb"] * MB),
                             int(merged["upload_mb"] * MB))
    return merged
