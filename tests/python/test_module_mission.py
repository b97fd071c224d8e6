"""A mission script end to end against the scripted fake bus controller."""

import ast
import os
import re
import socket
import struct
import subprocess
import sys
import termios
import textwrap

import _kelvex as k
import pytest
from fake_bus import FakeBus, answer_to, le16, wire_frame
from module_support import run_script

GREETING = bytes.fromhex("08 48 49 20 41 4C 4C 21 01 00")

# Requests the fake answers, by message code; commands (resets, settings) get
# no answer, as on the real bus.
ANSWERS = {
    0x0D08: le16(1234),               # motor 0 speed
    0x0600: le16(100, 0xFFFF, 7),     # accelerometer 0
    0x0200: le16(40000),              # light sensor 0 raw
    0x0500: le16(1, 65535),           # sun sensor 0 raw
    0x2300: le16(777),                # sun battery 0 raw
}
ECHOED = {0x0D00, 0x2700, 0x0F00}     # motor speed, arm position, coil value


def controller(frame):
    if not frame.valid or len(frame.decoded) < 6:
        return []
    request = frame.decoded
    code = struct.unpack_from("<H", request)[0]
    if code in ECHOED:
        return [(0, wire_frame(answer_to(request, request[6:])))]
    if code in ANSWERS:
        return [(0, wire_frame(answer_to(request, ANSWERS[code])))]
    if code == 0x2800:  # the controller's own handler, unit 0
        return [(0, wire_frame(answer_to(request, request[6:8] + b"hello\x00junk")))]
    if code == 0x2828:  # a free-form test request of the raw calls
        return [(0, wire_frame(answer_to(request, b"pong\x00\x01")))]
    return []


def fly(bus, body):
    """Runs a mission in its own interpreter (a call holds this one's lock for
    its whole exchange, so the fake must answer from another process) and
    returns the values it printed, one Python literal a line."""
    head = textwrap.dedent(f"""
        import _kelvex as k
        k.Global_timeout_set(k.cvar.G, 1000)
        k.online({bus.path!r})
        def show(value):
            print(repr(value), flush=True)
    """)
    result = run_script(head + textwrap.dedent(body) + "k.offline()\n", timeout=60)
    assert result.returncode == 0, result.stderr
    return [ast.literal_eval(line) for line in result.stdout.decode().splitlines()]


@pytest.fixture
def bus():
    with FakeBus() as fake:
        fake.on_frame(controller)
        yield fake


def test_mission_drives_the_units_end_to_end(bus):
    shown = fly(bus, """
        show(k.motor_request_speed(0))
        show(k.motor_turn_on(0))
        show(k.motor_get_state(0))
        show(k.motor_set_speed(0, 1500))
        show(k.motor_set_speed(0, -300))
        show(k.motor_request_speed(0))
        show([k.accelerometer_turn_on(0), k.accelerometer_request_raw(0)])
        show([k.light_sensor_turn_on(0), k.light_sensor_request_raw(0)])
        show([k.sun_sensor_turn_on(0), k.sun_sensor_request_raw(0)])
        show(k.sunbattery_request_raw(0))
        show([k.arm_turn_on(0), k.arm_set_value(0, "A"), k.arm_set_value(0, 200)])
        show([k.motor_turn_off(0), k.motor_get_state(0)])
    """)
    assert shown == [
        [2, 0],                  # off: nothing sent
        0, 1,
        [0, 1500], [0, -300], [0, 1234],
        [0, [0, -100, 1, -7]],
        [0, [0, 40000]],
        [0, [0, 1, 65535]],
        [0, 777],
        [0, [0, 65], [0, 200]],
        [0, 0],
    ]
    assert bus.received()[:10] == GREETING
    requests = bus.requests()
    # motor_set_speed(0, 1500): the 8-byte request {0x0D00, 0x0100, 1, 1500}.
    assert le16(0x0D00, 0x0100, 1, 1500) in requests
    # The arm's value 'A' goes out as the single byte 65.
    assert le16(0x2700, 0x0270, 1) + b"\x41" in requests


