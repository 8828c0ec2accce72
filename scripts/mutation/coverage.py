"""Which tests see which files: read from the build, not from a list kept by hand.

CTest tells each test's command (ctest --show-only=json-v1); the executables of the build
that a command names are what the test runs. Ninja tells what each executable is made of:
`ninja -t inputs` gives its sources, objects and the executables it waits for (order-only,
such as the command line a test program starts), and `ninja -t deps` the headers each object
read when it was compiled. A file that no test's executables are made of is not covered.
"""

from __future__ import annotations

import dataclasses
import json
import subprocess
from pathlib import Path

ELF = b"\x7fELF"


@dataclasses.dataclass
class Unit:
    """What runs as one: a gtest program (all its cases in one process) or one other ctest
    test (a script or a QtTest program, run through ctest for its environment and verdict)."""

    name: str
    kind: str  # "gtest" or "ctest"
    exes: list[str]  # executables it runs, relative to the build directory
    command: list[str]  # a gtest program's own command; for "ctest" the test's
    env: dict[str, str]
    cwd: str
    lock: str = ""  # a RESOURCE_LOCK: units that hold the same one never run at once
    files: set[str] = dataclasses.field(default_factory=set)  # repository files it covers


def _props(test: dict) -> dict:
    return {p["name"]: p["value"] for p in test.get("properties", [])}


def _is_exe(path: Path) -> bool:
    try:
        with open(path, "rb") as f:
            head = f.read(4)
            return path.is_file() and (head == ELF or head[:2] == b"MZ")  # or a Windows program
    except OSError:
        return False


def read_units(build: Path, ctest_json: str) -> list[Unit]:
    """The units of the tests CTest lists, with the executables of `build` each one runs."""
    tests = json.loads(ctest_json).get("tests", [])
    gtests: dict[str, Unit] = {}
    units: list[Unit] = []
    for t in tests:
        cmd = t.get("command") or []
        props = _props(t)
        env = dict(e.split("=", 1) for e in props.get("ENVIRONMENT", []) if "=" in e)
        cwd = props.get("WORKING_DIRECTORY", str(build))
        exes = []
        for arg in cmd:
            p = Path(arg)
            if p.is_absolute() and p.is_relative_to(build) and _is_exe(p):
                exes.append(str(p.relative_to(build)))
        if not exes:
            continue  # runs nothing this build makes (a CMake script check)
        if any(a.startswith("--gtest_filter=") for a in cmd):
            exe = exes[0]
            if exe not in gtests:
                gtests[exe] = Unit(Path(exe).name, "gtest", [exe],
                                   [cmd[0], "--gtest_brief=1"], env, cwd)
            continue
        lock = props.get("RESOURCE_LOCK", [])
        units.append(Unit(t["name"], "ctest", exes, cmd, env, cwd,
                          ",".join(lock) if isinstance(lock, list) else str(lock)))
    return list(gtests.values()) + units


def _ninja(build: Path, *args: str) -> str:
    return subprocess.run(["ninja", "-C", str(build), *args], capture_output=True, text=True,
                          check=True).stdout


def read_deps(build: Path) -> dict[str, list[str]]:
    """Each object's inputs as the deps log holds them (source first, then headers)."""
    out: dict[str, list[str]] = {}
    cur: list[str] | None = None
    for line in _ninja(build, "-t", "deps").splitlines():
        if not line.strip():
            cur = None
        elif not line.startswith(" "):
            cur = out.setdefault(line.split(":", 1)[0], [])
        elif cur is not None:
            cur.append(line.strip())
    return out


def exe_contents(build: Path, src: Path, exes: set[str], deps: dict[str, list[str]]
                 ) -> tuple[dict[str, set[str]], dict[str, set[str]], dict[str, set[str]]]:
    """For each executable: the repository files it is made of, the executables it waits for
    (itself included), and its objects with each object's repository files."""
    files: dict[str, set[str]] = {}
    waits: dict[str, set[str]] = {}
    objects: dict[str, set[str]] = {}

    def rel(p: str) -> str | None:
        q = Path(p) if Path(p).is_absolute() else (build / p).resolve()
        return str(q.relative_to(src)) if q.is_relative_to(src) else None

    for exe in sorted(exes):
        inputs = _ninja(build, "-t", "inputs", exe).split()
        mine: set[str] = set()
        waits[exe] = {exe}
        for i in inputs:
            r = rel(i)
            if r is not None:
                mine.add(r)
            local = str(Path(i).relative_to(build)) if Path(i).is_relative_to(build) else i
            if local in deps:
                objects.setdefault(local, set()).update(
                    x for x in (rel(d) for d in deps[local]) if x)
                mine |= objects[local]
            if not local.endswith((".o", ".a", ".so")) and _is_exe(build / local):
                waits[exe].add(local)
        files[exe] = mine
    return files, waits, objects
