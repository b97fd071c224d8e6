"""The class station's satellite table under a day of grading and a flood:
each local Unix user registers within its share of the live table, a run
that ended or fell silent gives its place back, and a record that left the
overview stays readable; against the station's real sockets on loopback,
with another Unix user made by the test."""

import ftplib
import io
import json
import os
import time
import urllib.error

import pytest

from groundkit import Station, configured, ground_package, jpeg_bytes, neighbour, wait_for  # noqa: F401

# Another user's flood: registrations as fast as the station answers, each
# on its own connection; the answers counted, the first refusal's text kept.
FLOOD = r"""
import http.client, json, sys, time
host, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
out = {"ok": 0, "refused": 0, "text": None}
deadline = time.monotonic() + 60
for i in range(count):
    if time.monotonic() > deadline:
        break
    c = http.client.HTTPConnection(host, port, timeout=10)
    c.request("POST", "/api/ingest/register",
              body=json.dumps({"run": "flood-%d" % i, "secret": "flood-secret-%06d" % i}),
              headers={"Content-Type": "application/json"})
    r = c.getresponse()
    text = r.read().decode()
    c.close()
    if r.status == 200:
        out["ok"] += 1
    else:
        out["refused"] += 1
        out["text"] = out["text"] or "%d %s" % (r.status, text)
print(json.dumps(out))
"""


def by_id(st, path="/api/satellites"):
    return {s["id"]: s for s in st.json(path)}


@pytest.mark.parametrize("settings, taken, why", [
    # Alone, a user holds at most a quarter of the table's live runs.
    ("", 64, "the most one user may have at once"),
    # Once half the table is taken, at most its fair share.
    ("[station]\nmax_satellites = 16\nruns_per_user = 12\n", 8, "its fair share of a busy table"),
])
def test_a_neighbours_flood_of_registrations_leaves_room_for_another_users_runs(
        tmp_path, neighbour, settings, taken, why):
    st = configured(str(tmp_path), settings, single=False)
    try:
        out = json.loads(neighbour.run(FLOOD, st.bind, st.http_port, 100, timeout=90))
        assert (out["ok"], out["refused"]) == (taken, 100 - taken), out
        assert out["text"].startswith("403 user %d (%s) has %d live runs on this station, %s"
                                      % (neighbour.uid, neighbour.name, taken, why)), out
        # This user's runs still register.
        st.register("honest-1", name="Ada")
        st.register("honest-2", name="Grace")
        sats = by_id(st)
        assert sats["honest-1"]["name"] == "Ada" and not sats["honest-1"]["archived"]
        assert len(sats) == taken + 2
        info = st.json("/api/station")
        owner = "user %d (%s)" % (neighbour.uid, neighbour.name)
        assert info["registrations_refused"] == {owner: 100 - taken}
        assert "%d registrations refused from %s: past its share of the satellite table" % (
            100 - taken, owner) in info["alarms"]
        with open(os.path.join(st.dir, "satellites", "flood-0", "status.json")) as f:
            assert json.load(f)["owner"] == owner
    finally:
        assert st.stop() == 0


def test_a_graders_day_is_never_refused_and_what_ended_stays_readable(tmp_path):
    st = configured(str(tmp_path), "", single=False)
    runs = ["case-%03d" % i for i in range(270)]
    photo = jpeg_bytes((200, 10, 10))
    try:
        # Eight at a time, as kelvex-grade flies them; each ends before the
        # ninth after it starts.
        headers = {}
        for i, run in enumerate(runs):
            headers[run] = st.register(run, name="student %d" % i)
            if i < 3:
                assert st.post("/api/ingest/log", {"lines": ["PASS case %d\n" % i]},
                               headers=headers[run])[0] == 200
            if i == 0:
                ftp = ftplib.FTP(timeout=10)
                ftp.connect(st.bind, st.ftp_port)
                ftp.login(run, headers[run]["X-Kelvex-Secret"])
                assert ftp.storbinary("STOR incoming/1.jpeg", io.BytesIO(photo)).startswith("226")
                ftp.close()
            if i >= 8:
                done = runs[i - 8]
                code, text = st.post("/api/ingest/status", {"state": "ended", "exit_status": 0},
                                     headers=headers[done])
                assert code == 200, text
        overview = by_id(st)
        assert len(overview) == 256
        assert [r for r in runs[-8:] if overview[r]["archived"]] == []
        assert "case-000" not in overview
        info = st.json("/api/station")
        assert info["earlier"] == 270 - 256 and not info["registrations_refused"]
        assert not [a for a in info["alarms"] if "refused" in a]

        def readable():
            first = st.json("/api/sat/case-000")
            assert (first["name"], first["state"], first["exit_status"], first["archived"]) == \
                ("student 0", "ended", 0, True)
            assert [x["text"] for x in st.json("/api/sat/case-000/log")["lines"]] == ["PASS case 0"]
            assert st.get("/photos/case-000/1.jpeg") == photo
            assert st.json("/api/sat/case-000/photos")[0]["name"] == "1.jpeg"
            assert b"<html" in st.get("/sat/case-000").lower()
            earlier = st.json("/api/earlier")
            assert earlier[-1]["id"] == "case-000" and earlier[-1]["state"] == "ended"
            assert [e["id"] for e in earlier] == runs[:270 - 256][::-1]

        readable()
        # A run that left the overview still holds its secret.
        code, _ = st.post("/api/ingest/status", {"state": "running"},
                          headers=dict(headers["case-001"], **{"X-Kelvex-Secret": "x" * 20}))
        assert code == 403
        with pytest.raises(urllib.error.HTTPError):
            st.get("/api/sat/case-999")
    finally:
        assert st.stop() == 0
    # The station started again knows the same: the latest in the overview,
    # the others listed and read.
    st = configured(str(tmp_path), "", single=False)
    try:
        assert len(st.json("/api/satellites")) == 256
        readable()
        assert os.path.isdir(os.path.join(st.dir, "satellites", "case-000", "incoming"))
    finally:
        assert st.stop() == 0


