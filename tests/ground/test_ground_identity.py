"""Who may speak for a satellite, tried by another Unix user on this machine:
a run is known by the secret it registered, a board by its configured
address, a run's own station takes its mission's sockets only; the honest
satellite's record stays whole."""

import ftplib
import io
import json
import os
import socket

from groundkit import Station, configured, jpeg_bytes, neighbour, wait_for  # noqa: F401

BOARD, RUN, STRANGER = "127.0.0.5", "127.0.0.7", "127.0.0.9"

# What a neighbour tries, as a script run as that user: every answer printed.
FORGER = r"""
import ftplib, http.client, io, json, socket, sys
host, http_port, ftp_port, log_port, run = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
out = {}
def post(path, body, headers, source="127.0.0.9"):
    c = http.client.HTTPConnection(host, http_port, timeout=10, source_address=(source, 0))
    c.request("POST", path, body=body, headers=headers)
    r = c.getresponse(); r.read(); c.close()
    return r.status
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    s.bind(("127.0.0.9", 0))
    s.sendto(b"The forged says 'HELLO' to 127.0.0.1:4567\n", (host, log_port))
    s.sendto(b"PASS everything\n", (host, log_port))
status = json.dumps({"state": "ended", "exit_status": 0, "name": "forged",
                     "control_url": "http://127.0.0.9:1/", "control_token": "x"})
out["plain"] = post("/api/ingest/status", status, {"Content-Type": "text/plain",
                    "Origin": "http://evil.example", "X-Kelvex-Run": run})
json_h = {"Content-Type": "application/json"}
out["no_secret"] = post("/api/ingest/status", status, dict(json_h, **{"X-Kelvex-Run": run}))
wrong = dict(json_h, **{"X-Kelvex-Run": run, "X-Kelvex-Secret": "guessed-guessed-guessed"})
out["wrong_secret"] = post("/api/ingest/status", status, wrong)
out["log"] = post("/api/ingest/log", json.dumps({"lines": ["PASS\n"]}), wrong)
out["telemetry"] = post("/api/ingest/telemetry", json.dumps({"columns": ["t", "x"], "rows": [[0, 1]]}), wrong)
out["register_again"] = post("/api/ingest/register", json.dumps(
    {"run": run, "name": "forged", "secret": "guessed-guessed-guessed"}), json_h)
for user, password in ((run, "guessed-guessed-guessed"), ("anonymous", "x")):
    ftp = ftplib.FTP(timeout=10, source_address=("127.0.0.9", 0))
    ftp.connect(host, ftp_port)
    try:
        ftp.login(user, password)
        out["ftp_" + user] = ftp.storbinary("STOR incoming/1.jpeg", io.BytesIO(b"\xff\xd8forged"))
    except ftplib.Error as e:
        out["ftp_" + user] = str(e)
    ftp.close()
print(json.dumps(out))
"""


def by_id(st):
    return {s["id"]: s for s in st.json("/api/satellites")}


def test_a_neighbour_cannot_speak_for_a_run_or_a_board(tmp_path, neighbour):
    st = configured(str(tmp_path), '[boards]\naddresses = ["%s"]\n' % BOARD, single=False)
    try:
        st.send([b"The blinker says 'HELLO' to 127.0.0.1:4567\n", b"b1\n"], source=BOARD)
        assert st.upload("1.jpeg", jpeg_bytes(), source=BOARD).startswith("226")
        run = st.register("r1", "Ada Lovelace", source=RUN)
        assert st.post("/api/ingest/log", {"lines": ["The sun_pointing says 'HELLO' to x\n", "one\n"]},
                       headers=run)[0] == 200
        rows = [[0.0, 1.0], [0.1, 1.1]]
        assert st.post("/api/ingest/telemetry", {"columns": ["t", "yaw_deg"], "rows": rows,
                                                 "generation": 1}, headers=run)[0] == 200
        photo = jpeg_bytes((0, 0, 200))
        ftp = ftplib.FTP(timeout=10)
        ftp.connect(st.bind, st.ftp_port)
        ftp.login("r1", run["X-Kelvex-Secret"])
        assert ftp.storbinary("STOR incoming/7.jpeg", io.BytesIO(photo)).startswith("226")
        ftp.close()

        answers = json.loads(neighbour.run(FORGER, st.bind, st.http_port, st.ftp_port,
                                           st.log_port, "r1"))
        assert answers["plain"] == 415
        assert [answers[k] for k in ("no_secret", "wrong_secret", "log", "telemetry",
                                     "register_again")] == [403] * 5
        assert answers["ftp_r1"].startswith("530") and answers["ftp_anonymous"].startswith("530")

        st.send([b"two\n"], source=BOARD)
        assert wait_for(lambda: by_id(st)[BOARD]["lines"] == 3)
        sats = by_id(st)
        assert list(sats) == [BOARD, "r1"]
        r1 = sats["r1"]
        assert (r1["name"], r1["state"], r1["lines"], r1["photos"]) == ("Ada Lovelace", "running", 2, 1)
        assert st.json("/api/sat/r1/telemetry")["rows"] == rows
        assert st.get("/photos/r1/7.jpeg") == photo
        assert [x["text"] for x in st.json("/api/sat/r1/log")["lines"]][1:] == ["one"]
        info = st.json("/api/station")
        assert info["drops"]["strangers"] >= 8
        assert any("refused from senders" in a for a in info["alarms"])
        assert not os.path.exists(os.path.join(st.dir, "satellites", STRANGER))
    finally:
        assert st.stop() == 0


