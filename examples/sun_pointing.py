#!/usr/bin/env python3
"""Sun pointing: find the lamp with the sun sensors, turn the satellite to it
with the reaction wheel (motor 0), hold it within 2 degrees, report to the
ground station, then photograph the lamp and transmit the photo.

    python3 sun_pointing.py /dev/ttyAMA0

On the virtual satellite: kelvex-sim run -- python3 sun_pointing.py (the
launcher passes the line in KELVEX_TTY and the ground station's FTP
directory in KELVEX_FTP_PATH).

The eight sun sensors sit around the body, 45 degrees apart, sensor 0 looking
along the camera axis (+x). Each sees +-45 degrees; the one with the strongest
signal gives the angle to the lamp. Turning the wheel one way turns the body
the other way: a body rate of 1 deg/s takes about WHEEL_RPM_PER_DPS of wheel
speed (a calibration of the kit).

The gyroscope is cross-checked against the sun sensors: a gyroscope that
answers the very same reading again and again (a real one always has some
noise), or that disagrees with how fast the lamp moves across the sun
sensors, is set aside. The satellite then steers by the sun sensors and by
the momentum it keeps: the body's rate with the wheel stopped only changes
under outside torques, so the wheel's speed tells the body's rate.
"""

import os
import sys
import time

import kelvex

SUN_SENSORS = 8
SENSOR_SPACING_DEG = 45.0
LAMP_SEEN = 100          # summed signal over ambient that counts as the lamp
WHEEL_RPM_PER_DPS = 167.0
GYRO_COUNTS_PER_DPS = 100.0
GAIN_PER_S = 0.8         # commanded rate per degree of error
MAX_RATE_DPS = 20.0
SEARCH_RATE_DPS = 10.0
HOLD_DEG = 2.0
SETTLED_S = 3.0          # inside HOLD_DEG this long counts as pointed
HOLD_S = 8.0             # then hold this long before the final report
GIVE_UP_S = 90.0
PERIOD_S = 0.05
PHOTO = 1                # photos/1.jpeg
TRANSMITTER = 0
GYRO_FROZEN_READS = 10   # the very same reading this often in a row: stuck
GYRO_DISAGREE_DPS = 4.0  # gyroscope and sun sensors this far apart ...
GYRO_DISAGREE_S = 1.0    # ... for this long: the gyroscope is wrong
SUN_RATE_WEIGHT = 0.25   # of each new rate seen by the sun sensors
MOMENTUM_WEIGHT = 0.1    # of each new momentum the sun sensors give


def report(text: str) -> None:
    print(text, flush=True)
    kelvex.buzz("sun pointing: " + text + "\n")


def wrap(deg: float) -> float:
    return (deg + 180.0) % 360.0 - 180.0


def clip(value: float, limit: float) -> float:
    return max(-limit, min(limit, value))


def lamp_angle() -> float | None:
    """Angle from the camera axis to the lamp, counter-clockwise positive, or
    None when no sensor sees it."""
    readings: list[tuple[int, int]] = []
    for k in range(SUN_SENSORS):
        status, pos, neg = kelvex.sun_sensor_request_raw(k)
        if status != 0:
            return None
        readings.append((pos, neg))
    # The dark sensors read the room's background on both channels; stay a
    # little under it so that their noise does not matter.
    ambient = min(min(pair) for pair in readings)
    ambient = ambient - 3 if ambient > 3 else 0
    sums = [pos + neg - 2 * ambient for pos, neg in readings]
    best = max(range(SUN_SENSORS), key=lambda k: sums[k])
    if sums[best] < LAMP_SEEN:
        return None
    status, in_sensor = kelvex.sunsensors_angle(readings[best][0], readings[best][1], ambient)
    if status != 0:
        return None
    return wrap(best * SENSOR_SPACING_DEG + in_sensor)


class RateEstimate:
    """What the mission knows of its rate: the gyroscope while it can be
    trusted, else the sun sensors and the momentum."""

    def __init__(self) -> None:
        self.last: tuple[int, int, int] | None = None
        self.same = 0                 # readings equal to the one before, in a row
        self.trusted = True
        self.disagree_since: float | None = None
        self.angle: float | None = None
        self.angle_t = 0.0
        self.sun_rate: float | None = None   # deg/s, from the lamp's motion
        self.momentum = 0.0           # the body's rate with the wheel stopped, deg/s

    def see_lamp(self, angle: float | None, t: float) -> None:
        if angle is not None and self.angle is not None and 0 < t - self.angle_t < 0.5:
            # The lamp moves across the body the other way from the body.
            r = -wrap(angle - self.angle) / (t - self.angle_t)
            self.sun_rate = r if self.sun_rate is None else \
                self.sun_rate + SUN_RATE_WEIGHT * (r - self.sun_rate)
        elif angle is None:
            self.sun_rate = None
        self.angle, self.angle_t = angle, t

    def body_rate(self, t: float, wheel: int) -> float | None:
        status, x, y, z = kelvex.hyro_request_raw(0)
        if status != 0:
            return None
        gyro = z / GYRO_COUNTS_PER_DPS
        self.same = self.same + 1 if (x, y, z) == self.last else 0
        self.last = (x, y, z)
        if self.sun_rate is not None and abs(gyro - self.sun_rate) > GYRO_DISAGREE_DPS:
            if self.disagree_since is None:
                self.disagree_since = t
        else:
            self.disagree_since = None
        frozen = self.same >= GYRO_FROZEN_READS
        wrong = self.disagree_since is not None and t - self.disagree_since >= GYRO_DISAGREE_S
        if self.trusted and (frozen or wrong):
            self.trusted = False
            kelvex.buzz("sun pointing: gyroscope 0 %s; steering by the sun sensors\n"
                        % ("answers the same reading again and again" if frozen
                           else "disagrees with the sun sensors"))
        elif (not self.trusted and not frozen and self.sun_rate is not None
              and self.disagree_since is None):
            self.trusted = True
            kelvex.buzz("sun pointing: gyroscope 0 agrees with the sun sensors again\n")
        wheel_dps = wheel / WHEEL_RPM_PER_DPS
        if self.trusted:
            self.momentum = gyro + wheel_dps
            return gyro
        if self.sun_rate is not None:
            self.momentum += MOMENTUM_WEIGHT * (self.sun_rate + wheel_dps - self.momentum)
        return self.momentum - wheel_dps


