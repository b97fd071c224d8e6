"""The Python twin of clock_flight.c: sleeps, waits on the line, watches the
clock, runs the battery loop in a forked child and starts curl, reporting
each to the ground."""

import os
import subprocess
import time

import kelvex


def say(t0, text):
    kelvex.buzz("clock flight: t=%.6f %s\n" % (time.monotonic() - t0, text))


def main():
    kelvex.online(os.environ["KELVEX_TTY"])
    t0 = time.monotonic()
    shmid = kelvex.accumulator_create(os.environ.get("KELVEX_BATTERY_KEY") or "/tmp")
    kelvex.accumulator_attach(shmid)
    kelvex.battery_set_charge(1.5)
    kelvex.battery_set_discharge_limit(0.0)
    kelvex.battery_set_charge_limit(2.0)
    with_loop = os.environ.get("CLOCK_FLIGHT_BATTERY", "1") != "0"
    loop = os.fork() if with_loop else -1
    if loop == 0:
        kelvex.accumulator()
        os._exit(0)
    # The loop's first requests go first: two processes talking on the line
    # at the same instant would race for it in any clock.
    time.sleep(0.1)
    kelvex.motor_turn_on(0)
    for k in range(6):
        status, pos, neg = kelvex.sun_sensor_request_raw(k)
        say(t0, "sensor %d status %d reads %d %d" % (k, status, pos, neg))
        kelvex.motor_set_speed(0, 1000 * k)
        time.sleep(0.15)
    until = time.time() + 0.25
    looks = 0
    while time.time() < until:
        looks += 1
    say(t0, "after watching the clock %d times" % looks)
    time.sleep(1)
    with open("upload.txt", "w") as f:
        f.write("payload\n")
    ftp = os.environ.get("KELVEX_FTP_PATH", "ftp://127.0.0.1:1")
    curl = subprocess.run(["curl", "-s", "-T", "upload.txt", ftp + "/clock-flight.txt"]).returncode
    say(t0, "curl status %d" % curl)
    time.sleep(1)
    say(t0, "charge %.9f Ah" % kelvex.battery_get_charge())
    # A limit above the charge ends the loop at its next look (a kill would
    # race it).
    kelvex.battery_set_discharge_limit(3.0)
    if with_loop:
        os.waitpid(loop, 0)
    kelvex.motor_turn_off(0)
    say(t0, "done")
    kelvex.offline()


if __name__ == "__main__":
    main()
