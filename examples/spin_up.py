#!/usr/bin/env python3
"""Spin-up mission: brings the line up, spins motor 0 to 1500 rpm, reads the
light and sun sensors, reports to the ground station and shuts down.

    python3 spin_up.py /dev/ttyAMA0

The virtual satellite's launcher passes the line in KELVEX_TTY instead.
"""

import os
import sys

import kelvex


def report(text: str) -> None:
    print(text)
    kelvex.buzz(text + "\n")


def main() -> int:
    tty = os.environ.get("KELVEX_TTY") or (sys.argv[1] if len(sys.argv) > 1 else None)
    if not tty:
        print("usage: spin_up.py <tty>  (or set KELVEX_TTY)", file=sys.stderr)
        return 2

    kelvex.online(tty)
    try:
        report("spin-up mission started")
        kelvex.motor_turn_on(0)
        status, confirmed = kelvex.motor_set_speed(0, 1500)
        if status != 0:
            report("motor 0 did not confirm its speed (status %d)" % status)
            return 1
        status, rpm = kelvex.motor_request_speed(0)
        report("motor 0 confirmed %d rpm, now %d rpm" % (confirmed, rpm))

        kelvex.light_sensor_turn_on(0)
        status, light = kelvex.light_sensor_request_raw(0)
        if status == 0:
            report("light sensor 0 reads %d" % light)
        kelvex.sun_sensor_turn_on(0)
        status, positive, negative = kelvex.sun_sensor_request_raw(0)
        if status == 0:
            report("sun sensor 0 reads %d / %d" % (positive, negative))

        kelvex.motor_set_speed(0, 0)
        for off in (kelvex.motor_turn_off, kelvex.light_sensor_turn_off,
                    kelvex.sun_sensor_turn_off):
            off(0)
        report("spin-up mission finished")
        return 0
    finally:
        kelvex.offline()


if __name__ == "__main__":
    sys.exit(main())
