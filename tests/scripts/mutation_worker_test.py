#!/usr/bin/env python3
"""The mutation tool's worker against a build it imagines: every program a mutant's tests run
must be the unmutated one but for the mutated file, also after earlier mutants of other files.
And the run's journal, which --resume carries on."""

import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from mutation.coverage import Unit  # noqa: E402
from mutation.find import Mutant  # noqa: E402
from mutation.journal import Journal, fingerprint  # noqa: E402
from mutation.run import WIN, Worker, program_hash  # noqa: E402

# Each program and the files it is made of; a built program is the texts it was built from.
MADE_OF = {"core_tests": ["core.cpp"], "cli": ["cli.cpp"], "devsim": ["core.cpp"],
           WIN + "core_tests.exe": ["core.cpp", "win.cpp"]}


class ImaginedWorker(Worker):
    def __init__(self, root: Path):
        super().__init__(0, root, 1, {})
        for name in ("core.cpp", "cli.cpp", "win.cpp"):
            (self.src / name).parent.mkdir(parents=True, exist_ok=True)
            (self.src / name).write_text(f"int {name[:-4]} = 1;\n")
        self.units = [Unit("core_tests", "gtest", ["core_tests"], [], {}, ""),
                      Unit("cli_test", "ctest", ["cli", "devsim"], [], {}, ""),
                      Unit("wine suites", "wine", [WIN + "core_tests.exe"], [], {}, "")]
        self.exe_files = {e: set(f) for e, f in MADE_OF.items()}
        self.exe_waits = {e: {e} for e in MADE_OF}
        for u in self.units:
            u.files = set().union(*(self.exe_files[e] for e in u.exes))
        self.built = {e: self.build_of(e) for e in MADE_OF}
        self.baseline_hashes = dict(self.built)
        self.ran: list[dict[str, bool]] = []  # at each test run: which programs are unmutated
        self.builds: list[list[str]] = []
        self.killing: set[str] = set()  # the units that fail

    def build_of(self, exe: str) -> str:
        return "".join((self.src / f).read_text() for f in MADE_OF[exe])

    def ninja(self, jobs, targets):
        self.builds.append(targets)
        for e in targets:
            self.built[e] = self.build_of(e)
        return True, ""

    def hashes(self, exes):
        return {e: self.built[e] for e in exes}

    def check_rebuilt(self, m, out):
        pass

    def run_tests(self, m, units, limits):
        self.ran.append({e: self.built[e] == self.baseline_hashes[e]
                         for u in units for e in u.exes})
        return ("killed", "") if self.killing & {u.name for u in units} else ("survived", "")


def mutant(w: Worker, file: str) -> Mutant:
    at = (w.src / file).read_text().index("1")
    return Mutant(file, 1, "constant", at, at + 1, "2", "1 -> 2", "", "")


