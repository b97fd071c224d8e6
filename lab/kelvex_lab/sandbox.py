"""A sealed room for one graded build or mission.

A graded program runs under bubblewrap in namespaces of its own: a user
namespace (it holds no privilege over anything outside), a PID namespace
(it sees and signals only its own processes, and when the room's first
process dies the kernel kills every other one, however it detached), an IPC
namespace and a network namespace in which only the loopback interface
exists. The system is bound read-only; the room's own files are what the
caller binds in; its working folder and /tmp are tmpfs of a fixed size.

Limits are the kernel's, set on the room's first process and inherited:

- processes: RLIMIT_NPROC. Since Linux 5.14 it is counted per user
  namespace, so each room counts its own processes, not the grader's. The
  kernel exempts uid 0 from it, so for a grader run as root each room is a
  pids cgroup of its own (v2 where the pids controller is enabled, else v1).
- memory: RLIMIT_AS, per process (a program past it gets no more memory).
- processor time: RLIMIT_CPU, per process (SIGXCPU, then SIGKILL).
- file size: RLIMIT_FSIZE (SIGXFSZ).
- disk: the size of each of the room's tmpfs (the working folder, /tmp);
  nothing else in the room is writable but what the caller binds in.
- output: the caller's reader stops at the limit and ends the room.

cgroup v2 would count memory and processor time over the whole room; it is
not used because a desk or a lab machine rarely delegates a writable cgroup
to an ordinary user (and cgroup v1, where it is mounted, is root's only),
while the limits above need nothing but user namespaces.

The caller opens the station's sockets inside the room's network (`in_net`),
so the mission reaches its ground station at the board's built-in address
127.0.0.1 and nothing else: the room is held (`--block-fd`) until they are
bound."""

import contextlib
import ctypes
import fcntl
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import tarfile
import threading
import time
import tty

MB = 1 << 20
CLONE_NEWNET = 0x40000000
CLONE_NEWIPC = 0x08000000
# Where the room's own writable files live, inside it.
WORK = "/work"
SYSTEM_DIRS = ("/usr", "/etc")
SYSTEM_LINKS = (("usr/bin", "/bin"), ("usr/sbin", "/sbin"), ("usr/lib", "/lib"),
                ("usr/lib64", "/lib64"), ("usr/lib32", "/lib32"))


class Unavailable(Exception):
    """What is missing for a sealed room, and how to get it."""


class Limits:
    """A room's kernel-enforced limits. `NAMES` are the options a lab sheet's
    [run] table or the command line sets them by (numbers, in the unit said)."""

    NAMES = {
        "process-limit": ("processes", 1, "processes"),
        "memory-limit": ("memory", MB, "MB"),
        "cpu-limit": ("cpu", 1, "s"),
        "file-limit": ("file", MB, "MB"),
        "disk-limit": ("disk", MB, "MB"),
        "output-limit": ("output", MB, "MB"),
    }

    def __init__(self, processes=64, memory=512 * MB, cpu=600, file=64 * MB, disk=64 * MB,
                 output=64 * MB):
        self.processes, self.memory, self.cpu = processes, memory, cpu
        self.file, self.disk, self.output = file, disk, output

    @classmethod
    def from_options(cls, *tables):
        """Limits from {option: number} tables, later ones winning; raises
        ValueError on a value that is not a positive number."""
        limits = cls()
        for table in tables:
            for name, value in (table or {}).items():
                if name not in cls.NAMES or value is None:
                    continue
                attr, unit, _ = cls.NAMES[name]
                if isinstance(value, bool) or not isinstance(value, (int, float)) or value <= 0:
                    raise ValueError(f"{name} must be a positive number, not {value!r}")
                setattr(limits, attr, int(value * unit))
        return limits

    def options(self):
        """{option: number} as NAMES has them, for another program's command line."""
        out = {}
        for name, (attr, unit, _) in self.NAMES.items():
            value = getattr(self, attr) / unit
            out[name] = int(value) if float(value).is_integer() else value
        return out

    def said(self, attr):
        """'512 MB', '64 processes': a limit as a reason names it."""
        for name, (a, unit, word) in self.NAMES.items():
            if a == attr:
                value = getattr(self, attr) / unit
                return f"{value:g} {word}"
        raise KeyError(attr)

    def prlimit_argv(self):
        return ["prlimit", f"--nproc={self.processes}", f"--as={self.memory}",
                f"--cpu={self.cpu}:{self.cpu + 1}", f"--fsize={self.file}", "--core=0", "--"]


