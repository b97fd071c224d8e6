"""The ground station's pages in headless Chromium: a satellite's page after
a mission's log lines and a photo taken and uploaded with the mission's own
command lines, and the overview of a class of satellites."""

import html
import json
import os
import re
import shutil
import subprocess
import time

import pytest
from PIL import Image

from groundkit import (SOURCE_GROUND, FakeClass, FakeForwarder, Station, bin_dir,  # noqa: F401
                       ground_package, page_server, sim_state, wait_for)

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
         "--disable-dev-shm-usage", "--user-data-dir=%s" % profile, "--enable-logging=stderr",
         "--window-size=%d,%d" % WINDOW, "--virtual-time-budget=5000", *mode, url],
        env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    # The page's own scripts ran without an error and fetched nothing that
    # the station's content policy (only the station itself) refused.
    assert "Uncaught" not in r.stderr and "Refused to" not in r.stderr, r.stderr[-2000:]
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


def screenshot(tmp_path, url, name, capsys):
    shot = str(tmp_path / name)
    chromium(tmp_path, url, "--screenshot=%s" % shot)
    with capsys.disabled():
        print("\nscreenshot: %s" % shot)
    return Image.open(shot)


def plot_boxes(dom):
    """id -> (attributes, inner html) of every plot on a satellite's page."""
    return {m.group(1): m.group(0) for m in
            re.finditer(r'<div class="plot" id="plot-(\w+)"[^>]*>.*?</table>', dom, re.S)}


def attribute(box, name):
    m = re.search(r'data-%s="([^"]*)"' % name, box)
    return m.group(1) if m else None


@pytest.fixture
def telemetry_csv(tmp_path):
    """A minute of a run that ended just now, with its run.json beside it."""
    run = tmp_path / "run"
    run.mkdir()
    path = run / "telemetry.csv"
    with open(path, "w") as f:
        f.write("t,yaw_deg,rate_dps,wheel_rpm,lamp_angle_deg,sunbattery0_raw,battery_charge_ah\n")
        for i in range(300):
            t = i * 0.2
            yaw = 58.0 * (1 - 0.95 ** i)
            f.write("%.1f,%.3f,%.3f,%.1f,%.3f,%d,%.4f\n" % (t, yaw, 2.9 * 0.95 ** i, -800 * 0.95 ** i,
                                                          60.0 - yaw, 900, 1.5 - 0.0002 * i))
    (run / "run.json").write_text(json.dumps({"format": 1, "t0_unix": time.time() - 61}))
    return path


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
@pytest.mark.skipif(CURL is None, reason="curl is not installed")
def test_satellite_page_shows_log_photo_and_telemetry(tmp_path, telemetry_csv, capsys):
    st = Station(str(tmp_path), ["--telemetry", str(telemetry_csv)])
    try:
        lines = ["The sun_pointing says 'HELLO' to 127.0.0.1:4567",
                 "lamp found at 60.0 deg", "pointing error 0.4 deg <held>"]
        st.send([(x + "\n").encode() for x in lines])
        assert wait_for(lambda: len(st.log_file_lines()) == 3)
        name = fly_photo_mission(st, tmp_path, 7)
        assert wait_for(lambda: [p["name"] for p in st.json("/api/photos")["photos"]] == [name])
        sat = st.json("/api/satellites")[0]
        assert sat["name"] == "sun_pointing"
        url = st.url + "sat/" + sat["id"]

        dom = chromium(tmp_path, url, "--dump-dom")
        shown = [html.unescape(x) for x in re.findall(r'<span class="text">(.*?)</span>', dom)]
        assert shown == lines
        photo = "/photos/%s/%s" % (sat["id"], name)
        assert re.search(r'<img id="latest-img"[^>]*src="%s\?' % re.escape(photo), dom)
        assert re.search(r'<li data-name="%s">' % re.escape(name), dom)
        assert re.search(r'<img src="/thumbs/%s/%s\?' % (re.escape(sat["id"]), re.escape(name)), dom)
        assert "300 samples" in dom

        plots = plot_boxes(dom)
        assert sorted(plots) == ["battery", "lamp", "rate", "wheel", "yaw"]
        # Legends name the columns; the sun battery's reading is not the
        # accumulator's charge.
        legend = lambda box: re.findall(r'<div class="u-label">([^<]*)</div>', box)
        assert legend(plots["battery"]) == ["time", "battery_charge_ah"]
        assert legend(plots["yaw"]) == ["time", "yaw_deg"]
        for box in plots.values():
            # One time axis with the log on a 24-hour clock: each tick once,
            # and the three log lines, which came after the run, marked.
            ticks = attribute(box, "xticks").split("|")
            assert len(ticks) >= 3 and len(set(ticks)) == len(ticks), ticks
            assert all(re.fullmatch(r"([01]\d|2[0-3]):[0-5]\d(:[0-5]\d)?", t) for t in ticks), ticks
            assert attribute(box, "marks") == "3"

        with screenshot(tmp_path, url, "satellite-page.png", capsys) as im:
            assert im.size == WINDOW
            # The photo's lamp is the only near-white thing on the dark page,
            # and the photo panel is the right-hand column.
            bright = im.convert("L").point(lambda v: 255 if v > 245 else 0).getbbox()
        assert bright is not None and bright[0] > WINDOW[0] // 2
    finally:
        assert st.stop() == 0


