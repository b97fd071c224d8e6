"""The ground station's log channel: bursts, text forms, the append-only
file, and the telemetry file it follows for the page."""

import datetime
import os
import subprocess

from groundkit import Station, program, station, wait_for  # noqa: F401 (fixture)

BURST = 1000


def fetch_all_lines(st):
    lines, since = [], 0
    for _ in range(BURST):
        page = st.json("/api/log?since=%d" % since)
        if not page["lines"]:
            break
        lines += page["lines"]
        since = page["next"]
    return lines


def test_burst_of_datagrams_none_lost_order_kept(station):
    expected = ["burst %04d of the sun-pointing mission" % i for i in range(BURST)]
    station.send([(t + "\n").encode() for t in expected])

    assert wait_for(lambda: len(station.log_file_lines()) >= BURST), \
        "only %d lines arrived" % len(station.log_file_lines())
    file_lines = station.log_file_lines()
    assert len(file_lines) == BURST
    stamps = [datetime.datetime.strptime(line[:23], "%Y-%m-%d %H:%M:%S.%f") for line in file_lines]
    assert stamps == sorted(stamps)
    assert [line[24:] for line in file_lines] == expected

    served = fetch_all_lines(station)
    assert [x["text"] for x in served] == expected
    assert [x["seq"] for x in served] == list(range(BURST))
    assert [x["time"] for x in served] == [line[:23] for line in file_lines]

    assert station.stop() == 0
    assert station.stdout().splitlines() == expected


def test_datagram_forms_become_one_line_each(station):
    station.send([
        b"The mission says 'HELLO' to 127.0.0.1:4567\n",
        b"no newline at the end",
        b"two\nlines\n",
        b"\x00\x01\x02",
        b"",
        "temp\u00e9rature 21\u00b0C\n".encode(),
        b"\xff\xfe bad utf-8",
        b"a\\x00 typed by hand",
        "C1 \u0085\u009b31m, bidi \u202eevil\u202c \u2066x\u2069, \ufffe\ufeff\u2028".encode(),
    ])
    assert wait_for(lambda: len(station.log_file_lines()) >= 9)
    texts = [line[24:] for line in station.log_file_lines()]
    assert texts == [
        "The mission says 'HELLO' to 127.0.0.1:4567",
        "no newline at the end",
        "two\\nlines",
        "\\x00\\x01\\x02",
        "",
        "temp\u00e9rature 21\u00b0C",
        "\\xff\\xfe bad utf-8",
        "a\\\\x00 typed by hand",
        "C1 \\u0085\\u009b31m, bidi \\u202eevil\\u202c \\u2066x\\u2069, \\ufffe\\ufeff\\u2028",
    ]
    assert [x["text"] for x in fetch_all_lines(station)] == texts
    assert station.stop() == 0
    # The terminal gets the lines of log.txt: no sender's control
    # sequence reaches it.
    assert station.stdout().splitlines() == texts


def test_log_file_is_appended_across_runs(tmp_path):
    for word in ("first", "second"):
        st = Station(str(tmp_path))
        try:
            # The page shows the earlier run's lines again.
            assert [x["text"] for x in st.json("/api/log")["lines"]] == ([] if word == "first" else ["first"])
            st.send([word.encode()])
            assert wait_for(lambda: any(line.endswith(word) for line in st.log_file_lines()))
        finally:
            assert st.stop() == 0
    assert [line[24:] for line in st.log_file_lines()] == ["first", "second"]


def test_busy_port_is_reported(station, tmp_path):
    cmd_dir = tmp_path / "second"
    cmd_dir.mkdir()
    r = subprocess.run(program("kelvex-ground") + [
        "--dir", str(cmd_dir), "--log-port", str(station.log_port), "--ftp-port", "0",
        "--http-port", "0"], capture_output=True, text=True, timeout=30)
    assert r.returncode == 1
    assert r.stderr.startswith("kelvex-ground: ")


def test_telemetry_file_appearing_growing_and_starting_over(tmp_path):
    csv = tmp_path / "telemetry.csv"
    st = Station(str(tmp_path), ["--telemetry", str(csv)])
    try:
        empty = st.json("/api/telemetry?since=0")
        assert (empty["columns"], empty["rows"], empty["next"]) == ([], [], 0)

        with open(csv, "w") as f:
            f.write("t,yaw_deg,rate_dps,wheel_rpm,lamp_angle_deg\n0.0,1.5,0.1,0,58.5\n0.1,1.6,0.2,10,58.4\n0.2,1.")
        first = st.json("/api/telemetry?since=0")
        assert first["columns"] == ["t", "yaw_deg", "rate_dps", "wheel_rpm", "lamp_angle_deg"]
        # The half-written last line waits for its end.
        assert first["rows"] == [[0.0, 1.5, 0.1, 0.0, 58.5], [0.1, 1.6, 0.2, 10.0, 58.4]]
        assert first["next"] == 2

        with open(csv, "a") as f:
            f.write("7,0.3,20,58.3\n0.3,oops,nan,inf,58.2\n")
        more = st.json("/api/telemetry?since=2")
        assert more["rows"] == [[0.2, 1.7, 0.3, 20.0, 58.3], [0.3, None, None, None, 58.2]]
        assert more["generation"] == first["generation"]
        assert st.json("/api/telemetry?since=4")["rows"] == []

        new_run = tmp_path / "new.csv"
        new_run.write_text("t,yaw_deg,battery_charge\n0.0,0.0,1.5\n")
        os.replace(new_run, csv)
        again = st.json("/api/telemetry?since=4")
        assert again["generation"] != first["generation"]
        assert again["columns"] == ["t", "yaw_deg", "battery_charge"]
        assert st.json("/api/telemetry?since=0")["rows"] == [[0.0, 0.0, 1.5]]
    finally:
        assert st.stop() == 0
