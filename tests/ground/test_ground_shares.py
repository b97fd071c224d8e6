"""Fair shares on a class station, against its real sockets on loopback:
uploads at once never overshoot a quota, a crowd of idle FTP connections
makes room for a satellite, readers that never read hold neither the page
nor memory, thumbnails of huge photos leave the station small, and every
loss shows on the satellite that had it."""

import concurrent.futures
import ftplib
import io
import os
import socket
import threading
import time

import pytest
from PIL import Image

from groundkit import (FakeClass, Station, configured, ground_package, neighbour,  # noqa: F401
                       page_server, rss_mb, wait_for)

A, B = "127.0.0.5", "127.0.0.6"
CROWD = ("127.0.0.21", "127.0.0.22")


def noise(size):
    """Bytes that end as a JPEG ends, of a given length."""
    return os.urandom(size - 2) + b"\xff\xd9"


def session(st, source, login=()):
    """An FTP session from source: anonymous (a board's), or login (run id,
    secret) as a registered run."""
    ftp = ftplib.FTP()
    ftp.connect(st.bind, st.ftp_port, timeout=20, source_address=(source, 0))
    ftp.login(*login)
    return ftp


def uploads_at_once(st, source, photos, announce, login=()):
    """Starts every upload before any sends a byte, then sends them all;
    {name: reply} (the STOR's refusal, or the transfer's end). source: an
    address, or one per photo."""
    started, replies = [], {}
    sources = source if isinstance(source, list) else [source] * len(photos)
    try:
        for (name, data), source in zip(photos.items(), sources):
            ftp = session(st, source, login)
            if announce:
                ftp.sendcmd("ALLO %d" % len(data))
            try:
                started.append((name, data, ftp, ftp.transfercmd("STOR incoming/" + name)))
            except ftplib.error_perm as e:
                replies[name] = str(e)
                ftp.close()
        for name, data, ftp, conn in started:
            try:
                conn.sendall(data)
            except OSError:
                pass
            conn.close()
        for name, data, ftp, conn in started:
            try:
                replies[name] = ftp.voidresp()
            except ftplib.Error as e:
                replies[name] = str(e)
    finally:
        for _, _, ftp, _ in started:
            ftp.close()
    return replies


def incoming(st, sat):
    folder = os.path.join(st.dir, "satellites", sat, "incoming")
    return {n: os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)}


def photos_of(st, sat, count):
    """Whether sat lists count photos (a 226 comes before the photo takes its
    name), waited for."""
    return wait_for(lambda: {s["id"]: s for s in st.json("/api/satellites")}[sat]["photos"] == count)


def test_eight_uploads_at_once_never_overshoot_the_quota(tmp_path):
    quota = 1024 * 1024
    st = configured(str(tmp_path), "[quotas]\nsatellite_mb = 1\nupload_mb = 0.25\n", single=False)
    try:
        # Announced: each reserves its own size, three fit.
        replies = uploads_at_once(st, A, {"%d.jpeg" % i: noise(300_000) for i in range(8)}, True)
        assert sorted(r[:3] for r in replies.values()) == ["226"] * 3 + ["552"] * 5, replies
        # Unannounced: each reserves the per-upload cap (256 KB), four fit
        # into B's quota; none writes past its reservation.
        replies = uploads_at_once(st, B, {"%d.jpeg" % i: noise(200_000) for i in range(8)}, False)
        assert sorted(r[:3] for r in replies.values()) == ["226"] * 4 + ["552"] * 4, replies
        big = uploads_at_once(st, B, {"big.jpeg": noise(400_000)}, False)
        assert big["big.jpeg"].startswith("552"), big
        assert wait_for(lambda: len(incoming(st, A)) == 3 and len(incoming(st, B)) == 4)
        for sat in (A, B):
            assert sum(incoming(st, sat).values()) <= quota
            assert not [n for n in os.listdir(os.path.join(st.dir, "satellites", sat, "incoming"))
                        if n.startswith(".")]
        sats = {s["id"]: s for s in st.json("/api/satellites")}
        assert sats[A]["drops"]["uploads_refused"] == 5
        assert "5 uploads refused: over the quota" in sats[A]["alarms"]
        assert sats[B]["drops"]["uploads_refused"] == 5
        # What is left after the reservations are given back still takes an
        # upload that fits.
        assert session_upload(st, A, noise(100_000)).startswith("226")
    finally:
        assert st.stop() == 0


