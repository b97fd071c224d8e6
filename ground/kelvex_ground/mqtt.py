"""Publishes what the station receives to an MQTT broker, for a department's
own dashboards or other stations. Topics, one set per satellite (its id, the
address with dots):

  kelvex/<id>/log        one message per log line:
                         {"satellite": id, "name": text, "n": line number,
                          "t": unix time, "time": "2019-03-05 14:03:09.123",
                          "text": the line as in log.txt}
  kelvex/<id>/status     on every change, retained:
                         {"satellite", "name", "address", "last_heard",
                          "state": "running"|"ended"|"silent", "exit_status"}
  kelvex/<id>/photo      once a photo is complete:
                         {"satellite", "name", "size", "t", "path":
                          "/photos/<id>/<name>" on the station's page}
  kelvex/<id>/telemetry  rows as they arrive:
                         {"satellite", "columns": [...], "rows": [[...]]}

With a station name (--mqtt-station, [mqtt] station; the user name by
default) the topics are kelvex/<station>/<id>/..., so that a broker's ACL can
give each station only its own kelvex/<station>/# (README).

Messages go out at most once (QoS 0). They wait in a queue of the station's
own, bounded in bytes, and are handed to the client only while the broker
takes them: a broker that reads slowly or not at all costs that queue and no
more. What does not fit, and what comes while the broker cannot be reached,
is counted (drops "mqtt" on /api/station, the queue under "mqtt"); the
station says so once and connects again by itself. The latest status of each
satellite is kept apart and always sent once the broker is there."""

import collections
import json
import os
import ssl
import threading

from .logstore import say, stamp

RETRY_MAX = 10
# Bytes handed to the client and not yet written to the socket: what a
# stalled broker may hold of ours beside the queue.
IN_FLIGHT_BYTES = 256 * 1024
QUEUE_BYTES = 8 * 1024 * 1024
# What Python spends on a queued message beside its payload and topic.
MESSAGE_OVERHEAD = 200


def parse_address(text):
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError("--mqtt: HOST:PORT, not %r" % text)
    return host.strip("[]"), int(port)


def read_password(path):
    """The first line of a file (a password on the command line would show
    in every process list)."""
    try:
        with open(path, encoding="utf-8") as f:
            return f.readline().rstrip("\r\n")
    except (OSError, UnicodeDecodeError) as e:
        raise ValueError("MQTT password file %s: %s" % (path, getattr(e, "strerror", None) or e))


