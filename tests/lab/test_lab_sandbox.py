"""The sealed room a graded build or mission runs in, tried as a hostile
program would: what it can see, write, signal and reach, and what its limits
do to it. Needs bubblewrap and user namespaces (scripts/deps installs it)."""

import io
import os
import signal
import socket
import subprocess

import pytest

import labkit  # noqa: F401  (puts kelvex_lab on the path)
from kelvex_lab import sandbox

pytestmark = pytest.mark.skipif(sandbox.probe() is not None,
                                reason=f"no sealed rooms here: {sandbox.probe()}")

SMALL = dict(processes=16, memory=256 * sandbox.MB, cpu=5, file=2 * sandbox.MB,
             disk=4 * sandbox.MB, output=64 * 1024)


def sealed(argv, timeout=20, room=None, **limits):
    out = io.BytesIO()
    room = room or sandbox.Room(sandbox.Limits(**{**SMALL, **limits}))
    status, why = sandbox.run(room, argv, out, timeout)
    return status, why, out.getvalue().decode("utf-8", "replace")


def sh(script, **kw):
    return sealed(["sh", "-c", script], **kw)


def test_the_room_sees_only_the_system_and_what_is_bound_in(tmp_path):
    secret = tmp_path / "sheet.toml"
    secret.write_text("secret answer\n")
    mine = tmp_path / "mine"
    mine.mkdir()
    (mine / "mission.py").write_text("print('hi')\n")
    room = sandbox.Room(sandbox.Limits(**SMALL)).read_only(str(mine))
    status, why, out = sealed(
        ["sh", "-c", f"cat {secret}; ls {tmp_path}; echo x > {mine}/mission.py; "
                     f"echo y > /usr/x; cat {mine}/mission.py; ls /; pwd"], room=room)
    assert "secret answer" not in out
    assert "No such file" in out and "Read-only file system" in out
    assert "print('hi')" in out
    assert out.split()[-1] == sandbox.WORK
    assert (mine / "mission.py").read_text() == "print('hi')\n"
    assert status == 0 and why is None


def test_it_sees_and_signals_only_its_own_processes():
    outside = subprocess.Popen(["sleep", "30"])
    try:
        status, _, out = sh(f"ps -e -o pid=,comm= ; kill -9 {outside.pid}; "
                            f"kill -9 -1; echo after")
        assert outside.poll() is None
        listed = [l.split()[1] for l in out.splitlines() if l.strip()[:1].isdigit()]
        assert listed == ["bwrap", "sh", "ps"]
        assert out.count("No such process") == 2 and "after" in out
    finally:
        outside.kill()
        outside.wait()


def test_nothing_survives_the_room_however_it_detached(tmp_path):
    marker = f"kelvex-survivor-{os.getpid()}"
    # The child forks twice, leaves the session and ignores SIGTERM and SIGHUP.
    script = (f"import os, signal, time\n"
              f"if os.fork() == 0:\n"
              f"    os.setsid()\n"
              f"    if os.fork() == 0:\n"
              f"        signal.signal(signal.SIGTERM, signal.SIG_IGN)\n"
              f"        signal.signal(signal.SIGHUP, signal.SIG_IGN)\n"
              f"        os.execvp('sh', ['sh', '-c', 'exec -a {marker} sleep 60'])\n"
              f"    os._exit(0)\n"
              f"time.sleep(60)\n")
    status, why, _ = sealed(["python3", "-c", script], timeout=2)
    assert status is None and why == "killed: time limit 2 s"
    left = subprocess.run(["pgrep", "-f", marker], capture_output=True, text=True).stdout
    assert left == ""


def test_a_fork_bomb_meets_the_process_limit_and_the_machine_does_not():
    status, why, out = sh("bomb() { bomb | bomb & }; bomb; sleep 1; "
                          "echo alive; for i in $(seq 40); do sleep 3 & done; wait",
                          timeout=10, processes=12)
    assert subprocess.run(["true"]).returncode == 0
    assert "Cannot fork" in out or "fork" in out
    assert why in (None, "could not start more processes: process limit 12 processes") or \
        why.startswith("killed: time limit")


def test_disk_output_file_size_and_processor_time_end_it_with_a_reason():
    status, why, _ = sh("i=0; while dd if=/dev/zero of=/work/f$i bs=64k count=16 2>/dev/null; "
                        "do i=$((i+1)); done; dd if=/dev/zero of=/work/last bs=64k count=16")
    assert why == "work folder full: disk limit 4 MB"
    status, why, out = sh("yes flood")
    assert why == "output cut at 0.0625 MB" and len(out) == 64 * 1024
    status, why, _ = sh("head -c 3000000 /dev/zero > /work/big")
    assert status == 128 + signal.SIGXFSZ and why == "killed: file size limit 2 MB"
    status, why, _ = sh("while :; do :; done", cpu=1)
    assert status == 128 + signal.SIGXCPU and why == "killed: processor time limit 1 s"
    status, why, _ = sealed(["python3", "-c", "x = bytearray(400 << 20)"])
    assert why == "ran out of memory: memory limit 256 MB"


