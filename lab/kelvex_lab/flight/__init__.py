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

Three seams are for what wraps a run:
- MissionLauncher: how the mission's process is started (its argv and
  environment, then the spawn). Replace or wrap it to start the mission
  under an interposer (LD_PRELOAD and its environment), inside a sandbox
  (a prefix such as bwrap ... --), or in a network namespace of its own.
- Flight.mission_senders: who the station takes datagrams and uploads from
  (the mission's user by default; None inside a network namespace of the
  run's own).
- Flight.open_log_socket: the station's log socket, bound while the run's
  address is claimed; a caller that builds the station inside another
  network namespace opens it there (the station's other servers are bound
  by the thread that calls Flight.start_station).
main(argv, launcher=..., flight=...) takes the launcher a wrapper brings,
and a subclass of Flight for what a run does beside (its station opened in
a namespace of its own, the run registered with a class station).

The parts: mission.py (the launcher, the mission's command line and
output), line.py (kelvex-sim run-line), console.py, folder.py (the run
folder and run.json), errors.py; this file is the run from start to end."""

import errno
import os
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time

from .. import checkfile, cli, plot, sandbox, scenario, seal
from ..simulator import Programs
from .console import Console, ConsoleLines, GroundEcho
from .errors import EXIT_START_FAILED, INTERRUPTED, RunError
from .folder import default_run_folder, iso_now, make_run_folder, write_record
from . import clock
from .line import Simulator
from .mission import Mission, MissionLauncher, is_script, from_here, satellite_name

LOG_PORT = 4567  # where the mission runner sends its log: 127.0.0.N:4567
# The ground address a board has built in: a sealed mission's, in its run's
# own network.
BOARD_ADDRESS = "127.0.0.1"
FIRST_HOST, LAST_HOST = 2, 254
DRAIN_AFTER_MISSION_S = 0.5
# In virtual time: how long the clock may stand still short of the run's end
# before what the mission left behind is stopped.
STILL_S = 0.5
SCENARIO_COPY = "scenario.toml"


class Kit:
    """Where the kit's programs are, as kelvex-sim found them: sim (kelvex-sim
    itself), plot (kelvex-plot), bin (the capture stand-in, first on the
    mission's PATH), module (the built `kelvex` module, first on its
    PYTHONPATH), vendor (the page's libraries of a build tree)."""

    def __init__(self, sim, plot=None, bin=None, module=None, vendor=None):
        self.sim, self.plot, self.bin, self.module, self.vendor = sim, plot, bin, module, vendor
        self.configured = {}    # the paths kelvex-lab's launcher was configured with

    def programs(self):
        """The lab's tools' view of the kit: these paths ahead of the
        launcher's."""
        given = {"kelvex-sim": self.sim, "kelvex-plot": self.plot}
        return Programs({**self.configured, **{k: v for k, v in given.items() if v}})


def option_values(args):
    """{name: value} of "--NAME=VALUE" / "--NAME" arguments; the last wins."""
    values = {}
    for a in args:
        name, eq, value = a[2:].partition("=")
        values[name] = value if eq else True
    return values


class Flight:
    """One run; see the module's description."""

    def __init__(self, kit, given, program, launcher=None, console=None):
        self.kit = kit
        self.given = given
        self.program = program
        self.launcher = launcher or MissionLauncher()
        self.vclock = None  # the flight's clock, in virtual time
        self.clock_launcher = None  # what joins the mission to it (maybe sealed too)
        self.speed = "1"
        # True once the station listens in the run's own network, where only the
        # mission reaches it.
        self.own_network = False
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
        self.name = None
        # Who this run is on a class station (--station): its own id, never
        # re-used, so that a later run on the same address is another record.
        self.run_id = None

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
        station (or log printer) on it; a sealed mission's own network's
        127.0.0.1 where it has one."""
        wants_station = not options.get("no-ground")
        network = getattr(self.launcher, "network", None)
        if network is not None:
            self.claim_own_network(network, wants_station, options)
            return
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

    def claim_own_network(self, network, wants_station, options):
        """The station's log and FTP servers in the run's own network, at the
        board's built-in address, which no other run shares; its page stays
        outside, where a browser reaches it."""
        self.own_network = True
        with network.inside():
            sock = self.open_log_socket(BOARD_ADDRESS, LOG_PORT)
        if wants_station:
            try:
                self.start_station(BOARD_ADDRESS, sock, options, inside=network.inside)
                self.address = BOARD_ADDRESS
                return
            except Exception as e:  # whatever keeps the station down
                self.stop_station()
                sock.close()
                if options.get("station"):
                    raise RunError("the ground station did not come up (%s)" % e)
                print("kelvex-ground: %s" % e, file=sys.stderr)
                self.say("the ground station did not come up; printing the log here")
                with network.inside():
                    sock = self.open_log_socket(BOARD_ADDRESS, LOG_PORT)
        self.start_printer(BOARD_ADDRESS, sock)
        self.address = BOARD_ADDRESS

    def start_station(self, address, log_socket, options, inside=None):
        """The run's own ground station, in this process."""
        from kelvex_ground import config, station
        argv = ["--single", "--bind", address, "--log-port", str(LOG_PORT),
                "--ftp-port", str(options.get("ftp-port", 0)),
                "--http-port", str(options.get("http-port", 0)),
                "--dir", os.path.abspath(os.path.join(self.run_dir, "ground")),
                "--telemetry", os.path.abspath(os.path.join(self.run_dir, "telemetry.csv")),
                "--control", os.path.abspath(os.path.join(self.run_dir, "control.sock")),
                "--state", self.state_path(options)]
        if self.name:
            argv += ["--name", self.name]
        if options.get("station"):
            argv += ["--upstream", options["station"], "--run-id", self.run_id]
        args = station.parse_args(argv)
        self.servers = []
        try:
            conf = config.settings(args)
        except config.ConfigError as e:
            raise OSError(str(e))
        try:
            self.station, page = station.build(
                args, conf, self.servers, log_socket=log_socket, inside=inside,
                senders=self.mission_senders(),
                vendor_dirs=[self.kit.vendor] if self.kit.vendor else ())
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

    def mission_senders(self):
        """Who the run's station takes datagrams and uploads from: sockets
        of the mission's Unix user (ours), as this network namespace's
        socket tables name them, so that a neighbour on the machine adds
        nothing to the run. A wrapper whose mission and station listeners
        are in a network namespace of the run's own (where nobody else
        reaches them, and these tables do not list them) returns None."""
        if self.own_network:
            return None
        from kelvex_ground.senders import SenderCheck
        return SenderCheck()

    def start_printer(self, address, log_socket):
        """No station: the log lines are filed in ground/log.txt and shown,
        by the station's own log writer, with nothing else."""
        from kelvex_ground.logstore import Receiver
        from kelvex_ground.satellites import Station
        self.station = Station(os.path.abspath(os.path.join(self.run_dir, "ground")),
                               single=True, address=address)
        self.station.listeners.append(GroundEcho(self.console))
        receiver = Receiver(log_socket)
        senders = self.mission_senders()
        if senders is not None:
            receiver.accept = senders.datagram
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
        write_record(self.run_dir, self.record)

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
        judged = self.sheet is not None or bool(options.get("checks") or options.get("scenario"))
        try:
            virtual, self.speed = clock.choose(options, judged)
            if virtual:
                interposer = clock.find_interposer(self.kit.sim)
                if interposer is None:
                    raise clock.ClockError("virtual time needs libkelvex_clock.so next to "
                                           "kelvex-sim; fly with --clock real")
                self.clock_launcher = clock.ClockLauncher(self.launcher, interposer,
                                                          self.program)
                self.launcher = self.clock_launcher
        except clock.ClockError as e:
            print("kelvex-sim: %s" % e, file=sys.stderr)
            return cli.EXIT_BAD_INPUT
        merged = merged + ["--clock=" + ("virtual" if virtual else "real"), "--speed=" + self.speed]
        # In memory where the machine has it: the simulator rewrites the
        # state file 20 times a simulated second, and on a disk file system
        # each rewrite (a file renamed over another) waits for the disk.
        memory = "/dev/shm"
        self.temp = tempfile.mkdtemp(prefix="kelvex-sim.", dir=memory if os.access(
            memory, os.W_OK | os.X_OK) else None)
        sim = None
        sealing = self.seal_mission(options)
        try:
            run_dir = options.get("run-dir") or default_run_folder()
            files = {"telemetry": "telemetry.csv", "events": "events.csv",
                     "control": "control.sock", "battery-key": "battery.key",
                     "line-log": "line.log"}
            sim = Simulator(self.kit.sim, merged + [
                "--%s=%s" % (name, os.path.abspath(os.path.join(run_dir.rstrip("/") or "/", f)))
                for name, f in files.items()] + ["--state=" + self.state_path(options)],
                seal.simulator_namespaces(self.launcher))
            recorded = sim.options()
            if recorded is None:
                if self.sheet is not None or self.events:
                    print("kelvex-sim: (the options include the lab sheet's [run] table)",
                          file=sys.stderr)
                return cli.EXIT_BAD_INPUT
            # The record keeps the state file the command line asked for.
            recorded["state"] = options.get("state", "")
            self.run_dir = make_run_folder(run_dir, bool(options.get("run-dir")))
            return self._fly(sim, options, recorded, sealing)
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
            if getattr(self.launcher, "network", None) is not None:
                self.launcher.network.close()

    def seal_mission(self, options):
        """Seals the mission unless --no-seal (seal.py), around whatever
        launcher the run was given; says on the console what keeps it from
        being sealed. The record's sealed and network fields."""
        if options.get("no-seal"):
            return {"sealed": False, "network": "machine"}
        inner = None if type(self.launcher) is MissionLauncher else self.launcher
        launcher, note = seal.launcher(options, inner)
        if note:
            self.say(note)
        if launcher is None:
            return {"sealed": False, "network": "machine"}
        self.launcher = launcher
        return {"sealed": True, "network": "machine" if launcher.network is None else "own"}

    def _fly(self, sim, options, recorded, sealing):
        name = self.name = satellite_name(options.get("name"), self.program)
        from kelvex_ground.relay import new_run_id
        self.run_id = new_run_id(os.path.basename(os.path.abspath(self.run_dir)))
        self.record = {"satellite": name, "run_id": self.run_id, "program": self.program,
                       "options": recorded,
                       "station": options.get("station") or None,
                       "scenario": SCENARIO_COPY if self.scenario_text is not None else None,
                       **sealing}
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
        self.record["clock"] = {"kind": "real", "speed": 1}
        if self.clock_launcher is not None:
            path = sim._expect("clock")
            if path is None:
                raise RunError("the simulator made no clock")
            self.vclock = clock.VirtualClock(path)
            self.clock_launcher.clock_path = path
            self.vclock.set_ground(self.address)
            # The station stamps by the flight's clock, and the clock waits
            # for each datagram to be stamped.
            for server in self.servers:
                if hasattr(server, "on_taken"):
                    server.clock = self.vclock.unix
                    server.on_taken = self.vclock.took_datagram
        self.record.update(address=self.address, t0_unix=t0, started=iso_now())
        self.write_record()
        ended = threading.Event()
        scheduler = None
        if self.events:
            timing = {"t0": t0, "ended": ended}
            if self.vclock is not None:
                # Its own party on the clock, taken before the mission starts.
                rate = float(recorded.get("telemetry-rate") or 0)
                timing.update(party=self.vclock.party(), row_s=1 / rate if rate > 0 else None)
            scheduler = threading.Thread(
                target=scenario.run, name="scenario",
                args=(self.run_dir, self.events, ConsoleLines(self.console)),
                kwargs=timing, daemon=True)
            scheduler.start()
        argv, env = self.launcher.command(self.mission_argv(), self.mission_env(options), self)
        mission = Mission(self.launcher, argv, env, self.run_dir,
                          os.path.join(self.run_dir, "mission.log"), self.console)
        try:
            limit = float(options.get("time-limit", 0) or 0)
            self.watch(mission, t0 + limit if limit > 0 else None, limit, sim)
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
        if self.vclock is not None:
            self.record["clock"] = self.vclock.record(self.speed)
            refused = self.record["clock"]["refused"]
            if refused:
                status = cli.EXIT_BAD_INPUT
            elif self.record["clock"]["real_time_fallbacks"]:
                self.say("the clock went on in real time %d time(s): this flight may not "
                         "repeat exactly" % self.record["clock"]["real_time_fallbacks"])
        if sealing["sealed"]:
            self.record["limit"] = self.launcher.reason(status)
            if self.record["limit"]:
                self.say("the mission's room ended it: %s" % self.record["limit"])
        end = sim.end()
        if sealing["sealed"]:
            self.launcher.finish()
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

    def watch(self, mission, deadline, limit, sim):
        """Until the mission ends, CTRL-C, or the time limit (counted from
        telemetry t = 0); then until what it said before its end has reached
        the run."""
        # In virtual time the limit is the flight's (the simulator stops its
        # clock there).
        now = self.vclock.unix if self.vclock is not None else time.time
        while mission.status() is None and not self.interrupted.is_set():
            if self.vclock is not None and self.vclock.refusal():
                mission.stop()  # the interposer said why on the mission's console
                break
            wait = 0.05 if deadline is None else min(0.05, deadline - now())
            if wait <= 0:
                self.record["time_limited"] = True
                self.say("time limit of %g s reached; the mission is stopped" % limit)
                mission.stop()
                break
            mission.wait(wait)
        if self.interrupted.is_set():
            return
        if self.vclock is None:
            # The last log datagrams and answers are still on their way.
            self.interrupted.wait(DRAIN_AFTER_MISSION_S)
        else:
            self.finish_virtual(mission, sim)

    def finish_virtual(self, mission, sim):
        """The simulator ends once its clock stands at the run's end: the
        mission's last words said (it keeps the clock half a second of
        virtual time after the mission's end) and nothing of them left on
        the line or on its way to the station; nothing waits on the wall
        clock. A process the mission left behind that computes without ever
        waiting holds the clock short of that end: once the clock has stood
        still for STILL_S, the mission's group is stopped, which lets it go
        on."""
        last, since = self.vclock.now_ns(), time.monotonic()

        def meanwhile():
            nonlocal last, since
            now = self.vclock.now_ns()
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since > STILL_S:
                mission.stop()
                since = float("inf")

        sim.end(meanwhile)

    def after(self, options, name, status, interrupted):
        """The plot, or with a lab sheet the verdicts, which then decide the
        status. A run stopped by CTRL-C is not judged."""
        if self.sheet is not None:
            if interrupted:
                return status
            return cli.judge(self.run_dir, self.sheet.path, draw=not options.get("no-plot"),
                             out=ConsoleLines(self.console), sheet=self.sheet,
                             programs=self.kit.programs())
        if not options.get("no-plot") and self.kit.plot:
            _, reason = plot.redraw(self.run_dir, self.run_dir,
                                    title="%s on the virtual satellite" % name,
                                    programs=self.kit.programs())
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


def main(argv, launcher=None, flight=None, programs=None):
    """`kelvex-lab fly ...`: the run's exit status. flight: the class of the
    run (Flight or a subclass); programs: {name: path} kelvex-lab's launcher
    was configured with, behind what kelvex-sim gave."""
    try:
        kit, given, program = parse(argv)
    except (ValueError, TypeError) as e:
        print("kelvex-lab: %s" % e, file=sys.stderr)
        return cli.EXIT_BAD_INPUT
    kit.configured = dict(programs or {})
    # A grader that made a room as it started says so: this run makes none
    # to find out.
    sandbox.take_made_word()
    flight = (flight or Flight)(kit, given, program, launcher=launcher)
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: flight.interrupted.set())
    return flight.fly()
