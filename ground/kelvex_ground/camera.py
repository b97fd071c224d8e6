"""The desktop stand-in for the capture tool: draws what the virtual
satellite's camera sees. The camera looks along the body's yaw axis direction
(yaw 0 looks at azimuth 0) with a 60 degree horizontal field of view and a
pinhole projection. Angles count counter-clockwise seen from above, so a lamp
at a positive angle from the camera axis shows left of the image centre."""

import math
import os
import sys

FIELD_OF_VIEW_DEG = 60.0
LAMP_RADIUS_FRACTION = 0.045     # of the image width
HORIZON_FRACTION = 0.58          # of the image height, from the top
LAMP_HEIGHT_FRACTION = 0.40
ROOM = (14, 16, 22)
FLOOR = (28, 26, 24)
NEEDS_SIM = ("streamer: this stand-in draws the virtual satellite's view and needs "
             "the virtual satellite: run the mission with kelvex-sim run "
             "(KELVEX_SIM_STATE %s)")


class UsageError(Exception):
    pass


def read_state(path):
    """The simulator's state file: key=value lines with numbers."""
    state = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, sep, value = line.partition("=")
            if not sep:
                continue
            try:
                state[key.strip()] = float(value)
            except ValueError:
                pass
    if "yaw_deg" not in state or not ("lamp_angle_deg" in state or "lamp_azimuth_deg" in state):
        raise ValueError("no yaw_deg and lamp angle in %s" % path)
    return state


def lamp_angle(state):
    """Signed angle from the camera axis to the lamp, in (-180, 180]."""
    if "lamp_angle_deg" in state:
        a = state["lamp_angle_deg"]
    else:
        a = state["lamp_azimuth_deg"] - state["yaw_deg"]
    a = math.fmod(a, 360.0)
    if a > 180.0:
        a -= 360.0
    elif a <= -180.0:
        a += 360.0
    return a


def lamp_x(angle_deg, width):
    """Horizontal pixel position of the lamp's centre, or None when it is
    behind the camera."""
    if abs(angle_deg) >= 90.0:
        return None
    focal = (width / 2.0) / math.tan(math.radians(FIELD_OF_VIEW_DEG / 2.0))
    return width / 2.0 - focal * math.tan(math.radians(angle_deg))


def render(state, width, height):
    from PIL import Image, ImageDraw, ImageFilter

    image = Image.new("RGB", (width, height), ROOM)
    draw = ImageDraw.Draw(image)
    horizon = int(height * HORIZON_FRACTION)
    draw.rectangle([0, horizon, width, height], fill=FLOOR)
    draw.line([0, horizon, width, horizon], fill=(40, 40, 44), width=2)

    angle = lamp_angle(state)
    x = lamp_x(angle, width)
    r = max(2.0, width * LAMP_RADIUS_FRACTION)
    y = height * LAMP_HEIGHT_FRACTION
    if x is not None and -4 * r < x < width + 4 * r:
        glow = Image.new("L", (width, height), 0)
        ImageDraw.Draw(glow).ellipse([x - 2.5 * r, y - 2.5 * r, x + 2.5 * r, y + 2.5 * r], fill=90)
        glow = glow.filter(ImageFilter.GaussianBlur(r))
        image.paste((255, 210, 140), (0, 0), glow)
        draw.ellipse([x - r, y - r, x + r, y + r], fill=(255, 252, 235))

    text = "t=%.2f s  yaw=%.1f deg  lamp=%+.1f deg" % (state.get("t", 0.0), state["yaw_deg"], angle)
    draw.text((10, height - 22), text, fill=(200, 220, 200))
    draw.text((10, 8), "kelvex virtual camera", fill=(120, 130, 140))
    return image


def parse_args(argv):
    size, out = (640, 480), None
    i = 0
    while i < len(argv):
        arg = argv[i]
        if arg in ("-s", "-o") and i + 1 < len(argv):
            value = argv[i + 1]
            i += 2
            if arg == "-o":
                out = value
                continue
            w, sep, h = value.partition("x")
            if not (sep and w.isdigit() and h.isdigit() and int(w) > 0 and int(h) > 0):
                raise UsageError("bad size %r, expected WIDTHxHEIGHT" % value)
            size = (int(w), int(h))
        elif arg == "-q":
            i += 1
        else:
            raise UsageError("unknown argument %r" % arg)
    if out is None:
        raise UsageError("no output file (-o FILE)")
    return size, out


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        (width, height), out = parse_args(argv)
    except UsageError as e:
        print("streamer: %s\nusage: streamer [-q] [-s WIDTHxHEIGHT] -o FILE.jpeg" % e, file=sys.stderr)
        return 2
    path = os.environ.get("KELVEX_SIM_STATE")
    if not path:
        print(NEEDS_SIM % "is not set", file=sys.stderr)
        return 1
    try:
        state = read_state(path)
    except (OSError, ValueError) as e:
        print(NEEDS_SIM % ("unreadable: %s" % e), file=sys.stderr)
        return 1
    if state.get("camera_fail", 0) != 0:
        # A fault the simulator switched on: the capture fails as a broken
        # camera's would, and no file is written.
        print("streamer: the camera does not answer (camera-fail is on in the simulator)", file=sys.stderr)
        return 1
    tmp = out + ".part"
    try:
        render(state, width, height).save(tmp, "JPEG", quality=90)
        # The mission may upload the file right after; it must be whole.
        os.replace(tmp, out)
    except OSError as e:
        print("streamer: %s" % e, file=sys.stderr)
        return 1
    return 0
