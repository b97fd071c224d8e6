"""kelvex-sim run: one mission flown on the virtual satellite, orchestrated in
this one process (sim/README.md, `run`, says what a run does).

`kelvex-sim run` checks its command line and becomes `kelvex-lab fly`, with
the paths of the kit's programs as arguments. This process then reads the
lab sheet (once), makes the run folder, claims the run's loopback address,
and hosts as libraries what a run needs beside the simulator: the ground
station (kelvex_ground, its servers as threads), the scenario's scheduler,
the console and, at the end, the checks and the plot. It starts two
programs: the simulator (`kelvex-sim run-line`: the line, the bus, the
physics, the telemetry, the control channel) and the mission.

Each log line has one owner: the station receives the datagram, escapes it
once, files it in ground/log.txt and hands the same text to the console
(GroundEcho), which shows it as "[ground] TEXT".

Two seams are for what wraps a run:
- MissionLauncher: how the mission's process is started (its argv and
  environment, then the spawn). Replace or wrap it to start the mission
  under an interposer (LD_PRELOAD and its environment), inside a sandbox
  (a prefix such as bwrap ... --), or in a network namespace of its own.
- Flight.open_log_socket: the station's log socket, bound while the run's
  address is claimed; a caller that builds the station inside another
  network namespace opens it there (the station's other servers are bound
  by the thread that calls Flight.start_station)."""

import datetime
import errno
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty

from . import checkfile, cli, plot, scenario

LOG_PORT = 4567  # where the mission runner sends its log: 127.0.0.N:4567
FIRST_HOST, LAST_HOST = 2, 254
INTERRUPTED = 130
EXIT_START_FAILED = 1
SIM_ANSWER_S = 15.0
DRAIN_AFTER_MISSION_S = 0.5
STOP_GRACE_S = 2.0
SCENARIO_COPY = "scenario.toml"
RUN_PARENT = "kelvex-run"
# Options the orchestrator acts on itself; kelvex-sim run-line takes them
# too, for the record.
FLAGS = ("verbose", "no-ground", "keep-station", "no-plot")


class RunError(Exception):
    """The run cannot start: the message, and the status to end with."""

    def __init__(self, message, status=EXIT_START_FAILED):
        super().__init__(message)
        self.status = status


class Kit:
    """Where the kit's programs are, as kelvex-sim found them: sim (kelvex-sim
    itself), plot (kelvex-plot), bin (the capture stand-in, first on the
    mission's PATH), module (the built `kelvex` module, first on its
    PYTHONPATH), vendor (the page's libraries of a build tree)."""

    def __init__(self, sim, plot=None, bin=None, module=None, vendor=None):
        self.sim, self.plot, self.bin, self.module, self.vendor = sim, plot, bin, module, vendor


# --- the console


class Console:
    """What the person at the terminal sees: the mission's output as it
    printed it, and lines of the run's own (the ground log as "[ground]
    TEXT", the simulator's messages) each on a line of its own. A console
    that went away (`kelvex-sim run ... | head`) ends nothing: the run folder
    still gets everything."""

    def __init__(self, fd=1):
        self.fd = fd
        self.closed = False
        self._at_line_start = True
        self._lock = threading.Lock()

    def mission(self, data):
        if data:
            with self._lock:
                self._write(data)
                self._at_line_start = data.endswith(b"\n")

    def ground(self, text):
        self.say("[ground] " + text)

    def say(self, line):
        data = (line + "\n").encode("utf-8", errors="surrogateescape")
        with self._lock:
            # A mission line still being printed is left open, not run into.
            self._write(data if self._at_line_start else b"\n" + data)
            self._at_line_start = True

    def _write(self, data):
        try:
            while data and not self.closed:
                data = data[os.write(self.fd, data):]
        except OSError:
            self.closed = True