def reason_for(status, limits, output_cut=False, tail=""):
    """Why a room's program ended, when a limit ended it; None otherwise.
    `tail` is the end of its output: a program refused memory, processes or
    disk space says so there (the kernel only refuses; it sends no signal)."""
    if output_cut:
        return f"output cut at {limits.said('output')}"
    if status == 128 + signal.SIGXCPU or status == -signal.SIGXCPU:
        return f"killed: processor time limit {limits.said('cpu')}"
    if status == 128 + signal.SIGXFSZ or status == -signal.SIGXFSZ:
        return f"killed: file size limit {limits.said('file')}"
    if status in (0, None):
        return None
    if "MemoryError" in tail or "Cannot allocate memory" in tail or "bad_alloc" in tail \
            or "out of memory" in tail:
        return f"ran out of memory: memory limit {limits.said('memory')}"
    if "No space left on device" in tail:
        return f"work folder full: disk limit {limits.said('disk')}"
    if any(w in tail for w in ("Resource temporarily unavailable", "BlockingIOError",
                               "Cannot fork", "fork: retry")):
        return f"could not start more processes: process limit {limits.said('processes')}"
    return None


_probe_result = {}
# kelvex-grade made a room here as it started: it tells the runs it starts
# so by this variable (the bwrap it made it with), and they make none to
# find out again (a bwrap and a program fewer each).
MADE_ENV = "KELVEX_ROOM_MADE"


def made_word():
    """{variable: value} that tells a program started with it that a room
    was made here (probe() said so), for probe() there to trust."""
    bwrap = shutil.which("bwrap")
    return {MADE_ENV: bwrap} if bwrap and _probe_result.get(bwrap, "") is None else {}


def take_made_word(env=os.environ):
    """Takes MADE_ENV out of env (it goes no further: not into a room) and
    trusts it: probe() says rooms can be made with that bwrap."""
    bwrap = env.pop(MADE_ENV, None)
    if bwrap and os.path.isabs(bwrap):
        _probe_result[bwrap] = None


def probe(bwrap=None):
    """None when sealed rooms can be made here, else what is missing and how
    to enable it."""
    bwrap = bwrap or shutil.which("bwrap")
    if not bwrap or not os.access(bwrap, os.X_OK):
        return ("bubblewrap is not installed (no 'bwrap' on PATH): install it, e.g. "
                "'apt install bubblewrap'")
    if bwrap in _probe_result:
        return _probe_result[bwrap]
    if not shutil.which("prlimit"):
        _probe_result[bwrap] = ("prlimit is not installed (util-linux): install it, e.g. "
                                "'apt install util-linux'")
        return _probe_result[bwrap]
    try:
        # The namespaces a room makes, but a network: a room joins the run's
        # or shares the machine's, and making one is the slowest part of the
        # trial, which every run pays as it starts.
        r = subprocess.run([bwrap, "--unshare-user", "--unshare-pid", "--unshare-uts",
                            "--unshare-ipc", "--unshare-cgroup-try", "--die-with-parent",
                            *_system_binds(), "--proc", "/proc", "--dev", "/dev", "--",
                            "true"], capture_output=True, text=True, timeout=30,
)
        problem = None if r.returncode == 0 else r.stderr.strip() or f"status {r.returncode}"
    except (OSError, subprocess.SubprocessError) as e:
        problem = str(e)
    if problem:
        problem = (f"bubblewrap cannot make a sealed room here ({problem}): it needs user "
                   f"namespaces for ordinary users; enable them with 'sysctl -w "
                   f"user.max_user_namespaces=15000' (and, where the kernel has them, "
                   f"'kernel.unprivileged_userns_clone=1' or "
                   f"'kernel.apparmor_restrict_unprivileged_userns=0')")
    _probe_result[bwrap] = problem
    return problem


def _system_binds():
    args = []
    for d in SYSTEM_DIRS:
        args += ["--ro-bind", d, d]
    for target, link in SYSTEM_LINKS:
        if os.path.islink(link) or not os.path.exists(link):
            if os.path.exists(os.path.join("/", target)):
                args += ["--symlink", target, link]
        else:
            args += ["--ro-bind", link, link]
    return args