CLASS_PHOTO_COLOURS = [(230, 40, 40), (40, 220, 60), (40, 90, 240)]


def a_class(tmp_path, now):
    sats = {}
    for i, (name, colour) in enumerate(zip(["sun_pointing", "spin_up", "detumble"], CLASS_PHOTO_COLOURS)):
        address = "127.0.0.%d" % (i + 2)
        photo = tmp_path / ("photo-%d.png" % i)
        Image.new("RGB", (640, 480), colour).save(photo)
        sats[address] = {
            "id": address, "name": name, "address": address, "last_heard": now - 2 - i,
            "state": "running", "exit_status": None, "pointing_deg": 1.25 + i * 10,
            "rate_dps": 0.5 - i, "last_photo": photo.name, "photos": 1, "lines": 20 * (i + 1),
            "alarms": [], "dropped": 0, "photo_files": {photo.name: str(photo)}}
    sats["127.0.0.2"]["alarms"] = ["wheel at its limit"]
    sats["127.0.0.9"] = {
        "id": "127.0.0.9", "name": "board_7", "address": "127.0.0.9", "last_heard": now - 300,
        "state": "ended", "exit_status": 3, "pointing_deg": None, "rate_dps": None,
        "last_photo": None, "photos": 0, "lines": 4, "alarms": ["12 lines lost"], "dropped": 12}
    return FakeClass(sats)


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_overview_has_a_tile_per_satellite(tmp_path, page_server, capsys):
    now = time.time()
    srv = page_server(a_class(tmp_path, now))
    dom = chromium(tmp_path, srv.url, "--dump-dom")
    tiles = dict(re.findall(r'<li class="tile state-\w+ run-[\w-]+" data-id="([\d.]+)">(.*?)</ul></li>',
                            dom, re.S))
    assert sorted(tiles) == ["127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.9"]

    def shown(address, cls):
        m = re.search(r'class="%s"[^>]*>([^<]*)<' % cls, tiles[address])
        return html.unescape(m.group(1)) if m else None

    clock = time.strftime("%H:%M:%S", time.localtime(now - 2))
    assert shown("127.0.0.2", "name") == "sun_pointing"
    # The page's clock runs on in Chromium's virtual time.
    assert re.fullmatch(re.escape(clock) + r", \d+ s ago", shown("127.0.0.2", "heard"))
    assert shown("127.0.0.2", "pointing") == "1.3 °" or shown("127.0.0.2", "pointing") == "1.2 °"
    assert shown("127.0.0.3", "rate") == "-0.50 °/s"
    assert shown("127.0.0.4", "pointing") == "21.2 °" or shown("127.0.0.4", "pointing") == "21.3 °"
    assert shown("127.0.0.2", "alarm") == "wheel at its limit"
    assert shown("127.0.0.9", "name") == "board_7"
    assert shown("127.0.0.9", "pointing") == "–" and shown("127.0.0.9", "alarm") == "12 lines lost"
    assert shown("127.0.0.9", "state run-failed") == "ended 3"
    assert shown("127.0.0.9", "empty") == "no photo yet"
    for address in ("127.0.0.2", "127.0.0.3", "127.0.0.4"):
        assert 'href="/sat/%s"' % address in tiles[address]
        assert re.search(r'<img src="/thumbs/%s/photo-\d\.png"' % re.escape(address), tiles[address])

    with screenshot(tmp_path, srv.url, "overview.png", capsys) as im:
        rgb = im.convert("RGB")
        colours = set(rgb.getdata())
    # Every tile's thumbnail is drawn (JPEG shifts a colour a little).
    for c in CLASS_PHOTO_COLOURS:
        assert any(all(abs(a - b) < 12 for a, b in zip(c, px)) for px in colours), c


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_satellite_page_of_a_board_without_telemetry(tmp_path, page_server):
    now = time.time()
    log = [{"t": now - 5 + i, "time": time.strftime("%Y-%m-%d %H:%M:%S.000", time.localtime(now - 5 + i)),
            "text": "line %d <b>not bold</b>" % i} for i in range(4)]
    srv = page_server(FakeClass({"192.168.1.20": {
        "id": "192.168.1.20", "name": "board_1", "address": "192.168.1.20", "last_heard": now - 1,
        "state": "running", "exit_status": None, "pointing_deg": None, "rate_dps": None,
        "last_photo": None, "photos": 0, "lines": 4, "alarms": [], "dropped": 2, "log": log}}))
    dom = chromium(tmp_path, srv.url + "sat/192.168.1.20", "--dump-dom")
    shown = [html.unescape(x) for x in re.findall(r'<span class="text">(.*?)</span>', dom)]
    assert shown == [x["text"] for x in log]
    assert re.search(r'<p id="no-telemetry" class="empty">No telemetry', dom)
    assert plot_boxes(dom) == {} and "<canvas" not in dom
    assert '<span id="log-dropped" class="alarm">2 lines lost</span>' in dom
    assert "board_1 (192.168.1.20)" in dom


