"""Running the mutants: one copy of the tree per job, each mutant built and tested there."""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

from . import REPO
from .coverage import Unit, exe_contents, read_deps, read_units
from .find import Mutant

# Units that hold a RESOURCE_LOCK (one private desktop at a time) never run at once, also
# not in two copies. (Other real-time tests are tried again when they fail, see run_tests.)
_LOCKS: dict[str, threading.Lock] = {}
_LOCKS_GUARD = threading.Lock()


def resource_lock(name: str) -> threading.Lock:
    with _LOCKS_GUARD:
        return _LOCKS.setdefault(name, threading.Lock())


class Stop(Exception):
    pass


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


# What each stage of scripts/test-windows.sh runs, as the cross build names it ("*.msi": the
# installer it makes). Which files a stage covers is read from that build's Ninja, as here.
WINE_STAGES = {
    "suites": ["tests/horalign_core_tests.exe", "tests/horalign_sim_tests.exe",
               "tests/horalign_service_tests.exe", "tests/horalign_win32_tests.exe"],
    "e2e": ["winui/horalign.exe"],
    "msi": ["*.msi"],
    "service": ["*.msi", "tests/horalign_service_probe.exe"],
}
WIN = "win:"  # names the cross build's files among this build's


def program_hash(path: Path) -> str:
    """A program's hash; a Windows program's without what each link writes anew: the link
    time in its COFF header and the optional header's checksum, which covers that time."""
    data = bytearray(path.read_bytes())
    if data[:2] == b"MZ" and len(data) > 0x40:
        coff = int.from_bytes(data[0x3C:0x40], "little") + 4
        if data[coff - 4 : coff] == b"PE\0\0" and len(data) >= coff + 20 + 68:
            data[coff + 4 : coff + 8] = bytes(4)
            data[coff + 20 + 64 : coff + 20 + 68] = bytes(4)
    return hashlib.sha256(data).hexdigest()


def mirrored_files() -> list[str]:
    """The working tree's files as git sees them (tracked, and new ones not ignored)."""
    out = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=REPO,
                         capture_output=True, check=True).stdout.decode()
    return sorted(f for f in out.split("\0") if f and (REPO / f).is_file())


def snapshot() -> dict[str, tuple[bytes, int]]:
    """The working tree's files with their modes, as they are now: a run's copies are made
    and put back from this, so that what you edit meanwhile does not reach them."""
    return {rel: ((REPO / rel).read_bytes(), (REPO / rel).stat().st_mode & 0o7777)
            for rel in mirrored_files()}


