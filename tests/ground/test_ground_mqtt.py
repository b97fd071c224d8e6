"""The station's MQTT messages, read back from a real mosquitto on loopback;
and a station whose broker is not there."""

import json
import os
import shutil
import socket
import subprocess
import threading
import time

import pytest

from groundkit import Station, jpeg_bytes, rss_mb, wait_for

MOSQUITTO = shutil.which("mosquitto") or ("/usr/sbin/mosquitto" if os.path.exists("/usr/sbin/mosquitto") else None)
mqtt = pytest.importorskip("paho.mqtt.client")
pytestmark = pytest.mark.skipif(MOSQUITTO is None, reason="mosquitto is not installed")
A = "127.0.0.5"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    def __init__(self, folder, port, settings="allow_anonymous true\n"):
        conf = os.path.join(folder, "mosquitto-%d.conf" % port)
        with open(conf, "w") as f:
            # Root's files stay readable to it: it keeps the test's user.
            f.write("user root\nlistener %d 127.0.0.1\npersistence false\n%s" % (port, settings))
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

    def __init__(self, port, user=None, password=None, cafile=None):
        self.messages = []
        self._lock = threading.Lock()
        self.client = mqtt.Client(client_id="kelvex-test-%d-%s" % (os.getpid(), user))
        if user:
            self.client.username_pw_set(user, password)
        if cafile:
            self.client.tls_set(ca_certs=cafile)
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
        # A virtual satellite's run: its telemetry and status.
        run = st.register("r1", "Ada")
        assert st.post("/api/ingest/telemetry", {"columns": ["t", "yaw_deg"], "rows": [[0.5, 1.25]]},
                       headers=run)[0] == 200
        assert st.post("/api/ingest/status", {"state": "ended", "exit_status": 0}, headers=run)[0] == 200

        base = "kelvex/%s/" % A
        assert wait_for(lambda: len(listener.of(base + "log")) == 2 and listener.of("kelvex/r1/telemetry")
                        and listener.of(base + "photo")
                        and any(m["state"] == "ended" for m in listener.of("kelvex/r1/status")))
        log = listener.of(base + "log")
        assert [(m["n"], m["text"], m["satellite"]) for m in log] == [
            (0, "The sun_pointing says 'HELLO' to 127.0.0.1:4567", A), (1, "lamp \\x1b[31mfound", A)]
        with open(os.path.join(st.dir, "satellites", A, "log.txt")) as f:
            assert (log[1]["name"], log[1]["time"]) == ("sun_pointing", f.read().splitlines()[1][:23])
        assert listener.of("kelvex/r1/telemetry") == [{"satellite": "r1", "columns": ["t", "yaw_deg"],
                                                       "rows": [[0.5, 1.25]]}]
        photo = listener.of(base + "photo")[0]
        assert (photo["name"], photo["path"]) == ("1.jpeg", "/photos/%s/1.jpeg" % A)
        assert st.get(photo["path"]) == jpeg_bytes()
        ended = listener.of("kelvex/r1/status")[-1]
        assert (ended["name"], ended["exit_status"]) == ("Ada", 0)
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


