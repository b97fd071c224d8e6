"""A run's mission in a sealed room (sandbox.py): how `kelvex-sim run`
starts it unless told --no-seal.

The room holds the mission's program (read-only, with its folder), the kit's
libraries and module, the run's line, its GPIO files, the simulator's state
file (read-only) and the battery key; not the run folder, where the
simulator, the station and the judge write the evidence, nor anything else
of the machine but its system. Its network is the run's own (a Network the
station opened its log and FTP servers in, at 127.0.0.1) where one can be
made, else the machine's."""

import contextlib
import os
import re
import struct

from . import sandbox

# Where the run folder keeps what the mission left in its own folder (its
# photos, its files): beside the evidence, never read as evidence.
LEFT = "mission"


# ELF: the dynamic section's type, and the tags of the library folders a
# file names for itself.
_SHT_DYNAMIC, _DT_RPATH, _DT_RUNPATH = 6, 15, 29


def runpaths(path):
    """The library folders an ELF file names for itself (RPATH, RUNPATH),
    read from its dynamic section without running it; [] for anything
    else. Read here rather than by readelf: a run asks this of each library
    of the kit as it starts."""
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if head[:4] != b"\x7fELF" or head[4] not in (1, 2) or head[5] not in (1, 2):
                return []
            wide, order = head[4] == 2, "<" if head[5] == 1 else ">"
            if wide:
                shoff, = struct.unpack_from(order + "Q", head, 40)
                shentsize, shnum = struct.unpack_from(order + "HH", head, 58)
                section, entry = order + "IIQQQQIIQQ", order + "qQ"
            else:
                shoff, = struct.unpack_from(order + "I", head, 32)
                shentsize, shnum = struct.unpack_from(order + "HH", head, 46)
                section, entry = order + "IIIIIIIIII", order + "iI"
            f.seek(shoff)
            table = f.read(shentsize * shnum)
            sections = [struct.unpack_from(section, table, i * shentsize) for i in range(shnum)]
            found = []
            for _, kind, _, _, offset, size, link, _, _, _ in sections:
                if kind != _SHT_DYNAMIC or link >= len(sections):
                    continue
                f.seek(offset)
                dynamic = f.read(size)
                strings_at, strings_size = sections[link][4], sections[link][5]
                f.seek(strings_at)
                strings = f.read(strings_size)
                step = struct.calcsize(entry)
                for i in range(0, len(dynamic) - step + 1, step):
                    tag, value = struct.unpack_from(entry, dynamic, i)
                    if tag in (_DT_RPATH, _DT_RUNPATH):
                        text = strings[value:strings.index(b"\0", value)].decode(errors="replace")
                        found += [p for p in text.split(":") if p.startswith("/")]
            return found
    except (OSError, struct.error, ValueError):
        return []


def _package_dir(name):
    try:
        module = __import__(name)
    except ImportError:
        return None
    return os.path.dirname(os.path.abspath(module.__file__))


def _outside_system(path):
    return not path.startswith(tuple(d + "/" for d in sandbox.SYSTEM_DIRS))


# What the run tells its mission of itself; placed in the room below.
RUN_PARTS = ("KELVEX_TTY", "KELVEX_GROUND", "KELVEX_GPIO_ROOT", "KELVEX_SIM_STATE",
             "KELVEX_RUN_DIR", "KELVEX_BATTERY_KEY", "KELVEX_FTP_PATH", "CURL_HOME")


class RoomProcess:
    """The room as the run sees its mission's process (subprocess.Popen's
    pid, poll and wait); once it has ended, nothing of the room is left."""

    def __init__(self, sealed, keep=None):
        self.sealed = sealed
        self.keep = keep
        self._ended = False

    @property
    def pid(self):
        return self.sealed.proc.pid

    def poll(self):
        code = self.sealed.proc.poll()
        if code is not None:
            self._end()
        return code

    def wait(self, timeout=None):
        code = self.sealed.proc.wait(timeout)
        self._end()
        return code

    def _end(self):
        if not self._ended:
            self._ended = True
            # What it left is copied after the run (SealedLauncher.finish):
            # the simulator is not kept waiting.
            self.sealed.end(files_later=self.keep is not None)