class Browser:
    """Headless Chromium driven over its DevTools socket (on loopback), for
    what a page does when clicked."""

    def __init__(self, tmp_path, url):
        import websocket
        profile = tmp_path / "cdp-profile"
        profile.mkdir()
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-dev-shm-usage", "--user-data-dir=%s" % profile, "--remote-debugging-port=0",
             "--remote-debugging-address=127.0.0.1", "--window-size=%d,%d" % WINDOW, url],
            env=dict(os.environ, HOME=str(tmp_path)), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        active = profile / "DevToolsActivePort"
        # Chromium writes the port, then the browser's socket path, into the file.
        lines = wait_for(lambda: active.exists() and active.read_text().count("\n") >= 1
                         and active.read_text().split(), 30)
        assert lines, "chromium opened no DevTools port"
        port = int(lines[0])
        import urllib.request
        pages = wait_for(lambda: [t for t in json.loads(urllib.request.urlopen(
            "http://127.0.0.1:%d/json/list" % port, timeout=10).read()) if t["type"] == "page"], 15)
        self.ws = websocket.create_connection(pages[0]["webSocketDebuggerUrl"], timeout=15,
                                              suppress_origin=True)
        self.n = 0

    def eval(self, expression):
        self.n += 1
        self.ws.send(json.dumps({"id": self.n, "method": "Runtime.evaluate", "params": {
            "expression": expression, "returnByValue": True, "awaitPromise": True}}))
        for _ in range(1000):
            answer = json.loads(self.ws.recv())
            if answer.get("id") == self.n:
                # No result while the page is between two documents.
                return answer.get("result", {}).get("result", {}).get("value")
        raise AssertionError("no answer to " + expression)

    def screenshot(self, path, element_id=None):
        """A PNG of the page, or of one element of it."""
        self.n += 1
        params = {"format": "png"}
        if element_id:
            r = self.eval("(() => { const e = document.getElementById('%s'); e.scrollIntoView();"
                          "const b = e.getBoundingClientRect(); return [b.x, b.y, b.width, b.height]; })()"
                          % element_id)
            self.n += 1
            params["clip"] = {"x": r[0], "y": r[1], "width": r[2], "height": r[3], "scale": 1}
        self.ws.send(json.dumps({"id": self.n, "method": "Page.captureScreenshot", "params": params}))
        for _ in range(1000):
            answer = json.loads(self.ws.recv())
            if answer.get("id") == self.n:
                import base64
                with open(path, "wb") as f:
                    f.write(base64.b64decode(answer["result"]["data"]))
                return path
        raise AssertionError("no screenshot")

    def wait(self, expression, timeout=15):
        return wait_for(lambda: self.eval(expression), timeout, 0.1)

    def close(self):
        self.ws.close()
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)