class ConsoleLines:
    """A text stream whose whole lines go to the console as the run's own
    (for the scenario's and the checks' reports)."""

    def __init__(self, console):
        self.console = console
        self.rest = ""

    def write(self, text):
        self.rest += text
        *lines, self.rest = self.rest.split("\n")
        for line in lines:
            self.console.say(line)
        return len(text)

    def flush(self):
        pass


class GroundEcho:
    """A station listener: each log line the station filed, on the console."""

    def __init__(self, console):
        self.console = console

    def on_lines(self, sat, first, entries):
        for _, text, _ in entries:
            self.console.ground(text)

    def start(self, station):
        pass

    def stop(self):
        pass


# --- the mission


class MissionLauncher:
    """How the mission's process is started: the seam for whatever wraps it.

    command(argv, env, flight) returns the (argv, env) the mission is started
    with: argv is the mission's command line as the run made it (the program
    and its arguments, with -z ADDRESS, -f URL and the line appended for a
    program), env the whole environment (KELVEX_TTY, KELVEX_GROUND, ...).
    A wrapper prepends to argv (a sandbox: ["bwrap", ..., "--"] + argv) or
    adds to env (an interposer: LD_PRELOAD and its settings); flight gives
    the run's facts (flight.address, flight.run_dir, flight.line,
    flight.temp).

    start(argv, env, cwd, output) starts it and returns the subprocess.Popen.
    The process must lead a process group of its own (the run stops the
    group: SIGTERM, then SIGKILL), with its standard output and error on
    `output` and its working directory `cwd` (the run folder)."""

    def command(self, argv, env, flight):
        return argv, env

    def start(self, argv, env, cwd, output):
        return subprocess.Popen(argv, env=env, cwd=cwd, stdout=output, stderr=output,
                                process_group=0, close_fds=True)


def is_script(program):
    base = os.path.basename(program[0])
    return base.startswith("python") or program[0].endswith(".py")


def satellite_name(name, program):
    """--name, else the script's or the program's own base name."""
    if name:
        return name
    for arg in program:
        if arg.endswith(".py"):
            return os.path.basename(arg)
    return os.path.basename(program[0])


def from_here(argv):
    """The mission starts in the run folder: what names a file from where
    kelvex-sim was started (the program, a script) is made absolute."""
    out = []
    for i, a in enumerate(argv):
        names_file = os.path.exists(a) if i > 0 else "/" in a
        out.append(os.path.abspath(a) if a and a[0] not in "/-" and names_file else a)
    return out


class Mission:
    """The mission's process and its output: a pseudo-terminal of their own,
    so that its stdio buffers lines as on a terminal, copied byte for byte
    to mission.log and to the console."""

    def __init__(self, launcher, argv, env, cwd, log_path, console):
        self.console = console
        self.master, self.slave = os.openpty()
        # Raw: the log gets the bytes as printed, no line feed made CR LF.
        tty.setraw(self.slave)
        self.log = open(log_path, "wb", buffering=0)
        try:
            self.proc = launcher.start(argv, env, cwd, self.slave)
        except OSError as e:
            # As a shell says it: the run goes on to its end with status 127.
            console.say("kelvex-sim: cannot run %s: %s" % (argv[0], e.strerror or e))
            self.proc = None
        self._stop = threading.Event()
        self._reader = threading.Thread(target=self._copy, name="mission-output", daemon=True)
        self._reader.start()

    def _copy(self):
        while True:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if not ready:
                if self._stop.is_set():
                    return
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return
            if not data:
                return
            self.log.write(data)
            self.console.mission(data)

    def status(self):
        """Its exit status as a shell gives it (128 + N for signal N), or
        None while it runs."""
        if self.proc is None:
            return 127
        code = self.proc.poll()
        return None if code is None else (128 - code if code < 0 else code)

    def stop(self, grace=STOP_GRACE_S):
        """SIGTERM to its group, SIGKILL after grace; what is left of the
        group after the leader ended goes too."""
        if self.proc is None:
            return
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            self.proc.wait(grace)
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        self.proc.wait()

    def close(self):
        """Copies what is left of its output."""
        self._stop.set()
        self._reader.join()
        os.close(self.slave)
        os.close(self.master)
        self.log.close()


