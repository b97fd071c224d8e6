"""Shared helpers of the ground station tests: starting the station on free
loopback ports, talking to it, and finding its programs in the build tree (or
in the sources when run outside ctest)."""

import json
import os
import signal
import socket
import subprocess
import time
import urllib.request

import pytest

SOURCE_GROUND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ground")


def program(name):
    """Command that runs kelvex-ground or the streamer stand-in."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    if build:
        path = os.path.join(build, "ground", "bin" if name == "streamer" else "", name)
        if os.access(path, os.X_OK):
            return [path]
    return ["/usr/bin/python3", os.path.join(SOURCE_GROUND, name)]


def simulator():
    """The build tree's kelvex-sim; skips the test without one."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    path = os.path.join(build, "sim", "kelvex-sim") if build else None
    if not path or not os.access(path, os.X_OK):
        pytest.skip("needs the build tree's kelvex-sim (KELVEX_BUILD_DIR)")
    return path


def bin_dir():
    """Directory a simulated mission gets first on its PATH."""
    build = os.environ.get("KELVEX_BUILD_DIR")
    if build and os.access(os.path.join(build, "ground", "bin", "streamer"), os.X_OK):
        return os.path.join(build, "ground", "bin")
    return None


def wait_for(condition, timeout=10.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


class Station:
    def __init__(self, root, extra=()):
        self.root = root
        self.dir = os.path.join(root, "station")
        self.ready = os.path.join(root, "ready")
        self.stdout_path = os.path.join(root, "stdout")
        self.stderr_path = os.path.join(root, "stderr")
        cmd = program("kelvex-ground") + [
            "--dir", self.dir, "--log-port", "0", "--ftp-port", "0", "--http-port", "0",
            "--print-log", "--ready-file", self.ready, *extra]
        if os.path.exists(self.ready):
            os.remove(self.ready)
        with open(self.stdout_path, "ab") as out, open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen(cmd, stdout=out, stderr=err)
        if not wait_for(lambda: os.path.exists(self.ready) or self.proc.poll() is not None, 15):
            self.stop()
            raise AssertionError("ground station did not get ready")
        if self.proc.poll() is not None:
            raise AssertionError("ground station ended: " + self.stderr())
        with open(self.ready) as f:
            self.info = dict(line.rstrip("\n").split("=", 1) for line in f)
        self.log_port = int(self.info["log_port"])
        self.ftp_port = int(self.info["ftp_port"])
        self.http_port = int(self.info["http_port"])
        self.url = self.info["url"]

    def send(self, payloads):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for p in payloads:
                s.sendto(p, ("127.0.0.1", self.log_port))

    def get(self, path):
        with urllib.request.urlopen(self.url.rstrip("/") + path, timeout=10) as r:
            return r.read()

    def json(self, path):
        return json.loads(self.get(path))

    def log_file_lines(self):
        try:
            with open(os.path.join(self.dir, "log.txt"), encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stdout(self):
        with open(self.stdout_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        return self.proc.returncode


@pytest.fixture
def station(tmp_path):
    st = Station(str(tmp_path))
    yield st
    assert st.stop() == 0, st.stderr()


def sim_state(path, **values):
    with open(path, "w") as f:
        f.writelines("%s=%s\n" % kv for kv in values.items())
    return path
