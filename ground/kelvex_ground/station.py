"""kelvex-ground: the command line that runs the servers together."""

import argparse
import contextlib
import json
import os
import signal
import sys
import threading

from . import __version__
from .config import ConfigError, settings
from .logstore import RECEIVE_BUFFER, Receiver, open_udp, say
from .photos import FtpSettings, FtpThread, PhotoServer, Quota
from .satellites import Station
from .senders import SenderCheck
from .control import SocketForwarder
from .web import Instructor, WebServer

DESCRIPTION = """\
The kelvex ground station. It receives the satellites' log datagrams (UDP) and
photo uploads (anonymous FTP), takes the virtual satellites' telemetry and
status (HTTP), and shows them live in a web page. A board is known by its
source address (--board, [boards] addresses); a virtual satellite's run
registers with its run id, its student's name and a secret, which everything
it relays carries. A port of 0 takes any free port; the ready file then tells
which."""

EPILOG = """\
files (station for a class):
  DIR/log.txt                      every line of every satellite:
                                   "TIME [ADDRESS] TEXT"
  DIR/satellites/ID/log.txt        one satellite's lines: "TIME TEXT"; ID is a
                                   board's address or a run's id
  DIR/satellites/ID/incoming/      its photos, uploaded e.g. with
                     curl -T photos/7.jpeg ftp://ADDR:2121/incoming/20190305140309-7.jpeg
  DIR/satellites/ID/telemetry.csv, status.json
files (--single):  DIR/log.txt, DIR/incoming/
  Lines: arrival date and time with milliseconds, a blank, the text
  (appended, never rewritten; a trailing newline is dropped, other control
  bytes escaped).
  ready file       key=value lines: log_port, ftp_port, http_port, url, dir
                   (and instructor_token when the page has the instructor's panel)

The page is http://ADDR:HTTP_PORT/. CTRL-C stops the station."""


def parse_args(argv):
    p = argparse.ArgumentParser(prog="kelvex-ground", description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--config", metavar="FILE",
                   help="settings file (TOML, e.g. /etc/kelvex/ground.toml); the options below "
                        "override it")
    p.add_argument("--bind", metavar="ADDR", help="address every server listens on (default 127.0.0.1)")
    p.add_argument("--log-port", metavar="N", type=int, help="UDP port of the log datagrams (default 4567)")
    p.add_argument("--ftp-port", metavar="N", type=int, help="TCP port of the FTP server (default 2121)")
    p.add_argument("--http-port", metavar="N", type=int, help="TCP port of the web page (default 8080)")
    p.add_argument("--dir", metavar="DIR", help="station directory (default ./kelvex-run/ground-station)")
    p.add_argument("--single", action="store_true",
                   help="one satellite, whatever its address: DIR/log.txt and DIR/incoming/")
    p.add_argument("--telemetry", metavar="FILE",
                   help="telemetry CSV of the virtual satellite to plot (t,yaw_deg,rate_dps,"
                        "wheel_rpm,lamp_angle_deg,...); may appear later and grow; implies --single")
    p.add_argument("--http-host", metavar="NAME", action="append", default=[],
                   help="a further Host name the page answers to (its address and the "
                        "loopback names always work); may be repeated")
    p.add_argument("--http-timeout", metavar="S", type=float, default=20.0,
                   help="seconds a page connection may take to send its request "
                        "(default %(default)s)")
    p.add_argument("--upstream", metavar="URL",
                   help="also send everything to the station at URL (its page address), from "
                        "the --bind address")
    p.add_argument("--board", metavar="NET", dest="boards", action="append", default=None,
                   help="an address (or network) of the boards: their datagrams and anonymous "
                        "uploads are taken, nobody else's; may be repeated (default: any address)")
    p.add_argument("--run-id", metavar="ID",
                   help="the run this station is the own station of, registered with --upstream")
    p.add_argument("--name", metavar="NAME",
                   help="the student's name the run is shown under (here and upstream)")
    p.add_argument("--sender-uid", metavar="UID", type=int,
                   help="take datagrams and uploads only from sockets of this Unix user (a "
                        "run's own station: its mission's user), told by the kernel's socket "
                        "tables; senders in another network namespace cannot be told")
    p.add_argument("--review", metavar="DIR",
                   help="serve the page of an earlier run's folder or station directory, "
                        "read-only; nothing is received")
    p.add_argument("--mqtt", metavar="HOST:PORT",
                   help="publish every satellite's log, status, photos and telemetry to this "
                        "MQTT broker")
    p.add_argument("--mqtt-user", metavar="NAME", help="the station's user name at the broker")
    p.add_argument("--mqtt-password-file", metavar="FILE",
                   help="a file whose first line is the broker's password for --mqtt-user")
    p.add_argument("--mqtt-tls", action="store_true", default=None,
                   help="talk to the broker over TLS (the system's certificate authorities "
                        "unless --mqtt-cafile)")
    p.add_argument("--mqtt-cafile", metavar="FILE",
                   help="the certificate authority the broker's certificate is checked against")
    p.add_argument("--mqtt-certfile", metavar="FILE", help="the station's own certificate")
    p.add_argument("--mqtt-keyfile", metavar="FILE", help="the key of --mqtt-certfile")
    p.add_argument("--mqtt-queue-mb", metavar="MB", type=float,
                   help="messages waiting for a slow broker, at most (default 8 MB); more "
                        "are dropped and counted")
    p.add_argument("--mqtt-station", metavar="NAME",
                   help="publish under kelvex/NAME/ (default: --mqtt-user, if given)")
    p.add_argument("--print-log", action="store_true",
                   help="print every line on standard output as it arrives, escaped as in log.txt")
    p.add_argument("--control", metavar="SOCKET",
                   help="the simulator's control socket: the instructor's panel on the page "
                        "switches its faults (with the token printed at start)")
    p.add_argument("--state", metavar="FILE",
                   help="the virtual satellite's state file: while it says transmitter_dead=1, "
                        "uploads are refused, as a dead transmitter sends nothing")
    p.add_argument("--instructor-network", metavar="NET", action="append", default=[],
                   help="a network besides loopback the panel may be used from (e.g. "
                        "10.1.2.0/24); may be repeated")
    p.add_argument("--ready-file", metavar="FILE", help="write FILE once every server listens")
    p.add_argument("--version", action="version", version="kelvex-ground " + __version__)
    return p.parse_args(argv)


