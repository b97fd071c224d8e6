"""The station under what a full disk, a closed terminal and an outside
sender do to it: nothing lost without being counted and shown, memory
bounded, no cut upload taken for a photo, no image decoded past a bound."""

import io
import os
import socket
import subprocess
import sys
import time
import ftplib

import pytest
from PIL import Image

from groundkit import SOURCE_GROUND, Station, configured, jpeg_bytes, rss_mb, wait_for

sys.path.insert(0, SOURCE_GROUND)
from kelvex_ground.logstore import Receiver, open_udp  # noqa: E402

A, B = "127.0.0.5", "127.0.0.6"


def whole_lines(path):
    """The file's lines, after checking that none is cut."""
    with open(path, "rb") as f:
        data = f.read()
    assert not data or data.endswith(b"\n"), "half a line at the end: %r" % data[-40:]
    lines = data.decode().splitlines()
    assert all(len(x) > 24 and x[4] == "-" and x[23] == " " for x in lines)
    return [x[24:] for x in lines]


@pytest.fixture
def small_disk(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(disk)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs (needs root)")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], check=False)


def test_full_disk_keeps_the_lines_and_writes_them_once_it_can(tmp_path, small_disk):
    st = Station(str(tmp_path), directory=str(small_disk / "station"))
    try:
        st.send([b"before\n"])
        assert wait_for(lambda: st.lines_of("log.txt") == ["before"])
        filler = small_disk / "filler"
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"x" * 4096):
                pass
        except OSError:
            pass
        finally:
            os.close(fd)
        texts = ["while full %03d %s" % (i, "y" * 60) for i in range(300)]
        for i in range(0, 300, 50):
            st.send([(x + "\n").encode() for x in texts[i:i + 50]])
            time.sleep(0.1)
        # The page still gets every line.
        assert wait_for(lambda: st.json("/api/log?since=0")["next"] == 301)
        assert "cannot write" in st.stderr()
        assert whole_lines(os.path.join(st.dir, "log.txt"))[0] == "before"
        assert any("log.txt cannot be written" in a for a in st.json("/api/satellites")[0]["alarms"])

        os.remove(filler)
        assert wait_for(lambda: len(st.lines_of("log.txt")) == 301)
        assert whole_lines(os.path.join(st.dir, "log.txt")) == ["before"] + texts
        assert st.stderr().count("cannot write") == 1
        assert "writing %s again" % os.path.join(st.dir, "log.txt") in st.stderr()
    finally:
        assert st.stop() == 0


def test_closed_standard_output_is_said_once_and_the_log_goes_on(tmp_path):
    st = Station(str(tmp_path), stdout=subprocess.PIPE)
    try:
        st.send([b"first\n"])
        assert st.proc.stdout.readline() == b"first\n"
        # As `kelvex-ground --print-log | head -1` does.
        st.proc.stdout.close()
        for i in range(5):
            st.send([b"after %d\n" % i for i in range(100)])
            time.sleep(0.05)
        assert wait_for(lambda: len(st.lines_of("log.txt")) == 501)
        assert st.stderr().count("standard output is closed") == 1
        assert "standard output is closed" in st.json("/api/station")["alarms"]
    finally:
        assert st.stop() == 0
    assert "Traceback" not in st.stderr()


def test_receiver_queue_is_bounded_and_counts_what_it_drops():
    sock = open_udp("127.0.0.1", 0)
    receiver = Receiver(sock, queue_bytes=1024 * 1024)
    receiver.start()
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((A, 0))
            for i in range(100):
                s.sendto(bytes([65 + i % 26]) * 60000, ("127.0.0.1", receiver.port))
        assert wait_for(lambda: receiver.received + receiver.dropped_kernel == 100)
        kept = receiver.take()
        assert receiver.peak_bytes <= 1024 * 1024
        assert len(kept) == 17 and len(kept) + receiver.dropped_queue + receiver.dropped_kernel == 100
        assert receiver.dropped_by[A] == receiver.dropped_queue
        # Once emptied it takes datagrams again.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(b"again", ("127.0.0.1", receiver.port))
        assert wait_for(lambda: receiver.take() and True)
    finally:
        receiver.stop()