class _Cgroup:
    """A pids cgroup of one room, for a grader run as root: the kernel exempts
    uid 0 from RLIMIT_NPROC, but not from a cgroup's pids.max. None where no
    pids controller is writable (then an ordinary user's RLIMIT_NPROC, counted
    per user namespace, is the limit)."""

    _serial = 0
    _lock = threading.Lock()

    @classmethod
    def root(cls):
        if os.geteuid() != 0:
            return None
        v2 = "/sys/fs/cgroup"
        try:
            with open(os.path.join(v2, "cgroup.controllers")) as f:
                if "pids" in f.read().split() and os.access(v2, os.W_OK):
                    with open(os.path.join(v2, "cgroup.subtree_control")) as c:
                        if "pids" in c.read().split():
                            return v2
        except OSError:
            pass
        v1 = "/sys/fs/cgroup/pids"
        return v1 if os.access(os.path.join(v1, "cgroup.procs"), os.W_OK) else None

    @classmethod
    def make(cls, processes):
        root = cls.root()
        if root is None:
            return None
        with cls._lock:
            cls._serial += 1
            path = os.path.join(root, f"kelvex-room-{os.getpid()}-{cls._serial}")
        try:
            os.mkdir(path)
            with open(os.path.join(path, "pids.max"), "w") as f:
                f.write(str(processes + 1))   # bwrap's reaper is one
        except OSError:
            return None
        c = cls()
        c.path = path
        return c

    def add(self, pid):
        with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
            f.write(str(pid))

    def remove(self):
        # The last of its processes may still be on its way out.
        for _ in range(50):
            try:
                os.rmdir(self.path)
                return
            except FileNotFoundError:
                return
            except OSError:
                time.sleep(0.01)


_libc = ctypes.CDLL(None, use_errno=True)


def _setns(fd, kind=CLONE_NEWNET):
    if _libc.setns(fd, kind) != 0:
        e = ctypes.get_errno()
        raise OSError(e, f"cannot enter a room's namespace: {os.strerror(e)}")


@contextlib.contextmanager
def _entered(namespaces):
    """The calling thread in each (fd, kind, name) namespace for the block,
    back in its own ones after (also when entering one failed)."""
    back = []
    try:
        for fd, kind, name in namespaces:
            here = os.open(f"/proc/thread-self/ns/{name}", os.O_RDONLY | os.O_CLOEXEC)
            back.append((here, kind))
            _setns(fd, kind)
        yield
    finally:
        for here, kind in reversed(back):
            try:
                _setns(here, kind)
            finally:
                os.close(here)


SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1