def test_a_registered_runs_share_is_its_own_from_any_address(tmp_path):
    st = configured(str(tmp_path), "[quotas]\nsatellite_mb = 1\nupload_mb = 0.25\n"
                                   "[ftp]\nconnections_per_address = 8\n", single=False)
    sources = ["127.0.0.%d" % n for n in range(40, 48)]
    try:
        headers = st.register("run-a", name="Ada")
        login = ("run-a", headers["X-Kelvex-Secret"])
        # Eight uploads from eight addresses: the run's quota, not eight.
        replies = uploads_at_once(st, sources, {"%d.jpeg" % i: noise(300_000) for i in range(8)},
                                  True, login)
        assert sorted(r[:3] for r in replies.values()) == ["226"] * 3 + ["552"] * 5, replies
        assert wait_for(lambda: len(incoming(st, "run-a")) == 3)
        assert sum(incoming(st, "run-a").values()) <= 1024 * 1024
        # Its connections are its own share wherever they come from.
        held = [session(st, source, login) for source in sources]
        try:
            with pytest.raises(ftplib.error_temp, match="^421"):
                session(st, "127.0.0.50", login)
            # Nobody else's: a board at one of those addresses has its own.
            assert session_upload(st, sources[0], noise(5000)).startswith("226")
        finally:
            for ftp in held:
                ftp.close()
        with pytest.raises(ftplib.error_perm, match="^530"):
            session(st, A, ("run-a", "not-its-secret-0123456789"))
        sats = {s["id"]: s for s in st.json("/api/satellites")}
        assert sats["run-a"]["drops"]["uploads_refused"] == 5
        assert sats["run-a"]["drops"]["connections_refused"] == 1
        assert photos_of(st, sources[0], 1) and sats[sources[0]]["drops"]["uploads_refused"] == 0
        assert not os.path.exists(os.path.join(st.dir, "satellites", A))
    finally:
        assert st.stop() == 0


def test_past_half_the_total_quota_each_satellite_keeps_its_fair_share(tmp_path):
    st = configured(str(tmp_path), "[quotas]\ntotal_mb = 1\nsatellite_mb = 1\n", single=False)
    crowd = ["127.0.0.%d" % n for n in range(60, 64)]
    try:
        for source in crowd:
            st.send([b"hello"], source=source)
        assert wait_for(lambda: len(st.json("/api/satellites")) == 4)
        # One satellite fills half of the total; past it, it is held to a
        # quarter (four satellites share the station).
        for i in range(4):
            assert session_upload(st, crowd[0], noise(150_000), "%d.jpeg" % i).startswith("226")
        with pytest.raises(ftplib.error_perm, match="^552"):
            session_upload(st, crowd[0], noise(100_000), "4.jpeg")
        # The others still have theirs.
        for source in crowd[1:]:
            assert session_upload(st, source, noise(100_000)).startswith("226")
        assert all(photos_of(st, c, n) for c, n in zip(crowd, [4, 1, 1, 1]))
        sats = {s["id"]: s for s in st.json("/api/satellites")}
        assert sats[crowd[0]]["drops"]["uploads_refused"] == 1
    finally:
        assert st.stop() == 0


def session_upload(st, source, data, name="last.jpeg"):
    ftp = session(st, source)
    try:
        return ftp.storbinary("STOR incoming/" + name, io.BytesIO(data))
    finally:
        ftp.close()


def test_idle_connections_of_others_make_room_for_a_satellite(tmp_path):
    st = configured(str(tmp_path), "[ftp]\nconnections_per_address = 3\nmax_connections = 6\n",
                    single=False)
    held = []
    try:
        for source in CROWD:
            for _ in range(3):
                held.append(session(st, source))
        # Past its own share a satellite is refused at its login, and that is
        # counted on it.
        extra = ftplib.FTP()
        extra.connect(st.bind, st.ftp_port, timeout=20, source_address=(CROWD[0], 0))
        with pytest.raises(ftplib.error_temp, match="^421"):
            extra.login()
        extra.close()
        # The station is full of idle connections; a satellite still uploads.
        assert session_upload(st, B, noise(5000)).startswith("226")
        made_room = []
        for ftp in held:
            ftp.sock.settimeout(0.5)
            try:
                answer = ftp.sock.recv(200)
            except socket.timeout:
                continue
            made_room.append(answer)
        assert made_room and all(a.startswith(b"421") or a == b"" for a in made_room)
        sats = {s["id"]: s for s in st.json("/api/satellites")}
        assert sats[CROWD[0]]["drops"]["connections_refused"] == 1
        assert "1 FTP connections refused: past its share" in sats[CROWD[0]]["alarms"]
        assert sats[B]["drops"]["connections_refused"] == 0 and photos_of(st, B, 1)
    finally:
        for ftp in held:
            ftp.close()
        assert st.stop() == 0


