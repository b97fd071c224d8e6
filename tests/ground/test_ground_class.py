"""One station for a class: satellites told apart by source address, their
log, photos, telemetry and status each in a place of its own, kept across a
restart, served again read-only, and relayed from a per-run station."""

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

        columns = ["t", "yaw_deg", "rate_dps", "lamp_angle_deg"]
        assert st.post("/api/ingest/telemetry", {"columns": columns, "rows": [[0.0, 1.0, 0.5, 59.0],
                                                                             [0.1, 1.1, 0.4, 58.9]],
                                                 "generation": 1}, source=B)[0] == 200
        assert st.post("/api/ingest/status", {"state": "ended", "exit_status": 3}, source=A)[0] == 200
        assert st.post("/api/ingest/status", {"state": "over"}, source=A)[0] == 400
        assert st.post("/api/ingest/telemetry", {"columns": ["t"], "rows": [[1, 2]]}, source=A)[0] == 400

        sats = by_id(st)
        assert list(sats) == [A, B]
        assert (sats[A]["name"], sats[A]["state"], sats[A]["exit_status"]) == ("sun_pointing", "ended", 3)
        assert "ended with status 3" in sats[A]["alarms"]
        assert (sats[B]["name"], sats[B]["state"], sats[B]["exit_status"]) == ("blinker", "running", None)
        assert (sats[B]["pointing_deg"], sats[B]["rate_dps"], sats[B]["lines"]) == (58.9, 0.4, 3)
        assert (sats[A]["last_photo"], sats[A]["photos"]) == ("1.jpeg", 1)
        page = st.json("/api/sat/%s/log?since=1" % B)
        assert ([x["n"] for x in page["lines"]], page["next"], page["dropped"]) == ([1, 2], 3, 0)
        assert st.json("/api/sat/%s/telemetry?since=1" % B)["rows"] == [[0.1, 1.1, 0.4, 58.9]]
        # The desk endpoints mean the first satellite heard.
        assert [x["text"] for x in st.json("/api/log")["lines"]][1:] == ["a1", "a2"]
    finally:
        assert st.stop() == 0
    with open(os.path.join(st.dir, "satellites", A, "status.json")) as f:
        assert json.load(f)["exit_status"] == 3

    again = Station(str(tmp_path), single=False)
    try:
        sats = by_id(again)
        assert list(sats) == [A, B]
        assert [sats[A]["name"], sats[B]["name"], sats[A]["lines"], sats[A]["state"]] == \
            ["sun_pointing", "blinker", 3, "ended"]
        assert [x["text"] for x in again.json("/api/sat/%s/log" % B)["lines"]][1:] == ["b1", "b2\\x1b[2J"]
        assert len(again.json("/api/sat/%s/telemetry" % B)["rows"]) == 2
        # A new start of the program is a new run.
        again.send([hello("sun_pointing")], source=A)
        assert wait_for(lambda: by_id(again)[A]["state"] == "running")
        assert by_id(again)[A]["exit_status"] is None
    finally:
        assert again.stop() == 0


def test_ingest_only_from_the_addresses_configured(tmp_path):
    st = configured(str(tmp_path), '[ingest]\nfrom = ["127.0.0.9/32"]\n[quotas]\nsatellite_mb = 1\n', single=False)
    try:
        status = {"state": "running", "name": "probe"}
        code, text = st.post("/api/ingest/status", status, source=A)
        assert code == 403 and A in text
        assert st.post("/api/ingest/status", status, source="127.0.0.9")[0] == 200
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
            assert rv.post("/api/ingest/status", {"state": "ended"}, source=A)[0] == 403
        finally:
            assert rv.stop() == 0
    assert snapshot() == before
    assert not os.path.exists(os.path.join(tmp_path, "review"))


def test_per_run_station_relays_everything_from_its_own_address(tmp_path):
    shared = Station(str(tmp_path), single=False, name="shared")
    run_dir = tmp_path / "run"
    csv = run_dir / "telemetry.csv"
    run_dir.mkdir()
    csv.write_text("t,yaw_deg,rate_dps,lamp_angle_deg\n0.0,1.0,0.5,59.0\n")
    own = Station(str(tmp_path), ["--upstream", shared.url, "--telemetry", str(csv)], bind=RUN,
                  directory=str(run_dir / "ground"), name="run")
    try:
        own.send([hello("sun_pointing"), b"one\n", b"two\n"])
        photo = jpeg_bytes((0, 0, 250))
        assert own.upload("7.jpeg", photo).startswith("226")
        with open(csv, "a") as f:
            f.write("0.1,1.2,0.4,58.8\n")
        assert wait_for(lambda: len(shared.lines_of("satellites", RUN, "log.txt")) == 3)
        assert wait_for(lambda: len(shared.json("/api/sat/%s/telemetry" % RUN)["rows"]) == 2)
        assert wait_for(lambda: shared.json("/api/sat/%s/photos" % RUN))
        (run_dir / "run.json").write_text(json.dumps({"address": RUN, "exit_status": 143,
                                                      "time_limited": True}))
    finally:
        assert own.stop() == 0
    try:
        assert wait_for(lambda: by_id(shared)[RUN]["state"] == "ended")
        sat = by_id(shared)[RUN]
        assert (sat["name"], sat["exit_status"], sat["lines"], sat["photos"]) == (
            "sun_pointing", 143, 3, 1)
        # The tile tells a run stopped at its time limit from one killed,
        # and names the run.
        assert (sat["time_limited"], sat["run"]) == (True, "run")
        assert shared.get("/photos/%s/7.jpeg" % RUN) == photo
        assert shared.lines_of("satellites", RUN, "log.txt")[1:] == ["one", "two"]
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
