"""The mission: how its process is started (MissionLauncher, the seam for
whatever wraps it), its command line and its output."""

import os
import select
import signal
import subprocess
import threading
import time
import tty

STOP_GRACE_S = 2.0


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
        # Readable once the process has ended, so that the run goes on at
        # that moment rather than at its next look.
        self._ended = None
        if self.proc is not None:
            try:
                self._ended = os.pidfd_open(self.proc.pid)
            except (OSError, AttributeError):
                pass
        # Written by close(): the reader takes what is left and ends, without
        # waiting for a look that finds nothing.
        self._wake_r, self._wake_w = os.pipe()
        self._reader = threading.Thread(target=self._copy, name="mission-output", daemon=True)
        self._reader.start()

    def _copy(self):
        while True:
            ready, _, _ = select.select([self.master, self._wake_r], [], [])
            if self.master not in ready:
                self._copy_rest()
                return
            if not self._copy_some():
                return

    def _copy_some(self):
        try:
            data = os.read(self.master, 65536)
        except OSError:
            return False  # EIO: nobody holds the terminal any more
        if not data:
            return False
        self.log.write(data)
        self.console.mission(data)
        return True

    def _copy_rest(self):
        # Whatever is buffered; a process the mission left behind that still
        # writes is not waited for.
        while select.select([self.master], [], [], 0)[0] and self._copy_some():
            pass

    def status(self):
        """Its exit status as a shell gives it (128 + N for signal N), or
        None while it runs."""
        if self.proc is None:
            return 127
        code = self.proc.poll()
        return None if code is None else (128 - code if code < 0 else code)

    def wait(self, timeout):
        """Its status once it has ended, or None after timeout seconds (or a
        signal) while it still runs."""
        if self._ended is not None and self.status() is None:
            select.select([self._ended], [], [], max(0.0, timeout))
        elif self.status() is None:
            time.sleep(max(0.0, timeout))
        return self.status()

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
        os.write(self._wake_w, b"x")
        self._reader.join()
        for fd in (self.slave, self.master, self._wake_r, self._wake_w, self._ended):
            if fd is not None:
                os.close(fd)
        self.log.close()
