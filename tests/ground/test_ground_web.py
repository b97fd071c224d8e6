"""The station's page server as a browser, a stray web page and an attacker
see it: what it answers, to which Host names, and that idle or half-sent
connections neither pile up threads nor lock out a new request."""

import io
import json
import socket
import threading
import time

from groundkit import FakeClass, FakeForwarder, ground_package, page_server, station  # noqa: F401 (fixtures)

A, B = "127.0.0.5", "127.0.0.6"


def small_class(tmp_path):
    from PIL import Image
    photo = tmp_path / "20260101120000-1.jpeg"
    Image.new("RGB", (320, 240), (200, 30, 30)).save(photo)
    return FakeClass({
        A: {"id": A, "name": "sun_pointing", "address": A, "last_heard": 1.0e9, "state": "running",
            "exit_status": None, "pointing_deg": 1.5, "rate_dps": 0.25, "last_photo": photo.name,
            "photos": 1, "lines": 2, "alarms": [], "dropped": 0,
            "log": [{"t": 1.0e9, "time": "2001-09-09 03:46:40.000", "text": "hello"},
                    {"t": 1.0e9 + 1, "time": "2001-09-09 03:46:41.000", "text": "second"}],
            "photo_files": {photo.name: str(photo)},
            "telemetry": {"columns": ["t", "yaw_deg"], "rows": [[0.0, 1.0], [0.1, 2.0]],
                          "t0_unix": 1.0e9}},
        B: {"id": B, "name": "spin_up", "address": B, "last_heard": None, "state": "silent",
            "exit_status": None, "pointing_deg": None, "rate_dps": None, "last_photo": None,
            "photos": 0, "lines": 0, "alarms": ["nothing heard"], "dropped": 0},
    })


def test_api_per_satellite_and_the_first_satellite_endpoints(page_server, tmp_path):
    srv = page_server(small_class(tmp_path))

    def get(path):
        status, headers, body = srv.request("GET", path)
        return status, json.loads(body) if headers.get("Content-Type") == "application/json" else body

    status, sats = get("/api/satellites")
    assert status == 200 and [s["name"] for s in sats] == ["sun_pointing", "spin_up"]
    status, log = get("/api/sat/%s/log?since=1" % A)
    assert [(x["n"], x["text"]) for x in log["lines"]] == [(1, "second")] and log["next"] == 2
    assert get("/api/sat/%s/photos" % A)[1][0]["name"] == "20260101120000-1.jpeg"
    assert get("/api/sat/%s/telemetry?since=0" % A)[1]["rows"] == [[0.0, 1.0], [0.1, 2.0]]
    assert get("/photos/%s/20260101120000-1.jpeg" % A)[1][:2] == b"\xff\xd8"
    assert get("/thumbs/%s/20260101120000-1.jpeg" % A)[1][:2] == b"\xff\xd8"
    assert get("/api/station")[1]["version"] == "test"
    for path in ("/api/sat/127.0.0.9/log", "/api/sat/%s/nothing" % A, "/photos/%s/none.jpeg" % B,
                 "/sat/127.0.0.9", "/api/sat/%s/log?since=-1" % A):
        assert get(path)[0] in (400, 404), path
    assert b"<title>" in get("/sat/%s" % B)[1]

    # The single-satellite page's endpoints answer for the first satellite.
    assert [x["seq"] for x in get("/api/log?since=0")[1]["lines"]] == [0, 1]
    assert get("/api/photos")[1]["photos"][0]["mtime"] > 0
    assert get("/api/telemetry?since=1")[1]["rows"] == [[0.1, 2.0]]
    assert get("/photos/20260101120000-1.jpeg")[0] == 200