def test_a_new_run_on_a_known_address_is_a_new_record(tmp_path):
    """Two runs one after the other from the same address, as kelvex-sim
    gives a freed 127.0.0.N to the next run: two records, each its own
    name, lines and telemetry (the second's other columns wipe nothing)."""
    shared = Station(str(tmp_path), single=False, name="shared")
    try:
        for n, (name, columns) in enumerate((("Ada", "t,yaw_deg"), ("Grace", "t,rate_dps,lamp_angle_deg"))):
            run_dir = tmp_path / ("run%d" % n)
            run_dir.mkdir()
            (run_dir / "telemetry.csv").write_text(columns + "\n" + ",".join(["0.5"] * len(columns.split(","))) + "\n")
            own = Station(str(tmp_path), ["--upstream", shared.url, "--name", name,
                                          "--telemetry", str(run_dir / "telemetry.csv")],
                          bind=RUN, directory=str(run_dir / "ground"), name="own%d" % n)
            try:
                own.send([b"The mission says 'HELLO' to 127.0.0.1:4567\n", ("line of %s\n" % name).encode()])
                assert wait_for(lambda: sum(s["lines"] for s in shared.json("/api/satellites")) == 2 * (n + 1))
            finally:
                assert own.stop() == 0
        sats = shared.json("/api/satellites")
        assert [(s["name"], s["address"], s["lines"], s["state"]) for s in sats] == [
            ("Ada", RUN, 2, "ended"), ("Grace", RUN, 2, "ended")]
        assert sats[0]["id"] != sats[1]["id"] and all(s["run"] == s["id"] for s in sats)
        for s, columns in zip(sats, (["t", "yaw_deg"], ["t", "rate_dps", "lamp_angle_deg"])):
            page = shared.json("/api/sat/%s/telemetry" % s["id"])
            assert (page["columns"], len(page["rows"])) == (columns, 1)
            assert [x["text"] for x in shared.json("/api/sat/%s/log" % s["id"])["lines"]][1:] == \
                ["line of %s" % s["name"]]
    finally:
        assert shared.stop() == 0


SENDER = r"""
import ftplib, io, socket, sys, time
host, log_port, ftp_port = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
# The socket stays open until the station has surely read the datagram:
# refused for whose it is, not for being gone.
with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
    s.sendto(b"PASS photo check\n", (host, log_port))
    ftp = ftplib.FTP(timeout=10)
    try:
        ftp.connect(host, ftp_port)
        ftp.login()
        print(ftp.storbinary("STOR incoming/forged.jpeg", io.BytesIO(b"\xff\xd8forged")))
    except (ftplib.Error, OSError) as e:
        print(e)
    time.sleep(1)
"""


def test_a_runs_own_station_takes_only_its_missions_sockets(tmp_path, neighbour):
    st = Station(str(tmp_path), ["--sender-uid", str(os.getuid())], bind=RUN)
    try:
        said = neighbour.run(SENDER, RUN, st.log_port, st.ftp_port)
        assert said.startswith("421") or "closed" in said or said.strip() == "", said
        # The mission's log socket stays open for the run, as the runner's does.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as mission:
            for line in (b"The mission says 'HELLO' to 127.0.0.1:4567\n", b"mine\n"):
                mission.sendto(line, (RUN, st.log_port))
            assert wait_for(lambda: len(st.log_file_lines()) == 2)
        assert st.upload("1.jpeg", jpeg_bytes()).startswith("226")
        assert [line[24:] for line in st.log_file_lines()][1:] == ["mine"]
        assert wait_for(lambda: [p["name"] for p in st.json("/api/photos")["photos"]] == ["1.jpeg"])
        assert st.json("/api/station")["drops"]["strangers"] >= 2
    finally:
        assert st.stop() == 0