def test_flood_of_large_datagrams_stays_bounded_and_is_counted(tmp_path):
    st = Station(str(tmp_path), single=False)
    try:
        sent = 0
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((A, 0))
            start = time.monotonic()
            # 150 datagrams of 64 KB a second; bench/experiments/station-flood runs the full minute.
            while time.monotonic() - start < 3.0:
                for _ in range(15):
                    s.sendto(b"\x1b" * 65000, (st.bind, st.log_port))
                    sent += 1
                time.sleep(0.1)
        def station():
            info = st.json("/api/station")
            return info if info["queue"]["received"] + info["drops"]["kernel"] == sent else None
        info = wait_for(station)
        assert info, st.json("/api/station")
        assert info["queue"]["peak_bytes"] <= info["queue"]["limit_bytes"]
        assert rss_mb(st.proc.pid) < 200

        def settled():
            sat = st.json("/api/satellites")[0]
            return sat["lines"] + sat["dropped"] == info["queue"]["received"] and sat
        sat = wait_for(settled, 90)
        assert sat and sat["dropped"] == st.json("/api/station")["drops"]["queue"]
        assert rss_mb(st.proc.pid) < 200
    finally:
        assert st.stop() == 0


def test_burst_of_100000_is_received_or_counted_and_shown(tmp_path):
    st = Station(str(tmp_path), single=False)
    try:
        burst = [b"burst %06d of the sun-pointing mission\n" % i for i in range(100000)]
        st.send(burst, source=A)

        def settled():
            info = st.json("/api/station")
            sats = st.json("/api/satellites")
            got = sats[0]["lines"] if sats else 0
            return got + info["drops"]["kernel"] + info["drops"]["queue"] == len(burst) and (got, info)
        got, info = wait_for(settled, 60)
        assert wait_for(lambda: len(st.lines_of("log.txt")) == got, 30)
        lost = len(burst) - got
        if lost:
            assert "%d log datagrams dropped on arrival" % lost in info["alarms"]
        # The satellite that lost them says so too, though it sends nothing more.
        sat = wait_for(lambda: [x for x in st.json("/api/satellites")
                                if x["dropped"] == lost][:1], 10)
        assert sat, (lost, st.json("/api/satellites"))
        assert ("%d log lines lost" % lost in sat[0]["alarms"]) == bool(lost)

        # Sent no faster than the socket's buffer takes them, none is lost.
        for i in range(0, len(burst), 4000):
            st.send(burst[i:i + 4000], source=B)
            assert wait_for(lambda: len(st.lines_of("satellites", B, "log.txt")) >= i + 4000, 30)
        assert st.lines_of("satellites", B, "log.txt") == [x[:-1].decode() for x in burst]
    finally:
        assert st.stop() == 0


def test_a_dead_transmitter_uploads_nothing(tmp_path):
    state = tmp_path / "state"
    state.write_text("t=1.000\ncamera_fail=0\ntransmitter_dead=1\n")
    st = Station(str(tmp_path), extra=["--state", str(state)])
    photo = jpeg_bytes((200, 0, 0), (320, 240))
    try:
        with pytest.raises(ftplib.error_perm, match="550 The transmitter is dead"):
            st.upload("1.jpeg", photo)
        assert os.listdir(os.path.join(st.dir, "incoming")) == []
        state.write_text("t=2.000\ncamera_fail=0\ntransmitter_dead=0\n")
        assert st.upload("1.jpeg", photo).startswith("226")
    finally:
        assert st.stop() == 0


