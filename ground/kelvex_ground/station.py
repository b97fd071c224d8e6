"""kelvex-ground: the command line that runs the three servers together."""

import argparse
import os
import signal
import sys
import threading

from . import __version__
from .logstore import LogStore, open_udp
from .photos import FtpThread, PhotoStore, make_ftp_server
from .single_view import SingleSatellite
from .telemetry import Telemetry
from .control import SocketForwarder
from .web import Instructor, WebServer

DESCRIPTION = """\
The kelvex ground station. It receives the satellite's log datagrams (UDP) and
its photo uploads (anonymous FTP into DIR/incoming/) and shows them live in a
web page together with the virtual satellite's telemetry plots. A port of 0
takes any free port; the ready file then tells which."""

EPILOG = """\
files:
  DIR/log.txt      every datagram, one line each: arrival date and time with
                   milliseconds, a blank, the text (appended, never rewritten;
                   a trailing newline is dropped, other control bytes escaped)
  DIR/incoming/    photos uploaded by FTP, e.g. with
                   curl -T photos/7.jpeg ftp://127.0.0.1:2121/incoming/20190305140309-7.jpeg
  ready file       key=value lines: log_port, ftp_port, http_port, url, dir
                   (and instructor_token with --control)

The page is http://ADDR:HTTP_PORT/. CTRL-C stops the station."""


def parse_args(argv):
    p = argparse.ArgumentParser(prog="kelvex-ground", description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--bind", metavar="ADDR", default="127.0.0.1",
                   help="address every server listens on (default %(default)s)")
    p.add_argument("--log-port", metavar="N", type=int, default=4567,
                   help="UDP port of the log datagrams (default %(default)s)")
    p.add_argument("--ftp-port", metavar="N", type=int, default=2121,
                   help="TCP port of the FTP server (default %(default)s)")
    p.add_argument("--http-port", metavar="N", type=int, default=8080,
                   help="TCP port of the web page (default %(default)s)")
    p.add_argument("--dir", metavar="DIR", default="ground-station",
                   help="station directory for log.txt and incoming/ (default ./%(default)s)")
    p.add_argument("--telemetry", metavar="FILE",
                   help="telemetry CSV of the virtual satellite to plot (t,yaw_deg,rate_dps,"
                        "wheel_rpm,lamp_angle_deg,...); may appear later and grow")
    p.add_argument("--http-host", metavar="NAME", action="append", default=[],
                   help="a further Host name the page answers to (its address and the "
                        "loopback names always work); may be repeated")
    p.add_argument("--http-timeout", metavar="S", type=float, default=20.0,
                   help="seconds a page connection may take to send its request "
                        "(default %(default)s)")
    p.add_argument("--print-log", action="store_true",
                   help="print every datagram on standard output as it arrives")
    p.add_argument("--control", metavar="SOCKET",
                   help="the simulator's control socket: the instructor's panel on the page "
                        "switches its faults (with the token printed at start)")
    p.add_argument("--instructor-network", metavar="NET", action="append", default=[],
                   help="a network besides loopback the panel may be used from (e.g. "
                        "10.1.2.0/24); may be repeated")
    p.add_argument("--ready-file", metavar="FILE",
                   help="write FILE once every server listens")
    p.add_argument("--version", action="version", version="kelvex-ground " + __version__)
    return p.parse_args(argv)


def write_ready(path, values):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.writelines("%s=%s\n" % kv for kv in values.items())
    # Whoever waits for the file never sees it half written.
    os.replace(tmp, path)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    root = os.path.abspath(args.dir)
    incoming = os.path.join(root, "incoming")
    os.makedirs(incoming, exist_ok=True)

    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())

    parts = []
    try:
        log = LogStore(open_udp(args.bind, args.log_port), os.path.join(root, "log.txt"),
                       echo=sys.stdout.buffer if args.print_log else None)
        parts.append(log)
        photos = PhotoStore(incoming)
        ftp = FtpThread(make_ftp_server(root, photos, args.bind, args.ftp_port))
        parts.append(ftp)
        ports = {"log_port": log.port, "ftp_port": ftp.port}
        view = SingleSatellite(args.bind, log, photos, Telemetry(args.telemetry), ports)
        instructor = Instructor(SocketForwarder(args.control),
                                networks=args.instructor_network) if args.control else None
        web = WebServer(args.bind, args.http_port, view, hosts=args.http_host,
                        idle_timeout=args.http_timeout, instructor=instructor)
        ports["http_port"] = web.port
        parts.append(web)
    except OSError as e:
        print("kelvex-ground: %s" % e, file=sys.stderr)
        for part in parts:
            part.stop()
        return 1
    for part in parts:
        part.start()

    host = "[%s]" % args.bind if ":" in args.bind else args.bind
    url = "http://%s:%d/" % (host, web.port)
    print("kelvex-ground: log udp %s:%d, ftp %s:%d, page %s, files in %s"
          % (host, log.port, host, ftp.port, url, root), file=sys.stderr, flush=True)
    if instructor:
        instructor.announce(url, sys.stderr)
    if args.ready_file:
        ready = {"log_port": log.port, "ftp_port": ftp.port, "http_port": web.port, "url": url,
                 "dir": root}
        if instructor:
            ready["instructor_token"] = instructor.token
        write_ready(args.ready_file, ready)
    while not stop.wait(0.5):
        pass
    for part in reversed(parts):
        part.stop()
    return 0