class Network:
    """The network and IPC namespaces of one run. The network has its
    loopback up and nothing else: the mission's room joins it, and the run's
    ground station opens the servers the mission talks to inside it
    (`inside()`), at the board's own address 127.0.0.1, which no other run
    and no neighbour reaches. The IPC namespace is the mission's and the
    simulator's (`joined()`), which reads the battery record the mission
    keeps in System V shared memory; no other run sees it. Making them and
    entering them take CAP_SYS_ADMIN (a grader run as root); `make()` raises
    OSError where that is missing."""

    def __init__(self, fd, ipc=None):
        self.fd = fd
        self.ipc = ipc

    @classmethod
    def make(cls):
        made = {}

        def unshare():
            try:
                if _libc.unshare(CLONE_NEWNET | CLONE_NEWIPC) != 0:
                    e = ctypes.get_errno()
                    raise OSError(e, f"no network of its own for the mission: "
                                     f"{os.strerror(e)} (it needs CAP_SYS_ADMIN)")
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                    ifr = fcntl.ioctl(s, SIOCGIFFLAGS, struct.pack("16sH", b"lo", 0))
                    flags = struct.unpack("16sH", ifr[:18])[1]
                    fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH", b"lo", flags | IFF_UP))
                made["fd"] = os.open("/proc/thread-self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
                made["ipc"] = os.open("/proc/thread-self/ns/ipc", os.O_RDONLY | os.O_CLOEXEC)
            except OSError as e:
                made["error"] = e

        # Only this short-lived thread moves: the process's other threads stay
        # where they are.
        t = threading.Thread(target=unshare)
        t.start()
        t.join()
        if "error" in made:
            raise made["error"]
        return cls(made["fd"], made["ipc"])

    @contextlib.contextmanager
    def inside(self):
        """The calling thread inside this network for the block: every socket
        it makes there, and every thread it starts (a server's), is the run's."""
        with _entered([(self.fd, CLONE_NEWNET, "net")]):
            yield

    @contextlib.contextmanager
    def joined(self):
        """The calling thread inside this network and IPC namespace for the
        block: a program it starts there (the room, the simulator) is in
        both, without a program such as nsenter started first to put it
        there (a namespace is its thread's, and a child takes its thread's)."""
        with _entered([(self.fd, CLONE_NEWNET, "net"), (self.ipc, CLONE_NEWIPC, "ipc")]):
            yield

    def close(self):
        for fd in (self.fd, self.ipc):
            if fd is not None:
                os.close(fd)
        self.fd = self.ipc = None


class Room:
    """What one sealed program sees: read-only and writable binds, devices,
    its environment and its limits. `command(argv)` is the bwrap command.
    With a Network the room joins it (and its IPC namespace), else it has
    a network and IPC of its own with nothing in them; with `shared_network`
    it has the machine's (where no network of its own can be made for a
    mission, whose battery record the simulator must see)."""

    def __init__(self, limits=None, env=None, cwd=WORK, bwrap=None, network=None,
                 shared_network=False):
        self.limits = limits or Limits()
        self.env = dict(env or {})
        self.cwd = cwd
        self.bwrap = bwrap or shutil.which("bwrap") or "bwrap"
        self.network = network
        self.shared_network = shared_network
        self.ro, self.rw, self.dev = [], [], []

    def read_only(self, src, dest=None):
        self.ro.append((src, dest or src))
        return self

    def writable(self, src, dest=None):
        """Binds a host path writable: what the room writes there is limited by
        the file size limit only, so give it nothing but a file or a folder
        that the caller's own code reads with care."""
        self.rw.append((src, dest or src))
        return self

    def device(self, src, dest):
        self.dev.append((src, dest))
        return self

    def command(self, argv, info_fd=None, block_fd=None):
        """The command line; the caller starts it inside self.network (its
        `joined()`) when there is one. No session of its own: the room's
        processes stay in the group the caller starts, so that stopping the
        group reaches the program itself."""
        a = [self.bwrap, "--unshare-user", "--unshare-pid", "--unshare-uts",
              "--unshare-cgroup-try", "--disable-userns", "--die-with-parent"]
        if self.network is None and not self.shared_network:
            a += ["--unshare-net", "--unshare-ipc"]
        a += [*_system_binds(), "--proc", "/proc", "--dev", "/dev",
              "--size", str(self.limits.disk), "--tmpfs", WORK,
              "--size", str(self.limits.disk), "--tmpfs", "/tmp"]
        for src, dest in self.ro:
            a += ["--ro-bind", src, dest]
        for src, dest in self.rw:
            a += ["--bind", src, dest]
        for src, dest in self.dev:
            a += ["--dev-bind", src, dest]
        a.append("--clearenv")
        env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": WORK, "TMPDIR": "/tmp",
               "LANG": "C.UTF-8", **self.env}
        for k, v in env.items():
            a += ["--setenv", k, v]
        a += ["--chdir", self.cwd]
        if info_fd is not None:
            a += ["--info-fd", str(info_fd)]
        if block_fd is not None:
            a += ["--block-fd", str(block_fd)]
        return a + ["--", *self.limits.prlimit_argv(), *argv]


