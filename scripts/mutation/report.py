"""The report: the score per file and in all, the survivors, the equivalents."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

from . import MIRRORED, REPO, TEST_PROGRAMS
from .find import Equivalent, Mutant

def git(*args: str) -> str:
    try:
        return subprocess.run(["git", *args], cwd=REPO, capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def fmt_minutes(secs: float) -> str:
    return f"{int(secs // 60)} min {int(secs % 60):02d} s"


def code(s: str) -> str:
    s = s.replace("|", "\\|")
    return f"`` {s} ``" if "`" in s else f"`{s}`"


def write_report(path: Path, args, files: list[str], total_count: int, all_keys: set,
                 results: list[tuple[Mutant, dict]], equivalents: list[Equivalent],
                 limits: dict[str, float], timing: dict[str, float]) -> dict:
    eq_keys = {(e.file, e.text, e.change) for e in equivalents}
    per_file: dict[str, dict[str, int]] = {}
    counts = {"killed": 0, "survived": 0, "equivalent": 0, "same code": 0, "not built": 0}
    for m, r in results:
        c = per_file.setdefault(m.file, dict.fromkeys(counts, 0))
        c[r["outcome"]] += 1
        counts[r["outcome"]] += 1

    def score(c: dict[str, int]) -> str:
        den = c["killed"] + c["survived"]
        return f"{100.0 * c['killed'] / den:.1f} %" if den else "n/a"

    def shown(p: Path) -> str:
        return str(p.relative_to(REPO)) if p.is_relative_to(REPO) else str(p)

    head = git("rev-parse", "--short", "HEAD")
    dirty = " with uncommitted changes" if git("status", "--porcelain", "--", *MIRRORED) else ""
    sample = (f"a sample of {args.sample} of the core's {total_count} mutants (seed {args.seed})"
              if args.sample else f"every one of the core's {total_count} mutants")
    if args.files:
        sample += f", of those the ones in {' '.join(args.files)}"
    cmd = " ".join(["python3 scripts/mutate.py", *sys.argv[1:]])
    causes = {"failed": 0, "crashed": 0, "timed out": 0}
    for _, r in results:
        if r["outcome"] == "killed":
            d = r["detail"]
            cause = "timed out" if "timed out" in d else "crashed" if "crashed" in d else "failed"
            causes[cause] += 1
    L = [
        "# Mutation testing of the core",
        "",
        f"Written by `{cmd}` (see the README, \"Mutation testing\").",
        "",
        f"**Score: {counts['killed']} of {counts['killed'] + counts['survived']} mutants killed, "
        f"{score(counts)}** (killed / (killed + survived); mutants judged equivalent, mutants "
        "that compile to the same test programs and mutants that do not build are left out).",
        "",
        f"- Code: commit {head}{dirty}. Mutants: {sample}; {len(results)} ran.",
        f"- Outcomes: {counts['killed']} killed ({causes['failed']} by a failing test, "
        f"{causes['crashed']} by a crash, {causes['timed out']} by a timeout), "
        f"{counts['survived']} survived, {counts['equivalent']} judged equivalent "
        f"({shown(args.equivalent)}), {counts['same code']} compiled to the same test programs, "
        f"{counts['not built']} did not build.",
        f"- Tests: {', '.join(TEST_PROGRAMS)}, run directly, with time limits of "
        + " and ".join(f"{limits[n]:.0f} s" for n in TEST_PROGRAMS)
        + " (a timeout is tried once more with three times the limit).",
        f"- Run time: {fmt_minutes(timing['wall'])} with {args.jobs} job(s) on {os.cpu_count()} "
        f"CPUs, {fmt_minutes(timing['prepare'])} of it preparing the copies. The builds and tests "
        f"used {fmt_minutes(timing['cpu'])} of CPU time ({fmt_minutes(timing['cpu_mutants'])} for "
        "the mutants). Other builds may have shared the machine: the run time is rough, the CPU "
        "time steadier.",
        "",
        "## Score per file",
        "",
        "| File | Mutants | Killed | Survived | Equivalent | Same code | Not built | Score |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for f in sorted(per_file):
        c = per_file[f]
        L.append(f"| {f} | {sum(c.values())} | {c['killed']} | {c['survived']} | {c['equivalent']} "
                 f"| {c['same code']} | {c['not built']} | {score(c)} |")
    L.append(f"| **all** | {len(results)} | {counts['killed']} | {counts['survived']} | "
             f"{counts['equivalent']} | {counts['same code']} | {counts['not built']} | "
             f"**{score(counts)}** |")
    if len(files) > len(per_file):
        L += ["", "Files without a mutant in this run: "
              + ", ".join(f for f in files if f not in per_file) + "."]

    def section(title: str, outcome: str, note: str, with_why: bool = False) -> None:
        rows = [(m, r) for m, r in results if r["outcome"] == outcome]
        L.extend(["", f"## {title} ({len(rows)})", "", note])
        if not rows:
            return
        for f in sorted({m.file for m, _ in rows}):
            L.extend(["", f"### {f}", ""])
            if with_why:
                L.extend(["| Line | Change | Original | Why equivalent |", "|---:|---|---|---|"])
            else:
                L.extend(["| Line | Change | Original | Mutated |", "|---:|---|---|---|"])
            for m, r in sorted((x for x in rows if x[0].file == f),
                               key=lambda x: (x[0].line, x[0].start, x[0].change)):
                last = r.get("why", "").replace("|", "\\|") if with_why else code(m.new_text)
                L.append(f"| {m.line} | {code(m.change)} | {code(m.text)} | {last} |")

    section("Survivors", "survived",
            "Every test passed with these changes. A survivor judged equivalent goes into "
            f"`{shown(args.equivalent)}` as `file:`, `line:` (the Original column, without the "
            "table's backslashes), `change:` (the Change column) and `why:`.")
    section("Judged equivalent", "equivalent",
            "Survivors that no test can kill, with the reason; left out of the score.", True)
    section("Compiled to the same test programs", "same code",
            "The compiler made these changes vanish: both test programs came out byte for byte "
            "the same as without the change, so no test can tell. Left out of the score.")
    wrong = [m for m, r in results if r["outcome"] == "killed" and m.key in eq_keys]
    if wrong:
        L += ["", "## Judged equivalent, but killed", "",
              "A test tells these apart, so the entries in the equivalents file are wrong:", ""]
        L += [f"- {m.file}:{m.line} {code(m.change)} {code(m.text)}" for m in wrong]
    stale = [e for e in equivalents if (e.file, e.text, e.change) not in all_keys]
    if stale:
        L += ["", "## Entries of the equivalents file that match no mutant of the core", ""]
        L += [f"- {e.file}: {code(e.text)} {code(e.change)}" for e in stale]
    nb = [(m, r) for m, r in results if r["outcome"] == "not built"]
    L += ["", f"## Did not build ({len(nb)})", "",
          "Counted apart, not in the score."]
    if nb:
        L += ["", "| File:line | Change | Original |", "|---|---|---|"]
        for m, r in sorted(nb, key=lambda x: (x[0].file, x[0].line)):
            L.append(f"| {m.file}:{m.line} | {code(m.change)} | {code(m.text)} |")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(L) + "\n")
    return counts
