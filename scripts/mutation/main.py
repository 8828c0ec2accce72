"""The command line: picks the mutants, runs them on the jobs, writes the report."""

from __future__ import annotations

import argparse
import json
import os
import queue
import resource
import secrets
import shutil
import signal
import sys
import threading
import time
from pathlib import Path

from . import DEFAULT_SAMPLE, REPO, __doc__ as DOC
from .find import PRODUCT, Mutant, Source, mutants_of, product_files, read_equivalents, select_files
from .journal import Journal, fingerprint, where
from .report import fmt_minutes, git, write_report
from .run import Stop, Worker, snapshot

def parse_args(argv: list[str]):
    p = argparse.ArgumentParser(
        prog="scripts/mutate.py",
        description=DOC.split("\n\n")[0],
        epilog="\n\n".join(DOC.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--files", nargs="+", metavar="GLOB",
                   help="only these product files (globs from the repository root, ** allowed)")
    p.add_argument("--sample", type=int, default=DEFAULT_SAMPLE, metavar="N",
                   help="run the N lowest-ranked mutants of the whole product (default "
                        f"{DEFAULT_SAMPLE}); 0 runs every mutant")
    p.add_argument("--seed", type=int, metavar="S",
                   help="seed of the sample's ranking, to replay a run (default: drawn from the "
                        "OS, printed first and written into the report)")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="J",
                   help="mutants built and tested at once, each in its own copy (default: CPUs)")
    p.add_argument("--equivalent", type=Path, default=Path("scripts/mutation-equivalent.txt"),
                   metavar="FILE", help="survivors judged equivalent (default %(default)s)")
    p.add_argument("--list", action="store_true", help="list the mutants and stop")
    p.add_argument("--report", type=Path, default=Path("docs/mutation.md"), metavar="FILE",
                   help="where the report goes (default %(default)s): the run goes in first, "
                        "the runs already there are kept below it (see --keep)")
    p.add_argument("--keep", type=int, default=1, metavar="K",
                   help="earlier runs of the report kept below the new one (default 1)")
    p.add_argument("--build-dir", type=Path, default=Path("build-mutate"), metavar="DIR",
                   help="copies of the tree and their builds (default %(default)s)")
    p.add_argument("--stop-after", type=float, default=0, metavar="MIN",
                   help="take no new mutant after MIN minutes; the report tells how many of the "
                        "sample ran (they run in rank order: a random part of it)")
    p.add_argument("--resume", action="store_true",
                   help="carry on the run of --seed S: the mutants its journal "
                        "(DIR/journal-S.jsonl, written as each mutant ends) holds are not run "
                        "again; refused when the sources or the options differ from that run's")
    p.add_argument("--no-windows", action="store_true",
                   help="leave out the Windows cross build and its tests under Wine, which run "
                        "by default where scripts/deps.sh --windows installed their tools")
    p.add_argument("--timeout-factor", type=float, default=3.0, metavar="F",
                   help="a test program's time limit: F times its unmutated run, at least 5 s "
                        "more than it (default 3); a timeout is tried again with 3 times that")
    args = p.parse_args(argv)
    # Default paths are the repository's; paths given are taken from the current directory.
    for name in ("equivalent", "report", "build_dir"):
        given = getattr(args, name)
        is_default = given == p.get_default(name)
        setattr(args, name, (REPO / given) if is_default else given.resolve())
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.resume and args.seed is None:
        raise SystemExit("--resume needs the --seed of the run to carry on")
    if args.seed is None:
        args.seed = secrets.randbelow(1 << 31)
    print(f"seed {args.seed}", flush=True)
    files = select_files(args.files)
    everything: list[Mutant] = []
    originals: dict[str, bytes] = {}
    tree = snapshot()  # what the run works on, whatever is edited meanwhile
    args.commit = git("rev-parse", "--short", "HEAD")
    args.dirty = " with uncommitted changes" if git("status", "--porcelain", "--", *PRODUCT) else ""
    for rel in product_files():
        data = tree[rel][0] if rel in tree else (REPO / rel).read_bytes()
        originals[rel] = data
        everything += mutants_of(Source(rel, data.decode()))
    if args.sample:
        ranked = sorted(everything, key=lambda m: (m.rank(args.seed), m.file, m.line))
        picked = ranked[: args.sample]
    else:
        picked = everything
    chosen = sorted((m for m in picked if m.file in files),
                    key=lambda m: (m.file, m.start, m.change))

    equivalents = read_equivalents(args.equivalent)
    eq_index = {(e.file, e.text, e.change): e for e in equivalents}
    stale = [e for e in equivalents if (e.file, e.text, e.change) not in
             {m.key for m in everything}]
    for e in stale:
        print(f"warning: {args.equivalent.name}: no mutant matches {e.file}: {e.text} "
              f"({e.change})", file=sys.stderr)

    if args.list:
        for m in chosen:
            print(f"{m.file}:{m.line}\t{m.kind}\t{m.change}\t{m.text}")
        kinds: dict[str, int] = {}
        for m in chosen:
            kinds[m.kind] = kinds.get(m.kind, 0) + 1
        per_kind = ", ".join(f"{k} {v}" for k, v in sorted(kinds.items()))
        print(f"\n{len(chosen)} mutants ({per_kind}); {len(everything)} in the whole product",
              file=sys.stderr)
        return 0


    tools = ("x86_64-w64-mingw32-g++-posix", "wixl", "wine", "Xvfb")
    wine = not args.no_windows and all(shutil.which(t) for t in tools)
    settings = {"seed": args.seed, "sample": args.sample, "files": args.files, "windows": wine,
                "timeout_factor": args.timeout_factor}
    journal = Journal(args.build_dir / f"journal-{args.seed}.jsonl",
                      {"commit": args.commit, "settings": settings,
                       "fingerprint": fingerprint(tree, settings)}, args.resume)
    results: list[tuple[Mutant, dict]] = [(m, journal.done[where(m)]) for m in chosen
                                          if where(m) in journal.done]
    args.resumed = len(results)
    left = [m for m in chosen if where(m) not in journal.done]
    if args.resume:
        print(f"{args.resumed} mutants taken from {journal.path}, {len(left)} to run", flush=True)

    env = dict(os.environ)
    env.setdefault("CCACHE_BASEDIR", str(REPO))
    jobs = max(1, min(args.jobs, len(left) or 1))
    args.jobs = jobs
    cpus = os.cpu_count() or 1
    workers = [Worker(i, args.build_dir / f"w{i}", max(1, cpus // jobs), env, wine, tree)
               for i in range(jobs)]
    if not wine:
        for w in workers:
            w.left_out["wine"] = ("--no-windows" if args.no_windows else
                                  "no " + ", ".join(t for t in tools if not shutil.which(t)))

    stopping = threading.Event()

    def on_term(signum, frame):
        raise KeyboardInterrupt()

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    t_start = time.monotonic()
    t_run = t_start
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_start = ru.ru_utime + ru.ru_stime
    cpu_mutants = cpu_start
    errors: list[BaseException] = []
    threads: list[threading.Thread] = []
    todo: queue.Queue[Mutant] = queue.Queue()
    # In rank order, so a run stopped early (--stop-after) has run a random part of the sample.
    for m in sorted(left, key=lambda m: m.rank(args.seed)):
        todo.put(m)
    done_lock = threading.Lock()

    def log(msg: str) -> None:
        print(msg, flush=True)

    try:
        for w in workers:
            log(f"preparing {w.root} (copy, configure, build, unmutated test run)")
            w.prepare(cpus)
        common = set.intersection(*({u.name for u in w.units} for w in workers))
        for w in workers:
            w.keep_only(common)
        limits = {}
        for u in workers[0].units:
            base = max(w.baseline_seconds.get(u.name, 0.0) for w in workers)
            limits[u.name] = max(args.timeout_factor * base, base + 5.0)
        for name, why in workers[0].left_out.items():
            log(f"left out: {name}: {why}")
        log(f"{len(chosen)} mutants, {jobs} job(s); {len(limits)} test units, time limits "
            + ", ".join(f"{n} {s:.0f} s" for n, s in sorted(limits.items())))

        t_run = time.monotonic()
        ru = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu_mutants = ru.ru_utime + ru.ru_stime

        def work(w: Worker) -> None:
            try:
                while not stopping.is_set():
                    if args.stop_after and time.monotonic() - t_start > 60 * args.stop_after:
                        return
                    try:
                        m = todo.get_nowait()
                    except queue.Empty:
                        return
                    r = w.try_mutant(m, originals[m.file], limits)
                    if r["outcome"] == "survived" and m.key in eq_index:
                        r["outcome"], r["why"] = "equivalent", eq_index[m.key].why
                    with done_lock:
                        results.append((m, r))
                        journal.add(m, r)
                        n = len(results)
                    elapsed = time.monotonic() - t_run
                    eta = elapsed / (n - args.resumed) * (len(chosen) - n)
                    log(f"[{n}/{len(chosen)} {fmt_minutes(elapsed)}, ~{fmt_minutes(eta)} to go] "
                        f"{m.file}:{m.line} {m.change}: "
                        f"{r['outcome']}{' (' + r['detail'] + ')' if r.get('detail') else ''}")
            except Stop:
                return
            except BaseException as e:  # noqa: BLE001 - reported by the main thread
                errors.append(e)
                stopping.set()

        threads = [threading.Thread(target=work, args=(w,), daemon=True) for w in workers]
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            for t in threads:
                t.join(timeout=0.5)
    except KeyboardInterrupt:
        print("\ninterrupted: stopping the jobs and restoring the copies ...", file=sys.stderr)
        stopping.set()
        for w in workers:
            w.stop()
        while any(t.is_alive() for t in threads):
            try:
                for t in threads:
                    t.join()  # each job restores its file in its finally block
            except KeyboardInterrupt:
                continue
        for w in workers:
            for rel, data in originals.items():
                p = w.src / rel
                if p.exists() and p.read_bytes() != data:
                    p.write_bytes(data)
                    w.touch(p)
        print(f"the {len(results)} mutants that ended are in {journal.path}: --seed {args.seed} "
              "--resume carries the run on", file=sys.stderr)
        return 130
    if errors:
        raise errors[0]
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_mutants = ru.ru_utime + ru.ru_stime - cpu_mutants

    # The copies must be whole again: the unmutated build gives the same programs as before.
    for w in workers:
        w.sync()
        ok, _ = w.ninja(cpus, sorted(w.exes()))
        if not ok or w.hashes(w.exes()) != w.baseline_hashes:
            raise RuntimeError(f"{w.root}: after the run the unmutated build differs from before")

    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    timing = {"wall": time.monotonic() - t_start, "prepare": t_run - t_start,
              "cpu": ru.ru_utime + ru.ru_stime - cpu_start, "cpu_mutants": cpu_mutants}
    args.planned = len(chosen)
    counts = write_report(args.report, args, files, len(everything), results, equivalents,
                          stale, workers[0], limits, timing)
    (args.build_dir / "last-run.json").write_text(json.dumps(
        [{"file": m.file, "line": m.line, "kind": m.kind, "change": m.change, "text": m.text,
          "mutated": m.new_text, **r} for m, r in results], indent=1))
    den = counts["killed"] + counts["survived"]
    log(f"score {counts['killed']}/{den} = {100.0 * counts['killed'] / den if den else 0:.1f} %; "
        f"{counts['survived']} survived, {counts['equivalent']} equivalent, {counts['same code']} "
        f"same code, {counts['not built']} not built, {counts['not covered']} not covered; {fmt_minutes(timing['wall'])}; "
        f"report: {args.report}")
    return 0
