"""How `kelvex-sim run` starts its per-run ground station: a stand-in
station next to a copy of the simulator records the command line it got."""

import json
import os
import re
import shutil
import stat
import subprocess
import textwrap

import pytest

FAKE_STATION = textwrap.dedent("""\
    #!/usr/bin/python3
    import os, signal, sys, time
    args = sys.argv[1:]
    if os.environ.get("FAKE_STATION_OLD") and "--single" in args:
        sys.exit("usage: kelvex-ground [-h] ...\\n"
                 "kelvex-ground: error: unrecognized arguments: --single")
    opt = lambda name: args[args.index(name) + 1]
    with open(os.path.join(opt("--dir"), "args"), "a") as f:
        f.write(" ".join(args) + "\\n")
    ready = opt("--ready-file")
    with open(ready + ".tmp", "w") as f:
        f.write("log_port=4567\\nftp_port=2121\\nhttp_port=8080\\nurl=http://%s:8080/\\ndir=%s\\n"
                % (opt("--bind"), opt("--dir")))
    os.replace(ready + ".tmp", ready)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    time.sleep(60)
""")


@pytest.fixture
def sim(tmp_path):
    """kelvex-sim in bin/ with the stand-in as ../ground/kelvex-ground."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    real = os.path.join(build, "sim", "kelvex-sim") if build else None
    if not real or not os.access(real, os.X_OK):
        pytest.skip("needs the build tree's kelvex-sim (KELVEX_BUILD_DIR)")
    (tmp_path / "bin").mkdir()
    (tmp_path / "ground").mkdir()
    shutil.copy(real, tmp_path / "bin" / "kelvex-sim")
    station = tmp_path / "ground" / "kelvex-ground"
    station.write_text(FAKE_STATION)
    station.chmod(station.stat().st_mode | stat.S_IXUSR)
    return str(tmp_path / "bin" / "kelvex-sim")


def fly(sim, run_dir, *options, env=None):
    # The mission shows what it was handed.
    r = subprocess.run([sim, "run", "--no-plot", "--run-dir", str(run_dir)] + list(options) +
                       ["--", "/bin/sh", "-c", 'echo "args: $*"; echo "ftp: $KELVEX_FTP_PATH"',
                        "mission"],
                       env=dict(os.environ, **(env or {})), capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout, (run_dir / "ground" / "args").read_text().splitlines()


def test_station_gets_the_runs_address_folder_and_the_shared_station(sim, tmp_path):
    run = tmp_path / "run"
    out, started = fly(sim, run, "--station", "http://127.0.0.1:8765/", "--http-port", "8090")
    address = json.loads((run / "run.json").read_text())["address"]
    assert json.loads((run / "run.json").read_text())["station"] == "http://127.0.0.1:8765/"
    assert len(started) == 1, started
    assert re.fullmatch(
        r"--single --bind %s --log-port 4567 --ftp-port 0 --http-port 8090 --dir %s "
        r"--telemetry %s --ready-file \S+ --upstream http://127\.0\.0\.1:8765/ --control \S+ --state \S+"
        % (re.escape(address), re.escape(str(run / "ground")), re.escape(str(run / "telemetry.csv"))),
        started[0]), started[0]
    url = "ftp://%s:2121/incoming" % address
    assert "args: -z %s -f %s /dev/pts/" % (address, url) in out, out
    assert "ftp: %s\n" % url in out, out
    assert "ground station page http://%s:8080/" % address in out, out


def test_a_station_without_single_is_started_without_it(sim, tmp_path):
    out, started = fly(sim, tmp_path / "run", env={"FAKE_STATION_OLD": "1"})
    assert len(started) == 1 and started[0].startswith("--bind 127.0.0."), started
    assert "ground station page http://127.0.0." in out, out