# A neighbour's crowd: idle anonymous logins from many addresses, and
# connections that never log in, held until the test ends them.
CROWDER = r"""
import ftplib, socket, sys, time
host, port, held_s = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
held = []
for n in range(30, 40):
    for _ in range(2):
        try:
            ftp = ftplib.FTP()
            ftp.connect(host, port, timeout=5, source_address=("127.0.1.%d" % n, 0))
            ftp.login()
            held.append(ftp)
        except (OSError, ftplib.Error):
            pass
        try:
            held.append(socket.create_connection((host, port), 5, source_address=("127.0.2.%d" % n, 0)))
        except OSError:
            pass
print(len(held), flush=True)
time.sleep(held_s)
"""


def test_a_neighbours_crowd_of_connections_does_not_starve_a_satellite(tmp_path, neighbour):
    st = configured(str(tmp_path), "[ftp]\nconnections_per_address = 2\nmax_connections = 8\n",
                    single=False)
    out = []
    try:
        crowd = threading.Thread(target=lambda: out.append(
            neighbour.run(CROWDER, st.bind, st.ftp_port, 8, timeout=60)))
        crowd.start()
        assert wait_for(lambda: len([s for s in st.json("/api/satellites") if s["id"].startswith("127.0.1.")]) >= 4)
        # Another user's idle crowd fills the station; a satellite still uploads.
        assert session_upload(st, B, noise(5000)).startswith("226")
        assert photos_of(st, B, 1)
        crowd.join()
        assert int(out[0]) > 8
    finally:
        assert st.stop() == 0


def test_connections_that_never_log_in_hold_nothing_for_long(tmp_path):
    st = configured(str(tmp_path), "[ftp]\nconnections_per_address = 3\nmax_connections = 6\n"
                                   "login_timeout = 1\n", single=False)
    waiting = []
    try:
        for source in CROWD:
            for _ in range(3):
                waiting.append(socket.create_connection((st.bind, st.ftp_port), 10,
                                                        source_address=(source, 0)))
                assert waiting[-1].recv(100).startswith(b"220")
        # An address waits with a few at most; it names no satellite yet.
        with socket.create_connection((st.bind, st.ftp_port), 10,
                                      source_address=(CROWD[0], 0)) as extra:
            assert extra.recv(100).startswith(b"421")
        # A full waiting room makes way for a newcomer, which uploads.
        assert session_upload(st, B, noise(5000)).startswith("226")
        # One that logs in and out again waits as a newcomer does.
        again = session(st, A)
        again.sendcmd("REIN")
        # Those that never log in are sent away.
        for s in waiting:
            s.settimeout(5)
            answer = s.recv(200)
            assert answer == b"" or answer.startswith(b"421"), answer
        again.sock.settimeout(5)
        assert again.sock.recv(200).startswith(b"421")
        again.close()
        assert sorted(s["id"] for s in st.json("/api/satellites")) == [A, B]
    finally:
        for s in waiting:
            s.close()
        assert st.stop() == 0


