#!/usr/bin/env python3
"""Builds what the benchmarks need, runs each several times and prints one table:
benchmark, figure, median over the runs, spread (min-max), target, verdict.

    python3 bench/run.py                 # the full run, about 11 minutes
    python3 bench/run.py --quick         # a short smoke run, about 2 minutes
    python3 bench/run.py --save docs/benchmarks.md

The machine is shared: read medians and ratios, not single timings. The program-side
benchmarks need Xvfb, xdotool and (for hiding to the tray) trayer; without them those rows
are skipped. The machine's clock is only read, never set.
"""

import argparse
import datetime
import os
import platform
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
import service_cases  # noqa: E402
from bench_lib import Display, summarize  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAVE_BEGIN = "<!-- bench-output:begin -->"
SAVE_END = "<!-- bench-output:end -->"


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few, short runs: a smoke test")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"),
                        help="the build tree to use (configured when missing)")
    parser.add_argument("--no-build", action="store_true", help="use the tree as it is")
    parser.add_argument("--only", default="",
                        help="comma-separated: alignment,waiting,verified,idle,startup,service,"
                             "seeding,bus,cycle,hotplug,timedaemon,pcstep,history,tests")
    parser.add_argument("--save", metavar="FILE",
                        help="also write the table and the command into FILE (between its "
                             "bench-output markers when it has them)")
    return parser.parse_args(argv)


def build(build_dir):
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DHORALIGN_WERROR=ON"], check=True)
    # Everything: the test suite's time is one of the figures.
    subprocess.run(["cmake", "--build", build_dir, "-j", "2"], check=True,
                   stdout=subprocess.DEVNULL)


def plan(quick):
    """(name, needs a display, function of tools) for every benchmark."""
    runs = 1 if quick else None
    return [
        ("alignment", False, lambda t: cases.alignment(t, runs or 3, 10 if quick else 50)),
        ("waiting", False, lambda t: cases.waiting_cost(t, runs or 3)),
        ("verified", False, lambda t: cases.verified_cycle(t, runs or 3)),
        ("idle", True, lambda t: cases.idle_cost(t, runs or 3, 10 if quick else 60)),
        ("startup", True, lambda t: cases.startup(t, 2 if quick else 7)),
        ("service", False, lambda t: cases.service(t, runs or 3, 10 if quick else 60,
                                                   5 if quick else 20)),
        ("seeding", False, lambda t: cases.service_on_full_history(t, runs or 3)),
        ("bus", False, lambda t: cases.bus(t, runs or 3, 10 if quick else 60,
                                           50 if quick else 200)),
        ("cycle", False, lambda t: service_cases.status_during_cycle(t, runs or 3,
                                                                     50 if quick else 200)),
        ("hotplug", False, lambda t: service_cases.hotplug(t, runs or 3)),
        ("timedaemon", False, lambda t: service_cases.time_daemon(t, runs or 3,
                                                                  10 if quick else 30)),
        ("pcstep", False, lambda t: service_cases.pc_step(t, runs or 3, 3 if quick else 10)),
        ("history", False, lambda t: cases.history_window(t, 2 if quick else 7, 10_000)),
        ("tests", False, lambda t: cases.test_suite(t, 1 if quick else 3)),
    ]


def number(value):
    if abs(value) >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def table_rows(figures):
    rows = []
    for f in figures:
        median, low, high = summarize(f.values)
        if f.target is None:
            target, verdict = "-", "info"
        else:
            target = f"< {number(f.target)} {f.unit}"
            verdict = "ok" if median < f.target else "MISSED"
        spread = f"{number(low)}-{number(high)}" if len(f.values) > 1 else "(1 run)"
        rows.append([f.benchmark, f.figure, f"{number(median)} {f.unit}", spread, target,
                     verdict, f"n={len(f.values)}" + (f"; {f.note}" if f.note else "")])
    return rows


def format_table(rows):
    header = ["benchmark", "figure", "median", "spread (min-max)", "target", "verdict",
              "runs; note"]
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    rule = "|" + "|".join("-" * (w + 2) for w in widths) + "|"
    return "\n".join([line(header), rule] + [line(r) for r in rows])


def machine_line():
    load = os.getloadavg()
    return (f"{platform.node()}: {os.cpu_count()} cores, {platform.system()} "
            f"{platform.release()}, load average at start {load[0]:.2f}")


def save(path, command, started, report):
    block = (f"{SAVE_BEGIN}\nCommand: `{command}`  \nRun: {started}  \n\n{report}\n{SAVE_END}")
    text = ""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
    if SAVE_BEGIN in text and SAVE_END in text:
        head, rest = text.split(SAVE_BEGIN, 1)
        text = head + block + rest.split(SAVE_END, 1)[1]
    else:
        text = f"# Benchmarks\n\n{block}\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main(argv):
    args = parse_args(argv)
    command = "python3 bench/run.py" + ("".join(" " + a for a in argv) if argv else "")
    started = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    machine = machine_line()
    if not args.no_build:
        build(args.build_dir)
    tools = cases.Tools(build=args.build_dir)
    only = {n for n in args.only.split(",") if n}
    display = Display() if Display.available() else None
    figures, skipped, loads = [], [], []
    began = time.monotonic()
    try:
        if display:
            display.start()
            tools.display = display
        for name, needs_display, bench in plan(args.quick):
            if only and name not in only:
                continue
            if needs_display and not display:
                skipped.append(f"{name}: needs Xvfb and xdotool")
                continue
            print(f"running {name} ...", file=sys.stderr, flush=True)
            figures += bench(tools)
            loads.append(f"{name} {os.getloadavg()[0]:.1f}")
    finally:
        if display:
            display.stop()
    minutes = (time.monotonic() - began) / 60
    report = format_table(table_rows(figures)) if figures else "(no benchmark ran)"
    report += f"\n\n{machine}; {minutes:.1f} min in all."
    report += "\nLoad average (1 min) after each benchmark: " + ", ".join(loads) + "."
    for s in skipped:
        report += f"\nSkipped: {s}"
    print(report)
    if args.save:
        save(args.save, command, started, report)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
