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

Messages go out at most once (QoS 0). While the broker cannot be reached the
station goes on without it: what it could not publish is counted (drops
"mqtt" on /api/station), it says so once, and it connects again by itself."""

import json
import os
import threading

from .logstore import say, stamp

RETRY_MAX = 10
WAITING = 10000


def parse_address(text):
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError("--mqtt: HOST:PORT, not %r" % text)
    return host.strip("[]"), int(port)


class Publisher:
    def __init__(self, address):
        try:
            import paho.mqtt.client as mqtt
        except ImportError:
            raise ValueError("--mqtt needs the Debian package python3-paho-mqtt")
        self._mqtt = mqtt
        self.address = address
        self.host, self.port = parse_address(address)
        self.drops = {"mqtt": 0}
        self.alarm = None
        self._said = False
        self._lock = threading.Lock()
        self.client = mqtt.Client(client_id="kelvex-ground-%d" % os.getpid(), clean_session=True)
        self.client.max_queued_messages_set(WAITING)
        self.client.reconnect_delay_set(1, RETRY_MAX)
        self.client.on_connect = self._connected
        self.client.on_disconnect = self._disconnected
        self.client.on_connect_fail = lambda *_: self._down("cannot connect")

    def start(self, station):
        self._down("not connected yet", quiet=True)
        self.client.connect_async(self.host, self.port, keepalive=30)
        self.client.loop_start()

    def stop(self):
        self.client.disconnect()
        self.client.loop_stop()

    def _connected(self, client, userdata, flags, rc):
        if rc != 0:
            self._down(self._mqtt.connack_string(rc))
            return
        with self._lock:
            self.alarm = None
            self._said = False
        say("publishing to the MQTT broker %s" % self.address)

    def _disconnected(self, client, userdata, rc):
        if rc != 0:
            self._down("connection lost")

    def _down(self, why, quiet=False):
        with self._lock:
            self.alarm = "MQTT broker %s: %s" % (self.address, why)
            if quiet or self._said:
                return
            self._said = True
        say("the MQTT broker %s is not there (%s); the station goes on without it and "
            "tries again" % (self.address, why))

    def _publish(self, sat, kind, value, retain=False):
        info = self.client.publish("kelvex/%s/%s" % (sat.id, kind), json.dumps(value), qos=0, retain=retain)
        if info.rc != self._mqtt.MQTT_ERR_SUCCESS:
            self.drops["mqtt"] += 1
            if self.alarm is None:
                self._down(self._mqtt.error_string(info.rc))
            elif not self._said:
                self._down(self.alarm.partition(": ")[2])

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