def test_its_network_holds_only_what_the_caller_opened_there():
    neighbour = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    neighbour.bind(("127.0.0.1", 0))
    port = neighbour.getsockname()[1]
    out = io.BytesIO()
    s = sandbox.Sealed(sandbox.Room(sandbox.Limits(**SMALL)),
                       ["python3", "-c",
                        "import socket\n"
                        "u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                        f"u.sendto(b'to the neighbour', ('127.0.0.1', {port}))\n"
                        "u.sendto(b'to my station', ('127.0.0.1', 4567))\n"
                        "try:\n"
                        "    socket.create_connection(('10.0.0.1', 80), timeout=1)\n"
                        "except OSError as e:\n"
                        "    print('outside:', e.strerror)\n"], out, hold=True)
    with s.network():
        station = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        station.bind(("127.0.0.1", 4567))
    s.release()
    assert s.wait(20) == 0
    station.settimeout(5)
    assert station.recvfrom(100)[0] == b"to my station"
    neighbour.settimeout(0.5)
    with pytest.raises(socket.timeout):
        neighbour.recvfrom(100)
    assert "outside: Network is unreachable" in out.getvalue().decode()


def test_a_mission_room_gets_its_line_and_gpio_files_but_no_new_files(tmp_path):
    master, slave = os.openpty()
    gpio = tmp_path / "gpio"
    (gpio / "gpio17").mkdir(parents=True)
    for n in ("export", "gpio17/value"):
        (gpio / n).write_text("")
    state = tmp_path / "state"
    state.write_text("transmitter ok\n")
    try:
        room, places = sandbox.mission_room(sandbox.Limits(**SMALL), os.ttyname(slave),
                                            str(gpio), str(state))
        status, _, out = sealed(
            ["sh", "-c", f"echo ping > {places[os.ttyname(slave)]}; echo 17 > {sandbox.GPIO}/export; "
                         f"echo x > {sandbox.GPIO}/new; cat {sandbox.STATE}; "
                         f"echo y > {sandbox.STATE}"], room=room)
        assert os.read(master, 100).startswith(b"ping")
    finally:
        os.close(master)
        os.close(slave)
    assert (gpio / "export").read_text() == "17\n"
    assert not (gpio / "new").exists()
    assert "transmitter ok" in out and state.read_text() == "transmitter ok\n"


def test_probe_names_what_is_missing():
    assert "bubblewrap is not installed" in sandbox.probe("/nonexistent/bwrap")


def test_what_the_room_left_is_kept_without_its_links(tmp_path):
    out = io.BytesIO()
    s = sandbox.Sealed(sandbox.Room(sandbox.Limits(**SMALL)),
                       ["sh", "-c", "mkdir photos; echo jpeg > photos/1.jpeg; "
                                    "ln -s /etc/passwd link; mkfifo pipe"], out)
    s.proc.wait(20)
    s.end(keep=str(tmp_path / "left"))
    assert sorted(os.listdir(tmp_path / "left")) == ["photos"]
    assert (tmp_path / "left" / "photos" / "1.jpeg").read_text() == "jpeg\n"


def test_what_is_bound_into_the_working_folder_is_not_kept(tmp_path):
    # A kit kept under the room's working folder's path on this machine is
    # bound there: the program's own files are kept, the kit's are not.
    kit = tmp_path / "kit"
    kit.mkdir()
    (kit / "module.py").write_text("kit\n")
    room = sandbox.Room(sandbox.Limits(**SMALL)).read_only(str(kit), sandbox.WORK + "/opt/kit")
    s = sandbox.Sealed(room, ["sh", "-c", "echo jpeg > 1.jpeg; mkdir opt/mine; "
                                          "echo x > opt/mine/x"], io.BytesIO())
    s.proc.wait(20)
    s.end(keep=str(tmp_path / "left"))
    assert sorted(os.listdir(tmp_path / "left")) == ["1.jpeg", "opt"]
    assert os.listdir(tmp_path / "left" / "opt") == ["mine"]


def test_a_runs_namespaces_are_shared_by_its_room_and_its_simulator_only():
    net = sandbox.Network.make()
    try:
        room = sandbox.Room(sandbox.Limits(**SMALL), network=net)
        status, _, out = sealed(["sh", "-c", "ipcmk -M 4096 && ip -o link"], room=room)
        assert status == 0 and "Shared memory id" in out
        assert [l.split()[1] for l in out.splitlines() if ": " in l][-1:] == ["lo:"]
        with net.joined():
            beside = subprocess.run(["ipcs", "-m"], capture_output=True, text=True).stdout
        keys = [l.split()[0] for l in beside.splitlines() if l.startswith("0x")]
        here = subprocess.run(["ipcs", "-m"], capture_output=True, text=True).stdout
        assert len(keys) == 1 and keys[0] not in here
    finally:
        net.close()


