"""The instructor's panel wired to the simulator's control channel (a fake
one): the per-run station switching through the socket, a shared station
switching through the run's own station, and a click in Chromium
reaching the channel. Only the instructor's token gets through."""

import csv
import http.client
import json
import os
import re
import subprocess
import time
import urllib.request

import pytest

from groundkit import FakeClass, Station, ground_package, page_server, wait_for  # noqa: F401
from test_ground_page import CHROMIUM, Browser

SAT = "127.0.0.5"


def control_module():
    ground_package()
    from kelvex_ground import control
    return control


def a_satellite():
    return FakeClass({SAT: {
        "id": SAT, "name": "sun_pointing", "address": SAT, "last_heard": time.time(),
        "state": "running", "exit_status": None, "pointing_deg": 3.0, "rate_dps": 0.1,
        "last_photo": None, "photos": 0, "lines": 0, "alarms": [], "dropped": 0}})


def per_run_station(page_server, socket_path):
    web, control = ground_package(), control_module()
    instructor = web.Instructor(control.SocketForwarder(socket_path))
    return page_server(a_satellite(), instructor=instructor), instructor


def post(server, body, token=None, sat=SAT):
    headers = {"Content-Type": "application/json"}
    if token is not None:
        headers["X-Kelvex-Token"] = token
    status, _, answer = server.request("POST", "/api/sat/%s/fault" % sat, headers,
                                       json.dumps(body))
    return status, answer


def test_only_one_well_formed_command_reaches_the_simulator():
    command = control_module().request_command
    assert command({"fault": "gyro-bias", "unit": 1, "value": 2.5}) == \
        "fault gyro-bias unit=1 value=2.5 source=panel"
    assert command({"clear": "lamp-off"}) == "clear lamp-off unit=0 source=panel"
    for bad in ({"fault": "gyro-stuck\nclear lamp-off"}, {"fault": "gyro-stuck source=x"},
                {"fault": "gyro-stuck", "unit": True}, {"fault": "gyro-stuck", "unit": -1},
                {"fault": "gyro-stuck", "source": "control"}, {"clear": "gyro-bias", "value": 1},
                {"fault": "gyro-bias", "value": float("nan")}, {"fault": "a", "clear": "a"}, {}):
        with pytest.raises(ValueError):
            command(bad)


def test_the_token_switches_faults_on_the_simulator(page_server, fake_control):
    srv, instructor = per_run_station(page_server, fake_control.path)
    assert post(srv, {"fault": "gyro-stuck", "unit": 0})[0] == 401
    assert post(srv, {"fault": "gyro-stuck", "unit": 0}, "not-the-token")[0] == 401
    assert instructor.refusal("10.1.2.3", instructor.token) == 403
    assert fake_control.commands == []

    status, answer = post(srv, {"fault": "gyro-stuck", "unit": 2}, instructor.token)
    assert status == 200, answer
    state = json.loads(answer)
    assert state["active"] == [{"fault": "gyro-stuck", "unit": 2, "value": None,
                                "source": "panel"}]
    bias = next(f for f in state["available"] if f["name"] == "gyro-bias")
    assert (bias["units"], bias["value"]) == (4, "value")
    status, answer = post(srv, {"fault": "wheel-dead", "unit": 4}, instructor.token)
    assert (status, json.loads(answer)) == (400, {"error": "wheel-dead: unit 4 out of range"})
    status, _ = post(srv, {"clear": "gyro-stuck", "unit": 2}, instructor.token)
    assert status == 200
    switches = [c for c in fake_control.commands if c.split()[0] in ("fault", "clear")]
    assert switches == ["fault gyro-stuck unit=2 source=panel",
                        "fault wheel-dead unit=4 source=panel",
                        "clear gyro-stuck unit=2 source=panel"]


def test_no_simulator_behind_the_socket_is_no_panel(page_server, tmp_path):
    srv, instructor = per_run_station(page_server, str(tmp_path / "gone.sock"))
    status, _, _ = srv.request("GET", "/api/sat/%s/faults" % SAT,
                               {"X-Kelvex-Token": instructor.token})
    assert status == 404
    assert post(srv, {"fault": "gyro-stuck"}, instructor.token)[0] == 404


