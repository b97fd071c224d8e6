"""The desk's Python projects as their pyproject.toml files declare them:
the entry points, and the command that runs one from the sources (outside a
build tree)."""

import os
import tomllib

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PROJECTS = ("ground", "lab")


def entry_points(project):
    """{script: (module, function)} of a project's [project.scripts]."""
    with open(os.path.join(SOURCE, project, "pyproject.toml"), "rb") as f:
        scripts = tomllib.load(f)["project"]["scripts"]
    return {name: tuple(target.split(":")) for name, target in scripts.items()}


def from_sources(project, script):
    """The command that runs a script's entry point on the sources."""
    module, function = entry_points(project)[script]
    return ["/usr/bin/python3", "-c", "import sys; sys.path.insert(0, %r); from %s import %s; "
            "sys.exit(%s())" % (os.path.join(SOURCE, project), module, function, function)]
