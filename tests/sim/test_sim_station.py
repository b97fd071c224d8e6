"""How `kelvex-sim run` hosts its ground station: on the run's address, in
the run folder, reporting to a real class station (`--station URL`), which
reads back how each run ended; and the escaping every log line gets once,
for the file and the console alike."""

import json
import os
import re
import subprocess
import sys

import pytest

from groundkit import SOURCE_GROUND, Station, simulator, wait_for

# Missions that end every way a run records: cleanly, with a status of their
# own, by a crash, and stopped at the time limit.
ENDINGS = {
    "clean": (["/bin/sh", "-c", 'echo "args: $*"; echo "ftp: $KELVEX_FTP_PATH"', "mission"], 0),
    "three": (["/bin/sh", "-c", "exit 3"], 3),
    "crash": (["/usr/bin/python3", "-c", "import os, signal; os.kill(os.getpid(), signal.SIGSEGV)"],
              139),
    "slow": (["/bin/sh", "-c", "exec sleep 60"], 143),
}


@pytest.fixture(scope="module")
def class_runs(tmp_path_factory):
    sim = simulator()
    root = tmp_path_factory.mktemp("class_runs")
    shared = Station(str(root), single=False, name="class")
    try:
        procs = {}
        for name, (program, _) in ENDINGS.items():
            procs[name] = subprocess.Popen(
                [sim, "run", "--no-plot", "--time-limit", "3", "--name", name,
                 "--station", shared.url, "--run-dir", str(root / name), "--"] + program,
                cwd=root, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        runs = {}
        for name, proc in procs.items():
            try:
                out, _ = proc.communicate(timeout=120)
            finally:
                proc.kill()
            record = json.loads((root / name / "run.json").read_text())
            runs[name] = {"status": proc.returncode, "out": out, "record": record,
                          "dir": root / name}
        by_id = lambda: {s["id"]: s for s in shared.json("/api/satellites")}
        # The last word of each run reaches the class station as its own
        # station ends.
        wait_for(lambda: all(by_id().get(r["record"]["run_id"], {}).get("state") == "ended"
                             for r in runs.values()), timeout=20)
        yield runs, by_id(), shared
    finally:
        shared.stop()


def test_the_class_station_reads_back_how_each_run_ended(class_runs):
    runs, satellites, _ = class_runs
    for name, (_, expected) in ENDINGS.items():
        run = runs[name]
        assert run["status"] == expected, run["out"]
        assert run["record"]["exit_status"] == expected
        assert run["record"]["time_limited"] is (name == "slow")
        # Each run is the record of the id it registered, named --name.
        sat = satellites[run["record"]["run_id"]]
        assert (sat["state"], sat["exit_status"]) == ("ended", expected), (name, sat)
        # What the tile says: the student's name, the run (its folder's name
        # and digits of its own), and a stop at the time limit told apart
        # from a kill.
        assert (sat["name"], sat["address"]) == (name, run["record"]["address"])
        assert sat["run"].startswith(name + "-") and sat["time_limited"] is (name == "slow"), (name, sat)
        with open(run["dir"] / "ground" / "status.json") as f:
            assert json.load(f)["exit_status"] == expected
    # Sealed runs may all fly at the board's own address in networks of
    # their own: the class station keeps them apart by run id, never merged.
    assert len({r["record"]["run_id"] for r in runs.values()}) == len(ENDINGS)
    assert len(satellites) == len(ENDINGS)


def test_the_station_serves_the_runs_address_and_folder(class_runs):
    runs, _, shared = class_runs
    run = runs["clean"]
    address = run["record"]["address"]
    assert re.fullmatch(r"127\.0\.0\.\d+", address)
    assert run["record"]["station"] == shared.url
    m = re.search(r"ftp: (ftp://%s:(\d+)/incoming)\n" % re.escape(address), run["out"])
    assert m, run["out"]
    # The line's path: the mission's room's own when it is sealed.
    assert re.search("args: -z %s -f %s (/dev/pts/|/run/kelvex/line)"
                     % (re.escape(address), re.escape(m.group(1))), run["out"]), run["out"]
    page = re.search(r"ground station page http://%s:\d+/, photos arrive in (\S+)/incoming\n"
                     % re.escape(address), run["out"])
    assert page and page.group(1) == str(run["dir"] / "ground"), run["out"]
    assert "instructor's panel http://%s:" % address in run["out"]


def test_each_datagram_is_escaped_once_as_the_log_file_keeps_it():
    if SOURCE_GROUND not in sys.path:
        sys.path.insert(0, SOURCE_GROUND)
    from kelvex_ground.logstore import datagram_text
    assert datagram_text(b"one\n") == "one"
    assert datagram_text(b"two\n\n") == "two\\n"
    assert datagram_text(b"tab\tkept, del \x7f, nul \x00") == "tab\tkept, del \\x7f, nul \\x00"
    assert datagram_text("caf\u00e9 \U0001f6f0".encode()) == "caf\u00e9 \U0001f6f0"
    # Not UTF-8: overlong, a surrogate, cut short, beyond U+10FFFF.
    assert datagram_text(b"\xc0\xaf \xed\xa0\x80 \xe2\x82 \xf4\x90\x80\x80") == \
        "\\xc0\\xaf \\xed\\xa0\\x80 \\xe2\\x82 \\xf4\\x90\\x80\\x80"


def test_a_shared_station_that_cannot_be_reported_to_ends_the_run_before_it_flies(tmp_path):
    r = subprocess.run([simulator(), "run", "--no-plot", "--station", "ftp://127.0.0.1/",
                        "--run-dir", str(tmp_path / "run"), "--", "/bin/true"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "the ground station did not come up (--upstream: an http:// address" in r.stderr
    assert not (tmp_path / "run" / "run.json").exists()
    r = subprocess.run([simulator(), "run", "--no-ground", "--station", "http://127.0.0.1:1/",
                        "--run-dir", str(tmp_path / "other"), "--", "/bin/true"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1 and "--station needs kelvex-ground, not --no-ground" in r.stderr


def test_a_shared_station_that_does_not_answer_ends_the_run_before_it_flies(tmp_path):
    marker = tmp_path / "flown"
    r = subprocess.run([simulator(), "run", "--no-plot", "--run-dir", str(tmp_path / "run"),
                        "--station", "http://127.0.0.1:9/", "--", "/bin/sh", "-c",
                        "touch %s" % marker], capture_output=True, text=True, timeout=60)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "--upstream http://127.0.0.1:9/: no kelvex ground station answers there" in r.stderr
    assert not marker.exists()


LOADS_AT_START = r"""
import socket, sys
sys.path[:0] = [LAB, GROUND]
import kelvex_lab.cli, kelvex_lab.flight, kelvex_ground.station
from kelvex_ground import relay, web
relay.new_run_id("case-1")
page = web.WebServer("127.0.0.1", 0, data=None, instructor=web.Instructor(None))
heavy = ("ssl", "http.client", "http.server", "email", "_hashlib", "crypt", "multiprocessing")
print(sorted(m for m in heavy if m in sys.modules))
page.start()
with socket.create_connection(("127.0.0.1", page.port), timeout=10) as s:
    s.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % page.port)
    answer = b""
    while chunk := s.recv(65536):
        answer += chunk
page.stop()
print(answer.split(b"\r\n")[0].decode(), "http.server" in sys.modules)
"""


def test_a_runs_station_loads_the_pages_parser_at_the_first_request_only():
    # A graded run's page is never asked for: its station starts without the
    # standard library's HTTP parser (which loads the HTTP client, e-mail
    # and TLS), OpenSSL's hashes, or pyftpdlib's optional modules; the page
    # still answers its first request.
    here = os.path.dirname(os.path.abspath(__file__))
    code = LOADS_AT_START.replace("LAB, GROUND", repr(os.path.join(here, "..", "..", "lab")) + ", "
                                  + repr(SOURCE_GROUND))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["[]", "HTTP/1.0 200 OK True"]
