"""Who sent it: the Unix user owning the socket a datagram or connection came
from, when the sender is on this machine and in this network namespace.

A run's own station takes its mission's log and photos. On loopback any
local user can send to it, and the source address says nothing (any process
may bind any 127.0.0.N); the owner of the sending socket, which the kernel
lists in /proc/net/{udp,tcp}[6], does. The lookup is a read of those tables,
so a sender is looked up once per source port and then remembered."""

import ipaddress
import os
import struct
import threading
import time

PROC = "/proc/net"


def _hex_address(text):
    """(ip text, port) of a /proc/net table's "ADDR:PORT" field; the address
    is the kernel's in-memory bytes, 32-bit words in host order."""
    addr, _, port = text.partition(":")
    raw = bytes.fromhex(addr)
    words = struct.unpack("=%dI" % (len(raw) // 4), raw)
    packed = struct.pack(">%dI" % len(words), *words)
    ip = ipaddress.ip_address(packed)
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return str(ip), int(port, 16)


def _plain(address):
    ip = ipaddress.ip_address(address.split("%", 1)[0])
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return str(ip)


def socket_owner(proto, local, remote=None, proc=PROC):
    """The uid owning the socket bound to local (address, port), connected to
    remote when given; None when no such socket is listed (closed already,
    or in another network namespace)."""
    local = (_plain(local[0]), local[1])
    remote = None if remote is None else (_plain(remote[0]), remote[1])
    for table in (proto, proto + "6"):
        try:
            with open(os.path.join(proc, table)) as f:
                next(f, None)
                for line in f:
                    fields = line.split()
                    if len(fields) < 8:
                        continue
                    try:
                        address, port = _hex_address(fields[1])
                        # A socket that was never bound is listed on the
                        # wildcard address its datagrams left from.
                        if port != local[1] or address not in (local[0], "0.0.0.0", "::"):
                            continue
                        if remote is not None and _hex_address(fields[2]) != remote:
                            continue
                        return int(fields[7])
                    except ValueError:
                        continue
        except OSError:
            continue
    return None


class SenderCheck:
    """Takes what comes from sockets of one Unix user (the mission's): a
    datagram's source port, once seen as that user's, stays taken, so that
    the last lines of a mission that has just ended still count."""

    def __init__(self, uid=None, proc=PROC):
        self.uid = os.getuid() if uid is None else uid
        self.proc = proc
        self._known = {}
        self._lock = threading.Lock()
        self.refused = 0

    def datagram(self, peer):
        key = (peer[0], peer[1])
        now = time.monotonic()
        with self._lock:
            ok, until = self._known.get(key, (None, 0.0))
        if ok is None or now > until:
            ok = socket_owner("udp", peer[:2], proc=self.proc) == self.uid
            with self._lock:
                if len(self._known) > 4096:
                    self._known.clear()
                # A stranger's port is looked up again a second later: the
                # mission may be given it next.
                self._known[key] = (ok, float("inf") if ok else now + 1.0)
        if not ok:
            self.refused += 1
        return ok

    def connection(self, peer, own):
        """A TCP connection from peer to this station's own (address, port)."""
        ok = socket_owner("tcp", peer, own, proc=self.proc) == self.uid
        if not ok:
            self.refused += 1
        return ok

