"""One station for a class: boards told apart by source address, runs by
the id they registered, their log, photos, telemetry and status each in a
place of its own, kept across a restart, served again read-only, and relayed
from a per-run station."""

import json
import os

import pytest
from groundkit import Station, configured, jpeg_bytes, wait_for

A, B, RUN = "127.0.0.5", "127.0.0.6", "127.0.0.7"


def hello(name):
    return ("The %s says 'HELLO' to 127.0.0.1:4567\n" % name).encode()


def by_id(st):
    return {s["id"]: s for s in st.json("/api/satellites")}


def test_satellites_told_apart_by_source_address_and_kept_across_a_restart(tmp_path):
    st = Station(str(tmp_path), single=False)
    try:
        st.send([hello("sun_pointing"), b"a1\n"], source=A)
        st.send([hello("blinker"), b"b1\n", b"b2\x1b[2J\n"], source=B)
        st.send([b"a2\n"], source=A)
        assert wait_for(lambda: len(st.lines_of("log.txt")) == 6)
        assert st.lines_of("satellites", A, "log.txt")[1:] == ["a1", "a2"]
        assert st.lines_of("satellites", B, "log.txt")[1:] == ["b1", "b2\\x1b[2J"]
        every = st.lines_of("log.txt")
        assert sorted(every) == sorted(["[%s] %s" % (A, "The sun_pointing says 'HELLO' to 127.0.0.1:4567"),
                                        "[%s] a1" % A, "[%s] a2" % A,
                                        "[%s] %s" % (B, "The blinker says 'HELLO' to 127.0.0.1:4567"),
                                        "[%s] b1" % B, "[%s] b2\\x1b[2J" % B])

        photo_a, photo_b = jpeg_bytes((200, 0, 0)), jpeg_bytes((0, 200, 0))
        assert st.upload("1.jpeg", photo_a, source=A).startswith("226")
        assert st.upload("1.jpeg", photo_b, source=B).startswith("226")
        with open(os.path.join(st.dir, "satellites", A, "incoming", "1.jpeg"), "rb") as f:
            assert f.read() == photo_a
        assert st.get("/photos/%s/1.jpeg" % B) == photo_b
        assert [p["name"] for p in st.json("/api/sat/%s/photos" % A)] == ["1.jpeg"]

        # A virtual satellite's run: telemetry and status under its identity.
        run = st.register("run-1", "Ada", source=RUN)
        columns = ["t", "yaw_deg", "rate_dps", "lamp_angle_deg"]
        assert st.post("/api/ingest/telemetry", {"columns": columns, "rows": [[0.0, 1.0, 0.5, 59.0],
                                                                             [0.1, 1.1, 0.4, 58.9]],
                                                 "generation": 1}, headers=run)[0] == 200
        assert st.post("/api/ingest/status", {"state": "ended", "exit_status": 3}, headers=run)[0] == 200
        assert st.post("/api/ingest/status", {"state": "over"}, headers=run)[0] == 400
        assert st.post("/api/ingest/telemetry", {"columns": ["t"], "rows": [[1, 2]]}, headers=run)[0] == 400

        sats = by_id(st)
        assert list(sats) == [A, B, "run-1"]
        assert (sats[A]["name"], sats[A]["state"], sats[A]["exit_status"]) == ("sun_pointing", "running", None)
        r1 = sats["run-1"]
        assert (r1["name"], r1["run"], r1["address"], r1["state"], r1["exit_status"]) == \
            ("Ada", "run-1", RUN, "ended", 3)
        assert "ended with status 3" in r1["alarms"]
        assert (r1["pointing_deg"], r1["rate_dps"]) == (58.9, 0.4)
        assert (sats[B]["name"], sats[B]["lines"]) == ("blinker", 3)
        assert (sats[A]["last_photo"], sats[A]["photos"]) == ("1.jpeg", 1)
        page = st.json("/api/sat/%s/log?since=1" % B)
        assert ([x["n"] for x in page["lines"]], page["next"], page["dropped"]) == ([1, 2], 3, 0)
        assert st.json("/api/sat/run-1/telemetry?since=1")["rows"] == [[0.1, 1.1, 0.4, 58.9]]
        # The desk endpoints mean the first satellite heard.
        assert [x["text"] for x in st.json("/api/log")["lines"]][1:] == ["a1", "a2"]
    finally:
        assert st.stop() == 0
    with open(os.path.join(st.dir, "satellites", "run-1", "status.json")) as f:
        saved = json.load(f)
        assert saved["exit_status"] == 3 and "secret-of" not in json.dumps(saved)

    again = Station(str(tmp_path), single=False)
    try:
        sats = by_id(again)
        assert list(sats) == [A, B, "run-1"]
        assert [sats[A]["name"], sats[B]["name"], sats[A]["lines"], sats["run-1"]["name"],
                sats["run-1"]["state"]] == ["sun_pointing", "blinker", 3, "Ada", "ended"]
        assert [x["text"] for x in again.json("/api/sat/%s/log" % B)["lines"]][1:] == ["b1", "b2\\x1b[2J"]
        assert len(again.json("/api/sat/run-1/telemetry")["rows"]) == 2
        # The run is known again by its secret after the restart, and only by it.
        assert again.post("/api/ingest/status", {"state": "running"}, headers=run)[0] == 200
        assert wait_for(lambda: by_id(again)["run-1"]["state"] == "running")
    finally:
        assert again.stop() == 0


