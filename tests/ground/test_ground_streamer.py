"""The desktop stand-in of the capture tool: a real 640x480 JPEG of what the
virtual satellite's camera sees (60 degree horizontal field of view)."""

import math
import os
import subprocess

import pytest
from PIL import Image

from groundkit import program, sim_state

WIDTH, HEIGHT = 640, 480
FOCAL = (WIDTH / 2) / math.tan(math.radians(30))


def capture(tmp_path, state, name="photo.jpeg", args=None):
    env = dict(os.environ)
    env.pop("KELVEX_SIM_STATE", None)
    if state is not None:
        env["KELVEX_SIM_STATE"] = str(state)
    out = tmp_path / name
    r = subprocess.run(program("streamer") + (args or ["-s", "640x480", "-o", str(out)]),
                       env=env, capture_output=True, text=True, timeout=60)
    return r, out


def lamp_box(path):
    """Bounding box of the lamp's near-white disc, or None."""
    with Image.open(path) as im:
        assert (im.format, im.size) == ("JPEG", (WIDTH, HEIGHT))
        return im.convert("L").point(lambda v: 255 if v > 240 else 0).getbbox()


def centre_x(box):
    return (box[0] + box[2]) / 2


@pytest.mark.parametrize("yaw, lamp_azimuth", [(-10.0, 0.0), (15.0, 0.0), (95.0, 100.0), (-170.0, 175.0)])
def test_lamp_is_where_the_camera_sees_it(tmp_path, yaw, lamp_azimuth):
    angle = lamp_azimuth - yaw
    angle = (angle + 180) % 360 - 180
    state = sim_state(tmp_path / "state", t=12.5, yaw_deg=yaw, rate_dps=0.3, lamp_azimuth_deg=lamp_azimuth,
                      lamp_angle_deg=angle, wheel_rpm=1200)
    r, out = capture(tmp_path, state)
    assert r.returncode == 0, r.stderr
    box = lamp_box(out)
    assert box is not None
    # A positive angle is counter-clockwise from the camera axis: left of centre.
    assert centre_x(box) == pytest.approx(WIDTH / 2 - FOCAL * math.tan(math.radians(angle)), abs=3)
    assert (box[1] + box[3]) / 2 < HEIGHT / 2


def test_turning_the_satellite_moves_the_lamp_across_the_image(tmp_path):
    xs = []
    for yaw in (-20.0, -5.0, 0.0, 12.0, 25.0):
        # Only the lamp's azimuth given: the angle follows from the yaw.
        r, out = capture(tmp_path, sim_state(tmp_path / "state", t=1, yaw_deg=yaw, lamp_azimuth_deg=0))
        assert r.returncode == 0, r.stderr
        xs.append(centre_x(lamp_box(out)))
    assert xs == sorted(xs) and xs[0] < WIDTH / 4 and xs[-1] > 3 * WIDTH / 4
    assert xs[2] == pytest.approx(WIDTH / 2, abs=3)


@pytest.mark.parametrize("angle", [45.0, -60.0, 120.0, 180.0])
def test_lamp_outside_the_field_of_view_is_not_drawn(tmp_path, angle):
    r, out = capture(tmp_path, sim_state(tmp_path / "state", t=3, yaw_deg=0, lamp_angle_deg=angle))
    assert r.returncode == 0, r.stderr
    assert lamp_box(out) is None


def test_image_carries_time_and_yaw(tmp_path):
    # The caption is drawn over the floor at the bottom; a caption for another
    # time or yaw gives other pixels there.
    bottoms = []
    for t, yaw in ((1.0, 0.0), (1.0, 0.0), (2.0, 0.0), (1.0, 7.0)):
        r, out = capture(tmp_path, sim_state(tmp_path / "state", t=t, yaw_deg=yaw, lamp_angle_deg=70))
        assert r.returncode == 0, r.stderr
        with Image.open(out) as im:
            strip = im.convert("L").crop((0, HEIGHT - 30, WIDTH, HEIGHT))
            assert max(strip.getdata()) > 150
            bottoms.append(strip.tobytes())
    assert bottoms[0] == bottoms[1]
    assert bottoms[0] != bottoms[2] and bottoms[0] != bottoms[3]


def test_without_the_virtual_satellite_it_fails(tmp_path):
    for state in (None, tmp_path / "missing", sim_state(tmp_path / "empty", t=1)):
        r, out = capture(tmp_path, state)
        assert r.returncode != 0
        assert "needs the virtual satellite" in r.stderr
        assert not out.exists()


def test_bad_command_lines_are_refused(tmp_path):
    state = sim_state(tmp_path / "state", t=1, yaw_deg=0, lamp_angle_deg=0)
    for args in (["-s", "640x480"], ["-s", "640", "-o", "x.jpeg"], ["-x", "-o", "x.jpeg"]):
        r, _ = capture(tmp_path, state, args=args)
        assert r.returncode == 2
        assert "usage: streamer" in r.stderr
    r, out = capture(tmp_path, state, args=["-s", "320x240", "-o", str(tmp_path / "small.jpeg")])
    assert r.returncode == 0
    with Image.open(tmp_path / "small.jpeg") as im:
        assert im.size == (320, 240)


@pytest.mark.parametrize("flag, works", [(0, True), (1, False)])
def test_a_failed_camera_writes_no_photo(tmp_path, flag, works):
    state = sim_state(tmp_path / "state", t=3, yaw_deg=0, lamp_azimuth_deg=0, camera_fail=flag,
                      transmitter_dead=0)
    r, out = capture(tmp_path, state)
    assert (r.returncode == 0) == works, r.stderr
    assert out.exists() == works
    if not works:
        assert "camera-fail" in r.stderr
