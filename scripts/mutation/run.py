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

from . import MIRRORED, REPO, TEST_PROGRAMS
from .find import Mutant

# ----------------------------------------------------------------------------------------------
# Running


class Stop(Exception):
    pass


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


class Worker:
    """One copy of the tree with its own CMake build; mutants run here one at a time."""

    def __init__(self, idx: int, root: Path, build_jobs: int, env: dict[str, str]):
        self.idx = idx
        self.root = root
        self.src = root / "src"
        self.build = root / "build"
        self.build_jobs = build_jobs
        self.env = dict(env)
        self.test_env = dict(env)
        for name in ("XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"):
            d = root / name.lower()
            d.mkdir(parents=True, exist_ok=True)
            os.chmod(d, 0o700)
            self.test_env[name] = str(d)
        self.proc: subprocess.Popen | None = None
        self.baseline_hashes: dict[str, str] = {}
        self.baseline_seconds: dict[str, float] = {}
        self.killers: dict[str, list[tuple[str, str]]] = {}
        self.last_mtime = 0
        self.lock = threading.Lock()
        self.stopping = False

    # The copy of the tree ------------------------------------------------------------------

    def sync(self) -> None:
        """Makes the copy equal to the working tree, touching only files that differ."""
        wanted: set[Path] = set()
        for item in MIRRORED:
            srcp = REPO / item
            if srcp.is_file():
                files = [srcp]
            else:
                files = [p for p in srcp.rglob("*") if p.is_file()]
            for f in files:
                rel = f.relative_to(REPO)
                dst = self.src / rel
                wanted.add(dst)
                data = f.read_bytes()
                if not dst.exists() or dst.read_bytes() != data:
                    dst.parent.mkdir(parents=True, exist_ok=True)
                    dst.write_bytes(data)
                    self.touch(dst)
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
                "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O1", "-DHORALIGN_GUI=OFF",
                "-DHORALIGN_WERROR=OFF", "-DHORALIGN_SANITIZE=OFF", "-DHORALIGN_FUZZ=OFF",
                "-DHORALIGN_TESTS=ON", "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"]
        if shutil.which("ccache"):
            args.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        self.build.mkdir(parents=True, exist_ok=True)
        rc, _ = self.run(args, 600, self.root / "configure.log")
        if rc != 0:
            raise RuntimeError(f"configuring failed; see {self.root / 'configure.log'}")

    def ninja(self, jobs: int) -> tuple[bool, str]:
        log = self.root / "build.log"
        rc, _ = self.run(["ninja", "-C", str(self.build), f"-j{jobs}", *TEST_PROGRAMS], 1800, log)
        return rc == 0, log.read_text(errors="replace")

    def binaries(self) -> dict[str, Path]:
        return {name: self.build / "tests" / name for name in TEST_PROGRAMS}

    def prepare(self, jobs: int) -> None:
        self.sync()
        if not (self.build / "build.ninja").exists():
            self.configure()
        ok, out = self.ninja(jobs)
        if not ok:
            raise RuntimeError(f"the unmutated tree does not build; see {self.root / 'build.log'}")
        self.baseline_hashes = {n: sha256(p) for n, p in self.binaries().items()}
        for name, path in self.binaries().items():
            rc, secs = self.run([str(path), "--gtest_brief=1"], 1800, self.root / "test.log",
                                cwd=path.parent, env=self.test_env)
            if rc != 0:
                raise RuntimeError(f"{name} fails without any mutant; see {self.root / 'test.log'}")
            self.baseline_seconds[name] = secs

    def check_clean(self, rel: str, original: bytes) -> None:
        path = self.src / rel
        if sha256(path) != hashlib.sha256(original).hexdigest():
            raise RuntimeError(f"{path} differs from the working tree's file")

    # One mutant ------------------------------------------------------------------------------

    def try_mutant(self, m: Mutant, original: bytes, limits: dict[str, float]) -> dict:
        path = self.src / m.file
        self.check_clean(m.file, original)
        text = original.decode()
        mutated = text[: m.start] + m.repl + text[m.end :]
        t0 = time.monotonic()
        result: dict = {}
        try:
            path.write_bytes(mutated.encode())
            self.touch(path)
            ok, out = self.ninja(self.build_jobs)
            build_s = time.monotonic() - t0
            if not ok:
                err = next((ln.strip() for ln in out.splitlines() if "error" in ln), "")
                return {"outcome": "not built", "detail": err[:200], "build_s": build_s}
            self.check_rebuilt(m, out)
            hashes = {n: sha256(p) for n, p in self.binaries().items()}
            if hashes == self.baseline_hashes:
                return {"outcome": "same code", "detail": "", "build_s": build_s}
            outcome, detail = self.run_tests(m, limits)
            result = {"outcome": outcome, "detail": detail, "build_s": build_s,
                      "test_s": time.monotonic() - t0 - build_s}
            return result
        finally:
            path.write_bytes(original)
            self.touch(path)
            self.check_clean(m.file, original)

    def check_rebuilt(self, m: Mutant, out: str) -> None:
        compiled = re.findall(r"Building CXX object (\S+)", out)
        if m.file.endswith(".cpp"):
            obj = "/" + m.file.removeprefix("core/") + ".o"
            rebuilt = any(c.endswith(obj) and "horalign_core.dir" in c for c in compiled)
        else:
            rebuilt = bool(compiled)
        linked = any(f"Linking CXX executable tests/{n}" in out for n in TEST_PROGRAMS)
        if not (rebuilt and linked):
            raise RuntimeError(f"{m.file}:{m.line}: the mutant was not rebuilt; see "
                               f"{self.root / 'build.log'}")

    def run_tests(self, m: Mutant, limits: dict[str, float]) -> tuple[str, str]:
        # Tests that killed earlier mutants of this file go first: most mutants die there.
        killers = self.killers.get(m.file, [])
        plan: list[tuple[str, list[str]]] = []
        for name in TEST_PROGRAMS:
            tests = [t for prog, t in killers if prog == name]
            if tests:
                plan.append((name, [f"--gtest_filter={':'.join(tests)}"]))
        plan += [(n, []) for n in TEST_PROGRAMS]
        for name, extra in plan:
            path = self.binaries()[name]
            log = self.root / "test.log"
            for limit in (limits[name], 3 * limits[name]):
                # A timeout is tried once more with a longer limit: the machine may be busy.
                rc, _ = self.run([str(path), "--gtest_brief=1", "--gtest_fail_fast", *extra],
                                 limit, log, cwd=path.parent, env=self.test_env)
                if rc is not None:
                    break
            if rc is None:
                return "killed", f"{name}: timed out ({limits[name]:.0f} s, then {limit:.0f} s)"
            if rc < 0:
                return "killed", f"{name}: crashed (signal {-rc})"
            if rc != 0:
                failed = re.findall(r"\[  FAILED  \] ([\w/.]+)", log.read_text(errors="replace"))
                if failed:
                    ks = self.killers.setdefault(m.file, [])
                    if (name, failed[0]) in ks:
                        ks.remove((name, failed[0]))
                    ks.insert(0, (name, failed[0]))
                    del ks[4:]
                return "killed", f"{name}: {failed[0] if failed else f'exit {rc}'}"
        return "survived", ""