def test_ingest_only_from_the_addresses_configured(tmp_path):
    st = configured(str(tmp_path), '[ingest]\nfrom = ["127.0.0.9/32"]\n[quotas]\nsatellite_mb = 1\n', single=False)
    try:
        body = {"run": "probe", "name": "probe", "secret": "s" * 20}
        code, text = st.post("/api/ingest/register", body, source=A)
        assert code == 403 and A in text
        assert st.post("/api/ingest/register", body, source="127.0.0.9")[0] == 200
        assert [s["name"] for s in st.json("/api/satellites")] == ["probe"]
    finally:
        assert st.stop() == 0


def test_review_serves_a_station_and_a_run_folder_without_writing(tmp_path):
    st = Station(str(tmp_path), single=False)
    try:
        st.send([hello("sun_pointing"), b"a1\n"], source=A)
        assert st.upload("1.jpeg", jpeg_bytes(), source=A).startswith("226")
        assert wait_for(lambda: len(st.lines_of("satellites", A, "log.txt")) == 2)
    finally:
        assert st.stop() == 0

    run = tmp_path / "run"
    (run / "ground" / "incoming").mkdir(parents=True)
    (run / "ground" / "log.txt").write_text("2026-01-02 03:04:05.678 The blinker says 'HELLO' to x\n")
    (run / "telemetry.csv").write_text("t,yaw_deg\n0.0,1.5\n")
    (run / "run.json").write_text(json.dumps({"format": 1, "satellite": "blinker", "address": RUN}))

    def snapshot():
        return sorted((p, os.stat(os.path.join(p, n)).st_mtime_ns, n)
                      for p, _, names in os.walk(tmp_path) for n in names if "review" not in n)

    before = snapshot()
    for folder, sat, lines in ((st.dir, A, 2), (str(run), RUN, 1)):
        rv = Station(str(tmp_path), ["--review", folder], single=False, name="review")
        try:
            assert (rv.log_port, rv.ftp_port) == (0, 0)
            # The page's header says what it reviews.
            info = rv.json("/api/station")
            assert info["review"] is True and info["folder"].startswith(folder)
            assert [(s["id"], s["lines"]) for s in rv.json("/api/satellites")] == [(sat, lines)]
            assert len(rv.json("/api/log")["lines"]) == lines
            assert rv.post("/api/ingest/register", {"run": "r", "secret": "s" * 20}, source=A)[0] == 403
        finally:
            assert rv.stop() == 0
    assert snapshot() == before
    assert not os.path.exists(os.path.join(tmp_path, "review"))


def test_per_run_station_relays_everything_under_its_run(tmp_path):
    shared = Station(str(tmp_path), single=False, name="shared")
    run_dir = tmp_path / "run"
    csv = run_dir / "telemetry.csv"
    run_dir.mkdir()
    csv.write_text("t,yaw_deg,rate_dps,lamp_angle_deg\n0.0,1.0,0.5,59.0\n")
    own = Station(str(tmp_path), ["--upstream", shared.url, "--telemetry", str(csv),
                                  "--run-id", "r7", "--name", "Grace Hopper"], bind=RUN,
                  directory=str(run_dir / "ground"), name="run")
    try:
        own.send([hello("sun_pointing"), b"one\n", b"two\n"])
        photo = jpeg_bytes((0, 0, 250))
        assert own.upload("7.jpeg", photo).startswith("226")
        with open(csv, "a") as f:
            f.write("0.1,1.2,0.4,58.8\n")
        assert wait_for(lambda: len(shared.lines_of("satellites", "r7", "log.txt")) == 3)
        assert wait_for(lambda: len(shared.json("/api/sat/r7/telemetry")["rows"]) == 2)
        assert wait_for(lambda: shared.json("/api/sat/r7/photos"))
        (run_dir / "run.json").write_text(json.dumps({"address": RUN, "exit_status": 143,
                                                      "time_limited": True}))
    finally:
        assert own.stop() == 0
    try:
        assert wait_for(lambda: by_id(shared)["r7"]["state"] == "ended")
        assert list(by_id(shared)) == ["r7"]
        sat = by_id(shared)["r7"]
        assert (sat["name"], sat["exit_status"], sat["lines"], sat["photos"]) == (
            "Grace Hopper", 143, 3, 1)
        # The tile tells a run stopped at its time limit from one killed,
        # and names the run.
        assert (sat["time_limited"], sat["run"]) == (True, "r7")
        assert shared.get("/photos/r7/7.jpeg") == photo
        assert shared.lines_of("satellites", "r7", "log.txt")[1:] == ["one", "two"]
        # The run's own folder holds them too.
        assert own.lines_of("log.txt")[1:] == ["one", "two"]
        assert os.path.exists(run_dir / "ground" / "incoming" / "7.jpeg")
    finally:
        assert shared.stop() == 0


def test_an_upstream_that_does_not_answer_is_an_error_at_start(tmp_path):
    with pytest.raises(AssertionError, match="ground station ended"):
        Station(str(tmp_path), ["--upstream", "http://127.0.0.1:9/"], bind=RUN, name="run")
    with open(tmp_path / "run.stderr") as f:
        said = f.read()
    assert "--upstream http://127.0.0.1:9/: no kelvex ground station answers there" in said