class Publisher:
    """settings: broker (HOST:PORT), and optionally username, password_file,
    tls, cafile, certfile, keyfile, queue_mb, station."""

    def __init__(self, settings):
        if isinstance(settings, str):
            settings = {"broker": settings}
        try:
            import paho.mqtt.client as mqtt
        except ImportError:
            raise ValueError("--mqtt needs the Debian package python3-paho-mqtt")
        self._mqtt = mqtt
        self.address = settings["broker"]
        self.host, self.port = parse_address(self.address)
        station = settings.get("station") or settings.get("username")
        self.prefix = "kelvex/%s/" % station if station else "kelvex/"
        if station and any(c in station for c in "/+#"):
            raise ValueError("MQTT station name %r: no '/', '+' or '#'" % station)
        self.queue_bytes = int((settings.get("queue_mb") or QUEUE_BYTES / 2 ** 20) * 2 ** 20)
        self.drops = {"mqtt": 0}
        self.alarm = None
        self._said = False
        self._said_full = False
        self._lock = threading.Condition()
        self._queue = collections.deque()   # (topic, payload, size)
        self._queued = 0
        self._peak = 0
        self._statuses = {}                 # topic: payload, retained
        self._in_flight = {}                # mid: size
        self._in_flight_bytes = 0
        self._connected = False
        self._stop = False
        self.client = mqtt.Client(client_id="kelvex-ground-%d" % os.getpid(), clean_session=True)
        if settings.get("username"):
            password = read_password(settings["password_file"]) if settings.get("password_file") \
                else None
            self.client.username_pw_set(settings["username"], password)
        elif settings.get("password_file"):
            raise ValueError("an MQTT password needs a user name (--mqtt-user, [mqtt] username)")
        if settings.get("tls") or settings.get("cafile") or settings.get("certfile"):
            try:
                self.client.tls_set(ca_certs=settings.get("cafile"),
                                    certfile=settings.get("certfile"),
                                    keyfile=settings.get("keyfile"),
                                    cert_reqs=ssl.CERT_REQUIRED)
            except (OSError, ssl.SSLError, ValueError) as e:
                raise ValueError("MQTT TLS: %s" % (getattr(e, "strerror", None) or e))
        self.client.reconnect_delay_set(1, RETRY_MAX)
        self.client.on_connect = self._connected_cb
        self.client.on_disconnect = self._disconnected
        self.client.on_publish = self._published
        self.client.on_connect_fail = lambda *_: self._down("cannot connect")
        self._sender = threading.Thread(target=self._send, name="mqtt-sender", daemon=True)

    def start(self, station):
        self._down("not connected yet", quiet=True)
        self.client.connect_async(self.host, self.port, keepalive=30)
        self.client.loop_start()
        self._sender.start()

    def stop(self):
        with self._lock:
            self._stop = True
            self._lock.notify_all()
        if self._sender.ident is not None:
            self._sender.join(5)
        self.client.disconnect()
        self.client.loop_stop()

    def details(self):
        """The queue as /api/station shows it."""
        with self._lock:
            return {"mqtt": {"broker": self.address, "connected": self._connected,
                             "queued_bytes": self._queued, "peak_bytes": self._peak,
                             "limit_bytes": self.queue_bytes,
                             "in_flight_bytes": self._in_flight_bytes,
                             "dropped": self.drops["mqtt"]}}

    def _connected_cb(self, client, userdata, flags, rc):
        if rc != 0:
            self._down(self._mqtt.connack_string(rc))
            return
        with self._lock:
            self.alarm = None
            self._said = False
            self._connected = True
            self._lock.notify_all()
        say("publishing to the MQTT broker %s" % self.address)

    def _disconnected(self, client, userdata, rc):
        with self._lock:
            was = self._connected
            self._connected = False
            # Handed over but never written: lost with the connection.
            self.drops["mqtt"] += len(self._in_flight)
            self._in_flight.clear()
            self._in_flight_bytes = 0
        # A refused connection keeps the broker's reason as the alarm.
        if rc != 0 and was:
            self._down("connection lost")

    def _published(self, client, userdata, mid):
        with self._lock:
            self._in_flight_bytes -= self._in_flight.pop(mid, 0)
            self._lock.notify_all()

    def _down(self, why, quiet=False):
        with self._lock:
            self.alarm = "MQTT broker %s: %s" % (self.address, why)
            if quiet or self._said:
                return
            self._said = True
        say("the MQTT broker %s is not there (%s); the station goes on without it and "
            "tries again" % (self.address, why))

    def _publish(self, sat, kind, value, retain=False):
        topic = self.prefix + "%s/%s" % (sat.id, kind)
        payload = json.dumps(value).encode()
        full = False
        with self._lock:
            if retain:
                # Only the latest status counts; one per satellite waits.
                self._statuses[topic] = payload
            elif not self._connected:
                self.drops["mqtt"] += 1
            else:
                size = len(payload) + len(topic) + MESSAGE_OVERHEAD
                if self._queued + size > self.queue_bytes:
                    self.drops["mqtt"] += 1
                    full = not self._said_full
                    self._said_full = True
                else:
                    self._queue.append((topic, payload, size))
                    self._queued += size
                    self._peak = max(self._peak, self._queued)
            self._lock.notify_all()
        if full:
            say("the MQTT broker %s takes messages slower than they come; those that do not "
                "fit the queue (%d MB) are dropped and counted" % (self.address,
                                                                   self.queue_bytes >> 20))

    def _send(self):
        """Hands messages to the client while the broker takes them."""
        while True:
            with self._lock:
                while not self._stop and not (
                        self._connected and (self._queue or self._statuses)
                        and self._in_flight_bytes < IN_FLIGHT_BYTES):
                    self._lock.wait(1.0)
                if self._stop:
                    return
                if self._statuses:
                    topic, payload = next(iter(self._statuses.items()))
                    del self._statuses[topic]
                    size, retain = len(payload) + len(topic), True
                else:
                    topic, payload, size = self._queue.popleft()
                    self._queued -= size
                    retain = False
                    if not self._queue:
                        self._said_full = False
                # Under the lock: on_publish of this message waits for its
                # place in the in-flight table.
                info = self.client.publish(topic, payload, qos=0, retain=retain)
                if info.rc == self._mqtt.MQTT_ERR_SUCCESS:
                    if not info.is_published():
                        self._in_flight[info.mid] = size
                        self._in_flight_bytes += size
                    continue
                if retain:
                    self._statuses.setdefault(topic, payload)
                else:
                    self.drops["mqtt"] += 1
            if info.rc == self._mqtt.MQTT_ERR_NO_CONN:
                with self._lock:
                    self._connected = False
            else:
                self._down(self._mqtt.error_string(info.rc))

    def on_lines(self, sat, first, entries):
        name = sat.name or sat.address
        for i, (t, text, _) in enumerate(entries):
            self._publish(sat, "log", {"satellite": sat.id, "name": name, "n": first + i, "t": t,
                                       "time": stamp(t), "text": text})

    def on_status(self, sat, status):
        self._publish(sat, "status", dict(status, satellite=sat.id), retain=True)

    def on_photo(self, sat, photo):
        self._publish(sat, "photo", {"satellite": sat.id, "name": photo["name"], "size": photo["size"],
                                     "t": photo["t"], "path": "/photos/%s/%s" % (sat.id, photo["name"])})

    def on_telemetry(self, sat, columns, rows):
        self._publish(sat, "telemetry", {"satellite": sat.id, "columns": columns, "rows": rows})
