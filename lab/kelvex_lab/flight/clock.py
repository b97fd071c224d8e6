"""Virtual time for a run: which clock it flies by, the interposer that joins
the mission to the simulator's clock (sim/clock/), and that clock as the run
reads it (the station stamps by it)."""

import ctypes
import mmap
import os
import struct
import time

from .mission import MissionLauncher, is_script

# sim/clock/segment.h: virtual CLOCK_REALTIME starts here in every run, and
# the fields the run reads or writes sit at these offsets.
REALTIME_BASE = 1767225600
_NOW, _SENT, _TAKEN, _FALLBACKS, _FALLBACK_NS = 24, 72, 80, 92, 96
_REFUSED, _REFUSAL, _NOTE, _GROUND = 104, 108, 620, 876
_SEQ, _ASLEEP, _TOP, _PARTIES, _PARTY_SIZE, _MAX_PARTIES = 32, 36, 88, 944, 48, 256
# A party's fields (segment.h Party) and the states the run's own uses.
_STATE, _PID, _TID, _OWNER, _ON_LINE, _DEADLINE, _SINCE, _LIFE = 0, 4, 8, 12, 16, 24, 32, 40
_FREE, _RUNNING, _WAITING = 0, 1, 2
_SYS_FUTEX, _FUTEX_WAIT = 202, 0  # x86-64


class ClockError(Exception):
    """The run cannot fly in virtual time; the text says why and what to do."""


def choose(options, judged):
    """(virtual?, speed text) for --clock/--speed. A judged run (a lab sheet
    given by --checks or --scenario, or kelvex-grade's) flies in virtual time
    as fast as possible, so that it repeats and does not wait; any other in
    real time, as it is watched live with the page, the panel and what lies
    outside the run."""
    clock = options.get("clock") or ""
    if clock not in ("", "virtual", "real"):
        raise ClockError("--clock takes virtual or real, not '%s'" % clock)
    virtual = clock == "virtual" or (clock == "" and judged)
    speed = options.get("speed") or ("max" if virtual and judged else "1")
    if not virtual and speed != "1":
        raise ClockError("--speed needs --clock virtual: a real clock runs at its own pace")
    return virtual, speed


def find_interposer(sim):
    """libkelvex_clock.so next to kelvex-sim (build tree) or where the
    package installs it; None when there is none."""
    here = os.path.dirname(os.path.realpath(sim))
    for rel in ("libkelvex_clock.so", "../lib/kelvex/libkelvex_clock.so",
                "../lib/x86_64-linux-gnu/kelvex/libkelvex_clock.so"):
        path = os.path.normpath(os.path.join(here, rel))
        if os.access(path, os.R_OK):
            return path
    return None


def _resolve(program):
    if "/" in program:
        return program
    for d in os.environ.get("PATH", "/usr/bin:/bin").split(":"):
        path = os.path.join(d, program)
        if os.access(path, os.X_OK):
            return path
    return None


def statically_linked(program):
    """Whether `program` is an ELF without a dynamic loader (PT_INTERP):
    nothing can be preloaded into it."""
    path = _resolve(program)
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if head[:4] != b"\x7fELF":
                return False
            if head[4] != 2:
                return True  # 32-bit: our interposer cannot load into it
            phoff, = struct.unpack_from("<Q", head, 32)
            phentsize, phnum = struct.unpack_from("<HH", head, 54)
            for i in range(phnum):
                f.seek(phoff + i * phentsize)
                if struct.unpack("<I", f.read(4))[0] == 3:  # PT_INTERP
                    return False
            return True
    except (OSError, TypeError, struct.error):
        return False