# The simulator's faults as its control channel lists them (kelvex-sim faults).
ALL_FAULTS = [{"name": n, "units": u, "value": v} for n, u, v in [
    ("gyro-stuck", 4, None), ("gyro-bias", 4, "deg/s"), ("gyro-noise", 4, "times the nominal noise"),
    ("gyro-dead", 4, None), ("mag-bias", 4, "uT"), ("sun-sensor-dead", 8, None),
    ("sun-sensor-stuck", 8, None), ("light-sensor-dead", 8, None), ("light-sensor-stuck", 8, None),
    ("wheel-stuck", 4, None), ("wheel-limit", 4, "rpm"), ("wheel-dead", 4, None),
    ("coil-dead", 16, None), ("engine-dead", 4, None), ("transmitter-dead", 4, None),
    ("camera-fail", 1, None), ("receiver-quality", 16, "factor"), ("lamp-off", 1, None),
    ("lamp-azimuth", 1, "deg"), ("drop", 1, "probability"), ("corrupt", 1, "probability"),
    ("late", 1, "probability"), ("glue", 1, "probability"), ("delay", 1, "ms"),
    ("baud", 1, "bits/s")]]
SCENARIO = {"file": "scenario.toml", "events": [
    {"when": "at 5 s", "what": "gyro-stuck 0", "done": True},
    {"when": "at 20 s", "what": "clear gyro-stuck 0", "done": False},
    {"when": "when abs(rate_dps) > 10", "what": "lamp off", "done": False}]}


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_instructor_panel_fits_one_screen_and_switches_with_a_click(tmp_path, page_server, capsys):
    Instructor = ground_package().Instructor
    sat = "127.0.0.5"
    forwarder = FakeForwarder([sat], available=ALL_FAULTS, scenario=SCENARIO)
    instructor = Instructor(forwarder)
    srv = page_server(FakeClass({sat: {
        "id": sat, "name": "Ada Lovelace", "address": sat, "last_heard": time.time(),
        "state": "running", "exit_status": None, "pointing_deg": 3.0, "rate_dps": 0.1,
        "last_photo": None, "photos": 0, "lines": 0, "alarms": [], "dropped": 0}}),
        instructor=instructor)
    button = "document.querySelector('#faults button[data-fault=\"%s\"]')"
    family = "document.querySelector('#faults li[data-family=\"%s\"]')"
    browser = Browser(tmp_path, srv.url + "sat/%s#token=%s" % (sat, instructor.token))
    try:
        assert browser.wait(button % "gyro-stuck" + " !== null")
        # The token leaves the address bar as soon as the page has it.
        assert browser.eval("location.hash") == ""
        # A row per unit family, each with one button per kind of fault.
        families = browser.eval("[...document.querySelectorAll('#faults li.family')]"
                                ".map((li) => li.dataset.family + ':' + "
                                "[...li.querySelectorAll('button')].map((b) => b.textContent).join(','))")
        assert families == ["gyro:stuck,bias,noise,dead", "mag:bias", "sun-sensor:dead,stuck",
                            "light-sensor:dead,stuck", "wheel:stuck,limit,dead", "coil:dead",
                            "engine:dead", "transmitter:dead", "camera:fail", "receiver:quality",
                            "lamp:off,azimuth", "line:drop,corrupt,late,glue,delay,baud"]
        assert browser.eval(family % "coil" + ".querySelectorAll('select option').length") == 16
        assert browser.eval(family % "camera" + ".querySelector('select')") is None
        # Unit 2 of the wheels, a value for the limit.
        browser.eval("const w = %s; w.querySelector('select').value = '2';"
                     "w.querySelector('input.value').value = '1500';"
                     "%s.click(); true" % (family % "wheel", button % "wheel-limit"))
        assert wait_for(lambda: forwarder.requests) == [
            (sat, {"fault": "wheel-limit", "unit": 2, "value": 1500})]
        said = "document.getElementById('instructor-state').textContent === '%s'"
        assert browser.wait(said % "wheel-limit 2 switched on")
        browser.eval(button % "gyro-stuck" + ".click()")
        assert browser.wait(said % "gyro-stuck 0 switched on")
        active = "[...document.querySelectorAll('#active-faults li')].map((li) => li.textContent)"
        assert browser.eval(active) == ["wheel-limit 2 = 1500clear", "gyro-stuck 0clear"]
        assert browser.eval("[...document.querySelectorAll('#scenario-events li')]"
                            ".map((li) => li.className + ' ' + li.textContent)") == [
            "done at 5 s: gyro-stuck 0", "next at 20 s: clear gyro-stuck 0",
            "next when abs(rate_dps) > 10: lamp off"]
        assert browser.eval("document.getElementById('scenario-title').textContent") == \
            "scenario scenario.toml: 2 of 3 events to come"
        # The whole panel on one screen of the page's window.
        bottom = browser.eval("document.getElementById('instructor-panel').getBoundingClientRect().height")
        assert bottom < WINDOW[1] * 0.45, bottom
        browser.eval("document.querySelector('#active-faults button.clear[data-fault=\"wheel-limit\"]').click()")
        assert wait_for(lambda: len(forwarder.requests) == 3)
        assert forwarder.requests[2] == (sat, {"clear": "wheel-limit", "unit": 2})
        assert browser.wait(active + ".length === 1")
        shot = tmp_path / "instructor-panel.png"
        browser.screenshot(shot, "instructor-panel")
        with capsys.disabled():
            print("\nscreenshot: %s" % shot)

        # A student's tab without the token sees the form, and a guess gets nowhere.
        browser.eval("sessionStorage.clear(); location.reload(); true")
        assert browser.wait("!document.getElementById('token-form').hidden")
        browser.eval("document.getElementById('token-input').value = 'guess';"
                     "document.querySelector('#token-form button').click(); true")
        assert browser.wait(said % "token refused")
        assert len(forwarder.requests) == 3
    finally:
        browser.close()