# --- the simulator


class Simulator:
    """kelvex-sim run-line (sim/serve.h): the run's options checked and
    recorded, then the line, the bus and the physics until told to end."""

    def __init__(self, sim, args):
        self.proc = subprocess.Popen([sim, "run-line", *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, process_group=0)
        self._rest = b""

    def _line(self, timeout=SIM_ANSWER_S):
        until = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._rest:
            left = until - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, 4096)
            if not chunk:
                return None
            self._rest += chunk
        line, self._rest = self._rest.split(b"\n", 1)
        return line.decode(errors="replace")

    def _expect(self, word):
        line = self._line()
        if line is None or not line.startswith(word + " "):
            self.end()
            return None
        return line[len(word) + 1:]

    def options(self):
        """The run's options by long name, or None when they are bad (the
        simulator said why)."""
        text = self._expect("options")
        return None if text is None else json.loads(text)

    def go(self):
        """Starts it; returns (the line's path, the time of t = 0)."""
        try:
            self.proc.stdin.write(b"go\n")
            self.proc.stdin.flush()
        except OSError:
            pass
        line, t0 = self._expect("line"), self._expect("t0")
        if line is None or t0 is None:
            raise RunError("the simulator did not start (status %s)" % self.proc.wait())
        return line, float(t0)

    def end(self):
        """Stops it; returns (simulated seconds, yaw, angle to the lamp), or
        None when it said nothing."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        said = self._line(SIM_ANSWER_S) if self.proc.poll() is None or self._rest else None
        try:
            self.proc.wait(SIM_ANSWER_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        if said and said.startswith("end "):
            return tuple(float(x) for x in said.split()[1:4])
        return None


# --- the run


def iso_now():
    """Local time as ISO 8601 with milliseconds and the UTC offset."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


def option_values(args):
    """{name: value} of "--NAME=VALUE" / "--NAME" arguments; the last wins."""
    values = {}
    for a in args:
        name, eq, value = a[2:].partition("=")
        values[name] = value if eq else True
    return values


def default_run_folder():
    return os.path.join(RUN_PARENT, time.strftime("%Y%m%d-%H%M%S") + "-%d" % os.getpid())


def make_run_folder(path, given):
    """The run folder: path as given (new or empty), else the default
    kelvex-run/STAMP-PID with kelvex-run/latest pointing at it; holds
    ground/ and battery.key."""
    if not given:
        name = os.path.basename(path)
        os.makedirs(RUN_PARENT, exist_ok=True)
        os.mkdir(path)
        tmp = os.path.join(RUN_PARENT, ".latest.%d" % os.getpid())
        try:
            os.symlink(name, tmp)
            os.replace(tmp, os.path.join(RUN_PARENT, "latest"))
        except OSError as e:
            print("kelvex-sim: %s/latest not updated: %s" % (RUN_PARENT, e.strerror),
                  file=sys.stderr)
    else:
        path = path.rstrip("/") or "/"
        try:
            os.mkdir(path)
        except FileExistsError:
            if not os.path.isdir(path) or os.listdir(path):
                # Another run's files would mix with this one's.
                raise RunError("%s exists and is not an empty folder; give --run-dir a new one"
                               % path)
        except FileNotFoundError:
            os.makedirs(path)
    os.makedirs(os.path.join(path, "ground"), exist_ok=True)
    open(os.path.join(path, "battery.key"), "w").close()
    return path


