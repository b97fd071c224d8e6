"""The ground station's page in headless Chromium, after a mission's log
lines and a photo taken and uploaded with the mission's own command lines."""

import html
import os
import re
import shutil
import subprocess
import time

import pytest
from PIL import Image

from groundkit import SOURCE_GROUND, Station, bin_dir, sim_state, wait_for

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CURL = shutil.which("curl")
WINDOW = (1280, 1000)


def chromium(tmp_path, url, *mode):
    profile = tmp_path / "profile"
    profile.mkdir(exist_ok=True)
    env = dict(os.environ, HOME=str(tmp_path))
    r = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-dev-shm-usage", "--user-data-dir=%s" % profile,
         "--window-size=%d,%d" % WINDOW, "--virtual-time-budget=5000", *mode, url],
        env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    return r.stdout


def fly_photo_mission(station, tmp_path, number):
    """What camera_take_photo and transmitter_transmit_photo run on the
    virtual satellite, through the shell in the mission's directory."""
    mission = tmp_path / "mission"
    mission.mkdir()
    (mission / "photos").mkdir()
    env = dict(os.environ,
               PATH=(bin_dir() or SOURCE_GROUND) + os.pathsep + os.environ.get("PATH", ""),
               KELVEX_SIM_STATE=str(sim_state(tmp_path / "state", t=61.5, yaw_deg=58.0,
                                              lamp_azimuth_deg=60.0, lamp_angle_deg=2.0)))
    capture = "streamer -s 640x480 -o %s/%d.jpeg" % ("photos", number)
    assert subprocess.run(capture, shell=True, cwd=mission, env=env, timeout=60).returncode == 0
    t = time.localtime()
    stamp = "%04d%02d%02d%02d%02d%02d" % (t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)
    upload = "curl -T %s/%d.jpeg %s/%s-%d.jpeg" % (
        "photos", number, "ftp://127.0.0.1:%d/incoming" % station.ftp_port, stamp, number)
    assert subprocess.run(upload, shell=True, cwd=mission, env=env, timeout=60).returncode == 0
    return "%s-%d.jpeg" % (stamp, number)


def screenshot_path(tmp_path):
    build = os.environ.get("KELVEX_BUILD_DIR")
    if build and os.path.isdir(build):
        os.makedirs(os.path.join(build, "test-output"), exist_ok=True)
        return os.path.join(build, "test-output", "ground-station-page.png")
    return str(tmp_path / "ground-station-page.png")


@pytest.fixture
def telemetry_csv(tmp_path):
    path = tmp_path / "telemetry.csv"
    with open(path, "w") as f:
        f.write("t,yaw_deg,rate_dps,wheel_rpm,lamp_angle_deg,sunbattery0_raw,battery_charge_ah\n")
        for i in range(300):
            t = i * 0.2
            yaw = 58.0 * (1 - 0.95 ** i)
            f.write("%.1f,%.3f,%.3f,%.1f,%.3f,%d,%.4f\n" % (t, yaw, 2.9 * 0.95 ** i, -800 * 0.95 ** i,
                                                          60.0 - yaw, 900, 1.5 - 0.0002 * i))
    return path


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
@pytest.mark.skipif(CURL is None, reason="curl is not installed")
def test_page_shows_log_photo_and_telemetry(tmp_path, telemetry_csv, capsys):
    st = Station(str(tmp_path), ["--telemetry", str(telemetry_csv)])
    try:
        lines = ["The sun_pointing says 'HELLO' to 127.0.0.1:4567",
                 "lamp found at 60.0 deg", "pointing error 0.4 deg <held>"]
        st.send([(x + "\n").encode() for x in lines])
        assert wait_for(lambda: len(st.log_file_lines()) == 3)
        name = fly_photo_mission(st, tmp_path, 7)
        assert wait_for(lambda: [p["name"] for p in st.json("/api/photos")["photos"]] == [name])

        dom = chromium(tmp_path, st.url, "--dump-dom")
        shown = [html.unescape(x) for x in re.findall(r'<span class="text">(.*?)</span>', dom)]
        assert shown == lines
        assert re.search(r'<img id="latest-img"[^>]*src="/photos/%s\?' % re.escape(name), dom)
        assert re.search(r'<li data-name="%s">' % re.escape(name), dom)
        assert re.search(r'<img src="/thumbs/%s\?' % re.escape(name), dom)
        for plot in ("yaw", "rate", "wheel", "lamp", "battery"):
            assert 'id="plot-%s"' % plot in dom
        assert "300 samples" in dom
        # The sun battery's reading is not the accumulator's charge.
        assert "<h3>Battery charge: battery_charge_ah</h3>" in dom

        shot = screenshot_path(tmp_path)
        if os.path.exists(shot):
            os.remove(shot)
        chromium(tmp_path, st.url, "--screenshot=%s" % shot)
        with capsys.disabled():
            print("\nscreenshot of the ground station page: %s" % shot)
        with Image.open(shot) as im:
            assert im.size == WINDOW
            # The photo's lamp is the only near-white thing on the dark page,
            # and the photo panel is the right-hand column.
            bright = im.convert("L").point(lambda v: 255 if v > 245 else 0).getbbox()
        assert bright is not None and bright[0] > WINDOW[0] // 2
    finally:
        assert st.stop() == 0