def make_certificates(folder):
    """A certificate authority of the test's own and the broker's certificate
    for 127.0.0.1, signed by it."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True, timeout=60)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.crt", "-days", "1",
            "-subj", "/CN=kelvex test authority")
    openssl("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(folder, "san.txt"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.crt", "-days", "1", "-extfile", "san.txt")
    return os.path.join(folder, "ca.crt")


@pytest.mark.skipif(shutil.which("openssl") is None or shutil.which("mosquitto_passwd") is None,
                    reason="needs openssl and mosquitto_passwd")
def test_a_department_broker_with_passwords_tls_and_an_acl(tmp_path):
    folder = str(tmp_path)
    cafile = make_certificates(folder)
    passwords = os.path.join(folder, "passwords")
    users = {"lab-a": "secret a", "lab-b": "secret b", "watcher": "secret w"}
    for i, (user, password) in enumerate(users.items()):
        subprocess.run(["mosquitto_passwd", "-b", *(["-c"] if i == 0 else []), passwords, user,
                        password], check=True, capture_output=True, timeout=30)
    # As the README gives it: each station only its own topics.
    with open(os.path.join(folder, "acl"), "w") as f:
        f.write("user watcher\ntopic read kelvex/#\n\npattern readwrite kelvex/%u/#\n")
    for user in ("lab-a", "wrong"):
        with open(os.path.join(folder, user + ".password"), "w") as f:
            f.write(users.get(user, "not it") + "\n")
    port = free_port()
    broker = Broker(folder, port, "allow_anonymous false\npassword_file %s\nacl_file %s\n"
                    "cafile %s\ncertfile %s/server.crt\nkeyfile %s/server.key\n"
                    % (passwords, os.path.join(folder, "acl"), cafile, folder, folder))
    listener = Listener(port, "watcher", users["watcher"], cafile)
    config = tmp_path / "ground.toml"
    config.write_text('[mqtt]\nbroker = "127.0.0.1:%d"\nusername = "lab-a"\npassword_file = "%s"\n'
                      'cafile = "%s"\n' % (port, tmp_path / "lab-a.password", cafile))
    st = Station(str(tmp_path), ["--config", str(config)], single=False, name="a")
    wrong = Station(str(tmp_path), ["--mqtt", "127.0.0.1:%d" % port, "--mqtt-user", "lab-a",
                                          "--mqtt-password-file", str(tmp_path / "wrong.password"),
                                          "--mqtt-tls", "--mqtt-cafile", cafile], single=False, name="w")
    try:
        assert wait_for(lambda: "publishing to the MQTT broker" in st.stderr())
        st.send([b"over tls\n"], source=A)
        topic = "kelvex/lab-a/%s/log" % A
        assert wait_for(lambda: [m["text"] for m in listener.of(topic)] == ["over tls"])

        # Another station cannot speak for this one's satellite.
        forger = mqtt.Client(client_id="kelvex-test-forger")
        forger.username_pw_set("lab-b", users["lab-b"])
        forger.tls_set(ca_certs=cafile)
        forger.connect("127.0.0.1", port, 30)
        forger.loop_start()
        forger.publish("kelvex/lab-a/%s/status" % A, json.dumps({"state": "ended"}), retain=True)
        forger.publish("kelvex/lab-b/%s/log" % A, json.dumps({"text": "own topic"}))
        assert wait_for(lambda: listener.of("kelvex/lab-b/%s/log" % A))
        assert all(m.get("satellite") == A for m in listener.of("kelvex/lab-a/%s/status" % A))
        forger.disconnect()
        forger.loop_stop()

        # A wrong password is refused, said and shown; the station goes on.
        assert wait_for(lambda: "the MQTT broker 127.0.0.1:%d is not there" % port
                        in wrong.stderr(), 20), wrong.stderr()
        assert any("not authori" in a.lower() for a in wrong.json("/api/station")["alarms"])
        assert st.json("/api/station")["mqtt"]["connected"] is True
    finally:
        assert st.stop() == 0
        assert wrong.stop() == 0
        listener.stop()
        broker.stop()


class StalledBroker:
    """Accepts, answers the station's CONNECT with a CONNACK, and from then on
    never reads: what a broker that stopped reading looks like from the station."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.conns = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            conn.recv(1024)
            conn.sendall(b"\x20\x02\x00\x00")
            self.conns.append(conn)

    def stop(self):
        self.sock.close()
        for c in self.conns:
            c.close()


def test_a_broker_that_stops_reading_costs_bounded_memory(tmp_path):
    broker = StalledBroker()
    st = Station(str(tmp_path), ["--mqtt", "127.0.0.1:%d" % broker.port, "--mqtt-queue-mb", "2"],
                 single=False)
    try:
        assert wait_for(lambda: "publishing to the MQTT broker" in st.stderr())
        before = rss_mb(st.proc.pid)
        line = b"x" * 900 + b"\n"
        # 20 s at about 5 MB/s of log: 100 MB of MQTT messages were it all kept.
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            st.send([line] * 500, source=A)
            time.sleep(0.1)
        info = wait_for(lambda: (lambda i: i["mqtt"]["dropped"] > 50000 and i)(
            st.json("/api/station")), 30)
        assert info, st.json("/api/station")
        mqtt_info = info["mqtt"]
        assert mqtt_info["queued_bytes"] <= mqtt_info["limit_bytes"] == 2 * 1024 * 1024
        assert mqtt_info["peak_bytes"] <= mqtt_info["limit_bytes"]
        assert info["drops"]["mqtt"] == mqtt_info["dropped"]
        # Kept whole, the 100,000 messages would be well over 100 MB; the
        # station's own bounded buffers (the datagram queue, the recent lines)
        # are what it may grow by, with the 2 MB of MQTT queue.
        grown = rss_mb(st.proc.pid) - before
        assert grown < 80, "the station grew %.0f MB" % grown
        assert st.stderr().count("takes messages slower than they come") == 1
    finally:
        assert st.stop() == 0
        broker.stop()