class Flight:
    """One run; see the module's description."""

    def __init__(self, kit, given, program, launcher=None, console=None):
        self.kit = kit
        self.given = given
        self.program = program
        self.launcher = launcher or MissionLauncher()
        self.console = console or Console()
        self.interrupted = threading.Event()
        self.sheet = None          # the lab sheet that judges the run
        self.events = []
        self.scenario_text = None
        self.address = None
        self.run_dir = None
        self.line = None
        self.temp = None
        self.station = None        # kelvex_ground's Station, or None
        self.servers = []
        self.ftp_url = None
        self.page_url = None
        self.record = {}

    def say(self, text):
        self.console.say("kelvex-sim: " + text)

    # --- before anything is made

    def read_sheets(self):
        """The lab sheets, each read once; their [run] options go ahead of
        the command line's, which win."""
        given = option_values(self.given)
        front = []
        scenario_path, checks_path = given.get("scenario"), given.get("checks")
        if scenario_path:
            sheet = checkfile.load(scenario_path)
            front += sheet.sim_arguments()
            self.events = sheet.events
            self.scenario_text = sheet.raw
            if sheet.checks:
                self.sheet = sheet
        if checks_path and checks_path != scenario_path:
            sheet = checkfile.load(checks_path)
            front += sheet.sim_arguments()
            if sheet.events:
                print("kelvex-lab: %s has [[event]] entries; they are switched with --scenario "
                      "%s, not --checks" % (checks_path, checks_path), file=sys.stderr)
            self.sheet = sheet
        return front + self.given

    # --- the ground

    def open_log_socket(self, address, port):
        """The station's log socket, bound to the run's address: binding it
        is what makes the address this run's."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            sock.bind((address, port))
        except OSError:
            sock.close()
            raise
        return sock

    def claim_address(self, options):
        """The first 127.0.0.N whose log port nobody holds, with this run's
        station (or log printer) on it."""
        wants_station = not options.get("no-ground")
        for n in range(FIRST_HOST, LAST_HOST + 1):
            if self.interrupted.is_set():
                raise RunError("interrupted", INTERRUPTED)
            address = "127.0.0.%d" % n
            try:
                sock = self.open_log_socket(address, LOG_PORT)
            except OSError as e:
                if e.errno == errno.EADDRINUSE:
                    continue
                raise RunError("cannot take %s:%d for this run's log (%s); runs on this machine "
                               "need the loopback addresses 127.0.0.%d to 127.0.0.%d"
                               % (address, LOG_PORT, e.strerror, FIRST_HOST, LAST_HOST))
            if wants_station:
                try:
                    self.start_station(address, sock, options)
                except Exception as e:  # whatever keeps the station down
                    self.stop_station()
                    sock.close()
                    if isinstance(e, OSError) and e.errno == errno.EADDRINUSE:
                        continue  # another run holds one of its ports
                    if options.get("station"):
                        raise RunError("the ground station did not come up (%s)" % e)
                    print("kelvex-ground: %s" % e, file=sys.stderr)
                    self.say("the ground station did not come up; printing the log here")
                    sock = self.open_log_socket(address, LOG_PORT)
                else:
                    self.address = address
                    return
            self.start_printer(address, sock)
            self.address = address
            return
        raise RunError("no free loopback address: port %d is taken on every one of 127.0.0.%d "
                       "to 127.0.0.%d (a ground station bound to 0.0.0.0 takes them all); end "
                       "some runs or that station" % (LOG_PORT, FIRST_HOST, LAST_HOST))

    def start_station(self, address, log_socket, options):
        """The run's own ground station, in this process."""
        from kelvex_ground import config, station, web
        if self.kit.vendor and self.kit.vendor not in web.VENDOR_DIRS:
            web.VENDOR_DIRS.insert(0, self.kit.vendor)
        argv = ["--single", "--bind", address, "--log-port", str(LOG_PORT),
                "--ftp-port", str(options.get("ftp-port", 0)),
                "--http-port", str(options.get("http-port", 0)),
                "--dir", os.path.abspath(os.path.join(self.run_dir, "ground")),
                "--telemetry", os.path.abspath(os.path.join(self.run_dir, "telemetry.csv")),
                "--control", os.path.abspath(os.path.join(self.run_dir, "control.sock")),
                "--state", self.state_path(options)]
        if options.get("station"):
            argv += ["--upstream", options["station"]]
        args = station.parse_args(argv)
        self.servers = []
        try:
            conf = config.settings(args)
        except config.ConfigError as e:
            raise OSError(str(e))
        try:
            self.station, page = station.build(args, conf, self.servers, log_socket=log_socket)
        except ValueError as e:
            raise OSError(str(e))
        self.station.listeners.append(GroundEcho(self.console))
        url = station.start_servers(self.station, page, self.servers)
        ports = self.station.ports
        say = station.say
        say("log udp %s:%d, ftp %s:%d, page %s, files in %s"
            % (address, ports["log_port"], address, ports["ftp_port"], url, self.station.root))
        if self.station.instructor is not None:
            self.station.instructor.announce(url, sys.stderr)
        self.ftp_url = "ftp://%s:%d/incoming" % (address, ports["ftp_port"])
        self.page_url = url

    def start_printer(self, address, log_socket):
        """No station: the log lines are filed in ground/log.txt and shown,
        by the station's own log writer, with nothing else."""
        from kelvex_ground.logstore import Receiver
        from kelvex_ground.satellites import Station
        self.station = Station(os.path.abspath(os.path.join(self.run_dir, "ground")),
                               single=True, address=address)
        self.station.listeners.append(GroundEcho(self.console))
        receiver = Receiver(log_socket)
        self.servers = [receiver]
        receiver.start()
        self.station.start(receiver)

    def stop_station(self):
        if self.station is None:
            for server in reversed(self.servers):
                server.stop()
        else:
            from kelvex_ground import station
            station.stop_servers(self.station, self.servers)
        self.station, self.servers, self.ftp_url = None, [], None

    def state_path(self, options):
        return os.path.abspath(options.get("state") or os.path.join(self.temp, "state"))

    # --- the mission's environment

    def mission_env(self, options):
        env = dict(os.environ)
        env.update(KELVEX_TTY=self.line, KELVEX_GROUND=self.address,
                   KELVEX_GPIO_ROOT=self.make_gpio_tree(),
                   KELVEX_SIM_STATE=self.state_path(options),
                   KELVEX_RUN_DIR=os.path.abspath(self.run_dir),
                   KELVEX_BATTERY_KEY=os.path.abspath(os.path.join(self.run_dir, "battery.key")),
                   CURL_HOME=self.make_curl_home())
        if self.ftp_url:
            env["KELVEX_FTP_PATH"] = self.ftp_url
        for name, directory in (("PATH", self.kit.bin), ("PYTHONPATH", self.kit.module)):
            if directory:
                old = env.get(name)
                env[name] = directory + (":" + old if old else "")
        return env

    def mission_argv(self):
        argv = from_here(self.program)
        if not is_script(self.program):
            argv += ["-z", self.address]
            if self.ftp_url:
                argv += ["-f", self.ftp_url]
            argv.append(self.line)
        return argv

    def make_gpio_tree(self):
        """The desk GPIO tree the runner reads instead of /sys/class/gpio."""
        root = os.path.join(self.temp, "gpio")
        os.makedirs(os.path.join(root, "gpio17"), exist_ok=True)
        for name, text in (("export", ""), ("unexport", ""), ("gpio17/direction", "in"),
                           ("gpio17/value", "0")):
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        return root

    def make_curl_home(self):
        """curl's settings: the photo upload's progress meter stays out of
        the mission's output."""
        home = os.path.join(self.temp, "curl")
        os.makedirs(home, exist_ok=True)
        with open(os.path.join(home, ".curlrc"), "w") as f:
            f.write("--silent\n--show-error\n")
        return home

    # --- run.json

    def write_record(self):
        r = self.record
        fields = [("format", 1), ("satellite", r["satellite"]), ("address", r["address"]),
                  ("program", r["program"]), ("options", r["options"]),
                  ("t0_unix", r["t0_unix"]), ("started", r["started"]),
                  ("ended", r.get("ended")), ("exit_status", r.get("exit_status")),
                  ("time_limited", r.get("time_limited", False)),
                  ("station", r["station"]), ("scenario", r["scenario"])]
        text = "{\n" + ",\n".join("  %s: %s" % (json.dumps(k), json.dumps(v))
                                  for k, v in fields) + "\n}\n"
        path = os.path.join(self.run_dir, "run.json")
        try:
            with open(path + ".tmp", "w") as f:
                f.write(text)
            os.replace(path + ".tmp", path)
        except OSError as e:
            print("kelvex-sim: %s: %s" % (path, e.strerror), file=sys.stderr)

    # --- the whole run

    def fly(self):
        """Returns the run's exit status (sim/README.md, Exit statuses)."""
        try:
            merged = self.read_sheets()
        except checkfile.CheckFileError as e:
            for line in e.errors:
                print(line, file=sys.stderr)
            return cli.EXIT_BAD_INPUT
        options = option_values(merged)
        if options.get("station") and options.get("no-ground"):
            print("kelvex-sim: --station needs kelvex-ground, not --no-ground", file=sys.stderr)
            return EXIT_START_FAILED
        self.temp = tempfile.mkdtemp(prefix="kelvex-sim.")
        sim = None
        try:
            run_dir = options.get("run-dir") or default_run_folder()
            files = {"telemetry": "telemetry.csv", "events": "events.csv",
                     "control": "control.sock", "battery-key": "battery.key",
                     "line-log": "line.log"}
            sim = Simulator(self.kit.sim, merged + [
                "--%s=%s" % (name, os.path.abspath(os.path.join(run_dir.rstrip("/") or "/", f)))
                for name, f in files.items()] + ["--state=" + self.state_path(options)])
            recorded = sim.options()
            if recorded is None:
                if self.sheet is not None or self.events:
                    print("kelvex-sim: (the options include the lab sheet's [run] table)",
                          file=sys.stderr)
                return cli.EXIT_BAD_INPUT
            # The record keeps the state file the command line asked for.
            recorded["state"] = options.get("state", "")
            self.run_dir = make_run_folder(run_dir, bool(options.get("run-dir")))
            return self._fly(sim, options, recorded)
        except RunError as e:
            if e.status != INTERRUPTED:
                print("kelvex-sim: %s" % e, file=sys.stderr)
            return e.status
        except OSError as e:
            print("kelvex-sim: %s" % e, file=sys.stderr)
            return EXIT_START_FAILED
        finally:
            if sim is not None and sim.proc.poll() is None:
                sim.end()
            self.stop_station()
            shutil.rmtree(self.temp, ignore_errors=True)

    def _fly(self, sim, options, recorded):
        name = satellite_name(options.get("name"), self.program)
        self.record = {"satellite": name, "program": self.program, "options": recorded,
                       "station": options.get("station") or None,
                       "scenario": SCENARIO_COPY if self.scenario_text is not None else None}
        if self.scenario_text is not None:
            with open(os.path.join(self.run_dir, SCENARIO_COPY), "wb") as f:
                f.write(self.scenario_text)
        self.claim_address(options)
        self.say("satellite %s on %s, run folder %s" % (name, self.address, self.run_dir))
        if self.ftp_url:
            self.say("ground station page %s, photos arrive in %s/incoming"
                     % (self.page_url, self.station.root))
            if self.station.instructor is not None:
                self.say("instructor's panel %ssat/%s#token=%s"
                         % (self.page_url, self.address, self.station.instructor.token))
        self.line, t0 = sim.go()
        self.record.update(address=self.address, t0_unix=t0, started=iso_now())
        self.write_record()
        ended = threading.Event()
        scheduler = None
        if self.events:
            scheduler = threading.Thread(
                target=scenario.run, name="scenario",
                args=(self.run_dir, self.events, ConsoleLines(self.console)),
                kwargs={"t0": t0, "ended": ended}, daemon=True)
            scheduler.start()
        argv, env = self.launcher.command(self.mission_argv(), self.mission_env(options), self)
        mission = Mission(self.launcher, argv, env, self.run_dir,
                          os.path.join(self.run_dir, "mission.log"), self.console)
        try:
            limit = float(options.get("time-limit", 0) or 0)
            self.watch(mission, t0 + limit if limit > 0 else None, limit)
            if options.get("keep-station") and self.ftp_url and not self.interrupted.is_set():
                self.say("mission ended with status %d; the page stays up until CTRL-C"
                         % mission.status())
                self.interrupted.wait()
                self.interrupted.clear()
            stopped = self.interrupted.is_set() and mission.status() is None
        finally:
            mission.stop()
            mission.close()
        status = INTERRUPTED if stopped else mission.status()
        end = sim.end()
        ended.set()
        if scheduler is not None:
            scheduler.join(5)
        # The status is on record before the station stops: a shared station
        # hears it from the run's own as that one ends.
        self.record.update(ended=iso_now(), exit_status=status)
        self.write_record()
        if self.station is not None:
            self.station.end(status)
        self.stop_station()
        t, yaw, angle = end or (float("nan"),) * 3
        self.say("mission ended with status %d after %.1f s; yaw %.2f deg, angle to the lamp "
                 "%.2f deg" % (status, t, yaw, angle))
        return self.after(options, name, status, interrupted=stopped or self.interrupted.is_set())

    def watch(self, mission, deadline, limit):
        """Until the mission ends, CTRL-C, or the time limit (counted from
        telemetry t = 0); then the last log lines' half second."""
        while mission.status() is None and not self.interrupted.is_set():
            wait = 0.05 if deadline is None else min(0.05, deadline - time.time())
            if wait <= 0:
                self.record["time_limited"] = True
                self.say("time limit of %g s reached; the mission is stopped" % limit)
                mission.stop()
                break
            self.interrupted.wait(wait)
        if not self.interrupted.is_set():
            # The last log datagrams and answers are still on their way.
            self.interrupted.wait(DRAIN_AFTER_MISSION_S)

    def after(self, options, name, status, interrupted):
        """The plot, or with a lab sheet the verdicts, which then decide the
        status. A run stopped by CTRL-C is not judged."""
        if self.sheet is not None:
            if interrupted:
                return status
            return cli.judge(self.run_dir, self.sheet.path, draw=not options.get("no-plot"),
                             out=ConsoleLines(self.console), sheet=self.sheet,
                             plot_program=self.kit.plot)
        if not options.get("no-plot") and self.kit.plot:
            _, reason = plot.redraw(self.run_dir, self.run_dir,
                                    title="%s on the virtual satellite" % name,
                                    program=self.kit.plot)
            if reason:
                print("kelvex-sim: no telemetry.png (kelvex-plot failed: %s)" % reason,
                      file=sys.stderr)
        return status


def parse(argv):
    """(Kit, the run's options as "--NAME=VALUE", the program) of
    `kelvex-lab fly --sim PATH [--plot PATH] ... -- OPTIONS... -- PROGRAM...`."""
    paths = {}
    i = 0
    while i < len(argv) and argv[i] != "--":
        if not argv[i].startswith("--") or i + 1 >= len(argv):
            raise ValueError("fly: %s" % argv[i])
        paths[argv[i][2:]] = argv[i + 1]
        i += 2
    rest = argv[i + 1:]
    if "--" not in rest or "sim" not in paths:
        raise ValueError("fly --sim PATH [...] -- OPTIONS -- PROGRAM [ARGS]")
    split = rest.index("--")
    return Kit(**paths), rest[:split], rest[split + 1:]


def main(argv, launcher=None):
    try:
        kit, given, program = parse(argv)
    except (ValueError, TypeError) as e:
        print("kelvex-lab: %s" % e, file=sys.stderr)
        return cli.EXIT_BAD_INPUT
    flight = Flight(kit, given, program, launcher=launcher)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: flight.interrupted.set())
    return flight.fly()