def test_a_refused_run_is_told_why_and_the_class_station_names_its_user(tmp_path):
    shared = configured(str(tmp_path), "[station]\nruns_per_user = 1\n", single=False, name="shared")
    try:
        shared.register("first")
        own = Station(str(tmp_path), ["--upstream", shared.url, "--run-id", "second"], name="own")
        try:
            own.send([b"The mission says 'HELLO' to 127.0.0.1:4567\n"])
            told = wait_for(lambda: "does not take this run" in own.stderr())
            said = own.stderr()
            assert told, said
            assert ("the class station at %s does not take this run: user %d (root) has 1 live "
                    "run on this station, the most one user may have at once; a run takes a "
                    "place again once one of them ends. This satellite is not on that station's "
                    "page" % (shared.url, os.getuid())) in said
            assert said.count("does not take this run") == 1
            assert wait_for(lambda: [a for a in own.json("/api/station")["alarms"]
                                     if "refuses this run" in a])
        finally:
            assert own.stop() == 0
        assert list(by_id(shared)) == ["first"]
        assert not os.path.exists(os.path.join(shared.dir, "satellites", "second"))
        assert any("registrations refused from user %d (root)" % os.getuid() in a
                   for a in shared.json("/api/station")["alarms"])
    finally:
        assert shared.stop() == 0


def test_a_run_silent_for_long_gives_its_place_back_and_takes_it_again_within_its_share(tmp_path):
    ground_package()
    from kelvex_ground.satellites import LIVE_SILENT_S, IngestRefused, Station as Table

    table = Table(str(tmp_path), runs_per_user=2)
    secrets = {r: "secret-of-%s-0123456789" % r for r in ("r1", "r2", "r3")}

    def register(run):
        return table.register("127.0.0.1", {"run": run, "secret": secrets[run]})

    def ids(run):
        return (run, secrets[run])

    try:
        register("r1")
        register("r2")
        with pytest.raises(IngestRefused, match="address 127.0.0.1 has 2 live runs"):
            register("r3")
        table._get("r1").last_heard = time.time() - LIVE_SILENT_S - 1
        assert table.satellite("r1")["archived"]
        register("r3")
        # r1 speaks again: past its owner's share now, refused, its record whole.
        with pytest.raises(IngestRefused, match="has 2 live runs"):
            table.ingest_log("127.0.0.1", {"lines": ["late\n"]}, identity=ids("r1"))
        assert table.satellite("r1")["lines"] == 0
        # An ended run takes no place, and its lines (a new start among them)
        # do not make it live again.
        table.ingest_status("127.0.0.1", {"state": "ended", "exit_status": 0}, identity=ids("r2"))
        table.ingest_log("127.0.0.1", {"lines": ["The x says 'HELLO' to y\n", "last\n"]},
                         identity=ids("r2"))
        assert table.satellite("r2")["state"] == "ended"
        table.ingest_log("127.0.0.1", {"lines": ["back\n"]}, identity=ids("r1"))
        assert not table.satellite("r1")["archived"]
        assert table.share_refused == {"address 127.0.0.1": 2}
    finally:
        table.stop()


def test_a_run_with_nothing_to_say_still_tells_the_class_station_it_lives(tmp_path, monkeypatch):
    ground_package()
    from types import SimpleNamespace
    from kelvex_ground import relay

    monkeypatch.setattr(relay, "HEARTBEAT_S", 0.5)
    shared = Station(str(tmp_path), single=False, name="shared")
    own = relay.Relay(shared.url, "127.0.0.1", str(tmp_path / "run" / "ground"), run="quiet-1",
                      name="Ada")
    try:
        own.check()
        own.start(None)
        own.on_status(SimpleNamespace(name="Ada", drops=lambda: {}),
                      {"state": "running", "exit_status": None})
        assert wait_for(lambda: by_id(shared).get("quiet-1"))
        heard = by_id(shared)["quiet-1"]["last_heard"]
        # Nothing more happens on the run; its status comes again all the same.
        assert wait_for(lambda: by_id(shared)["quiet-1"]["last_heard"] > heard + 0.4, 5)
        assert by_id(shared)["quiet-1"]["state"] == "running"
    finally:
        own.stop()
        assert shared.stop() == 0