def write_ready(path, values):
    tmp = path + ".tmp"
    # It may carry the instructor's token: readable by its owner only.
    with open(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        os.fchmod(f.fileno(), 0o600)
        f.writelines("%s=%s\n" % kv for kv in values.items())
    # Whoever waits for the file never sees it half written.
    os.replace(tmp, path)


def review_layout(folder):
    """(station directory, single, telemetry CSV, address) of a folder to
    review: a class station's directory, a run folder or a station directory."""
    if os.path.isdir(os.path.join(folder, "satellites")):
        return folder, False, None, None
    run = {}
    try:
        with open(os.path.join(folder, "run.json")) as f:
            run = json.load(f)
    except (OSError, ValueError):
        pass
    address = run.get("address") if isinstance(run, dict) and isinstance(run.get("address"), str) else "local"
    if os.path.isdir(os.path.join(folder, "ground")):
        return os.path.join(folder, "ground"), True, os.path.join(folder, "telemetry.csv"), address
    return folder, True, os.path.join(folder, "telemetry.csv"), address


def transmitter_dead(state):
    """The reason to refuse uploads while the simulator's state file says
    its transmitter is dead, for the FTP server."""
    def why():
        try:
            with open(state) as f:
                dead = "transmitter_dead=1\n" in f.read()
        except OSError:
            return None
        return "The transmitter is dead" if dead else None
    return why


def build(args, conf, servers, log_socket=None, inside=None, senders=None, vendor_dirs=()):
    """The station; its servers are appended to servers as each one listens,
    so that a failure can close the ones already there. log_socket: the log
    datagrams' socket, bound by the caller (a run that claimed its address
    with it, or one made inside another network namespace); else one is
    bound to the settings' address and port. inside: a context manager in
    which the FTP server is made and started (a run's own network namespace,
    where its mission reaches it), the page staying outside.
    senders: a SenderCheck that every datagram and upload must pass (a run's
    station: its mission's). vendor_dirs: where the page's libraries are
    looked for first (a build tree's)."""
    quota = Quota(*conf["quota_bytes"])
    if senders is None and args.sender_uid is not None:
        senders = SenderCheck(args.sender_uid)
    if args.review:
        root, single, csv, address = review_layout(os.path.abspath(args.review))
        station = Station(root, single=single, read_only=True, address=address,
                          telemetry=csv if csv and os.path.exists(csv) else None, quota=quota)
    else:
        root = os.path.abspath(conf["dir"])
        single = args.single or bool(args.telemetry)
        station = Station(root, single=single, address=conf["bind"], quota=quota,
                          telemetry=os.path.abspath(args.telemetry) if args.telemetry else None,
                          ingest_from=conf["ingest_from"], max_satellites=conf["max_satellites"],
                          echo=sys.stdout if args.print_log else None, boards=conf["boards"],
                          run=args.run_id, name=args.name, senders=senders,
                          runs_per_user=conf["runs_per_user"])
        station.receiver = Receiver(log_socket or open_udp(conf["bind"], conf["log_port"]))
        if senders is not None:
            station.receiver.accept = senders.datagram
        servers.append(station.receiver)
        if station.receiver.buffer < RECEIVE_BUFFER:
            say("the log socket buffers %d KB (asked %d MB): raise net.core.rmem_max to keep "
                "larger bursts" % (station.receiver.buffer >> 10, RECEIVE_BUFFER >> 20))
        settings = FtpSettings(idle_timeout=conf["idle_timeout"],
                               per_address=conf["connections_per_address"],
                               max_connections=conf["max_connections"],
                               passive_ports=conf["passive_ports"],
                               login_timeout=conf["login_timeout"])
        with (inside or contextlib.nullcontext)():
            ftp = FtpThread(PhotoServer((conf["bind"], conf["ftp_port"]), station, settings,
                                        refuse=transmitter_dead(args.state) if args.state else None,
                                        accept=senders.connection if senders else None))
        ftp.inside = inside
        servers.append(ftp)
        station.ports.update(log_port=station.receiver.port, ftp_port=ftp.port)
    instructor = None
    if args.control:
        instructor = Instructor(SocketForwarder(args.control), networks=args.instructor_network)
    elif not station.single and not args.review:
        # A class station switches each virtual satellite's faults through
        # that run's own station, which asks for them.
        instructor = Instructor(station.control, networks=args.instructor_network)
    station.instructor = instructor
    web = WebServer(conf["bind"], conf["http_port"], station, hosts=args.http_host,
                    idle_timeout=args.http_timeout, instructor=instructor, vendor_dirs=vendor_dirs)
    servers.append(web)
    station.ports["http_port"] = web.port
    if conf["mqtt"]:
        from .mqtt import Publisher
        station.listeners.append(Publisher(conf["mqtt_settings"]))
    if args.upstream:
        from .relay import Relay
        relay = Relay(args.upstream, conf["bind"], root, run=args.run_id, name=args.name)
        relay.check()
        if isinstance(getattr(instructor, "forwarder", None), SocketForwarder):
            relay.control = instructor.forwarder
        station.listeners.append(relay)
    return station, web


def main(argv=None, vendor_dirs=()):
    """vendor_dirs: where a build tree keeps the page's libraries (an
    installed station serves its own)."""
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        conf = settings(args)
    except ConfigError as e:
        say(str(e))
        return 2
    if args.review and (args.upstream or args.single or args.telemetry):
        say("--review serves a folder as it is: no --upstream, --single or --telemetry")
        return 2

    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())

    servers = []
    try:
        station, web = build(args, conf, servers, vendor_dirs=vendor_dirs)
    except (OSError, ValueError) as e:
        say(str(e))
        stop_servers(station=None, servers=servers)
        return 1
    url = start_servers(station, web, servers)
    if args.review:
        say("reviewing %s at %s" % (station.root, url))
    else:
        host = url.split("//", 1)[1].rsplit(":", 1)[0]
        say("log udp %s:%d, ftp %s:%d, page %s, files in %s"
            % (host, station.ports["log_port"], host, station.ports["ftp_port"], url, station.root))
    if station.instructor is not None:
        station.instructor.announce(url, sys.stderr)
    if args.ready_file:
        ready = {"log_port": station.ports["log_port"] or 0,
                 "ftp_port": station.ports["ftp_port"] or 0,
                 "http_port": web.port, "url": url, "dir": station.root}
        if station.instructor is not None:
            ready["instructor_token"] = station.instructor.token
        write_ready(args.ready_file, ready)
    while not stop.wait(0.5):
        pass
    stop_servers(station, servers)
    return 0


def start_servers(station, web, servers):
    """Starts what build() made; returns the page's address."""
    for server in servers:
        if server is not station.receiver:
            # A server's thread is in the network of the thread that starts it.
            with (getattr(server, "inside", None) or contextlib.nullcontext)():
                server.start()
    if station.receiver is not None:
        station.receiver.start()
    station.start(station.receiver)
    for listener in station.listeners:
        listener.start(station)
    bind = web.server.server_address[0]
    host = "[%s]" % bind if ":" in bind else bind
    return "http://%s:%d/" % (host, web.port)


def stop_servers(station, servers):
    """Stops what build() made, the log writer last: the receiver's last
    lines reach the files and the listeners before they say their last."""
    for server in reversed(servers):
        if station is None or server is not station.receiver:
            server.stop()
    if station is None:
        return
    station.stop()
    for listener in station.listeners:
        listener.stop()