class WorkerTest(unittest.TestCase):
    def test_a_program_an_earlier_mutant_went_into_is_rebuilt_before_the_next_runs(self):
        with tempfile.TemporaryDirectory() as tmp:
            w = ImaginedWorker(Path(tmp))
            originals = {f: (w.src / f).read_bytes() for f in ("core.cpp", "cli.cpp")}
            for file in ("core.cpp", "cli.cpp"):
                self.assertEqual(w.try_mutant(mutant(w, file), originals[file], {})["outcome"],
                                 "survived")
            self.assertEqual(w.ran, [{"core_tests": False, "cli": True, "devsim": False},
                                     {WIN + "core_tests.exe": False},
                                     {"cli": False, "devsim": True}])

    def test_the_cross_build_runs_only_for_a_mutant_the_tests_here_let_live(self):
        with tempfile.TemporaryDirectory() as tmp:
            w = ImaginedWorker(Path(tmp))
            w.killing = {"core_tests"}
            for file, outcome in (("core.cpp", "killed"), ("win.cpp", "survived")):
                original = (w.src / file).read_bytes()
                self.assertEqual(w.try_mutant(mutant(w, file), original, {})["outcome"], outcome)

    def test_a_program_left_mutated_is_told_and_not_tested(self):
        with tempfile.TemporaryDirectory() as tmp:
            w = ImaginedWorker(Path(tmp))
            w.built["devsim"] = "int core = 2;\n"  # as if rebuilt from a mutant outside ninja
            original = (w.src / "cli.cpp").read_bytes()
            w.ninja = lambda jobs, targets: (True, "")  # builds nothing
            with self.assertRaisesRegex(RuntimeError, "devsim differ"):
                w.try_mutant(mutant(w, "cli.cpp"), original, {})

    def test_the_copy_is_made_of_the_files_taken_when_the_run_began(self):
        with tempfile.TemporaryDirectory() as tmp:
            w = Worker(0, Path(tmp), 1, {}, tree={"a/b.sh": (b"echo one\n", 0o755)})
            (w.src / "stray.txt").parent.mkdir(parents=True)
            (w.src / "stray.txt").write_text("left by a build\n")
            w.sync()
            made = [(str(p.relative_to(w.src)), p.read_bytes(), p.stat().st_mode & 0o777)
                    for p in w.src.rglob("*") if p.is_file()]
            self.assertEqual(made, [("a/b.sh", b"echo one\n", 0o755)])

    def test_two_links_of_one_windows_program_hash_alike_and_a_change_of_its_code_does_not(self):
        def pe(stamp: int, checksum: int, code: bytes) -> bytes:  # e_lfanew 0x40
            head = b"MZ" + bytes(0x3A) + (0x40).to_bytes(4, "little") + b"PE\0\0"
            coff = bytes(4) + stamp.to_bytes(4, "little") + bytes(12)
            return head + coff + bytes(64) + checksum.to_bytes(4, "little") + code
        with tempfile.TemporaryDirectory() as tmp:
            hashes = []
            for n, (stamp, checksum, code) in enumerate(
                    [(1, 7, b"ret"), (2, 9, b"ret"), (2, 9, b"nop")]):
                (Path(tmp) / str(n)).write_bytes(pe(stamp, checksum, code))
                hashes.append(program_hash(Path(tmp) / str(n)))
            self.assertEqual((hashes[0] == hashes[1], hashes[1] == hashes[2]), (True, False))


class JournalTest(unittest.TestCase):
    def test_a_resumed_run_keeps_what_ended_even_after_a_cut_line_and_only_on_the_same_code(self):
        tree = {"core/a.cpp": (b"int a = 1;\n", 0o644), "docs/mutation.md": (b"old\n", 0o644)}
        head = {"fingerprint": fingerprint(tree, {"seed": 5})}
        m = [Mutant("core/a.cpp", 1, "constant", at, at + 1, "2", "1 -> 2", "", "")
             for at in (8, 9)]
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "journal-5.jsonl"
            Journal(path, head, resume=False).add(m[0], {"outcome": "killed", "detail": "t"})
            with path.open("a") as f:
                f.write('{"at": "core/a.cpp:9:1 -> 2", "outc')  # the run was killed here
            resumed = Journal(path, head, resume=True)
            resumed.add(m[1], {"outcome": "survived"})
            self.assertEqual(Journal(path, head, resume=True).done,
                             {"core/a.cpp:8:1 -> 2": {"outcome": "killed", "detail": "t"},
                              "core/a.cpp:9:1 -> 2": {"outcome": "survived"}})
            tree["docs/mutation.md"] = (b"new report\n", 0o644)  # a report changes no outcome
            self.assertEqual(fingerprint(tree, {"seed": 5}), head["fingerprint"])
            for changed, settings in (({"core/a.cpp": (b"int a = 2;\n", 0o644)}, {"seed": 5}),
                                      ({}, {"seed": 5, "windows": False})):
                with self.assertRaisesRegex(SystemExit, "other sources or settings"):
                    Journal(path, {"fingerprint": fingerprint({**tree, **changed}, settings)},
                            resume=True)


if __name__ == "__main__":
    unittest.main()
