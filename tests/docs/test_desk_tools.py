"""The desk tools name the kit's version, which their manual pages carry."""

import ast
import os
import pathlib
import re
import subprocess

import pytest

from projects import PROJECTS, entry_points

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("KELVEX_BUILD_DIR", SOURCE / "build"))
TOOLS = ("sim/kelvex-sim", "sim/kelvex-plot", "ground/kelvex-ground", "lab/kelvex-grade")


def project_version():
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(kelvex VERSION ([0-9.]+)", text).group(1)


@pytest.mark.parametrize("tool", TOOLS)
def test_version_is_the_kits(tool):
    program = BUILD / tool
    if not program.exists():
        pytest.skip("built without the desk tools")
    out = subprocess.run([str(program), "--version"], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, timeout=60)
    assert out.returncode == 0, out.stdout
    assert out.stdout.strip() == "%s %s" % (program.name, project_version())



# Where the build writes each entry point's launcher, in the build tree and
# for the installation (the streamer keeps its short name, off the PATH).
LAUNCHERS = {"kelvex-ground": ("ground/kelvex-ground", "ground/install/kelvex-ground"),
             "kelvex-streamer": ("ground/bin/streamer", "ground/install/streamer"),
             "kelvex-lab": ("lab/kelvex-lab", "lab/install/kelvex-lab"),
             "kelvex-grade": ("lab/kelvex-grade", "lab/install/kelvex-grade")}


def test_the_launchers_are_the_projects_entry_points():
    if not (BUILD / "ground" / "kelvex-ground").exists():
        pytest.skip("built without the desk tools")
    declared = {}
    for project in PROJECTS:
        for script, (module, function) in entry_points(project).items():
            declared[script] = (project, module, function)
    assert set(declared) == set(LAUNCHERS)
    for script, (project, module, function) in declared.items():
        code = "import sys; sys.path.insert(0, %r); import %s as m; assert callable(m.%s)" % (
            str(SOURCE / project), module, function)
        assert subprocess.run(["/usr/bin/python3", "-c", code], timeout=60).returncode == 0, script
        for path in LAUNCHERS[script]:
            text = (BUILD / path).read_text()
            assert "\nfrom %s import %s " % (module, function) in text, path
            # Configuration reaches the entry point as arguments, not as
            # globals written into its package: the launcher only imports,
            # puts its package's folder on the path and calls (a build
            # tree's also reads the compiled modules from the build's cache).
            for statement in ast.parse(text).body:
                if isinstance(statement, (ast.Import, ast.ImportFrom)):
                    continue
                call = ast.unparse(statement)
                allowed = ["sys.path.insert(0, ", "sys.exit(%s(" % function]
                if "/install/" not in path:
                    allowed += ["def _build_cache(", "_build_cache(%r, " % str(BUILD / "pycache")]
                assert call.startswith(tuple(allowed)), (path, call)


def test_a_build_trees_programs_start_from_the_modules_the_build_compiled(tmp_path):
    if not (BUILD / "lab" / "kelvex-lab").exists():
        pytest.skip("built without the desk tools")
    # Where compiled modules are not written (this environment), and where
    # they are: never compiled at a start, never written into the sources.
    def caches():
        return {p for package in ("lab/kelvex_lab", "ground/kelvex_ground")
                for p in (SOURCE / package).rglob("*.pyc")}
    before = caches()
    for writes in ("1", ""):
        env = dict(os.environ, PYTHONVERBOSE="1", PYTHONDONTWRITEBYTECODE=writes)
        env.pop("PYTHONPYCACHEPREFIX", None)
        out = subprocess.run([str(BUILD / "lab" / "kelvex-lab"), "fly", "--help"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                             timeout=60, env=env, cwd=tmp_path).stderr
        loaded = re.findall(r"# code object from '?([^'\n]+)", out)
        ours = [p for p in loaded if "/kelvex_lab/" in p or "/kelvex_ground/" in p]
        assert len(ours) > 10 and all(p.endswith(".pyc") for p in ours), ours
    assert caches() <= before


def test_an_installation_runs_its_programs_where_it_is_moved(tmp_path):
    if not (BUILD / "ground" / "kelvex-ground").exists():
        pytest.skip("built without the desk tools")
    r = subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(tmp_path / "usr"),
                        "--component", "desktop"], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    # Moved after its installation, it still finds its packages.
    moved = tmp_path / "elsewhere"
    (tmp_path / "usr").rename(moved)
    for program in ("bin/kelvex-ground", "bin/kelvex-grade", "share/kelvex/lab/kelvex-lab"):
        out = subprocess.run([str(moved / program), "--help"], capture_output=True, text=True,
                             timeout=60, env=dict(os.environ, PYTHONPATH=""))
        assert out.returncode == 0 and "usage: %s" % os.path.basename(program) in out.stdout, \
            (program, out.stdout, out.stderr)
    # kelvex-lab hosts a run's ground station: its launcher's path, run from
    # where the installation went, reaches that package and the simulator's
    # tables too.
    lab = moved / "share/kelvex/lab/kelvex-lab"
    code = ("import ast, sys\n"
            "path = %r\n"
            "tree = ast.parse(open(path).read())\n"
            "head = [s for s in tree.body if not isinstance(s, ast.ImportFrom)\n"
            "        and not ast.unparse(s).startswith('sys.exit')]\n"
            "exec(compile(ast.Module(head, []), path, 'exec'), {'__file__': path})\n"
            "import kelvex_ground.station, kelvex_lab.flight, kelvex_sim_tables\n"
            "print(kelvex_ground.station.__file__)\n"
            "print(kelvex_sim_tables.__file__)\n" % str(lab))
    out = subprocess.run(["/usr/bin/python3", "-c", code], capture_output=True, text=True,
                         timeout=60, cwd=tmp_path, env=dict(os.environ, PYTHONPATH=""))
    assert out.returncode == 0, out.stderr
    found, tables = map(os.path.normpath, out.stdout.split())
    assert found.startswith(str(moved / "share/kelvex/ground/kelvex_ground")), found
    # The simulator's tables the build wrote, installed beside the package.
    assert tables == str(moved / "share/kelvex/lab/kelvex_sim_tables.py"), tables
    # Without a virtual satellite the streamer's package says so itself.
    env = {k: v for k, v in os.environ.items() if k != "KELVEX_SIM_STATE"}
    out = subprocess.run([str(moved / "share/kelvex/ground/bin/streamer"), "-o", str(tmp_path / "v.jpeg")],
                         capture_output=True, text=True, timeout=60, env=env)
    assert out.stderr.startswith("streamer: ") and "KELVEX_SIM_STATE" in out.stderr, out.stderr
