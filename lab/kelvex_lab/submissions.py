"""A class's submissions: what each one is, and how a C mission is built."""

import os
import re
import shlex
import shutil
import stat
import subprocess
import tomllib
import tempfile

BUILD_SECONDS = 120
STUDENT_FILE = "student.toml"
MAX_FIELD = 200


class Submission:
    def __init__(self, path, name):
        self.path = os.path.abspath(path)
        self.name = name            # the student's folder in the class folder
        self.student_id = name      # as the gradebook names the student
        self.student_name = name
        self.note = None            # what was wrong with student.toml
        self.kind = None            # "c" or "python"
        self.sources = []
        self.command = None         # the mission as kelvex-sim runs it
        self.rerun_command = None   # as a rerun does, when that is another
        self.problem = None         # why it cannot run


def _student(path):
    return os.path.basename(os.path.normpath(path)) or "submission"


def folder_name(text):
    """A name that is one folder in the class folder whatever a student
    wrote: no separators, no leading dot, nothing a shell or a file manager
    trips over."""
    name = re.sub(r"[^A-Za-z0-9._@=+-]+", "_", text).lstrip(".")
    return name[:100] or "submission"


def read_student(folder):
    """(id, name, note) from a submission's student.toml; None for what it
    does not give, note for what was wrong with it."""
    path = os.path.join(folder, STUDENT_FILE)
    if not os.path.isfile(path):
        return None, None, None
    try:
        with open(path, "rb") as f:
            data = tomllib.loads(f.read().decode("utf-8"))
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError) as e:
        return None, None, f"{STUDENT_FILE} is not readable TOML ({e}); the folder name stands in"
    found = []
    for key in ("id", "name"):
        v = data.get(key)
        if isinstance(v, int) and not isinstance(v, bool) and key == "id":
            v = str(v)
        if isinstance(v, str):
            v = " ".join(v.split())
        ok = isinstance(v, str) and 0 < len(v) <= MAX_FIELD and v.isprintable()
        found.append(v if ok else None)
    note = None
    if any(data.get(k) is not None and v is None for k, v in zip(("id", "name"), found)):
        note = f"{STUDENT_FILE}: id and name must be texts of 1 to {MAX_FIELD} characters"
    return found[0], found[1], note


def find(paths):
    """One Submission per path, with names made unique. A folder's
    student.toml (id, name) names its student; the folder name otherwise.
    The id decides the student's folder, so that a resubmission under
    another folder name lands on the same student."""
    subs = []
    taken = set()
    for p in paths:
        base = os.path.splitext(_student(p))[0] if os.path.isfile(p) else _student(p)
        sid, sname, note = read_student(p) if os.path.isdir(p) else (None, None, None)
        raw = sid or base
        base = folder_name(raw)
        name, n = base, 2
        while name in taken:
            name, n = f"{base}-{n}", n + 1
        taken.add(name)
        s = Submission(p, name)
        # Two submissions of one name in a grading keep apart in the
        # gradebook too.
        s.student_id = raw if name == base else name
        s.student_name = sname or s.student_id
        s.note = note
        _classify(s)
        subs.append(s)
    return subs


def _classify(s):
    if os.path.isfile(s.path):
        files = [s.path]
    elif os.path.isdir(s.path):
        files = sorted(os.path.join(s.path, f) for f in os.listdir(s.path))
    else:
        s.problem = "no such file or folder"
        return
    c = [f for f in files if f.endswith(".c")]
    py = [f for f in files if f.endswith(".py")]
    if c:
        s.kind, s.sources = "c", c
        return
    if not py:
        s.problem = "holds no C mission (.c) and no Python script (.py)"
        return
    s.kind = "python"
    if len(py) > 1:
        named = [f for f in py if os.path.basename(f) == "mission.py"]
        if not named:
            s.problem = "several Python scripts and none called mission.py"
            return
        py = named
    s.sources = py
    s.command = ["/usr/bin/python3", py[0]]


def _source_dir(build_dir):
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            for line in f:
                m = re.match(r"kelvex_SOURCE_DIR:STATIC=(.*)$", line.rstrip("\n"))
                if m:
                    return m.group(1)
    except OSError:
        pass
    return None


