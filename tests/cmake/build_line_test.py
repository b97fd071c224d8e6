#!/usr/bin/python3
"""The build line names the revision and time of the build, not of the configure run.

    build_line_test.py SOURCE_DIR GENERATOR [COMPILER_LAUNCHER]

Copies the working tree into a temporary git repository, builds the
libraries and one mission there, and reads the mission's "-v" line after
each of: the first build, a build with nothing changed, a new commit, and an
edited library source.
"""
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

LINE = re.compile(r"The hello_mission was built with kelvex version \[([0-9a-f]{10})\] "
                  r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\n")
SKIP = 77


def run(args, cwd, env=None, **kw):
    return subprocess.run(args, cwd=cwd, env=env, check=True, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw).stdout


def copy_tree(source, dest):
    try:
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                                cwd=source, check=True, capture_output=True).stdout
    except (OSError, subprocess.CalledProcessError):
        print("skipped: the sources are not a git checkout")
        sys.exit(SKIP)
    for rel in filter(None, listed.decode().split("\0")):
        src = os.path.join(source, rel)
        if os.path.isfile(src):
            os.makedirs(os.path.dirname(os.path.join(dest, rel)), exist_ok=True)
            shutil.copy2(src, os.path.join(dest, rel))


class Checkout:
    def __init__(self, top, generator, launcher):
        self.src = os.path.join(top, "src")
        self.build = os.path.join(top, "build")
        self.env = dict(os.environ, GIT_AUTHOR_NAME="kelvex", GIT_AUTHOR_EMAIL="kelvex@localhost",
                        GIT_COMMITTER_NAME="kelvex", GIT_COMMITTER_EMAIL="kelvex@localhost",
                        # Compiler cache hits across runs in fresh temporary trees.
                        CCACHE_BASEDIR=top, CCACHE_NOHASHDIR="1")
        self.env.pop("SOURCE_DATE_EPOCH", None)
        gpio = os.path.join(top, "gpio")
        os.makedirs(os.path.join(gpio, "gpio17"))
        for leaf in ("export", "unexport", "gpio17/direction", "gpio17/value"):
            open(os.path.join(gpio, leaf), "w").close()
        self.env["KELVEX_GPIO_ROOT"] = gpio
        self.generator = generator
        self.launcher = launcher

    def git(self, *args):
        return run(["git", *args], self.src, self.env).strip()

    def configure(self):
        args = ["cmake", "-S", self.src, "-B", self.build, "-G", self.generator,
                "-DCMAKE_BUILD_TYPE=Release", "-DKELVEX_BUILD_TESTS=OFF", "-DKELVEX_BUILD_PYTHON=OFF",
                "-DKELVEX_BUILD_SIM=OFF", "-DKELVEX_BUILD_BENCH=OFF", "-DKELVEX_BUILD_DOCS=OFF"]
        if self.launcher:
            args += [f"-DCMAKE_C_COMPILER_LAUNCHER={self.launcher}",
                     f"-DCMAKE_CXX_COMPILER_LAUNCHER={self.launcher}"]
        run(args, self.src, self.env)

    def build_line(self):
        """Builds, then returns (revision, time) from the mission's -v line."""
        run(["cmake", "--build", self.build, "-j2", "--target", "hello_mission"], self.src, self.env)
        out = run([os.path.join(self.build, "examples", "hello_mission"), "-v"], self.src, self.env,
                  timeout=30)
        m = LINE.fullmatch(out)
        assert m, f"unexpected build line {out!r}"
        return m.group(1), datetime.datetime.strptime(m.group(2), "%Y-%m-%d %H:%M:%S")

    def mtime(self, name):
        return os.stat(os.path.join(self.build, "src", name)).st_mtime_ns


def next_second():
    time.sleep(1.1)


def main(argv):
    if len(argv) not in (3, 4):
        raise SystemExit(__doc__)
    with tempfile.TemporaryDirectory(prefix="kelvex-build-line.") as top:
        co = Checkout(top, argv[2], argv[3] if len(argv) == 4 else "")
        copy_tree(argv[1], co.src)
        co.git("init", "-q")
        co.git("add", "-A")
        co.git("commit", "-q", "-m", "first")
        co.configure()

        rev, built = co.build_line()
        assert rev == co.git("rev-parse", "--short=10", "HEAD"), (rev, "first build")
        runtime = co.mtime("libkelvex-dev.so"), co.mtime("libkelvex.so")

        next_second()
        assert co.build_line() == (rev, built), "a build with nothing changed moved the build line"
        assert (co.mtime("libkelvex-dev.so"), co.mtime("libkelvex.so")) == runtime, \
            "a build with nothing changed relinked the libraries"

        next_second()
        co.git("commit", "-q", "--allow-empty", "-m", "second")
        rev2, built2 = co.build_line()
        assert rev2 == co.git("rev-parse", "--short=10", "HEAD") != rev, (rev, rev2)
        assert built2 > built, (built, built2)
        assert co.mtime("libkelvex.so") == runtime[1], "a new commit rebuilt libkelvex.so"

        next_second()
        with open(os.path.join(co.src, "src", "runner", "gpio.cpp"), "a", encoding="utf-8") as f:
            f.write("\nnamespace kelvex::runner { int build_line_probe; }\n")
        rev3, built3 = co.build_line()
        assert rev3 == rev2 and built3 > built2, (rev2, built2, rev3, built3)
    print("build line follows commits and rebuilds")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