class Worker:
    """One copy of the tree with its own CMake build; mutants run here one at a time."""

    def __init__(self, idx: int, root: Path, build_jobs: int, env: dict[str, str],
                 wine: bool = False, tree: dict[str, tuple[bytes, int]] | None = None):
        self.idx = idx
        self.root = root.resolve()  # the builds name their files by real paths
        self.src = root / "src"
        self.build = root / "build"
        self.wine = wine  # the Windows cross build and its tests under Wine as well
        self.tree = tree  # the files the copy is made of; None: the working tree as it is
        self.win_build = self.root / "build-win"
        self.build_jobs = build_jobs
        self.env = dict(env)
        self.proc: subprocess.Popen | None = None
        self.units: list[Unit] = []
        self.left_out: dict[str, str] = {}  # units that cannot run here, with the reason
        self.exe_files: dict[str, set[str]] = {}
        self.exe_waits: dict[str, set[str]] = {}
        self.objects: dict[str, set[str]] = {}
        self.baseline_hashes: dict[str, str] = {}
        self.baseline_seconds: dict[str, float] = {}
        self.killers: dict[str, list[tuple[str, str]]] = {}
        self.last_mtime = 0
        self.lock = threading.Lock()
        self.stopping = False

    # The copy of the tree ------------------------------------------------------------------

    def sync(self) -> None:
        """Makes the copy equal to its files, touching only those that differ."""
        wanted: set[Path] = set()
        for rel, (data, mode) in (self.tree or snapshot()).items():
            dst = self.src / rel
            wanted.add(dst)
            if not dst.exists() or dst.read_bytes() != data:
                dst.parent.mkdir(parents=True, exist_ok=True)
                dst.write_bytes(data)
                self.touch(dst)
            os.chmod(dst, mode)
        if self.src.exists():
            for f in self.src.rglob("*"):
                if f.is_file() and f not in wanted:
                    f.unlink()

    def touch(self, path: Path) -> None:
        # A strictly newer time than anything written before, so Ninja always sees the change.
        t = max(time.time_ns(), self.last_mtime + 1_000_000)
        self.last_mtime = t
        os.utime(path, ns=(t, t))

    # Processes -------------------------------------------------------------------------------

    def run(self, args: list[str], timeout: float, log: Path, cwd: Path | None = None,
            env: dict[str, str] | None = None) -> tuple[int | None, float]:
        """Runs a process in its own session; returns (exit code or None on timeout, seconds)."""
        with open(log, "wb") as out:
            with self.lock:
                if self.stopping:
                    raise Stop()
                self.proc = subprocess.Popen(args, cwd=cwd, env=env or self.env, stdout=out,
                                             stderr=subprocess.STDOUT, start_new_session=True)
            t0 = time.monotonic()
            try:
                rc = self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
                self.proc.wait()
                rc = None
            except BaseException:  # Ctrl+C while the main thread waits here
                self.kill(gently=True)
                raise
            finally:
                secs = time.monotonic() - t0
                with self.lock:
                    self.proc = None
        if self.stopping:
            raise Stop()
        return rc, secs

    def kill(self, gently: bool = False) -> None:
        p = self.proc
        if p is None or p.poll() is not None:
            return
        try:
            if gently:
                # Ninja runs each compiler in a process group of its own and ends them on
                # SIGTERM; killing Ninja outright would leave them running.
                os.killpg(p.pid, signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                    return
                except subprocess.TimeoutExpired:
                    pass
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def stop(self) -> None:
        with self.lock:
            self.stopping = True
            self.kill(gently=True)

    # Build -----------------------------------------------------------------------------------

    def configure(self) -> None:
        args = ["cmake", "-S", str(self.src), "-B", str(self.build), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O1", "-DHORALIGN_GUI=ON",
                "-DHORALIGN_WERROR=OFF", "-DHORALIGN_SANITIZE=OFF", "-DHORALIGN_FUZZ=OFF",
                "-DHORALIGN_TESTS=ON", "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"]
        if shutil.which("ccache"):
            args.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        self.build.mkdir(parents=True, exist_ok=True)
        rc, _ = self.run(args, 600, self.root / "configure.log")
        if rc != 0:
            raise RuntimeError(f"configuring failed; see {self.root / 'configure.log'}")

    def ninja(self, jobs: int, targets: list[str]) -> tuple[bool, str]:
        """Builds the targets (all of this build when none), each in its own build."""
        log, out = self.root / "build.log", ""
        mine = [t for t in targets if not t.startswith(WIN)]
        win = [t[len(WIN):] for t in targets if t.startswith(WIN)]
        for build, names, mark in ((self.build, mine, ""), (self.win_build, win, WIN)):
            if names or (not targets and not mark):
                rc, _ = self.run(["ninja", "-C", str(build), f"-j{jobs}", *names], 3600, log)
                text = log.read_text(errors="replace")
                out += text.replace("Building CXX object ", "Building CXX object " + mark)
                if rc != 0:
                    return False, out
        return True, out

    def path(self, exe: str) -> Path:
        return self.win_build / exe[len(WIN):] if exe.startswith(WIN) else self.build / exe

    def exes(self) -> set[str]:
        return {e for u in self.units for e in u.exes for e in self.exe_waits.get(e, {e})}

    def hashes(self, exes: set[str]) -> dict[str, str]:
        def one(e: str) -> str:
            if e.endswith(".msi"):  # a new package code each time: its programs tell
                return "+".join(program_hash(self.path(w)) for w in sorted(self.exe_waits[e] - {e}))
            return program_hash(self.path(e))
        return {e: one(e) for e in sorted(exes)}

    def prepare(self, jobs: int) -> None:
        self.sync()
        if not (self.build / "build.ninja").exists():
            self.configure()
        ok, _ = self.ninja(jobs, [])
        if not ok:
            raise RuntimeError(f"the unmutated tree does not build; see {self.root / 'build.log'}")
        listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=self.build, env=self.env,
                                 capture_output=True, text=True, check=True).stdout
        self.units = read_units(self.build, listing)
        exes = {e for u in self.units for e in u.exes}
        self.exe_files, self.exe_waits, self.objects = exe_contents(
            self.build, self.src, exes, read_deps(self.build))
        for u in self.units:
            u.files = set().union(*(self.exe_files[e] for e in u.exes))
        if self.wine:
            self.add_wine_stages(jobs)
        self.baseline_hashes = self.hashes(self.exes())
        kept = []
        for u in self.units:
            for _ in range(3):  # a real-time test may fail on a busy machine: tried again
                rc, secs, out = self.run_unit(u, [], 1800)
                if rc == 0:
                    break
            (self.root / "baseline").mkdir(exist_ok=True)
            (self.root / "baseline" / f"{u.name}.log").write_text(out)
            if rc != 0:
                self.left_out[u.name] = f"fails without a mutant three times (exit {rc})"
            elif u.kind != "gtest" and re.search(r"\*\*\*Skipped|Not Run", out):
                self.left_out[u.name] = "skipped here: " + (
                    next((ln.strip() for ln in out.splitlines() if "skipped" in ln.lower()), ""))
            else:
                self.baseline_seconds[u.name] = secs
                kept.append(u)
        self.units = kept

    def add_wine_stages(self, jobs: int) -> None:
        """The stages of scripts/test-windows.sh as units, on a cross build of this copy."""
        env = {**self.env, "BUILD_DIR": str(self.win_build), "JOBS": str(jobs)}
        rc, _ = self.run(["bash", "scripts/build-windows.sh"], 3600, self.root / "build-win.log",
                         cwd=self.src, env=env)
        if rc != 0:
            self.left_out["wine"] = f"the cross build failed; see {self.root / 'build-win.log'}"
            return
        msi = sorted(p.name for p in self.win_build.glob("horalign-*-x64.msi"))
        stages = {s: [msi[-1] if e == "*.msi" and msi else e for e in exes]
                  for s, exes in WINE_STAGES.items()}
        exes = {e for names in stages.values() for e in names}
        missing = sorted(e for e in exes if not (self.win_build / e).is_file())
        if missing:
            self.left_out["wine"] = "the cross build made no " + ", ".join(missing)
            return
        files, waits, objects = exe_contents(self.win_build, self.src, exes,
                                             read_deps(self.win_build))
        self.exe_files.update({WIN + e: f for e, f in files.items()})
        self.exe_waits.update({WIN + e: {WIN + w for w in ws} for e, ws in waits.items()})
        self.objects.update({WIN + o: f for o, f in objects.items()})
        for stage, names in stages.items():
            u = Unit(f"wine {stage}", "wine", [WIN + e for e in names], [stage], {},
                     str(self.src), lock="wine")  # one Xvfb display and Wine at a time
            u.files = set().union(*(files[e] for e in names))
            self.units.append(u)

    def keep_only(self, names: set[str]) -> None:
        """Runs only the units every copy could run."""
        for u in self.units:
            if u.name not in names:
                self.left_out.setdefault(u.name, "fails without a mutant in another copy")
        self.units = [u for u in self.units if u.name in names]

    def check_clean(self, rel: str, original: bytes) -> None:
        path = self.src / rel
        if sha256(path) != hashlib.sha256(original).hexdigest():
            raise RuntimeError(f"{path} differs from the working tree's file")

    def units_of(self, rel: str) -> list[Unit]:
        return [u for u in self.units if rel in u.files]

    # One mutant ------------------------------------------------------------------------------

    def try_mutant(self, m: Mutant, original: bytes, limits: dict[str, float]) -> dict:
        units = self.units_of(m.file)
        if not units:
            return {"outcome": "not covered", "detail": ""}
        # The cross build and Wine only for a mutant that the tests here let live.
        groups = [g for g in ([u for u in units if u.kind != "wine"],
                              [u for u in units if u.kind == "wine"]) if g]
        path = self.src / m.file
        self.check_clean(m.file, original)
        text = original.decode()
        mutated = text[: m.start] + m.repl + text[m.end :]
        t0 = time.monotonic()
        outcome, detail, build_s = "same code", "", 0.0
        try:
            path.write_bytes(mutated.encode())
            self.touch(path)
            for group in groups:
                # Only what the tests that see the file run is rebuilt: all of it, as a program
                # not made from this file may still hold an earlier mutant of another file.
                targets = sorted({e for u in group for e in u.exes})
                watched = {w for e in targets for w in self.exe_waits[e]}
                t1 = time.monotonic()
                ok, out = self.ninja(self.build_jobs, targets)
                build_s += time.monotonic() - t1
                if not ok:
                    err = next((ln.strip() for ln in out.splitlines() if "error" in ln), "")
                    return {"outcome": "not built", "detail": err[:200], "build_s": build_s}
                self.check_rebuilt(m, out)
                hashes = self.hashes(watched)
                stale = sorted(e for e in watched if e in self.exe_files
                               and m.file not in self.exe_files[e]
                               and hashes[e] != self.baseline_hashes[e])
                if stale:
                    raise RuntimeError(f"{m.file}:{m.line}: {', '.join(stale)} differ from the "
                                       "unmutated build without being made from the file")
                changed = {e for e in watched if hashes[e] != self.baseline_hashes[e]}
                if not changed:
                    continue
                outcome, detail = self.run_tests(m, [u for u in group if changed & set(
                    w for e in u.exes for w in self.exe_waits[e])], limits)
                if outcome == "killed":
                    break
            return {"outcome": outcome, "detail": detail, "build_s": build_s,
                    "test_s": time.monotonic() - t0 - build_s}
        finally:
            path.write_bytes(original)
            self.touch(path)
            self.check_clean(m.file, original)

    def check_rebuilt(self, m: Mutant, out: str) -> None:
        compiled = set(re.findall(r"Building CXX object (\S+)", out))
        mine = {o for o, files in self.objects.items() if m.file in files}
        linked = "Linking CXX executable" in out
        if not (compiled & mine and linked):
            raise RuntimeError(f"{m.file}:{m.line}: the mutant was not rebuilt; see "
                               f"{self.root / 'build.log'}")

    def run_unit(self, u: Unit, extra: list[str], limit: float) -> tuple[int | None, float, str]:
        log = self.root / "test.log"
        env = {**self.env, **u.env}
        if u.kind == "gtest":
            args = [str(self.build / u.exes[0]), *u.command[1:], *extra]
        elif u.kind == "wine":
            args = ["bash", "scripts/test-windows.sh", *u.command]
            env.update(BUILD_DIR=str(self.win_build), DEVSIM=str(self.build / "sim/horalign-devsim"))
        else:
            args = ["ctest", "-R", f"^{re.escape(u.name)}$", "--output-on-failure",
                    "--timeout", str(int(limit) + 1)]
        lock = resource_lock(u.lock) if u.lock else None
        if lock:
            lock.acquire()
        try:
            rc, secs = self.run(args, limit + (30 if u.kind == "ctest" else 0), log,
                                cwd=self.build if u.kind == "ctest" else Path(u.cwd), env=env)
        finally:
            if lock:
                lock.release()
        out = log.read_text(errors="replace")
        if u.kind == "ctest" and rc not in (0, None) and "***Timeout" in out:
            rc = None
        return rc, secs, out

    def run_tests(self, m: Mutant, units: list[Unit], limits: dict[str, float]
                  ) -> tuple[str, str]:
        # Tests that killed earlier mutants of this file go first: most mutants die there;
        # then the units from the quickest.
        killers = self.killers.get(m.file, [])
        by_name = {u.name: u for u in units}
        plan: list[tuple[Unit, list[str]]] = []
        for name in dict.fromkeys(n for n, _ in killers):
            if name in by_name:
                u = by_name[name]
                cases = [c for n, c in killers if n == name and c]
                if u.kind == "gtest" and cases:
                    plan.append((u, [f"--gtest_filter={':'.join(cases)}", "--gtest_fail_fast"]))
                elif u.kind == "ctest":
                    plan.append((u, []))
        ran_whole = {u.name for u, extra in plan if not extra}
        plan += [(u, ["--gtest_fail_fast"] if u.kind == "gtest" else [])
                 for u in sorted(units, key=lambda u: limits[u.name]) if u.name not in ran_whole]
        for u, extra in plan:
            for limit in (limits[u.name], 3 * limits[u.name]):
                # A timeout is tried once more with a longer limit: the machine may be busy.
                rc, _, out = self.run_unit(u, extra, limit)
                if rc is not None:
                    break
            if rc is None:
                return "killed", f"{u.name}: timed out ({limits[u.name]:.0f} s, then {limit:.0f} s)"
            if rc < 0:
                return "killed", f"{u.name}: crashed (signal {-rc})"
            if rc != 0 and u.kind != "gtest" and self.run_unit(u, extra, 3 * limits[u.name])[0] == 0:
                continue  # failed once, passed again: a real-time test on a busy machine
            if rc != 0:
                failed = re.findall(r"\[  FAILED  \] ([\w/.]+)", out) if u.kind == "gtest" else []
                ks = self.killers.setdefault(m.file, [])
                key = (u.name, failed[0] if failed else "")
                if key in ks:
                    ks.remove(key)
                ks.insert(0, key)
                del ks[4:]
                return "killed", f"{u.name}: {failed[0] if failed else f'exit {rc}'}"
        return "survived", ""