def get_within(st, path, seconds, retry=False):
    """The body of a GET that must answer within seconds; retry: asked again,
    as the page does, while the answer is 503 (busy, try again)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with socket.create_connection((st.bind, st.http_port), seconds) as s:
            s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % path.encode())
            out = b""
            while time.monotonic() < deadline:
                chunk = s.recv(1 << 20)
                if chunk:
                    out += chunk
                    continue
                head, _, body = out.partition(b"\r\n\r\n")
                if retry and head.startswith(b"HTTP/1.0 503"):
                    assert b"\r\nRetry-After: 1" in head
                    time.sleep(0.5)
                    break
                assert head.startswith(b"HTTP/1.0 200"), head
                return body
    raise AssertionError("%s took more than %s s" % (path, seconds))


def test_readers_that_never_read_a_large_photo_hold_neither_the_page_nor_memory(tmp_path):
    st = configured(str(tmp_path), "", single=False)
    stalled = []
    try:
        photo = noise(20 * 1024 * 1024)
        assert session_upload(st, A, photo, "big.jpeg").startswith("226")
        path = "/photos/%s/big.jpeg" % A
        before = rss_mb(st.proc.pid)
        for _ in range(16):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect((st.bind, st.http_port))
            s.sendall(b"GET %s HTTP/1.0\r\n\r\n" % path.encode())
            stalled.append(s)
        time.sleep(1)
        # Twice the workers never read, and the page answers at once.
        for _ in range(3):
            assert b"big.jpeg" in get_within(st, "/api/sat/%s/photos" % A, 3)
            assert b"<html" in get_within(st, "/", 3).lower()
        # A reader that reads gets the whole photo, as it is.
        assert get_within(st, path, 30) == photo
        assert rss_mb(st.proc.pid) < before + 40
    finally:
        for s in stalled:
            s.close()
        assert st.stop() == 0


def big_png(colour):
    out = io.BytesIO()
    # 24 million pixels: the most a thumbnail decodes; a PNG has no draft,
    # so each decodes whole.
    Image.new("RGB", (6000, 4000), colour).save(out, "PNG", compress_level=1)
    return out.getvalue()


def test_thumbnails_of_huge_photos_leave_the_station_small(tmp_path):
    st = configured(str(tmp_path), "", single=False)
    try:
        names = []
        for i in range(8):
            names.append("%d.png" % i)
            assert session_upload(st, A, big_png((i * 30, 90, 200 - i * 20)), names[-1]).startswith("226")
        before = rss_mb(st.proc.pid)
        peak = [before]

        def thumb(name):
            return get_within(st, "/thumbs/%s/%s" % (A, name), 60, retry=True)

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            futures = [pool.submit(thumb, n) for n in names]
            while not all(f.done() for f in futures) and len(peak) < 1200:
                peak.append(rss_mb(st.proc.pid))
                # Thumbnails being made hold none of the page's workers for long.
                if len(peak) % 10 == 0:
                    assert A.encode() in get_within(st, "/api/satellites", 5)
                time.sleep(0.05)
            thumbs = [f.result() for f in futures]
        for data in thumbs:
            assert Image.open(io.BytesIO(data)).size == (160, 107)
        assert max(peak) < before + 30, (before, max(peak))
        assert rss_mb(st.proc.pid) < before + 30
    finally:
        assert st.stop() == 0


def test_a_thumbnail_waits_for_its_turn_briefly_then_the_page_is_told_to_ask_again(
        tmp_path, page_server):
    ground_package()
    from kelvex_ground import photos

    incoming = tmp_path / "incoming"
    incoming.mkdir()
    Image.new("RGB", (320, 240), (10, 200, 10)).save(incoming / "1.jpeg")
    store = photos.PhotoStore(str(incoming))
    # Every worker busy: the request is not held past its short wait.
    for _ in range(2):
        photos._thumb_gate.acquire()
    try:
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            store.thumbnail("1.jpeg")
        assert time.monotonic() - started < photos.THUMB_WAIT_S + 1
    finally:
        for _ in range(2):
            photos._thumb_gate.release()
    assert Image.open(io.BytesIO(store.thumbnail("1.jpeg"))).size == (160, 120)

    class Busy(FakeClass):
        def thumbnail(self, sat, name):
            raise TimeoutError("busy")

    srv = page_server(Busy({A: {"id": A, "name": "x", "photo_files": {"1.jpeg": str(incoming / "1.jpeg")}}}))
    status, headers, _ = srv.request("GET", "/thumbs/%s/1.jpeg" % A)
    assert status == 503 and headers["Retry-After"] == "1"


def test_addresses_nobody_listed_leave_room_for_runs_and_a_full_table_is_an_alarm(tmp_path):
    st = configured(str(tmp_path), "[station]\nmax_satellites = 4\n", single=False)
    crowd = ["127.0.0.%d" % n for n in range(30, 34)]
    try:
        for source in crowd:
            st.send([b"hello from " + source.encode()], source=source)
        assert wait_for(lambda: [a for a in st.json("/api/station")["alarms"]
                                 if "1 datagrams, uploads or posts refused: the satellite table "
                                    "is full (4 satellites)" in a])
        assert sorted(s["id"] for s in st.json("/api/satellites")) == crowd[:3]
        # The room kept takes a registered run, and then the table is full.
        st.register("run-a", name="Ada")
        code, text = st.post("/api/ingest/register", {"run": "run-b", "secret": "s" * 20})
        assert code == 403 and "no more satellites" in text
        assert sorted(s["id"] for s in st.json("/api/satellites")) == crowd[:3] + ["run-a"]
    finally:
        assert st.stop() == 0


@pytest.mark.parametrize("announced", ["x", "-1"])
def test_an_announcement_is_a_number_of_bytes(tmp_path, announced):
    st = configured(str(tmp_path), "", single=False)
    try:
        ftp = session(st, A)
        with pytest.raises(ftplib.error_perm, match="501"):
            ftp.sendcmd("ALLO " + announced)
        ftp.close()
    finally:
        assert st.stop() == 0


def test_lines_the_queue_drops_show_on_the_satellite_that_sent_them(tmp_path):
    ground_package()
    from kelvex_ground.logstore import Receiver, open_udp
    from kelvex_ground.satellites import Station

    receiver = Receiver(open_udp("127.0.0.1", 0), queue_bytes=1024 * 1024)
    station = Station(str(tmp_path), single=False)
    station.receiver = receiver
    receiver.start()
    sockets = {}
    try:
        for source in (A, B):
            sockets[source] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sockets[source].bind((source, 0))

        def send(source, payloads):
            for p in payloads:
                sockets[source].sendto(p, ("127.0.0.1", receiver.port))

        send(A, [b"The probe says 'HELLO' to the ground"])
        assert wait_for(lambda: receiver.received == 1)
        station.deliver(receiver.take())
        # B fills the queue; A's next lines find it full, and none of them
        # reaches the station.
        send(B, [b"x" * 60000] * 40)
        assert wait_for(lambda: receiver.received + receiver.dropped_kernel == 41)
        send(A, [(b"lost %d " % i).ljust(30000, b".") for i in range(5)])
        assert wait_for(lambda: receiver.dropped_by[A] == 5)
        batch = receiver.take()
        assert {peer for _, peer, _ in batch} == {B}
        station.deliver(batch)
        sats = {s["id"]: s for s in station.satellites()}
        assert sats[A]["drops"]["log_queue"] == 5 and "5 log lines lost" in sats[A]["alarms"]
        assert sats[B]["drops"]["log_queue"] == receiver.dropped_by[B] > 0
    finally:
        receiver.stop()
        for s in sockets.values():
            s.close()
        station.stop()


def test_answers_waiting_for_readers_that_never_read_are_bounded_in_bytes():
    ground_package()
    from kelvex_ground.httpserve import BoundedHTTPServer

    # Larger than what the kernel's socket buffers take off the station.
    body = b"x" * (16 * 1024 * 1024)

    def answer(address, request, out):
        out.write(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)

    srv = BoundedHTTPServer("127.0.0.1", 0, answer, max_unsent=40 * 1024 * 1024)
    srv.start()
    stalled = []
    try:
        for _ in range(12):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(srv.server_address)
            s.sendall(b"GET / HTTP/1.0\r\n\r\n")
            stalled.append(s)
        # Two answers wait for their readers; the others are refused, not kept.
        assert wait_for(lambda: srv.refused_answers == 10)
        assert 0 < srv.unsent_bytes() <= 40 * 1024 * 1024
        for s in stalled:
            s.close()
        stalled = []
        assert wait_for(lambda: srv.unsent_bytes() == 0)
        with socket.create_connection(srv.server_address, 10) as s:
            s.sendall(b"GET / HTTP/1.0\r\n\r\n")
            got = b""
            while True:
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                got += chunk
        assert got.endswith(b"\r\n\r\n" + body)
    finally:
        for s in stalled:
            s.close()
        srv.stop()


def test_what_a_run_loses_before_the_class_station_shows_on_its_satellite_there(tmp_path):
    shared = Station(str(tmp_path), single=False, name="shared")
    try:
        settings = tmp_path / "own.toml"
        settings.write_text("[quotas]\nsatellite_mb = 0.1\n")
        own = Station(str(tmp_path), ["--upstream", shared.url, "--name", "Ada", "--run-id", "ada-1",
                                      "--config", str(settings)], name="own")
        try:
            own.send([b"The mission says 'HELLO' to 127.0.0.1:4567\n"])
            assert wait_for(lambda: [s for s in shared.json("/api/satellites") if s["lines"] == 1])
            # Its own station refuses an upload past the run's quota: that
            # loss is the run's, counted there and, once told, here.
            with pytest.raises(ftplib.error_perm, match="^552"):
                session_upload(own, "127.0.0.1", noise(200_000))
        finally:
            assert own.stop() == 0
        sat = shared.json("/api/satellites")[0]
        assert sat["id"] == "ada-1" and sat["drops"]["upstream"] == {"uploads_refused": 1}
        assert "lost before it reached this station: 1 uploads refused" in sat["alarms"]
        # Nobody else tells it for the run, nor in another shape.
        headers = shared.register("ada-2")
        code, _ = shared.post("/api/ingest/status", {"state": "running", "lost": {"disk": 1}},
                              headers=headers)
        assert code == 400
        code, _ = shared.post("/api/ingest/status", {"state": "running", "lost": {"relay": 3}},
                              headers=dict(headers, **{"X-Kelvex-Run": "ada-1"}))
        assert code == 403
        assert shared.json("/api/satellites")[0]["drops"]["upstream"] == {"uploads_refused": 1}
    finally:
        assert shared.stop() == 0