class VirtualClock:
    """The simulator's clock, mapped: read for stamps, told of datagrams."""

    def __init__(self, path):
        with open(path, "r+b") as f:
            self._map = mmap.mmap(f.fileno(), 0)
        self.path = path

    def now(self):
        """Virtual seconds since t = 0."""
        return struct.unpack_from("<q", self._map, _NOW)[0] / 1e9

    def unix(self):
        return REALTIME_BASE + self.now()

    def set_ground(self, address):
        """Datagrams to the station's address are counted: the clock waits
        until each was stamped."""
        data = address.encode()[:63] + b"\0"
        self._map[_GROUND:_GROUND + len(data)] = data

    def took_datagram(self):
        # The station's receiver is the only writer of this count.
        taken = struct.unpack_from("<Q", self._map, _TAKEN)[0]
        struct.pack_into("<Q", self._map, _TAKEN, taken + 1)
        # A simulator that sleeps until the datagram is taken is woken now,
        # not at its next look.
        if struct.unpack_from("<I", self._map, _ASLEEP)[0]:
            self.ring()

    def _text(self, at, size):
        return self._map[at:at + size].split(b"\0", 1)[0].decode(errors="replace").strip()

    def now_ns(self):
        return struct.unpack_from("<q", self._map, _NOW)[0]

    def party(self):
        """A slot of the run's own on the clock (the scenario's scheduler):
        the clock stands still while it holds it. Taken before the mission
        starts, while nothing else claims slots (the mission's own is kept
        by the simulator), so that plain writes do."""
        for i in range(_MAX_PARTIES):
            at = _PARTIES + i * _PARTY_SIZE
            if struct.unpack_from("<I", self._map, at + _STATE)[0] == _FREE:
                return Party(self, i)
        raise ClockError("no free slot on the run's clock")

    def ring(self):
        """Wakes the simulator if it sleeps waiting for a change."""
        try:
            fd = os.open(self.path + ".bell", os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            return
        try:
            os.write(fd, b"\1")
        except OSError:
            pass  # full: it is being rung already
        finally:
            os.close(fd)

    def refusal(self):
        refused = struct.unpack_from("<I", self._map, _REFUSED)[0]
        return self._text(_REFUSAL, 512) if refused else None

    def record(self, speed):
        """What run.json says of the clock."""
        fallbacks = struct.unpack_from("<I", self._map, _FALLBACKS)[0]
        ns = struct.unpack_from("<q", self._map, _FALLBACK_NS)[0]
        return {"kind": "virtual", "speed": speed if speed == "max" else float(speed),
                "real_time_fallbacks": fallbacks, "fallback_s": round(ns / 1e9, 3),
                "fallback_note": self._text(_NOTE, 256) or None,
                "refused": self.refusal()}


class Party:
    """The run's own party on the clock: Running while it works (the clock
    stands still), Waiting until a virtual deadline; the simulator hands it
    the clock back at that instant, in its turn among the mission's."""

    def __init__(self, vclock, index):
        self.vclock = vclock
        self.at = _PARTIES + index * _PARTY_SIZE
        m = vclock._map
        pid = os.getpid()
        struct.pack_into("<iii", m, self.at + _PID, pid, threading_id(), 0)
        struct.pack_into("<I", m, self.at + _ON_LINE, 0)
        struct.pack_into("<q", m, self.at + _DEADLINE, 2 ** 63 - 1)
        # No life byte: the run itself ends it (release), never the simulator.
        struct.pack_into("<i", m, self.at + _LIFE, -1)
        top = struct.unpack_from("<I", m, _TOP)[0]
        if top < index + 1:
            struct.pack_into("<I", m, _TOP, index + 1)
        self._set(_RUNNING)
        self._seq = ctypes.c_uint32.from_buffer(m, _SEQ)
        self._libc = ctypes.CDLL(None, use_errno=True)

    def _set(self, state):
        m = self.vclock._map
        struct.pack_into("<q", m, self.at + _SINCE, time.monotonic_ns())
        struct.pack_into("<I", m, self.at + _STATE, state)

    def _state(self):
        return struct.unpack_from("<I", self.vclock._map, self.at + _STATE)[0]

    def wait_until(self, deadline_ns, ended, look_s=0.05):
        """Waits until the clock reaches `deadline_ns` and it is our turn;
        False when `ended` was set first."""
        struct.pack_into("<q", self.vclock._map, self.at + _DEADLINE, deadline_ns)
        self._set(_WAITING)
        self.vclock.ring()
        wait = struct.pack("<qq", 0, int(look_s * 1e9))
        while True:
            seq = self._seq.value
            if self._state() != _WAITING and self.vclock.now_ns() >= deadline_ns:
                return True
            if self._state() != _WAITING:
                self._set(_WAITING)  # not yet ours (a signal's mark): wait on
            if ended.is_set():
                return False
            self._libc.syscall(ctypes.c_long(_SYS_FUTEX), ctypes.c_void_p(ctypes.addressof(self._seq)),
                               ctypes.c_int(_FUTEX_WAIT), ctypes.c_uint32(seq),
                               ctypes.c_char_p(wait), ctypes.c_void_p(None), ctypes.c_int(0))

    def release(self):
        self._set(_FREE)
        self.vclock.ring()


def threading_id():
    return getattr(os, "gettid", os.getpid)()


class ClockLauncher(MissionLauncher):
    """Starts the mission through `inner` with the interposer preloaded, so
    that it and every process and thread it starts share the run's clock."""

    def __init__(self, inner, interposer, program):
        self.inner = inner
        self.interposer = interposer
        self.clock_path = None  # set once the simulator made the clock
        if not is_script(program) and statically_linked(program[0]):
            raise ClockError("virtual time cannot follow %s: it is statically linked (no "
                             "dynamic loader to preload the clock into); fly it with --clock "
                             "real, or link it dynamically" % program[0])

    def command(self, argv, env, flight):
        argv, env = self.inner.command(argv, env, flight)
        env = dict(env)
        old = env.get("LD_PRELOAD")
        env.update(KELVEX_CLOCK=self.clock_path, KELVEX_CLOCK_ROLE="party",
                   LD_PRELOAD=self.interposer + (" " + old if old else ""))
        # A mission built with AddressSanitizer insists that its runtime
        # loads first; the interposer must come first, and needs none.
        asan = env.get("ASAN_OPTIONS")
        env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "verify_asan_link_order=0"
        return argv, env

    def writable(self):
        """What a sealed room must let the mission write: the clock itself
        (every party marks its state there), its doorbell and its turn FIFO
        (the simulator's wake-up for a party waiting on the line)."""
        return ([self.clock_path, self.clock_path + ".bell", self.clock_path + ".turn"]
                if self.clock_path else [])

    def start(self, argv, env, cwd, output):
        return self.inner.start(argv, env, cwd, output)