def ended(address, name, run, status, time_limited=False, state="ended"):
    return {"id": address, "name": name, "address": address, "last_heard": time.time() - 5,
            "state": state, "exit_status": status, "time_limited": time_limited, "run": run,
            "pointing_deg": 0.4, "rate_dps": 0.0, "last_photo": None, "photos": 0, "lines": 12,
            "alarms": [], "dropped": 0}


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_tiles_say_how_each_run_ended_and_a_review_says_what_it_reviews(tmp_path, page_server, capsys):
    sats = [ended("127.0.0.2", "Ada Lovelace", "20261209-091500-11", None, state="running"),
            ended("127.0.0.3", "Bo Chen", "20261209-091500-12", 0),
            ended("127.0.0.4", "Cy Diaz", "20261209-091500-13", 3),
            ended("127.0.0.5", "Dee Dunn", "20261209-091500-14", 139),
            ended("127.0.0.6", "Eve Ito", "20261209-091500-15", 143, time_limited=True)]
    srv = page_server(FakeClass({s["id"]: s for s in sats},
                                info={"review": True, "folder": "/srv/class/lab2",
                                      "log_port": None, "ftp_port": None}))
    dom = chromium(tmp_path, srv.url, "--dump-dom")
    states = re.findall(r'<a class="name" href="[^"]*">([^<]*)</a><span class="state ([\w-]+)">([^<]*)<', dom)
    assert states == [("Ada Lovelace", "run-running", "running"), ("Bo Chen", "run-ok", "ended 0"),
                      ("Cy Diaz", "run-failed", "ended 3"), ("Dee Dunn", "run-crashed", "crashed: SIGSEGV"),
                      ("Eve Ito", "run-stopped", "stopped at the time limit")]
    assert '<dd class="run">20261209-091500-14</dd>' in dom
    # A review says so, and of which folder; no ports of a live station.
    assert '<span class="review-note" id="review-note">review of /srv/class/lab2</span>' in dom
    assert "null" not in re.search(r'<header[^>]*>.*?</header>', dom, re.S).group(0)
    assert re.search(r'<span id="status" class="status">review: nothing new arrives</span>', dom)
    with screenshot(tmp_path, srv.url, "class-review.png", capsys) as im:
        assert im.size == WINDOW
    dom = chromium(tmp_path, srv.url + "sat/127.0.0.5", "--dump-dom")
    assert '<span id="sat-state" class="state run-crashed">crashed: SIGSEGV</span>' in dom
    assert '<span id="sat-run" class="count">run 20261209-091500-14</span>' in dom


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_a_chatty_missions_log_marks_leave_the_plots_readable(tmp_path, page_server, capsys):
    sat, t0 = "127.0.0.5", time.time() - 200
    log = [{"t": t0 + 0.08 * i, "time": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t0 + 0.08 * i))
            + ".000", "text": "tick %d" % i} for i in range(2500)]
    srv = page_server(FakeClass({sat: dict(
        ended(sat, "Chatty Cathy", "run-1", None, state="running"), log=log, lines=len(log),
        telemetry={"columns": ["t", "yaw_deg", "rate_dps", "lamp_angle_deg"], "t0_unix": t0,
                   "rows": [[i * 0.05, 30 * (1 - 0.99 ** i), 0.3 * 0.99 ** i, 30 * 0.99 ** i]
                            for i in range(4000)]})}))
    browser = Browser(tmp_path, srv.url + "sat/" + sat)
    try:
        assert browser.wait("document.getElementById('plot-yaw')?.dataset.marks === '2500'", 30)
        box = "document.getElementById('plot-yaw').dataset"
        # 2,500 lines over a plot a few hundred pixels wide: a strip along
        # the top, a column of pixels for many lines, not a line each.
        assert browser.eval(box + ".markStyle") == "strip"
        columns = int(browser.eval(box + ".markColumns"))
        assert 100 < columns < 700, columns
        # The curve shows through: most of the plot area is not mark-blue.
        blue = browser.eval("""(() => {
            const u = plots.plots.get('yaw').u, c = u.ctx, b = u.bbox;
            const d = c.getImageData(b.left, b.top + 10, b.width, b.height - 20).data;
            let n = 0;
            for (let i = 0; i < d.length; i += 4) if (d[i + 2] > 200 && d[i] < 140) n++;
            return n / (d.length / 4);
        })()""")
        assert blue < 0.05, blue
        shot = tmp_path / "chatty-plots.png"
        browser.screenshot(shot, "telemetry-panel")
        with capsys.disabled():
            print("\nscreenshot: %s" % shot)
    finally:
        browser.close()


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_cursor_on_a_plot_points_at_the_log_line_of_that_time(tmp_path, page_server):
    sat, t0 = "127.0.0.5", time.time() - 100
    log = [{"t": t0 + 10 * i, "time": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(t0 + 10 * i))
            + ".000", "text": "step %d" % i} for i in range(8)]
    srv = page_server(FakeClass({sat: {
        "id": sat, "name": "sun_pointing", "address": sat, "last_heard": t0 + 70, "state": "running",
        "exit_status": None, "pointing_deg": 3.0, "rate_dps": 0.1, "last_photo": None, "photos": 0,
        "lines": len(log), "alarms": [], "dropped": 0, "log": log,
        "telemetry": {"columns": ["t", "yaw_deg", "rate_dps"], "t0_unix": t0,
                      "rows": [[i * 0.5, i * 0.1, 0.1] for i in range(160)]}}}))
    browser = Browser(tmp_path, srv.url + "sat/" + sat)
    try:
        assert browser.wait("document.getElementById('plot-yaw')?.dataset.marks === '8'")
        # Just after the fourth line (t0 + 30 s), on the rate plot.
        browser.eval("const u = plots.plots.get('rate').u;"
                     "u.setCursor({left: u.valToPos(%r, 'x') + 1, top: 10}); true" % (t0 + 31))
        assert browser.wait("document.getElementById('cursor-line').textContent.endsWith('step 3')")
        assert browser.eval("document.querySelector('#log li.at-cursor .text').textContent") == "step 3"
    finally:
        browser.close()


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_runs_that_left_the_tiles_are_listed_and_their_pages_stay(tmp_path):
    from groundkit import configured
    st = configured(str(tmp_path), "[station]\nmax_satellites = 4\n", single=False)
    try:
        for i in range(6):
            headers = st.register("case-%d" % i, name="student %d" % i)
            assert st.post("/api/ingest/log", {"lines": ["PASS case %d\n" % i]}, headers=headers)[0] == 200
            assert st.post("/api/ingest/status", {"state": "ended", "exit_status": i % 2},
                           headers=headers)[0] == 200
        dom = chromium(tmp_path, st.url, "--dump-dom")
        assert re.findall(r'<li class="tile [^"]*" data-id="([\w-]+)"', dom) == \
            ["case-2", "case-3", "case-4", "case-5"]
        assert "2 earlier runs, no longer live" in dom
        earlier = re.findall(r'<li class="earlier-run" data-id="([\w-]+)"><a class="name" '
                             r'href="([^"]+)">([^<]*)</a> <span class="state [\w-]+">([^<]*)</span>', dom)
        assert earlier == [("case-1", "/sat/case-1", "student 1", "ended 1"),
                           ("case-0", "/sat/case-0", "student 0", "ended 0")]
        dom = chromium(tmp_path, st.url + "sat/case-1", "--dump-dom")
        assert "student 1 (127.0.0.1)" in dom and ">ended 1<" in dom
        assert [html.unescape(x) for x in re.findall(r'<span class="text">(.*?)</span>', dom)] == \
            ["PASS case 1"]
    finally:
        assert st.stop() == 0