class Sealed:
    """One program running in a Room. Its output (stdout and stderr as one,
    on a terminal of its own, so that it buffers lines as at a desk) goes to
    `sink` (a binary file or an fd), cut at the output limit, after which
    the room is ended. With hold=True it does not run until `release()`,
    so that sockets can be opened in its network first."""

    def __init__(self, room, argv, sink, hold=False):
        self.room = room
        self.output_cut = False
        self.written = 0
        self._tail = b""
        info_r, info_w = os.pipe()
        # Held until set up: a cgroup must have the room's first process
        # before it starts any other.
        self.cgroup = _Cgroup.make(room.limits.processes)
        held = hold or self.cgroup is not None
        block_r, block_w = os.pipe() if held else (None, None)
        master, slave = os.openpty()
        tty.setraw(slave)
        fds = [info_w] + ([block_r] if held else [])
        command = room.command(argv, info_fd=info_w, block_fd=block_r)
        # bwrap reads its arguments from a file: its command line, which the
        # room sees as its first process's, names no path of the machine.
        at, end = command.index(room.bwrap), command.index("--")
        args = os.memfd_create("bwrap-args")
        os.write(args, b"".join(a.encode() + b"\0" for a in command[at + 1:end]))
        os.lseek(args, 0, os.SEEK_SET)
        fds.append(args)
        where = room.network.joined() if room.network is not None else contextlib.nullcontext()
        try:
            with where:
                self.proc = subprocess.Popen(
                    command[:at + 1] + ["--args", str(args)] + command[end:], pass_fds=fds,
                    stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, start_new_session=True)
        finally:
            for fd in fds + [slave]:
                os.close(fd)
        self._block = block_w
        self.netns = self.pidfd = self.mntns = None
        with os.fdopen(info_r, "rb") as f:
            text = f.read()   # bwrap closes it once the room is set up
        try:
            info = json.loads(text)
            self.pid1 = info["child-pid"]
            self.pidfd = os.pidfd_open(self.pid1)
            self.netns = os.open(f"/proc/{self.pid1}/ns/net", os.O_RDONLY | os.O_CLOEXEC)
            # Held, so that what the room left can be read after it ended.
            self.mntns = os.open(f"/proc/{self.pid1}/ns/mnt", os.O_RDONLY | os.O_CLOEXEC)
            if self.cgroup:
                self.cgroup.add(self.pid1)
        except (ValueError, KeyError, OSError):
            self.pid1 = None  # bwrap failed: its message is in the output
        self._pump = threading.Thread(target=self._copy, args=(master, sink), daemon=True)
        self._pump.start()
        if not hold:
            self.release()

    def _copy(self, master, sink):
        limit = self.room.limits.output
        write = (lambda b: os.write(sink, b)) if isinstance(sink, int) else sink.write
        try:
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:     # EIO: every writer is gone
                    break
                if not chunk:
                    break
                keep = chunk[:max(0, limit - self.written)]
                if keep:
                    _write_all(write, keep)
                    self._tail = (self._tail + keep)[-4096:]
                self.written += len(keep)
                if len(keep) < len(chunk):
                    self.output_cut = True
                    self.kill()
                    break
        finally:
            os.close(master)
            if not isinstance(sink, int):
                sink.flush()

    @contextlib.contextmanager
    def network(self):
        """The calling thread inside the room's network for the block (see
        Network.inside)."""
        with Network(self.netns).inside():
            yield

    def release(self):
        if self._block is not None:
            try:
                os.write(self._block, b"go")
            except BrokenPipeError:
                pass    # bwrap ended: its output says why
            os.close(self._block)
            self._block = None

    @property
    def pid(self):
        return self.proc.pid

    def poll(self):
        status = self.proc.poll()
        return None if status is None else (128 - status if status < 0 else status)

    def stop(self, grace):
        """SIGTERM to the room's processes (their group), then the whole room
        after `grace` seconds; the status."""
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            return self.wait(grace)
        except subprocess.TimeoutExpired:
            self.kill()
            return self.wait()

    def kill(self):
        """Ends the room: SIGKILL to its first process, upon which the kernel
        kills every process in its PID namespace."""
        if self.pidfd is not None:
            try:
                signal.pidfd_send_signal(self.pidfd, signal.SIGKILL)
            except ProcessLookupError:
                pass
        else:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def wait(self, timeout=None):
        """The program's status (128 + N when signal N ended it); raises
        subprocess.TimeoutExpired. Once it returns, no process of the room is
        left and its output is all in the sink."""
        self.release()
        status = self.proc.wait(timeout)
        self.end()
        return 128 - status if status < 0 else status

    def end(self, keep=None, files_later=False):
        """After the room's first process is gone: nothing of it is left.
        With `keep`, what the program left in its working folder is copied
        there first (see keep()); with files_later, its files are held for
        a keep() afterwards, which then lets them go."""
        self.kill()
        self._pump.join()
        if keep and self.mntns is not None:
            self.keep(keep)
        held = (self.mntns,) if files_later else ()
        for fd in (self.netns, self.pidfd, self.mntns):
            if fd is not None and fd not in held:
                os.close(fd)
        self.netns = self.pidfd = None
        if not files_later:
            self.mntns = None
        if self.cgroup:
            self.cgroup.remove()
            self.cgroup = None

    def keep(self, dest):
        """Copies the room's working folder, as its program left it, into the
        new folder dest: regular files and folders only (no links, devices or
        names that climb out), at most the disk limit. Reads it through the
        room's mount namespace, which this process holds after the room ended
        (entering it takes CAP_SYS_ADMIN: elsewhere nothing is kept).
        Returns the number of files kept, or None."""
        if self.mntns is None:
            return None
        os.makedirs(dest)
        # What is bound into the working folder (the kit, the program's own
        # folder, where the machine keeps them under WORK) is not the
        # program's: neither its files nor the folders made to hold it.
        bound = set()
        for _, inside in self.room.ro + self.room.rw + self.room.dev:
            rel = os.path.relpath(inside, WORK)
            while not rel.startswith("..") and rel not in (".", ""):
                bound.add(rel)
                rel = os.path.dirname(rel)
        try:
            tar = subprocess.Popen(["nsenter", f"--mount=/proc/self/fd/{self.mntns}", "--",
                                    "tar", "--one-file-system", "-C", WORK, "-cf", "-", "."],
                                   pass_fds=[self.mntns],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        except OSError:
            return None
        kept = 0
        try:
            with tarfile.open(fileobj=tar.stdout, mode="r|") as archive:
                for m in archive:
                    name = os.path.normpath(m.name)
                    if name.startswith(("..", "/")) or name == ".":
                        continue
                    path = os.path.join(dest, name)
                    if m.isdir() and name not in bound:
                        os.makedirs(path, exist_ok=True)
                    elif m.isreg():
                        os.makedirs(os.path.dirname(path), exist_ok=True)
                        with archive.extractfile(m) as src, open(path, "wb") as out:
                            shutil.copyfileobj(src, out)
                        kept += 1
        except (tarfile.TarError, OSError):
            pass
        finally:
            tar.stdout.close()
            tar.kill()
            tar.wait()
            if self.proc.poll() is not None:
                os.close(self.mntns)
                self.mntns = None
        return kept

    def tail(self):
        return self._tail.decode("utf-8", "replace")

    def reason(self, status):
        return reason_for(status, self.room.limits, self.output_cut, self.tail())


def _write_all(write, data):
    while data:
        n = write(data)
        data = data[n:] if isinstance(n, int) and 0 < n < len(data) else b""


def run(room, argv, sink, timeout):
    """Runs argv sealed until it ends or `timeout` seconds pass; returns
    (status, reason) with reason None when it ended by itself within its
    limits."""
    s = Sealed(room, argv, sink)
    try:
        status = s.wait(timeout)
    except subprocess.TimeoutExpired:
        s.kill()
        s.wait()
        return None, f"killed: time limit {timeout:g} s"
    return status, s.reason(status)


# Where a mission finds what its run gives it, inside its room.
LINE = "/run/kelvex/line"
GPIO = "/run/kelvex/gpio"
STATE = "/run/kelvex/sim/state"


def _state_inside(state):
    """Where the room finds a state file: its name, in its bound folder."""
    return os.path.join(os.path.dirname(STATE), os.path.basename(state))


# In the mission's own folder, as the run folder holds it unsealed.
BATTERY_KEY = WORK + "/battery.key"


def mission_room(limits, line, gpio_root=None, state=None, battery_key=None, program=(),
                 read_only=(), env=None):
    """The room of one mission and where it finds its run's parts: returns
    (room, {host path: path inside}). The line (the pty's mission side) is a
    device; the GPIO tree's files are writable but not its folders, so it
    holds no more files than the run made; the state file is read-only, the
    battery key writable; the program and a script are bound read-only
    with their folders (a script's modules beside it), any other existing
    path among the arguments alone, as is every folder in `read_only` (the
    kit's libraries, the Python module, the camera stand-in)."""
    room = Room(limits, env=env)
    places = {line: LINE}
    room.device(line, LINE)
    if gpio_root:
        room.read_only(gpio_root, GPIO)
        for root, _, files in os.walk(gpio_root):
            for n in files:
                host = os.path.join(root, n)
                inside = os.path.join(GPIO, os.path.relpath(host, gpio_root))
                room.writable(host, inside)
        places[gpio_root] = GPIO
    if state:
        # Its folder, not the file: the simulator replaces the file as it
        # writes, and a bound file would stay the first one.
        room.read_only(os.path.dirname(state), os.path.dirname(STATE))
        places[state] = _state_inside(state)
    if battery_key:
        room.writable(battery_key, BATTERY_KEY)
        places[battery_key] = BATTERY_KEY
    folders = set(read_only)
    system = tuple(d + "/" for d in SYSTEM_DIRS + ("/dev", "/proc"))
    for i, arg in enumerate(program):
        if arg.startswith("/") and os.path.exists(arg) and arg not in places and \
                not os.path.realpath(arg).startswith(system):
            # The program and a script come with their folder (a script's
            # modules); another file named as an argument comes alone.
            whole = (i == 0 or arg.endswith(".py")) and not os.path.isdir(arg)
            folders.add(os.path.dirname(arg) if whole else arg)
    for d in sorted(folders):
        room.read_only(d)
    return room, places