def test_bad_paths_answered_400_or_404_never_a_traceback(station):
    targets = ["/static/%00", "/static/%zz", "/static/%", "/static/%c3%28", "/static/../web.py",
               "/static/..%2fweb.py", "/static/%2e%2e/web.py", "/static/vendor/../../web.py",
               "/static/vendor/%2e%2e%2f%2e%2e%2fweb.py", "/photos/..%2f..%2fetc%2fpasswd",
               "/thumbs/%00.jpeg", "/static/\x01", "/api/log?since=%ff", "/api/log?since=x",
               "/static/.hidden", "/static/", "/static//etc/passwd", "/%5c..%5cweb.py"]
    port = station.http_port
    for target in targets:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % target.encode("latin-1"))
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        status = answer.split(b"\r\n", 1)[0]
        assert status.startswith(b"HTTP/1.0 400 ") or status.startswith(b"HTTP/1.0 404 "), \
            (target, answer[:200])
    for garbage in (b"\r\n\r\n", b"GET\r\n\r\n", b"GET / HTTP/9\r\n\r\n", b"\x16\x03\x01\x02\x00\r\n\r\n",
                    b"FROB / HTTP/1.0\r\n\r\n"):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(garbage)
            answer = s.recv(65536)
        assert answer.split(b" ")[1][:1] in (b"4", b"5"), (garbage, answer)
    assert station.get("/api/satellites")
    assert "Traceback" not in station.stderr()


def test_head_answers_the_headers_of_get_without_the_body(station):
    port = station.http_port
    for path in ("/", "/static/style.css", "/api/satellites", "/api/log?since=0", "/nothing"):
        import http.client
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        c.request("GET", path)
        got = c.getresponse()
        body = got.read()
        c.close()
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"HEAD %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path.encode())
            answer = b""
            while chunk := s.recv(65536):
                answer += chunk
        head, _, rest = answer.partition(b"\r\n\r\n")
        assert head.split(b" ")[1] == str(got.status).encode(), path
        assert b"Content-Length: %d" % len(body) in head, path
        assert rest == b"", path


def test_only_the_hosts_it_serves(page_server, tmp_path):
    srv = page_server(small_class(tmp_path), hosts=["ground.lab.example"])
    p = srv.port
    served = ["127.0.0.1:%d" % p, "localhost:%d" % p, "localhost", "LOCALHOST.:%d" % p,
              "[::1]:%d" % p, "ground.lab.example", "ground.lab.example:8080", "127.0.0.1"]
    refused = {"evil.example": 421, "evil.example:%d" % p: 421, "127.0.0.1:%d" % (p + 1): 421,
               "192.168.1.10:%d" % p: 421, "a b": 400, "[::1": 400, "x:y": 400}
    for host in served:
        assert srv.request("GET", "/api/satellites", {"Host": host})[0] == 200, host
    for host, code in refused.items():
        assert srv.request("GET", "/api/satellites", {"Host": host})[0] == code, host
    assert srv.raw(b"GET / HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.0 400 ")
    assert srv.raw(b"GET / HTTP/1.0\r\n\r\n").startswith(b"HTTP/1.0 200 ")

    everywhere = ground_package().HostCheck("0.0.0.0", 8080)
    assert everywhere.check("192.168.1.10:8080") is None
    assert everywhere.check("rebound.example:8080") == 421


IDLE = 300
TIMEOUT = 1.5


