"""The report: the score per file and in all, the survivors, the equivalents."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

from . import REPO
from .find import PRODUCT, Equivalent, Mutant

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


RUN_MARK = "<!-- mutation run -->"


def write_report(path: Path, args, files: list[str], total_count: int,
                 results: list[tuple[Mutant, dict]], equivalents: list[Equivalent],
                 stale: list[Equivalent], worker, limits: dict[str, float],
                 timing: dict[str, float]) -> dict:
    """Writes this run first into the report, keeping the args.keep runs already there."""
    eq_keys = {(e.file, e.text, e.change) for e in equivalents}
    per_file: dict[str, dict[str, int]] = {}
    counts = {"killed": 0, "survived": 0, "equivalent": 0, "same code": 0, "not built": 0,
              "not covered": 0}
    for m, r in results:
        c = per_file.setdefault(m.file, dict.fromkeys(counts, 0))
        c[r["outcome"]] += 1
        counts[r["outcome"]] += 1

    def score(c: dict[str, int]) -> str:
        den = c["killed"] + c["survived"]
        return f"{100.0 * c['killed'] / den:.1f} %" if den else "n/a"

    def shown(p: Path) -> str:
        return str(p.relative_to(REPO)) if p.is_relative_to(REPO) else str(p)

    head, dirty = args.commit, args.dirty  # as the run began: commits made meanwhile are not it
    sample = (f"a sample of {args.sample} of the product's {total_count} mutants"
              if args.sample else f"every one of the product's {total_count} mutants")
    where = " ".join(args.files) if args.files else ", ".join(f"{d}/" for d in PRODUCT)
    cmd = " ".join(["python3 scripts/mutate.py", *sys.argv[1:]])
    date = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    causes = {"failed": 0, "crashed": 0, "timed out": 0}
    for _, r in results:
        if r["outcome"] == "killed":
            d = r["detail"]
            cause = "timed out" if "timed out" in d else "crashed" if "crashed" in d else "failed"
            causes[cause] += 1
    units = sorted(worker.units, key=lambda u: (u.kind, u.name))
    gtests = [u.name for u in units if u.kind == "gtest"]
    others = [u.name for u in units if u.kind == "ctest"]
    stages = [u.name for u in units if u.kind == "wine"]
    L = [
        RUN_MARK,
        f"## Seed {args.seed}, {date}",
        "",
        f"Written by `{cmd}`; `--seed {args.seed}` replays it.",
        "",
        f"**Score: {counts['killed']} of {counts['killed'] + counts['survived']} covered mutants "
        f"killed, {score(counts)}** (killed / (killed + survived); mutants judged equivalent, "
        "mutants that compile to the same programs, mutants that do not build and mutants no "
        "test builds are left out).",
        "",
        f"- Code: commit {head}{dirty}, {date}. Files: {where}.",
        f"- Mutants: {sample} (seed {args.seed}); {len(results)} ran"
        + (f" ({args.resumed} of them in earlier sessions of this run, taken from its journal "
           "with --resume)" if args.resumed else "")
        + (f", then the run stopped (--stop-after {args.stop_after:g}): they ran in the sample's "
           f"rank order, so they are a random part of the {args.planned} picked."
           if len(results) < args.planned else "."),
        f"- Outcomes: {counts['killed']} killed ({causes['failed']} by a failing test, "
        f"{causes['crashed']} by a crash, {causes['timed out']} by a timeout), "
        f"{counts['survived']} survived, {counts['equivalent']} judged equivalent "
        f"({shown(args.equivalent)}), {counts['same code']} compiled to the same programs, "
        f"{counts['not built']} did not build, **{counts['not covered']} not covered** (in a "
        "file that no test's programs are built from).",
        f"- Tests: each mutant runs the tests whose programs are built from its file (from "
        f"CTest's test commands and Ninja's inputs and deps log), after bringing only the "
        f"programs those tests run up to date. Test programs run whole: {', '.join(gtests)}; other CTest tests, through "
        f"ctest: {', '.join(others)}"
        + (f"; the Windows cross build's, by stage of scripts/test-windows.sh under Wine, "
           f"only for a mutant the others let live: {', '.join(stages)}" if stages else "")
        + ". Time limits: "
        + ", ".join(f"{u.name} {limits[u.name]:.0f} s" for u in units)
        + " (a timeout is tried once more with three times the limit).",
    ]
    if worker.left_out:
        L.append("- Left out, as they cannot run here: "
                 + "; ".join(f"{n} ({why})" for n, why in sorted(worker.left_out.items())) + ".")
    if not stages:
        L.append("- Not covered here: the Windows sources (winui/, platform/win32/, "
                 "control/win32/, service/win32/) build only for Windows, and their tests under "
                 "Wine on a cross build did not run (see what was left out).")
    L += [
        f"- Run time{' of this session' if args.resumed else ''}: "
        f"{fmt_minutes(timing['wall'])} with {args.jobs} job(s) on {os.cpu_count()} "
        f"CPUs, {fmt_minutes(timing['prepare'])} of it preparing the copies. The builds and tests "
        f"used {fmt_minutes(timing['cpu'])} of CPU time ({fmt_minutes(timing['cpu_mutants'])} for "
        "the mutants). Other builds may have shared the machine: the run time is rough, the CPU "
        "time steadier.",
        "",
        "### Score per file",
        "",
        "| File | Mutants | Killed | Survived | Equivalent | Same code | Not built | Not covered "
        "| Score |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for f in sorted(per_file):
        c = per_file[f]
        L.append(f"| {f} | {sum(c.values())} | {c['killed']} | {c['survived']} | {c['equivalent']} "
                 f"| {c['same code']} | {c['not built']} | {c['not covered']} | {score(c)} |")
    L.append(f"| **all** | {len(results)} | {counts['killed']} | {counts['survived']} | "
             f"{counts['equivalent']} | {counts['same code']} | {counts['not built']} | "
             f"{counts['not covered']} | **{score(counts)}** |")

    def section(title: str, outcome: str, note: str, with_why: bool = False) -> None:
        rows = [(m, r) for m, r in results if r["outcome"] == outcome]
        L.extend(["", f"### {title} ({len(rows)})", "", note])
        if not rows:
            return
        L.extend(["", "| File:line | Change | Original | " +
                  ("Why equivalent |" if with_why else "Mutated |"), "|---|---|---|---|"])
        for m, r in sorted(rows, key=lambda x: (x[0].file, x[0].line, x[0].start, x[0].change)):
            last = r.get("why", "").replace("|", "\\|") if with_why else code(m.new_text)
            L.append(f"| {m.file}:{m.line} | {code(m.change)} | {code(m.text)} | {last} |")

    section("Survivors", "survived",
            "Every test that sees the file passed with these changes. A survivor judged "
            f"equivalent goes into `{shown(args.equivalent)}` as `file:`, `line:` (the Original "
            "column, without the table's backslashes), `change:` (the Change column) and `why:`.")
    section("Judged equivalent", "equivalent",
            "Survivors that no test can kill, with the reason; left out of the score.", True)
    section("Compiled to the same programs", "same code",
            "The compiler made these changes vanish: every program the file's tests run came out "
            "byte for byte the same. Left out of the score.")
    wrong = [m for m, r in results if r["outcome"] == "killed" and m.key in eq_keys]
    if wrong:
        L += ["", "### Judged equivalent, but killed", "",
              "A test tells these apart, so the entries in the equivalents file are wrong:", ""]
        L += [f"- {m.file}:{m.line} {code(m.change)} {code(m.text)}" for m in wrong]
    if stale:
        L += ["", "### Entries of the equivalents file that match no mutant", ""]
        L += [f"- {e.file}: {code(e.text)} {code(e.change)}" for e in stale]
    nb = [(m, r) for m, r in results if r["outcome"] == "not built"]
    L += ["", f"### Did not build ({len(nb)})", "", "Counted apart, not in the score."]
    if nb:
        L += ["", "| File:line | Change | Original |", "|---|---|---|"]
        for m, r in sorted(nb, key=lambda x: (x[0].file, x[0].line)):
            L.append(f"| {m.file}:{m.line} | {code(m.change)} | {code(m.text)} |")
    nc = sorted({m.file for m, r in results if r["outcome"] == "not covered"})
    L += ["", f"### Not covered ({counts['not covered']})", "",
          "Mutants in files that no test's programs are built from, per file: "
          + (", ".join(f"{f} ({per_file[f]['not covered']})" for f in nc) or "none") + "."]

    # The runs already in the report stay below this one, the newest first.
    earlier: list[str] = []
    if path.exists():
        earlier = path.read_text().split(RUN_MARK + "\n")[1:][: max(args.keep, 0)]
    intro = ["# Mutation testing", "",
             "Written by `python3 scripts/mutate.py` (see the README, \"Mutation testing\"): each "
             "run below, the newest first, with the seed that replays it.", ""]
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(intro) + "\n" + "\n".join(L) + "\n"
                    + "".join(RUN_MARK + "\n" + e for e in earlier))
    return counts