def test_raw_requests_and_commands(bus):
    request = le16(0x2828, 0x0280, 1) + b"ping"
    shown = fly(bus, f"""
        request = {request!r}
        show(k.cobs_request(request))
        show(k.cobs_single_request(request.decode("latin-1")))
        show(k.arduino_send(0, 7, "args", 500))
        show(k.cobs_command(b"\\x01\\x00\\x02\\x00\\x01\\x00"))
        show(k.bus_setup())
        k.Global_timeout_set(k.cvar.G, 20)
        k.Global_retries_set(k.cvar.G, 1)
        show(k.cobs_request(b"\\x77\\x77\\x01\\x00\\x01\\x00"))
    """)
    answer = answer_to(request, b"pong\x00\x01")
    assert shown[0] == [0, answer]
    # A str goes out one byte per character, the same request as the bytes.
    assert shown[1] == [0, answer]
    # The controller's answer text, up to its first zero byte.
    assert shown[2] == [0, b"hello"]
    assert le16(0x2800, 0x0280, 1, 7) + b"args" in bus.requests()
    assert shown[3:5] == [0, 0]
    # No answer: the zero-filled buffer of the library, nothing else.
    assert shown[5] == [1, bytes(128)]
    assert b"\x01\x00\x02\x00\x01\x00" in bus.requests()
    assert b"\x00\x00" in bus.received()  # bus_setup's lone zero after a delimiter


def test_str_reaches_the_bus_one_byte_per_character(bus):
    # Characters 128 to 255 as UTF-8 would be two bytes each on the line.
    shown = fly(bus, """
        show(k.cobs_request("\\x00\\x23\\x30\\x02\\x01\\x00\\xff\\x80")[0])
        show([k.transceiver_turn_on(1), k.transceiver_send(1, 2, "\\xe9t\\xe9")])
        show(k.arduino_send(0, 7, "\\xe9\\x80", 500))
    """)
    assert shown == [0, [0, 0], [0, b"hello"]]
    requests = bus.requests()
    assert b"\x00\x23\x30\x02\x01\x00\xff\x80" in requests
    sent = [r for r in requests if r.endswith(le16(2) + b"\xe9t\xe9")]
    assert [len(r) for r in sent] == [11]
    assert le16(0x2800, 0x0280, 1, 7) + b"\xe9\x80" in requests


