"""The lab deployment: the shipped settings run a station that takes the
boards' ports 21, 4567 and 8080 as an ordinary user given only the right to
bind low ports, as the service does; bad settings are refused by name."""

import json
import os
import pathlib
import re
import random
import shutil
import socket
import subprocess
import tempfile
import urllib.request

import pytest

from groundkit import SOURCE_GROUND, configured, jpeg_bytes, program, wait_for

SETTINGS = os.path.join(SOURCE_GROUND, "lab", "ground.toml")
SETPRIV = shutil.which("setpriv")
CURL = shutil.which("curl")


def run_station(extra, user_caps, cwd):
    """kelvex-ground as nobody, with CAP_NET_BIND_SERVICE or without."""
    caps = ["--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service"] if user_caps else []
    cmd = [SETPRIV, "--reuid=nobody", "--regid=nogroup", "--clear-groups", *caps, "--",
           *program("kelvex-ground"), "--config", SETTINGS, *extra]
    return subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))


@pytest.fixture
def lab_home():
    """A folder the user nobody can reach (pytest's own are root's alone)."""
    home = pathlib.Path(tempfile.mkdtemp(prefix="kelvex-lab-", dir="/tmp"))
    os.chmod(home, 0o777)
    yield home
    shutil.rmtree(home, ignore_errors=True)


@pytest.mark.skipif(os.geteuid() != 0 or SETPRIV is None or CURL is None,
                    reason="needs root (to become nobody), setpriv and curl")
def test_shipped_settings_take_the_boards_ports_without_root(lab_home):
    home = lab_home
    # An address of its own, so that no other station on this machine is in the way.
    address = "127.77.%d.%d" % (random.randint(0, 255), random.randint(2, 254))
    ready = home / "ready"
    # The shipped list names the lab network's boards; this one is on loopback.
    extra = ["--bind", address, "--dir", str(home / "station"), "--ready-file", str(ready),
             "--board", "127.0.0.5"]

    denied = run_station(extra, False, str(home))
    assert denied.wait(30) == 1
    # The port, not a file: the error names no path.
    assert denied.stderr.read().decode().endswith("kelvex-ground: [Errno 13] Permission denied\n")

    proc = run_station(extra, True, str(home))
    try:
        assert wait_for(lambda: ready.exists() or proc.poll() is not None, 30), "no ready file"
        assert proc.poll() is None, proc.stderr.read().decode()
        info = dict(line.split("=", 1) for line in ready.read_text().splitlines())
        assert (info["log_port"], info["ftp_port"], info["http_port"]) == ("4567", "21", "8080")

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.5", 0))
            s.sendto(b"The sun_pointing says 'HELLO' to %s:4567\n" % address.encode(), (address, 4567))
        photo = home / "7.jpeg"
        photo.write_bytes(jpeg_bytes())
        # The board's default upload URL: no port.
        r = subprocess.run([CURL, "-sS", "--max-time", "20", "--interface", "127.0.0.5", "-T", str(photo),
                            "ftp://%s/incoming/20190305140309-7.jpeg" % address],
                           capture_output=True, timeout=60)
        assert r.returncode == 0, r.stderr

        def satellites():
            with urllib.request.urlopen("http://%s:8080/api/satellites" % address, timeout=10) as a:
                return json.loads(a.read())
        assert wait_for(lambda: [(s["name"], s["photos"]) for s in satellites()] == [("sun_pointing", 1)])
        st = os.stat(home / "station" / "satellites" / "127.0.0.5" / "incoming" / "20190305140309-7.jpeg")
        assert st.st_uid == 65534
    finally:
        proc.terminate()
        assert proc.wait(30) == 0


def test_settings_are_checked_by_name(tmp_path):
    for text, message in (("[station]\nlog_prot = 1\n", "unknown setting [station] log_prot"),
                          ("[quotas]\ntotal_mb = \"lots\"\n", "[quotas] total_mb must be a int or float"),
                          ("[ftp]\npassive_ports = [9, 2]\n", "passive_ports must be [FIRST, LAST]"),
                          ("station = 1\n", "'station' is not a table"),
                          ("[station\n", "ground.toml")):
        path = tmp_path / "ground.toml"
        path.write_text(text)
        r = subprocess.run(program("kelvex-ground") + ["--config", str(path)], capture_output=True,
                           text=True, timeout=30)
        assert r.returncode == 2 and message in r.stderr, r.stderr
    # The command line wins over the file.
    st = configured(str(tmp_path), '[station]\ndir = "/nonexistent/never"\nhttp_port = 1\n')
    try:
        assert st.dir.startswith(str(tmp_path)) and st.http_port != 1
    finally:
        assert st.stop() == 0


SYSTEMD_ANALYZE = shutil.which("systemd-analyze")


@pytest.mark.skipif(SYSTEMD_ANALYZE is None, reason="systemd-analyze is not installed")
def test_the_shipped_unit_is_hardened_and_bounded(tmp_path):
    with open(os.path.join(SOURCE_GROUND, "lab", "kelvex-ground.service.in")) as f:
        text = f.read()
    unit = tmp_path / "kelvex-ground.service"
    unit.write_text(text.replace("@KELVEX_GROUND_BIN@", "/usr/bin/kelvex-ground")
                        .replace("@KELVEX_GROUND_CONFIG@", "/etc/kelvex/ground.toml"))
    r = subprocess.run([SYSTEMD_ANALYZE, "security", "--offline=true", "--no-pager", unit.name],
                       cwd=tmp_path, capture_output=True, text=True, timeout=120)
    if "--offline" in r.stderr and r.returncode != 0:
        pytest.skip("this systemd-analyze cannot score a unit offline: %s" % r.stderr.strip())
    scores = [float(x) for x in re.findall(r"Overall exposure level for \S+: (\d+\.\d+)", r.stdout)]
    assert scores and scores[0] <= 2.0, r.stdout[-3000:] + r.stderr
    # A runaway station is stopped by its limits, not by the machine's.
    settings = dict(line.split("=", 1) for line in text.splitlines() if "=" in line
                    and not line.startswith("#"))
    assert settings.get("MemoryMax") and settings.get("TasksMax")