def test_the_library_folders_a_program_names_for_itself_are_read_as_readelf_reads_them(tmp_path):
    import glob
    import re
    from kelvex_lab.seal import runpaths
    build = os.environ.get("KELVEX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
    files = [p for p in glob.glob(os.path.join(build, "**", "*"), recursive=True)
             if os.path.isfile(p) and os.access(p, os.X_OK) and not p.endswith((".py", ".sh"))]
    files += sorted(glob.glob("/usr/lib/x86_64-linux-gnu/*.so.*"))[:40]
    named = 0
    for path in files[:300]:
        out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
        expected = [p for m in re.finditer(r"\((?:RPATH|RUNPATH)\)\s+Library \w+: \[(.*)\]", out)
                    for p in m.group(1).split(":") if p.startswith("/")]
        assert runpaths(path) == expected, path
        named += bool(expected)
    assert named > 0  # the build's programs name its library folder
    (tmp_path / "script").write_text("#!/bin/sh\n")
    (tmp_path / "cut").write_bytes(b"\x7fELF\x02\x01\x01" + b"\0" * 20)
    assert runpaths(str(tmp_path / "script")) == runpaths(str(tmp_path / "cut")) == []


def test_a_sealed_mission_gets_none_of_the_callers_python_folders(tmp_path):
    build = os.environ.get("KELVEX_BUILD_DIR")
    sim = os.path.join(build, "sim", "kelvex-sim") if build else None
    if not sim or not os.access(sim, os.X_OK):
        pytest.skip("needs the build tree's kelvex-sim (KELVEX_BUILD_DIR)")
    mine = tmp_path / "mine"
    mine.mkdir()
    # Python compiling what it imports, as it does where its cache folder
    # is missing, is what a photo then costs: the mission's must read the
    # system's compiled modules.
    script = ('echo "prefix=[${PYTHONPYCACHEPREFIX-unset}] path=[$PYTHONPATH]"; '
              '/usr/bin/python3 -c "import PIL; print(\'cached\', PIL.__cached__)"')
    env = dict(os.environ, PYTHONPYCACHEPREFIX=str(mine / "cache"),
               PYTHONPATH=os.pathsep.join([str(mine), os.environ.get("PYTHONPATH", "")]))
    r = subprocess.run([sim, "run", "--no-plot", "--no-ground", "--clock=virtual",
                        "--speed=max", f"--run-dir={tmp_path / 'run'}", "--", "/bin/sh", "-c",
                        script], env=env, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "prefix=[unset]" in r.stdout, r.stdout
    path = r.stdout.split("path=[", 1)[1].split("]", 1)[0]
    assert str(mine) not in path and path, r.stdout
    cached = [l.split()[1] for l in r.stdout.splitlines() if l.startswith("cached ")]
    assert cached and cached[0].startswith(os.path.dirname(__import__("PIL").__file__)), r.stdout


def test_a_run_told_that_a_room_was_made_here_makes_none_to_find_out(tmp_path):
    # kelvex-grade's word: the run starts one bwrap (its mission's room), not
    # two, and the word goes no further than the run, not into the room.
    build = os.environ.get("KELVEX_BUILD_DIR")
    sim = os.path.join(build, "sim", "kelvex-sim") if build else None
    if not sim or not os.access(sim, os.X_OK):
        pytest.skip("needs the build tree's kelvex-sim (KELVEX_BUILD_DIR)")
    real = subprocess.run(["which", "bwrap"], capture_output=True, text=True).stdout.strip()
    tools = tmp_path / "tools"
    tools.mkdir()
    calls = tmp_path / "calls"
    (tools / "bwrap").write_text(f'#!/bin/sh\necho bwrap >> {calls}\nexec {real} "$@"\n')
    (tools / "bwrap").chmod(0o755)
    env = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ['PATH']}")
    script = 'echo "word=[${KELVEX_ROOM_MADE-none}]"'
    for word, rooms in (({}, 2), ({sandbox.MADE_ENV: str(tools / "bwrap")}, 1)):
        calls.unlink(missing_ok=True)
        r = subprocess.run([sim, "run", "--no-plot", "--no-ground", "--clock=virtual",
                            "--speed=max", f"--run-dir={tmp_path / f'run{rooms}'}", "--",
                            "/bin/sh", "-c", script], env={**env, **word},
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0 and "word=[none]" in r.stdout, r.stdout + r.stderr
        assert calls.read_text().split() == ["bwrap"] * rooms