def test_the_panel_lists_the_scenarios_events_and_which_went(page_server, fake_control, tmp_path):
    # The run folder holds the control socket, the scenario and events.csv.
    (tmp_path / "scenario.toml").write_text(
        '[[event]]\nat = 20\nclear = "gyro-stuck"\nunit = 1\n'
        '[[event]]\nat = 5\nfault = "gyro-stuck"\nunit = 1\n'
        '[[event]]\nwhen = "abs(rate_dps) > 10"\nlamp = "off"\n'
        '[[event]]\nat = 30\nlamp-azimuth = 200\n')
    (tmp_path / "events.csv").write_text(
        "t,source,action,name,unit,value\n"
        "3.000,panel,fault,gyro-stuck,1,\n"
        "5.012,scenario,fault,gyro-stuck,1,\n"
        "7.500,scenario,fault,lamp-off,0,\n")
    srv, instructor = per_run_station(page_server, fake_control.path)
    status, _, answer = srv.request("GET", "/api/sat/%s/faults" % SAT,
                                    {"X-Kelvex-Token": instructor.token})
    assert status == 200
    assert json.loads(answer)["scenario"] == {"file": "scenario.toml", "events": [
        {"when": "at 5 s", "what": "gyro-stuck 1", "done": True},
        {"when": "at 20 s", "what": "clear gyro-stuck 1", "done": False},
        {"when": "at 30 s", "what": "lamp at 200 deg", "done": False},
        {"when": "when abs(rate_dps) > 10", "what": "lamp off", "done": True}]}
    os.remove(tmp_path / "scenario.toml")
    status, _, answer = srv.request("GET", "/api/sat/%s/faults" % SAT,
                                    {"X-Kelvex-Token": instructor.token})
    assert json.loads(answer)["scenario"] is None


def test_a_shared_station_switches_through_the_runs_own_station(tmp_path, fake_control):
    """The class station never connects to a run: the run's own station asks
    for the panel's switches with its secret and brings the simulator's own
    answer back. A status carrying a control address re-points nothing."""
    shared = Station(str(tmp_path), single=False, name="shared")
    token = shared.info["instructor_token"]
    evil = Station(str(tmp_path), extra=("--control", fake_control.path), name="evil")
    own = None
    try:
        forger = shared.register("r9-forger", "Mallory", source="127.0.0.9")
        assert shared.post("/api/ingest/status", {"state": "running", "control_url": evil.url,
                                                  "control_token": evil.info["instructor_token"]},
                           headers=forger)[0] == 200
        # A status names no route: the forger's satellite has no panel.
        assert switch(shared, "r9-forger", {"fault": "gyro-stuck"}, token)[0] == 404

        own = Station(str(tmp_path), ["--upstream", shared.url, "--control", fake_control.path,
                                      "--run-id", "r1", "--name", "Ada"],
                      bind="127.0.0.7", name="own")
        assert wait_for(lambda: switch(shared, "r1", None, token)[0] == 200)
        assert switch(shared, "r1", {"fault": "gyro-stuck"}, own.info["instructor_token"])[0] == 401
        status, answer = switch(shared, "r1", {"fault": "gyro-bias", "unit": 1, "value": -0.5}, token)
        assert status == 200, answer
        assert json.loads(answer)["active"][0]["fault"] == "gyro-bias"
        status, answer = switch(shared, "r1", {"clear": "gyro-stuck", "unit": 0}, token)
        assert (status, json.loads(answer)) == (400, {"error": "gyro-stuck unit 0 is not on"})
        assert [c for c in fake_control.commands if c.startswith(("fault", "clear"))] == [
            "fault gyro-bias unit=1 value=-0.5 source=panel", "clear gyro-stuck unit=0 source=panel"]
    finally:
        for st in (own, evil, shared):
            if st is not None:
                assert st.stop() == 0