class SealedLauncher:
    """flight.MissionLauncher's seam: command() places the run's parts in the
    room and says where the mission finds them; start() starts it there."""

    def __init__(self, limits, network=None, inner=None):
        self.limits = limits
        self.network = network
        # A launcher this one wraps (an interposer's): its command() runs
        # first, and what it adds to the environment goes into the room.
        self.inner = inner
        self.room = None
        self.sealed = None
        self.keep = None

    def command(self, argv, env, flight):
        added = {}
        # Files the wrapped launcher shares with the mission both ways (the
        # run's clock): bound writable, alone.
        shared = list(getattr(self.inner, "writable", lambda: [])())
        if self.inner is not None:
            argv, wrapped = self.inner.command(argv, env, flight)
            added = {k: v for k, v in wrapped.items() if env.get(k) != v}
            env = wrapped
        gpio, state = env.get("KELVEX_GPIO_ROOT"), env.get("KELVEX_SIM_STATE")
        key = env.get("KELVEX_BATTERY_KEY")
        # The kit's own folders (the capture stand-in, the module), not what
        # else the PATH of whoever started the run names.
        own = getattr(flight, "kit", None)
        kit = [env.get("CURL_HOME"), getattr(own, "bin", None), getattr(own, "module", None)]
        # The capture stand-in on PATH is the station's own package's.
        kit.append(_package_dir("kelvex_ground"))
        # The files the wrapped launcher names (an interposer's library, its
        # clock) come read-only, with their folders.
        for value in added.values():
            for part in re.split(r"[: ]", value):
                if part.startswith("/") and os.path.exists(part) and part not in shared:
                    kit.append(part if os.path.isdir(part) else os.path.dirname(part))
        kit = [d for d in kit if d and os.path.isdir(d) and _outside_system(d)]
        libraries = []
        for d in kit + [argv[0]]:
            files = [os.path.join(d, n) for n in os.listdir(d)] if os.path.isdir(d) else [d]
            for f in files:
                if f.endswith(".so") or f == argv[0] or ".so." in f:
                    libraries += runpaths(f)
        libraries = [d for d in libraries if os.path.isdir(d) and _outside_system(d)]
        run_dir = getattr(flight, "run_dir", None)
        self.keep = os.path.join(run_dir, LEFT) if run_dir else None
        self.room, places = sandbox.mission_room(
            self.limits, flight.line, gpio, state if state and os.path.exists(state) else None,
            key, program=argv, read_only=sorted(set(kit + libraries)))
        for path in shared:
            self.room.writable(path)
        self.room.network = self.network
        self.room.shared_network = self.network is None
        # The environment the run was started with goes in, as it would
        # unsealed (a grader starts its runs with its own): the kit's and the
        # run's parts are placed below.
        inside = {k: v for k, v in env.items() if k not in RUN_PARTS}
        # The kit's folders the run put first, then the system's: nothing of
        # the folders of whoever started the run.
        for name, system in (("PATH", ["/usr/local/bin", "/usr/bin", "/bin"]),
                             ("PYTHONPATH", [])):
            dirs = [d for d in env.get(name, "").split(":") if d in kit] + system
            if dirs:
                inside[name] = ":".join(dirs)
            else:
                inside.pop(name, None)
        # A cache of compiled modules elsewhere names a folder of whoever
        # started the run, which the room does not have: every Python start
        # in it (the capture stand-in's, each photo) would compile all it
        # imports anew, about 0.2 s, instead of reading the system's own.
        inside.pop("PYTHONPYCACHEPREFIX", None)
        inside.update(added)
        for name in ("KELVEX_GROUND", "KELVEX_FTP_PATH", "CURL_HOME"):
            if name in env:
                inside[name] = env[name]
        for name, host in (("KELVEX_TTY", flight.line), ("KELVEX_GPIO_ROOT", gpio),
                           ("KELVEX_SIM_STATE", state), ("KELVEX_BATTERY_KEY", key)):
            if host in places:
                inside[name] = places[host]
        # The run folder is the evidence's: the mission gets its own folder.
        inside["KELVEX_RUN_DIR"] = sandbox.WORK
        return [places.get(a, a) for a in argv], inside

    def start(self, argv, env, cwd, output):
        self.room.env = env
        self.sealed = sandbox.Sealed(self.room, argv, output)
        return RoomProcess(self.sealed, self.keep)

    def finish(self):
        """After the run: what the mission left in its own folder, kept in
        the run folder's mission/."""
        if self.sealed is not None and self.keep:
            self.sealed.keep(self.keep)

    def reason(self, status):
        """Why a limit ended the mission, or None."""
        return self.sealed.reason(status) if self.sealed else None


def launcher(options, inner=None):
    """(a SealedLauncher, a note) for a run's options ({name: value} as
    given), or (None, why not) where no sealed room can be made here. The
    note says what sealing lacks: a network of the run's own needs
    CAP_SYS_ADMIN, without which the room shares the machine's."""
    problem = sandbox.probe()
    if problem:
        return None, f"the mission is not sealed: {problem}"
    try:
        limits = sandbox.Limits.from_options(
            {k: float(v) for k, v in options.items() if k in sandbox.Limits.NAMES})
    except ValueError as e:
        return None, f"the mission is not sealed: {e}"
    try:
        network = sandbox.Network.make()
        note = None
    except OSError as e:
        network = None
        note = f"the mission's room shares this machine's network ({e.strerror})"
    return SealedLauncher(limits, network, inner), note


def simulator_namespaces(launcher):
    """A context in which the run's simulator is started: in the mission's
    IPC namespace, where the mission keeps its battery record (and its
    network); none of its own for an unsealed mission or one that shares
    the machine's."""
    network = getattr(launcher, "network", None)
    return network.joined() if network is not None else contextlib.nullcontext()