def point_at_the_lamp() -> float | None:
    """Turns to the lamp and holds it; the last angle seen, None when lost."""
    for k in range(SUN_SENSORS):
        kelvex.sun_sensor_turn_on(k)
    kelvex.hyro_turn_on(0)
    kelvex.motor_turn_on(0)
    report("looking for the lamp")

    start = time.monotonic()
    settled_since: float | None = None
    pointed_at: float | None = None
    last_print: float | None = None
    angle = None
    reported_seen = False
    estimate = RateEstimate()
    while time.monotonic() - start < GIVE_UP_S:
        t = time.monotonic() - start
        angle = lamp_angle()
        estimate.see_lamp(angle, t)
        status, wheel = kelvex.motor_request_speed(0)
        rate = estimate.body_rate(t, wheel) if status == 0 else None
        if rate is None:
            time.sleep(PERIOD_S)
            continue
        if angle is not None:
            if not reported_seen:
                report("lamp seen %.1f deg off the camera axis" % angle)
                reported_seen = True
            want = clip(GAIN_PER_S * angle, MAX_RATE_DPS)
        else:
            want = SEARCH_RATE_DPS
        # The body's rate with the wheel stopped: what the wheel has to take
        # away or add to reach the wanted rate.
        free_rate = rate + wheel / WHEEL_RPM_PER_DPS
        command = clip((free_rate - want) * WHEEL_RPM_PER_DPS, 8000)
        kelvex.motor_set_speed(0, int(round(command)))

        if angle is not None and abs(angle) < HOLD_DEG:
            if settled_since is None:
                settled_since = t
            if pointed_at is None and t - settled_since >= SETTLED_S:
                pointed_at = t
                report("holding the lamp, error %.2f deg after %.1f s" % (angle, t))
        else:
            settled_since = None
        if last_print is None or t - last_print >= 1.0:
            print("t=%5.1f s  lamp %s  rate %6.2f deg/s  wheel %5d rpm"
                  % (t, "unseen" if angle is None else "at %7.2f deg" % angle, rate, wheel),
                  flush=True)
            last_print = t
        if pointed_at is not None and t - pointed_at >= HOLD_S:
            break
        time.sleep(PERIOD_S)

    if angle is None:
        report("lamp lost")
    else:
        report("final pointing error %.2f deg" % abs(angle))
    return angle if pointed_at is not None else None


def step(what: str, result: int) -> bool:
    report("%s: %s (%d)" % (what, "done" if result == 0 else "failed", result))
    return result == 0


def photograph_the_lamp() -> bool:
    """The camera looks along +x, so a held lamp is in the middle of the
    photo. True when the photo went out."""
    sent = False
    if (step("camera on", kelvex.camera_turn_on())
            and step("photo %d taken into photos/%d.jpeg" % (PHOTO, PHOTO),
                     kelvex.camera_take_photo(PHOTO))
            and step("transmitter %d on" % TRANSMITTER, kelvex.transmitter_turn_on(TRANSMITTER))):
        sent = step("photo %d transmitted" % PHOTO,
                    kelvex.transmitter_transmit_photo(TRANSMITTER, PHOTO))
        kelvex.transmitter_turn_off(TRANSMITTER)
    kelvex.camera_turn_off()
    return sent


def main() -> int:
    tty = os.environ.get("KELVEX_TTY") or (sys.argv[1] if len(sys.argv) > 1 else None)
    if not tty:
        print("usage: sun_pointing.py <tty>  (or set KELVEX_TTY)", file=sys.stderr)
        return 2

    kelvex.online(tty)
    try:
        if os.environ.get("KELVEX_FTP_PATH"):
            kelvex.cvar.ftp_path = os.environ["KELVEX_FTP_PATH"]
        angle = point_at_the_lamp()
        if angle is None or abs(angle) >= HOLD_DEG:
            report("no photo, the lamp is not held")
            return 1
        return 0 if photograph_the_lamp() else 1
    finally:
        # The wheel keeps its speed: stopping it would turn the body away.
        kelvex.offline()


if __name__ == "__main__":
    sys.exit(main())