def switch(station, sat, request, token):
    """(status, body) of the panel's switch on a station (request None: its
    faults)."""
    conn = http.client.HTTPConnection(station.bind, station.http_port, timeout=15)
    try:
        if request is None:
            conn.request("GET", "/api/sat/%s/faults" % sat, headers={"X-Kelvex-Token": token})
        else:
            conn.request("POST", "/api/sat/%s/fault" % sat, body=json.dumps(request),
                         headers={"X-Kelvex-Token": token, "Content-Type": "application/json"})
        r = conn.getresponse()
        return r.status, r.read().decode()
    finally:
        conn.close()


def test_the_station_prints_its_token_and_takes_it(tmp_path, fake_control):
    st = Station(str(tmp_path), extra=("--control", fake_control.path))
    try:
        said = wait_for(lambda: "instructor token " in st.stderr() and st.stderr())
        token = said.split("instructor token ", 1)[1].split()[0]
        assert "#token=%s" % token in said and st.info["instructor_token"] == token
        # The ready file holds the token: its owner's alone.
        assert os.stat(st.ready).st_mode & 0o777 == 0o600
        request = urllib.request.Request(
            st.url + "api/sat/127.0.0.1/fault", method="POST",
            data=json.dumps({"fault": "lamp-off"}).encode(),
            headers={"X-Kelvex-Token": token, "Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as r:
            assert json.loads(r.read())["active"][0]["fault"] == "lamp-off"
        assert "fault lamp-off unit=0 source=panel" in fake_control.commands
    finally:
        assert st.stop() == 0, st.stderr()


@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_a_click_on_the_panel_reaches_the_simulator(tmp_path, page_server, fake_control):
    srv, instructor = per_run_station(page_server, fake_control.path)
    wheel = "document.querySelector('#faults li[data-family=\"wheel\"]')"
    browser = Browser(tmp_path, srv.url + "sat/%s#token=%s" % (SAT, instructor.token))
    try:
        assert browser.wait(wheel + " !== null")
        browser.eval("const w = %s; w.querySelector('select').value = '1';"
                     "w.querySelector('button[data-fault=\"wheel-dead\"]').click(); true" % wheel)
        assert wait_for(lambda: "fault wheel-dead unit=1 source=panel" in fake_control.commands)
        assert browser.wait("document.getElementById('instructor-state').textContent === "
                            "'wheel-dead 1 switched on'")
        assert browser.wait("document.querySelector('#active-faults button.clear"
                            "[data-fault=\"wheel-dead\"][data-unit=\"1\"]') !== null")
    finally:
        browser.close()


def test_the_panel_of_a_run_switches_its_simulator(tmp_path):
    build = os.environ.get("KELVEX_BUILD_DIR")
    sim = os.path.join(build, "sim", "kelvex-sim") if build else None
    if not sim or not os.access(sim, os.X_OK):
        pytest.skip("needs the build tree's kelvex-sim (KELVEX_BUILD_DIR)")
    if "--fault" not in subprocess.run([sim, "run", "--help"], capture_output=True,
                                       text=True).stdout:
        pytest.skip("this kelvex-sim has no control channel yet (run --help names no --fault)")
    run = tmp_path / "run"
    proc = subprocess.Popen([sim, "run", "--no-plot", f"--run-dir={run}", "--", "/usr/bin/python3",
                             "-c", "import time; time.sleep(8)"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    try:
        panel = None
        for line in proc.stdout:
            panel = re.search(r"instructor's panel (http://[^ ]+/)sat/([0-9.]+)#token=(\S+)", line)
            if panel:
                break
        assert panel, "kelvex-sim named no panel"
        url, sat, token = panel.groups()
        request = urllib.request.Request(
            "%sapi/sat/%s/fault" % (url, sat), method="POST",
            data=json.dumps({"fault": "lamp-off"}).encode(),
            headers={"X-Kelvex-Token": token, "Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as r:
            assert [a["fault"] for a in json.loads(r.read())["active"]] == ["lamp-off"]
        proc.stdout.read()
    finally:
        try:
            proc.wait(60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(10)
    with open(run / "events.csv") as f:
        rows = [(r["source"], r["action"], r["name"]) for r in csv.DictReader(f)]
    assert ("panel", "fault", "lamp-off") in rows
