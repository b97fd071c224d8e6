"""The station's MQTT messages, read back from a real mosquitto on loopback;
and a station whose broker is not there."""

import json
import os
import shutil
import socket
import subprocess
import threading

import pytest

from groundkit import Station, jpeg_bytes, wait_for

MOSQUITTO = shutil.which("mosquitto") or ("/usr/sbin/mosquitto" if os.path.exists("/usr/sbin/mosquitto") else None)
mqtt = pytest.importorskip("paho.mqtt.client")
pytestmark = pytest.mark.skipif(MOSQUITTO is None, reason="mosquitto is not installed")
A = "127.0.0.5"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, folder, port):
        conf = os.path.join(folder, "mosquitto-%d.conf" % port)
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % port)
        self.proc = subprocess.Popen([MOSQUITTO, "-c", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.port = port

        def listening():
            try:
                socket.create_connection(("127.0.0.1", port), 1).close()
                return True
            except OSError:
                return False
        assert wait_for(listening, 10), "mosquitto did not start"

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class Listener:
    """Everything published under kelvex/, as (topic, payload)."""

    def __init__(self, port):
        self.messages = []
        self._lock = threading.Lock()
        self.client = mqtt.Client(client_id="kelvex-test-%d" % os.getpid())
        self.client.on_message = self._message
        self.client.on_connect = lambda c, *_: c.subscribe("kelvex/#")
        self.client.connect("127.0.0.1", port, 30)
        self.client.loop_start()

    def _message(self, client, userdata, msg):
        with self._lock:
            self.messages.append((msg.topic, json.loads(msg.payload)))

    def of(self, topic):
        with self._lock:
            return [m for t, m in self.messages if t == topic]

    def stop(self):
        self.client.disconnect()
        self.client.loop_stop()


def test_log_status_photo_and_telemetry_published_per_satellite(tmp_path):
    broker = Broker(str(tmp_path), free_port())
    listener = Listener(broker.port)
    st = Station(str(tmp_path), ["--mqtt", "127.0.0.1:%d" % broker.port], single=False)
    try:
        assert wait_for(lambda: "publishing to the MQTT broker" in st.stderr())
        st.send([b"The sun_pointing says 'HELLO' to 127.0.0.1:4567\n", b"lamp \x1b[31mfound\n"], source=A)
        assert st.upload("1.jpeg", jpeg_bytes(), source=A).startswith("226")
        assert st.post("/api/ingest/telemetry", {"columns": ["t", "yaw_deg"], "rows": [[0.5, 1.25]]},
                       source=A)[0] == 200
        assert st.post("/api/ingest/status", {"state": "ended", "exit_status": 0}, source=A)[0] == 200

        base = "kelvex/%s/" % A
        assert wait_for(lambda: len(listener.of(base + "log")) == 2 and listener.of(base + "telemetry")
                        and listener.of(base + "photo")
                        and any(m["state"] == "ended" for m in listener.of(base + "status")))
        log = listener.of(base + "log")
        assert [(m["n"], m["text"], m["satellite"]) for m in log] == [
            (0, "The sun_pointing says 'HELLO' to 127.0.0.1:4567", A), (1, "lamp \\x1b[31mfound", A)]
        with open(os.path.join(st.dir, "satellites", A, "log.txt")) as f:
            assert (log[1]["name"], log[1]["time"]) == ("sun_pointing", f.read().splitlines()[1][:23])
        assert listener.of(base + "telemetry") == [{"satellite": A, "columns": ["t", "yaw_deg"], "rows": [[0.5, 1.25]]}]
        photo = listener.of(base + "photo")[0]
        assert (photo["name"], photo["path"]) == ("1.jpeg", "/photos/%s/1.jpeg" % A)
        assert st.get(photo["path"]) == jpeg_bytes()
        ended = listener.of(base + "status")[-1]
        assert (ended["name"], ended["exit_status"]) == ("sun_pointing", 0)
        assert st.json("/api/station")["drops"]["mqtt"] == 0
    finally:
        assert st.stop() == 0
        listener.stop()
        broker.stop()


def test_station_without_its_broker_goes_on_and_says_so(tmp_path):
    port = free_port()
    st = Station(str(tmp_path), ["--mqtt", "127.0.0.1:%d" % port], single=False)
    broker = None
    try:
        st.send([b"nobody listens\n"], source=A)
        assert wait_for(lambda: st.lines_of("log.txt") == ["[%s] nobody listens" % A])
        assert wait_for(lambda: "the MQTT broker 127.0.0.1:%d is not there" % port in st.stderr())
        info = st.json("/api/station")
        assert info["drops"]["mqtt"] >= 1
        assert any(a.startswith("MQTT broker") for a in info["alarms"])

        # Once the broker is there, the station publishes again by itself.
        broker = Broker(str(tmp_path), port)
        listener = Listener(port)
        assert wait_for(lambda: "publishing to the MQTT broker" in st.stderr(), 30)
        st.send([b"now it does\n"], source=A)
        assert wait_for(lambda: [m["text"] for m in listener.of("kelvex/%s/log" % A)] == ["now it does"])
        assert st.stderr().count("is not there") == 1
        listener.stop()
    finally:
        assert st.stop() == 0
        if broker:
            broker.stop()
