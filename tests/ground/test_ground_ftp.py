"""Photo uploads to the ground station through the real curl, as the
satellite's transmitter runs it."""

import io
import os
import shutil
import subprocess
import time
import urllib.error

import pytest
from PIL import Image

from groundkit import station, wait_for  # noqa: F401 (fixture)

CURL = shutil.which("curl")
pytestmark = pytest.mark.skipif(CURL is None, reason="curl is not installed")


def jpeg(path, colour=(30, 60, 90)):
    Image.new("RGB", (640, 480), colour).save(path, "JPEG")
    with open(path, "rb") as f:
        return f.read()


def curl(*args, cwd=None):
    return subprocess.run([CURL, "-sS", "--max-time", "20", *args], cwd=cwd,
                          capture_output=True, timeout=60)


def upload_command(n, ftp_path, when):
    # The transmitter's own command line for photo n.
    t = time.localtime(when)
    return "curl -T %s/%d.jpeg %s/%04d%02d%02d%02d%02d%02d-%d.jpeg" % (
        "photos", n, ftp_path, t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, n)


def test_transmitter_upload_arrives_and_is_served(station, tmp_path):
    mission = tmp_path / "mission"
    (mission / "photos").mkdir(parents=True)
    sent = jpeg(mission / "photos" / "7.jpeg")
    when = time.mktime((2019, 3, 5, 14, 3, 9, 0, 0, -1))
    cmd = upload_command(7, "ftp://127.0.0.1:%d/incoming" % station.ftp_port, when)
    assert cmd.endswith("/incoming/20190305140309-7.jpeg")

    r = subprocess.run(cmd, shell=True, cwd=mission, capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr

    name = "20190305140309-7.jpeg"
    with open(os.path.join(station.dir, "incoming", name), "rb") as f:
        assert f.read() == sent
    listed = station.json("/api/photos")["photos"]
    assert [(p["name"], p["size"]) for p in listed] == [(name, len(sent))]
    assert station.get("/photos/" + name) == sent
    thumb = Image.open(io.BytesIO(station.get("/thumbs/" + name)))
    assert thumb.format == "JPEG" and thumb.size == (160, 120)


def test_photos_listed_in_arrival_order_and_replaced_in_place(station, tmp_path):
    names = ["20190305140309-1.jpeg", "20190305140310-2.jpeg", "20190305140311-3.jpeg"]
    for i, name in enumerate(names):
        jpeg(tmp_path / "p.jpeg", (40 * i, 0, 0))
        assert curl("-T", str(tmp_path / "p.jpeg"),
                    "ftp://127.0.0.1:%d/incoming/%s" % (station.ftp_port, name)).returncode == 0
        os.utime(os.path.join(station.dir, "incoming", name), (1e9 + i, 1e9 + i))
    assert [p["name"] for p in station.json("/api/photos")["photos"]] == names

    again = jpeg(tmp_path / "p.jpeg", (0, 200, 0))
    assert curl("-T", str(tmp_path / "p.jpeg"),
                "ftp://127.0.0.1:%d/incoming/%s" % (station.ftp_port, names[0])).returncode == 0
    listed = station.json("/api/photos")["photos"]
    assert [p["name"] for p in listed] == names[1:] + names[:1]
    assert station.get("/photos/" + names[0]) == again


def test_anonymous_can_only_upload_into_incoming(station, tmp_path):
    jpeg(tmp_path / "p.jpeg")
    base = "ftp://127.0.0.1:%d" % station.ftp_port
    station.send([b"secret"])
    assert wait_for(lambda: station.log_file_lines())

    assert curl("-T", str(tmp_path / "p.jpeg"), base + "/p.jpeg").returncode != 0
    assert not os.path.exists(os.path.join(station.dir, "p.jpeg"))
    assert curl("--ftp-create-dirs", "-T", str(tmp_path / "p.jpeg"),
                base + "/incoming/sub/p.jpeg").returncode != 0
    assert curl("-o", str(tmp_path / "log.txt"), base + "/log.txt").returncode != 0
    assert not (tmp_path / "log.txt").exists()
    assert curl("-T", str(tmp_path / "p.jpeg"), base + "/incoming/x.jpeg").returncode == 0
    assert curl("-Q", "DELE x.jpeg", base + "/incoming/").returncode != 0
    assert curl("-Q", "RNFR x.jpeg", "-Q", "RNTO y.jpeg", base + "/incoming/").returncode != 0
    assert os.listdir(os.path.join(station.dir, "incoming")) == ["x.jpeg"]

    # Only images are offered, and nothing outside incoming/.
    for path in ("/photos/..%2Flog.txt", "/photos/log.txt", "/thumbs/nothing.jpeg"):
        with pytest.raises(urllib.error.HTTPError) as e:
            station.get(path)
        assert e.value.code == 404
