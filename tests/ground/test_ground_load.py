"""A small class on one station (bench/experiments/station-load runs the full count):
every line reaches its own satellite's log, none another's, and every
telemetry row arrives, while the pages poll."""

import json
import os
import subprocess

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "experiments", "station-load")


def test_five_satellites_for_ten_seconds_lose_and_mix_up_nothing():
    r = subprocess.run(["/usr/bin/python3", SCRIPT, "--satellites", "5", "--seconds", "10", "--json"],
                       capture_output=True, text=True, timeout=180)
    figures = json.loads(r.stdout)
    assert r.returncode == 0, (figures, r.stderr)
    assert figures["lines_sent"] >= 5 * 20 * 9
    assert (figures["lines_lost"], figures["misattributed"], figures["telemetry_rows_lost"]) == (0, 0, 0)
    assert figures["lines_in_station_log"] == figures["lines_sent"]
    # The reader saw every line through the API, so a latency exists for each.
    assert figures["latency_samples"] == figures["lines_sent"]
    assert figures["station_drops"] == {"kernel": 0, "queue": 0, "file": 0, "refused": 0,
                                        "strangers": 0}