def kit_flags(build_dir=None):
    """(cflags, libs) for building missions, or raises RuntimeError. From a
    build tree: its headers and libraries, found again at run time; otherwise
    the installed kit through pkg-config, as the README builds a mission."""
    if build_dir:
        src = _source_dir(build_dir)
        lib = os.path.join(os.path.abspath(build_dir), "src")
        if not src or not os.path.exists(os.path.join(lib, "libkelvex.so")):
            raise RuntimeError(f"{build_dir} is not a built kelvex tree "
                               f"(no CMakeCache.txt or src/libkelvex.so)")
        return ([f"-I{os.path.join(src, 'include')}"],
                [f"-L{lib}", f"-Wl,-rpath,{lib}", "-Wl,--export-dynamic-symbol=control",
                 "-lkelvex-dev", "-lkelvex", "-lm"])
    try:
        cflags = subprocess.run(["pkg-config", "--cflags", "kelvex"], capture_output=True,
                                text=True, check=True).stdout
        libs = subprocess.run(["pkg-config", "--libs", "kelvex"], capture_output=True,
                              text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        raise RuntimeError("pkg-config does not know kelvex: install kelvex-dev, or give "
                           "--build-dir BUILD")
    return shlex.split(cflags), shlex.split(libs)


def _reason(log):
    for line in log.splitlines():
        if re.search(r"\berror\b", line):
            return line.strip()
    lines = [l for l in log.splitlines() if l.strip()]
    return lines[-1].strip() if lines else "the compiler failed"


def stage(s, into):
    """A private copy of the submission for its room: every file readable (a
    room's user owns nothing of the class's), links kept as links, so that
    they resolve inside the room, where nothing else of the class is.
    Repoints s.path, s.sources and a script's command at the copy."""
    dest = os.path.join(into, "source")
    if os.path.isdir(s.path):
        shutil.copytree(s.path, dest, symlinks=True, ignore_dangling_symlinks=True)
    else:
        os.makedirs(dest)
        shutil.copy2(s.path, os.path.join(dest, os.path.basename(s.path)), follow_symlinks=False)
    for root, dirs, files in os.walk(dest):
        for n in dirs + files:
            p = os.path.join(root, n)
            if not os.path.islink(p):
                os.chmod(p, 0o755 if os.path.isdir(p) else 0o644)
    os.chmod(dest, 0o755)
    moved = {f: os.path.join(dest, os.path.relpath(f, s.path)) if os.path.isdir(s.path)
             else os.path.join(dest, os.path.basename(f)) for f in s.sources}
    s.path = dest
    s.sources = [moved[f] for f in s.sources]
    if s.command:
        s.rerun_command = s.command
        s.command = [moved.get(a, a) for a in s.command]


def _kit_paths(flags):
    """Folders the compiler and the mission need from a build tree (under
    /usr, an installed kit is in the room already)."""
    paths = []
    for f in flags[0] + flags[1]:
        for prefix in ("-I", "-L"):
            if f.startswith(prefix) and not f[2:].startswith("/usr/"):
                paths.append(f[2:])
    return paths


def build(s, out_dir, flags, room=None, seconds=BUILD_SECONDS):
    """Builds a C submission into out_dir/mission; the compiler's output goes
    to out_dir/build.log. Sets s.command or s.problem. With a sandbox.Room,
    the compiler runs in it: the submission read-only, out_dir/build the only
    writable folder, its limits and `seconds` the whole build's."""
    cflags, libs = flags
    cc = shlex.split(os.environ.get("CC", "cc"))
    log_path = os.path.join(out_dir, "build.log")
    if room is None:
        program = os.path.join(out_dir, "mission")
        cmd = [*cc, "-O2", *cflags, *s.sources, *libs, "-o", program]
        log, ok, why = _build_open(cmd, s, seconds)
    else:
        built = os.path.join(out_dir, "build")
        os.makedirs(built)
        program = os.path.join(built, "mission")
        cmd = [*cc, "-O2", *cflags, *s.sources, *libs, "-o", program]
        log, ok, why = _build_sealed(cmd, s, built, room, seconds, flags)
    with open(log_path, "w") as f:
        f.write(log)
    if ok:
        s.command = [program]
    else:
        s.problem = why or f"does not build: {_reason(log.split(chr(10), 1)[1])}"


def _build_open(cmd, s, seconds):
    try:
        r = subprocess.run(cmd, cwd=s.path if os.path.isdir(s.path) else None,
                           capture_output=True, text=True, timeout=seconds)
        return shlex.join(cmd) + "\n" + r.stdout + r.stderr, r.returncode == 0, None
    except subprocess.TimeoutExpired:
        return f"{shlex.join(cmd)}\nno result after {seconds:g} s\n", False, None
    except OSError as e:
        return f"{shlex.join(cmd)}\n{e}\n", False, None


def _build_sealed(cmd, s, built, room, seconds, flags):
    from . import sandbox
    room.read_only(s.path)
    for p in _kit_paths(flags):
        room.read_only(p)
    room.writable(built)
    room.cwd = s.path
    with tempfile.TemporaryFile() as out:
        status, why = sandbox.run(room, cmd, out, seconds)
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    log = shlex.join(cmd) + "\n" + text
    if why:
        return log + why + "\n", False, f"does not build: {why}"
    # A link the build left would point the mission's room at another file.
    try:
        ok = status == 0 and stat.S_ISREG(os.lstat(os.path.join(built, "mission")).st_mode)
    except FileNotFoundError:
        ok = False
    return log, ok, None
