"""A stand-in for kelvex-sim's control channel (RUN/control.sock): answers
fault/clear/list/active for the simulator's faults (the build's
kelvex_sim_tables) as the simulator does, and keeps every command it got.
For the scenario scheduler's and the panel's tests."""

import os
import socket
import threading

import kelvex_sim_tables

# name: (units, value use), as the simulator's `list` gives them.
FAULTS = {f["name"]: (f["units"], f["value"]) for f in kelvex_sim_tables.FAULTS}


class FakeControl:
    def __init__(self, path, clock=lambda: 1.5):
        self.path = path
        self.clock = clock
        self.commands = []
        self.active = {}        # (name, unit): (value, source)
        self.lock = threading.Lock()
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        os.chmod(path, 0o600)
        self.server.listen(8)
        self.server.settimeout(0.2)
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self.stopped.set()
        self.thread.join(5)
        self.server.close()

    def _serve(self):
        while not self.stopped.is_set():
            try:
                conn, _ = self.server.accept()
            except socket.timeout:
                continue
            threading.Thread(target=self._client, args=(conn,), daemon=True).start()

    def _client(self, conn):
        conn.settimeout(5)
        buf = b""
        with conn:
            while not self.stopped.is_set():
                try:
                    chunk = conn.recv(4096)
                except OSError:
                    return
                if not chunk:
                    return
                buf += chunk
                while b"\n" in buf:
                    line, buf = buf.split(b"\n", 1)
                    conn.sendall((self.answer(line.decode().strip()) + "\n").encode())

    def answer(self, line):
        with self.lock:
            self.commands.append(line)
            words = line.split()
            if words == ["list"]:
                return "".join(f"name={n} units=0-{u - 1} value={v} help=what {n} does\n"
                               for n, (u, v) in FAULTS.items()) + "end"
            if words == ["active"]:
                return "".join(f"name={n} unit={u} value={'' if v is None else v} since=1.000 "
                               f"source={s}\n" for (n, u), (v, s) in self.active.items()) + "end"
            if len(words) < 2 or words[0] not in ("fault", "clear"):
                return f"error unknown command '{words[0] if words else ''}'"
            if words[1] not in FAULTS:
                return f"error no fault named '{words[1]}'"
            args = dict(w.split("=", 1) for w in words[2:] if "=" in w)
            key = (words[1], int(args.get("unit", 0)))
            if key[1] >= FAULTS[words[1]][0]:
                return f"error {words[1]}: unit {key[1]} out of range"
            if words[0] == "fault":
                self.active[key] = (args.get("value"), args.get("source", "control"))
            elif self.active.pop(key, None) is None:
                return f"error {words[1]} unit {key[1]} is not on"
            return f"ok t={self.clock():.3f}"
