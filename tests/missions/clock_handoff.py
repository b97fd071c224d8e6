"""The Python twin of clock_handoff.c: threads hand work to one another
through an event, a queue and a join, the giver sleeping again at once;
each wake-up goes to the ground with the time it woke at."""

import os
import queue
import threading
import time

import kelvex

ROUNDS = 12


def say(t0, text):
    kelvex.buzz("handoff: %s t=%.6f\n" % (text, time.monotonic() - t0))


def main():
    kelvex.online(os.environ["KELVEX_TTY"])
    t0 = time.monotonic()
    kelvex.motor_turn_on(0)
    ready = threading.Event()

    def sets():
        for _ in range(ROUNDS):
            time.sleep(0.02)
            ready.set()
            time.sleep(0.001)

    giver = threading.Thread(target=sets)
    giver.start()
    for i in range(ROUNDS):
        ready.wait()
        ready.clear()
        woke = time.monotonic() - t0
        kelvex.sun_sensor_request_raw(i % 8)
        kelvex.buzz("handoff: event %d woke t=%.6f\n" % (i, woke))
    giver.join()
    jobs = queue.Queue()

    def puts():
        for i in range(ROUNDS):
            time.sleep(0.02)
            jobs.put(i)

    giver = threading.Thread(target=puts)
    giver.start()
    for i in range(ROUNDS):
        job = jobs.get()
        woke = time.monotonic() - t0
        kelvex.motor_set_speed(0, 500 * job)
        kelvex.buzz("handoff: queue %d woke t=%.6f\n" % (job, woke))
    giver.join()
    for i in range(ROUNDS):
        t = threading.Thread(target=time.sleep, args=(0.02,))
        t.start()
        t.join()
        say(t0, "join %d woke" % i)
    kelvex.motor_turn_off(0)
    say(t0, "done")
    kelvex.offline()


if __name__ == "__main__":
    main()