def readme_python_block(containing):
    readme = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "README.md")
    with open(readme, encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    return next(b for b in blocks if containing in b)


def test_readme_reaches_the_receiver_state_with_cobs_request():
    # The receiver is not in the module; the README shows the raw request.
    def controller_with_receiver(frame):
        if frame.valid and frame.decoded[:2] == le16(0x2103):
            return [(0, wire_frame(answer_to(frame.decoded, struct.pack("<f", -61.5))))]
        return []

    with FakeBus() as bus:
        bus.on_frame(controller_with_receiver)
        shown = fly(bus, readme_python_block("def receiver_request_state") + """
k.Global_timeout_set(k.cvar.G, 50)
k.Global_retries_set(k.cvar.G, 1)
show(receiver_request_state(3))
show(receiver_request_state(4))
""")
        assert le16(0x2103, 0x0213, 1) in bus.requests()
    assert shown == [[0, -61.5], [1, 0.0]]


def test_str_reaches_the_instrument_one_byte_per_character():
    # The connection waits in the listening socket's backlog; the call only
    # writes and then spends its zero budget.
    with socket.create_server(("127.0.0.1", 0)) as server:
        server.settimeout(5)
        assert k.instrument_attach("127.0.0.1", server.getsockname()[1]) == 0
        try:
            assert k.instrument_measure("\xe9t\xe9\xff", 0)[0] == 1
            peer, _ = server.accept()
        finally:
            k.instrument_detach()
        with peer:
            peer.settimeout(5)
            assert peer.recv(64) == b"\xe9t\xe9\xff"


def test_example_mission_flies_against_the_fake(bus):
    example = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                           "examples", "spin_up.py")
    env = dict(os.environ, KELVEX_TTY=bus.path)
    result = subprocess.run([sys.executable, example], env=env, capture_output=True, timeout=60,
                            stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    assert "motor 0 confirmed 1500 rpm, now 1234 rpm" in result.stdout.decode()
    assert le16(0x0D00, 0x0100, 1, 1500) in bus.requests()


def test_baud_rate_set_before_online_is_used():
    with FakeBus() as fake:
        k.Global_baud_set(k.cvar.G, 9600)
        try:
            k.online(fake.path)
            attrs = termios.tcgetattr(fake.slave_fd)
            assert attrs[4] == termios.B9600 and attrs[5] == termios.B9600
            k.offline()
        finally:
            k.Global_baud_set(k.cvar.G, 115200)
            k.Global_fd_set(k.cvar.G, -1)


def test_online_keeps_the_scripts_settings_and_fills_the_rest():
    result = run_script("""
        import _kelvex as k
        from fake_bus import FakeBus
        k.cvar.ftp_path = "ftp://10.0.0.5/mine"
        with FakeBus() as bus:
            k.online(bus.path)
            print(k.cvar.ftp_path, k.Global_buzz_server_get(k.cvar.G), k.Global_fd_get(k.cvar.G) > 2)
            k.offline()
        k.cvar.ftp_path = None
        with FakeBus() as bus:
            k.online(bus.path)
            print(k.cvar.ftp_path)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == [
        "ftp://10.0.0.5/mine 127.0.0.1 True", "ftp://127.0.0.1/incoming"]



def test_online_logs_to_the_ground_the_environment_names_unless_the_script_chose():
    # The virtual satellite names each run's own station in KELVEX_GROUND.
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as ground:
        ground.bind(("127.0.0.9", 0))
        ground.settimeout(5)
        result = run_script(f"""
            import os
            import _kelvex as k
            from fake_bus import FakeBus
            os.environ["KELVEX_GROUND"] = "127.0.0.9"
            k.Global_buzz_port_set(k.cvar.G, {ground.getsockname()[1]})
            with FakeBus() as bus:
                k.online(bus.path)
                print(k.Global_buzz_server_get(k.cvar.G))
                k.buzz("to my own station\\n")
                k.offline()
            k.Global_buzz_server_set(k.cvar.G, "10.0.0.7")
            with FakeBus() as bus:
                k.online(bus.path)
                print(k.Global_buzz_server_get(k.cvar.G))
                k.offline()
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.decode().splitlines() == ["127.0.0.9", "10.0.0.7"]
        assert ground.recv(100) == b"to my own station\n"

def hex_bytes(dump_lines):
    """The data bytes of a hex dump: the two-digit columns before the text."""
    data = bytearray()
    for line in dump_lines:
        data += bytes(int(t, 16) for t in line.split("|")[0].split()[1:] if len(t) == 2)
    return bytes(data)


class TestOnlineFailures:
    def test_missing_line_ends_the_process(self):
        result = run_script("""
            import _kelvex as k
            k.online("/nonexistent/tty")
            print("still here")
        """)
        assert result.returncode == 1
        assert result.stdout == b""
        assert result.stderr.decode() == "tty_open: No such file or directory\n"

    def test_host_name_as_log_server_ends_the_process_after_the_greeting(self):
        with FakeBus() as bus:
            result = run_script(f"""
                import _kelvex as k
                k.Global_buzz_server_set(k.cvar.G, "ground.example")
                k.online({bus.path!r})
                print("still here")
            """)
            assert bus.wait_frames(1)
            assert bus.received() == GREETING
        assert result.returncode == 1
        assert result.stderr.decode() == "inet_aton() failed\n"
        assert b"still here" not in result.stdout

    def test_debug_dumps_the_greeting(self):
        with FakeBus() as bus:
            result = run_script(f"""
                import _kelvex as k
                k.cvar.debug = 2
                k.online({bus.path!r})
                k.offline()
            """)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.decode().splitlines()
        assert lines[0] == ">Origins:"
        encoded = lines.index(">Encoded:")
        assert hex_bytes(lines[1:encoded]) == b"HI ALL!\x00"
        assert hex_bytes(lines[encoded + 1:]) == GREETING


class TestOutputOfAScript:
    """Without PYTHONUNBUFFERED, as a user runs a script: Python buffers its
    own output, the library prints through the C streams."""

    def test_exits_in_the_module_keep_what_the_script_printed(self, tmp_path):
        for i, call in enumerate(['k.online("/nonexistent/tty")', "k.accumulator_attach(-1)"]):
            out = tmp_path / f"out{i}.txt"
            with open(out, "wb") as f:
                result = run_script(f"""
                    import _kelvex as k
                    print("step 1")
                    print("step 2", end="")
                    {call}
                    print("not reached")
                """, python_defaults=True, stdout=f)
            assert result.returncode == 1
            assert out.read_text() == "step 1\nstep 2"
            assert result.stderr.decode() in ("tty_open: No such file or directory\n",
                                              "shmat: Invalid argument\n")

    def test_library_lines_keep_their_place_among_the_prints(self):
        with FakeBus() as bus:
            result = run_script(f"""
                import _kelvex as k
                print("a")
                k.version("x")
                print("b")
                k.cvar.debug = 2
                k.online({bus.path!r})
                print("c")
                k.offline()
            """, python_defaults=True)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.decode().splitlines()
        assert lines[0] == "a" and lines[1].startswith("The x was built with kelvex version")
        assert lines[2] == "b" and lines[3] == ">Origins:"
        assert lines[-1] == "c" and ">Encoded:" in lines


class TestBuzz:
    def test_text_goes_byte_for_byte_to_the_log_server(self):
        receiver = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        receiver.bind(("127.0.0.1", 0))
        receiver.settimeout(5)
        port = receiver.getsockname()[1]
        with receiver, FakeBus() as bus:
            result = run_script(f"""
                import _kelvex as k
                print(k.buzz("before"))
                k.Global_buzz_port_set(k.cvar.G, {port})
                k.online({bus.path!r})
                print(k.buzz("50% done %s %n!"))
                print(k.buzz(b"raw\\x00cut"))
                print(k.buzz(""))
                k.offline()
            """)
            assert result.returncode == 0, result.stderr
            assert result.stdout.decode().splitlines() == ["-1", "15", "3", "0"]
            assert result.stderr.decode().startswith("sendto: ")
            assert receiver.recv(2048) == b"50% done %s %n!"
            assert receiver.recv(2048) == b"raw"
            assert receiver.recv(2048) == b""


def test_battery_reads_before_and_after_attaching(tmp_path):
    key_file = tmp_path / "battery"
    key_file.write_text("")
    result = run_script(f"""
        import math
        import _kelvex as k
        print(math.isnan(k.battery_get_charge()), math.isnan(k.battery_get_charging_current()))
        shmid = k.accumulator_create({str(key_file)!r})
        print(shmid)
        p = k.accumulator_attach(shmid)
        print(repr(p).startswith("<Swig Object of type 'void *' at"), int(p) != 0)
        k.battery_set_charge(1.25)
        k.battery_set_charging_current(30.5)
        k.battery_set_discharging_current(7)
        print(k.battery_get_charge(), k.battery_get_charging_current(), k.battery_get_discharging_current())
        print(k.accumulator_detach(), math.isnan(k.battery_get_charge()))
    """)
    lines = result.stdout.decode().splitlines()
    if len(lines) > 1 and lines[1].lstrip("-").isdigit() and int(lines[1]) >= 0:
        os.system(f"ipcrm -m {lines[1]} 2>/dev/null")
    assert result.returncode == 0, result.stderr
    assert lines[0] == "True True"
    assert int(lines[1]) >= 0
    assert lines[2:] == ["True True", "1.25 30.5 7.0", "0 True"]


def test_version_prints_the_build_banner():
    result = run_script("""
        import _kelvex as k
        k.version("mission.py")
    """)
    assert result.returncode == 0, result.stderr
    assert re.fullmatch(r"The mission.py was built with kelvex version \[[0-9a-f]{10}\] "
                        r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n", result.stdout.decode())