def test_cut_upload_never_becomes_nor_replaces_a_photo(tmp_path):
    st = Station(str(tmp_path))
    incoming = os.path.join(st.dir, "incoming")
    good, other = jpeg_bytes((200, 0, 0), (320, 240)), jpeg_bytes((0, 0, 200), (320, 240))
    try:
        assert st.upload("1.jpeg", good).startswith("226")
        for name, linger in (("1.jpeg", False), ("2.jpeg", False), ("1.jpeg", True)):
            ftp = ftplib.FTP()
            ftp.connect(st.bind, st.ftp_port, timeout=20)
            ftp.login()
            conn = ftp.transfercmd("STOR incoming/" + name)
            conn.sendall(other[:len(other) // 2])
            # While it is on its way, it is no photo.
            assert [p["name"] for p in st.json("/api/photos")["photos"]] == ["1.jpeg"]
            if linger:
                # A reset, as when the line drops.
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            conn.close()
            with pytest.raises(ftplib.Error):
                ftp.voidresp()
            ftp.close()
        assert wait_for(lambda: sorted(os.listdir(incoming)) == ["1.jpeg"])
        assert st.get("/photos/1.jpeg") == good
    finally:
        assert st.stop() == 0


def noise(size):
    """Bytes that end as a JPEG ends, of a given length."""
    return os.urandom(size - 2) + b"\xff\xd9"


def test_upload_quotas_per_satellite_and_in_total(tmp_path):
    st = configured(str(tmp_path), "[quotas]\nsatellite_mb = 0.05\ntotal_mb = 0.08\n", single=False)
    try:
        assert st.upload("1.jpeg", noise(30000), source=A).startswith("226")
        with pytest.raises(ftplib.error_perm, match="552"):
            st.upload("2.jpeg", noise(30000), source=A)
        assert st.upload("3.jpeg", noise(22000), source=A).startswith("226")
        with pytest.raises(ftplib.error_perm, match="552"):
            st.upload("4.jpeg", noise(1000), source=A)
        assert "uploads use 99% of the quota" in {s["id"]: s for s in st.json("/api/satellites")}[A]["alarms"]
        assert st.upload("1.jpeg", noise(30000), source=B).startswith("226")
        # B has room of its own, the station has not.
        with pytest.raises(ftplib.error_perm, match="552"):
            st.upload("2.jpeg", noise(30000), source=B)
        for sat, photos in ((A, ["1.jpeg", "3.jpeg"]), (B, ["1.jpeg"])):
            folder = os.path.join(st.dir, "satellites", sat, "incoming")
            assert wait_for(lambda: sorted(os.listdir(folder)) == photos)
        sats = {s["id"]: s for s in st.json("/api/satellites")}
        assert not [a for a in sats[B]["alarms"] if "of the quota" in a]
        # Each satellite that lost an upload says so.
        for sat, refused in ((A, 2), (B, 1)):
            assert "%d uploads refused: over the quota" % refused in sats[sat]["alarms"]
            assert sats[sat]["drops"]["uploads_refused"] == refused
    finally:
        assert st.stop() == 0


def test_thumbnails_never_decode_past_their_bound(tmp_path):
    st = Station(str(tmp_path))
    try:
        bomb = io.BytesIO()
        Image.new("1", (13000, 13000)).save(bomb, "PNG")
        assert len(bomb.getvalue()) < 200_000
        assert st.upload("bomb.png", bomb.getvalue()).startswith("226")
        big = io.BytesIO()
        Image.new("L", (6000, 4000), 90).save(big, "JPEG")
        assert st.upload("big.jpeg", big.getvalue()).startswith("226")

        with pytest.raises(Exception) as e:
            st.get("/thumbs/bomb.png")
        assert getattr(e.value, "code", None) == 404
        thumb = Image.open(io.BytesIO(st.get("/thumbs/big.jpeg")))
        assert thumb.size == (160, 107)
        assert rss_mb(st.proc.pid) < 150
    finally:
        assert st.stop() == 0


def test_ftp_limits_connections_per_address_and_closes_idle_ones(tmp_path):
    st = configured(str(tmp_path), "[ftp]\nidle_timeout = 2\nconnections_per_address = 3\n", single=False)
    held = []
    try:
        for _ in range(3):
            held.append(socket.create_connection((st.bind, st.ftp_port), 10, source_address=(A, 0)))
            assert held[-1].recv(100).startswith(b"220")
        with socket.create_connection((st.bind, st.ftp_port), 10, source_address=(A, 0)) as extra:
            assert extra.recv(100).startswith(b"421")
        # Another satellite still gets in.
        assert st.upload("1.jpeg", jpeg_bytes(), source=B).startswith("226")
        for s in held:
            s.settimeout(10)
            answer = s.recv(200)
            assert answer.startswith(b"421") or answer == b""
    finally:
        for s in held:
            s.close()
        assert st.stop() == 0


def test_terminal_on_a_full_disk_takes_lines_again_when_there_is_room(tmp_path, capfd):
    # The echo's descriptor first reaches a full device, then (space back) a
    # file: the same descriptor, as a redirected output on a disk that filled.
    sys.path.insert(0, os.path.join(SOURCE_GROUND, "..", "lab"))
    from kelvex_ground.logstore import Echo
    from kelvex_lab.flight.console import Console
    full = os.open("/dev/full", os.O_WRONLY)
    try:
        echo_fd, console_fd = os.dup(full), os.dup(full)
        echo = Echo(os.fdopen(echo_fd, "wb", closefd=False))
        console = Console(console_fd)
        echo.write(["lost 1", "lost 2"])
        console.say("lost 3")
        assert not echo.closed and not console.closed
        out = os.open(str(tmp_path / "out"), os.O_WRONLY | os.O_CREAT, 0o600)
        os.dup2(out, echo_fd)
        os.dup2(out, console_fd)
        os.close(out)
        echo.write(["back 1"])
        console.say("back 2 \u202e\x9b")
        assert (tmp_path / "out").read_text() == "back 1\nback 2 \\u202e\\u009b\n"
        err = capfd.readouterr().err
        assert err.count("lines not printed until there is room") == 1
        assert "standard output takes lines again" in err
    finally:
        os.close(full)
        for fd in (echo_fd, console_fd):
            os.close(fd)