def test_idle_connections_neither_block_a_request_nor_stay_open(page_server, tmp_path):
    ground_package()
    from kelvex_ground.httpserve import WORKERS  # noqa: E402 (ground_package put it on the path)
    before = threading.active_count()
    srv = page_server(small_class(tmp_path), idle_timeout=TIMEOUT)
    idle = []
    try:
        for i in range(IDLE):
            s = socket.create_connection(("127.0.0.1", srv.port), timeout=10)
            # Some say nothing, some start a request and never end it.
            if i % 3 == 0:
                s.sendall(b"GET /api/satellites HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            idle.append(s)
        started = time.monotonic()
        assert srv.request("GET", "/api/satellites")[0] == 200
        # Answered at once, not after the idle ones timed out.
        assert time.monotonic() - started < TIMEOUT
        assert threading.active_count() - before <= WORKERS + 1

        deadline = time.monotonic() + TIMEOUT + 5
        for s in idle:
            s.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                assert s.recv(1024) == b""
            except ConnectionResetError:
                pass
        assert srv.server.server.open_connections() == 0
        assert srv.request("GET", "/api/satellites")[0] == 200
    finally:
        for s in idle:
            s.close()


def test_oversized_request_refused(page_server, tmp_path):
    srv = page_server(small_class(tmp_path))
    answer = srv.raw(b"GET / HTTP/1.0\r\nX-Pad: " + b"a" * 70000 + b"\r\n\r\n")
    assert answer.startswith(b"HTTP/1.0 431 ")
    assert srv.request("GET", "/")[0] == 200


def test_faults_switched_only_by_the_instructor(page_server, tmp_path):
    Instructor = ground_package().Instructor
    forwarder = FakeForwarder([A])
    instructor = Instructor(forwarder)
    srv = page_server(small_class(tmp_path), instructor=instructor)
    switch_on = json.dumps({"fault": "gyro-bias", "unit": 0, "value": 2.5})

    def post(sat, body, token):
        headers = {"Content-Type": "application/json"}
        if token is not None:
            headers["X-Kelvex-Token"] = token
        status, _, answer = srv.request("POST", "/api/sat/%s/fault" % sat, headers, body)
        return status, answer

    assert post(A, switch_on, None)[0] == 401
    wrong = instructor.token[:-1] + ("y" if instructor.token.endswith("x") else "x")
    assert post(A, switch_on, wrong)[0] == 401
    assert srv.request("GET", "/api/sat/%s/faults" % A)[0] == 401
    assert forwarder.requests == []

    status, answer = post(A, switch_on, instructor.token)
    assert status == 200
    assert json.loads(answer)["active"] == [{"fault": "gyro-bias", "unit": 0, "value": 2.5}]
    assert forwarder.requests == [(A, {"fault": "gyro-bias", "unit": 0, "value": 2.5})]
    status, _, listed = srv.request("GET", "/api/sat/%s/faults" % A, {"X-Kelvex-Token": instructor.token})
    assert status == 200 and json.loads(listed)["active"][0]["fault"] == "gyro-bias"

    assert post(B, switch_on, instructor.token)[0] == 404           # nothing to switch there
    assert post("127.0.0.99", switch_on, instructor.token)[0] == 404
    assert post(A, "{not json", instructor.token)[0] == 400
    assert post(A, "[1]", instructor.token)[0] == 400
    assert post(A, json.dumps({"fault": "x" * 5000}), instructor.token)[0] == 413
    status, answer = post(A, json.dumps({"fault": "sun-exploded"}), instructor.token)
    assert status == 400 and "sun-exploded" in json.loads(answer)["error"]
    assert json.loads(srv.request("GET", "/api/station")[2])["instructor"] is True

    # From the lab network only when its network is configured.
    assert instructor.refusal("192.168.1.5", instructor.token) == 403
    assert instructor.refusal("::ffff:127.0.0.1", instructor.token) is None
    lab = Instructor(forwarder, networks=["192.168.1.0/24"])
    assert lab.refusal("192.168.1.5", lab.token) is None and lab.refusal("10.0.0.5", lab.token) == 403
    out = io.StringIO()
    instructor.announce("http://127.0.0.1:8080/", out)
    assert instructor.token in out.getvalue()

    bare = page_server(small_class(tmp_path))
    assert bare.request("POST", "/api/sat/%s/fault" % A, {"X-Kelvex-Token": instructor.token},
                        switch_on)[0] == 404


def test_ingest_reaches_the_station_whole_and_bounded(page_server, tmp_path):
    data = small_class(tmp_path)
    srv = page_server(data)
    status = {"state": "ended", "exit_status": 3, "pad": "x" * 200000}
    as_json = {"Content-Type": "application/json"}
    # A form a page elsewhere may send without asking first is not taken.
    assert srv.request("POST", "/api/ingest/status", {"Content-Type": "text/plain",
                                                      "Origin": "http://evil.example"},
                       json.dumps(status))[0] == 415
    assert srv.request("POST", "/api/ingest/status", as_json, json.dumps(status))[0] == 200
    assert data.ingested == [("127.0.0.1", status)]
    assert srv.request("POST", "/api/ingest/status", as_json, "[1]")[0] == 400
    assert srv.request("POST", "/api/ingest/status", {}, "x" * (2 << 20))[0] in (413, 431)
    assert srv.raw(b"POST /api/ingest/status HTTP/1.0\r\n\r\n").startswith(b"HTTP/1.0 411 ")
    # This station takes no telemetry.
    assert srv.request("POST", "/api/ingest/telemetry", {}, "{}")[0] == 404
    assert len(data.ingested) == 1
