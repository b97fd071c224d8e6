"""What the lab tools know of kelvex-sim before any run: the telemetry
columns it writes and the long options it takes. Checks written before a run
are held against the tables below (a test holds them against the build's
kelvex-sim, `columns` and `options`); after a run, against the telemetry's
own header. This module is the one place the lab reads them from: nothing
asks the simulator for them."""

import os
import shutil
import subprocess

TELEMETRY_COLUMNS = (
    "t", "yaw_deg", "rate_dps", "wheel_rpm", "lamp_angle_deg", "lamp_azimuth_deg",
    "wheel_cmd_rpm", "momentum_nms", "torque_nm", "sunbattery0_raw",
    "arm_on", "sunbattery_on", "light_sensor_on", "sun_sensor_on", "accelerometer_on",
    "magnetometer_on", "hyro_on", "motor_on", "fan_on", "coil_on", "engine_on",
    "transmitter_on", "receiver_on", "transceiver_on", "arduino_on",
    "requests", "dropped", "corrupted", "late", "glued", "lamp_on",
    "battery_attached", "battery_charge_ah", "battery_consumption_ma", "battery_charging_ma",
    "battery_sun_charging_ma", "battery_controller_view_ma",
    "light_sensor_booked", "sun_sensor_booked", "magnetometer_booked", "hyro_booked",
    "motor_booked", "transmitter_booked", "transceiver_booked", "camera_booked",
)

# Options a lab sheet's [run] table may set: kind "number", "text" or "flag".
RUN_OPTIONS = {
    "seed": "number", "noise": "number", "telemetry-rate": "number",
    "lamp-azimuth": "number", "lamp-intensity": "number", "yaw": "number", "rate": "number",
    "body-inertia": "number", "wheel-inertia": "number", "motor-tau": "number",
    "max-rpm": "number", "friction": "number",
    "field-horizontal": "number", "field-vertical": "number",
    "drop": "number", "corrupt": "number", "late": "number", "late-ms": "number",
    "glue": "number", "delay": "number", "baud": "number", "ncells": "number",
    "verbose": "flag", "no-ground": "flag",
    "ftp-port": "number", "http-port": "number",
    "time-limit": "number", "station": "text",
}

# Options that place a run's files: the run itself decides them, so a lab
# sheet may not.
RUN_FOLDER_OPTIONS = ("telemetry", "state", "ground-dir", "run-dir", "link", "checks",
                      "scenario")
# Options of a sitting at the desk, not of a lab.
DESK_OPTIONS = ("name", "keep-station", "no-plot")
# Options kelvex-sim takes beside its table (short forms too).
EXTRA_OPTIONS = {"verbose": "flag"}


# The environment variable that names each program a lab tool runs.
ENVIRONMENT = {"kelvex-sim": "KELVEX_SIM", "kelvex-plot": "KELVEX_PLOT"}


class Programs:
    """The kit's programs a lab tool runs: configured maps a name to the path
    the build or installation gave the tool's launcher."""

    def __init__(self, configured=None):
        self.configured = dict(configured or {})

    def find(self, name):
        """The environment's choice, the configured path, then PATH."""
        for c in (os.environ.get(ENVIRONMENT.get(name, "")), self.configured.get(name)):
            if c and os.access(c, os.X_OK):
                return c
        return shutil.which(name)


def ask(*args, sim=None):
    """Lines the kelvex-sim at sim (default: Programs().find) prints for
    args, or None when it cannot tell."""
    sim = sim or Programs().find("kelvex-sim")
    if not sim:
        return None
    try:
        r = subprocess.run([sim, *args], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return None
    return r.stdout.splitlines() if r.returncode == 0 and r.stdout.strip() else None


def telemetry_columns():
    return TELEMETRY_COLUMNS


def run_options():
    """{option: kind} a lab sheet's [run] table may set."""
    return RUN_OPTIONS
