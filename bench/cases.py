"""The benchmarks. Each runs its measurement `runs` times and returns Figure rows: one
value per run, summarized by the runner as the median with its min-max spread."""

import dataclasses
import json
import os
import statistics
import subprocess
import time

from bench_lib import (Devsim, Display, Program, Settings, cpu_seconds, peak_rss_mb,
                       percentile, stop_process)


@dataclasses.dataclass
class Figure:
    benchmark: str
    figure: str
    unit: str
    values: list
    target: float = None  # the median must stay below it; None: reported only
    note: str = ""


@dataclasses.dataclass
class Tools:
    build: str
    display: Display = None

    def path(self, *parts):
        return os.path.join(self.build, *parts)


def alignment(tools, runs, writes):
    """The core with the real serial ports and clock writes the time to a UTC-family clock
    (COM1) and a local-family clock (COM2) in turn. For each time command: how long after
    the second boundary its first byte reached the device, as the simulator saw it, and
    when the program handed it to the operating system. Then, on the same simulator, the
    floor: a bare write() at 1 ms past the boundary, with no program around it."""
    arrival = {"median": [], "p99": [], "max": []}
    wake_p99, work_max, transport_p99, floor_median, floor_p99 = [], [], [], [], []
    bench = tools.path("bench", "horalign-bench")
    for _ in range(runs):
        settings = Settings(mode=1, used_ports=3)
        devsim = Devsim(tools.path("sim", "horalign-devsim"), settings,
                        ["com=1,letter=W", "com=2,letter=A"])
        try:
            program = run_writer([bench, "align", "1,2", str(writes), "400"], settings, writes)
            time.sleep(0.2)  # the simulator logs the last frame as it takes it
            taken = len(time_frames(devsim))
            bare = run_writer([bench, "floor", devsim.ttys[1], str(writes), "400"], settings,
                              writes)
            time.sleep(0.2)
            frames = time_frames(devsim)
        finally:
            devsim.stop()
            settings.remove()
        distances, issued, woke = boundary_distances(program, frames[:taken])
        arrival["median"].append(statistics.median(distances))
        arrival["p99"].append(percentile(distances, 99))
        arrival["max"].append(max(distances))
        wake_p99.append(percentile(woke, 99))
        work_max.append(max(i - w for i, w in zip(issued, woke)))
        transport_p99.append(percentile([d - i for d, i in zip(distances, issued)], 99))
        floor = boundary_distances(bare, frames[taken:])[0]
        floor_median.append(statistics.median(floor))
        floor_p99.append(percentile(floor, 99))
    label = f"alignment ({writes} writes)"
    return [
        Figure(label, "boundary to first byte, median", "ms", arrival["median"]),
        Figure(label, "boundary to first byte, p99", "ms", arrival["p99"], 2.0),
        Figure(label, "boundary to first byte, max", "ms", arrival["max"], 99.0,
               "the program's own rule"),
        Figure(label, "boundary to wake-up, p99", "ms", wake_p99, None,
               "the sleep to 1 ms past: this machine's timers"),
        Figure(label, "wake-up to write() call, max", "ms", work_max, None,
               "the program's own work"),
        Figure(label, "write() call to first byte, p99", "ms", transport_p99, None,
               "pseudo-terminal and simulator"),
        Figure(label, "floor: bare write(), median", "ms", floor_median, None,
               "no program: this machine's best"),
        Figure(label, "floor: bare write(), p99", "ms", floor_p99, None,
               "no program: this machine's best"),
    ]


def run_writer(command, settings, writes):
    """Runs a horalign-bench writer and returns its WRITE lines as dicts."""
    out = subprocess.run(command, env=settings.env(), capture_output=True, text=True,
                         timeout=60 + writes * 5)
    if out.returncode != 0:
        raise RuntimeError(f"{' '.join(command[1:3])} failed:\n" + out.stdout + out.stderr)
    return [dict(kv.split("=", 1) for kv in line.split()[1:])
            for line in out.stdout.splitlines() if line.startswith("WRITE ")]


def time_frames(devsim):
    return [f for f in devsim.frames() if f[1].startswith(("T", "PT"))]


def boundary_distances(sent, frames):
    """Milliseconds from each write's second boundary to its first byte at the device, to
    its write() call, and to the end of the sleep before it."""
    if len(sent) != len(frames):
        raise RuntimeError(f"{len(sent)} time commands sent, {len(frames)} taken")
    distances, issued, woke = [], [], []
    for s, (first_us, text) in zip(sent, frames):
        if not s["text"].startswith(text[:2]):
            raise RuntimeError(f"frame {text!r} does not match {s['text']!r}")
        start_us = int(s["start_us"])
        boundary = start_us - start_us % 1_000_000
        distances.append((first_us - boundary) / 1000)
        issued.append((start_us - boundary) / 1000)
        # No sleep before this write (it came already just past a boundary): the
        # recorded wake-up is an earlier one.
        woke_us = int(s["woke_us"]) if int(s["woke_us"]) >= boundary else start_us
        woke.append((woke_us - boundary) / 1000)
    return distances, issued, woke


def waiting_cost(tools, runs):
    """CPU spent while a silent port is probed at three speeds (about 14 s): the real
    program connecting it at start, between the trace's scan-start and scan-done; and the
    core on a poll loop, around ConnectDevice alone."""
    gui, core = [], []
    for _ in range(runs):
        if tools.display:
            settings = Settings(mode=1, used_ports=1)
            devsim = Devsim(tools.path("sim", "horalign-devsim"), settings,
                            ["com=1,fault=silent"])
            program = Program(tools.path("gui", "horalign"), settings, tools.display)
            try:
                _, mono0, cpu0 = program.wait_event("scan-start", 20)
                _, mono1, cpu1 = program.wait_event("scan-done", 40)
                gui.append(100 * (cpu1 - cpu0) / (mono1 - mono0))
            finally:
                program.stop()
                devsim.stop()
                settings.remove()
        settings = Settings(mode=1, used_ports=0)
        devsim = Devsim(tools.path("sim", "horalign-devsim"), settings, ["com=1,fault=silent"])
        try:
            out = subprocess.run([tools.path("bench", "horalign-bench"), "connect", "1"],
                                 env=settings.env(), capture_output=True, text=True, timeout=60)
        finally:
            devsim.stop()
            settings.remove()
        line = next(l for l in out.stdout.splitlines() if l.startswith("CONNECT "))
        values = dict(kv.split("=", 1) for kv in line.split()[1:5])
        core.append(100 * float(values["cpu_s"]) / float(values["wall_s"]))
    rows = []
    if gui:
        rows.append(Figure("waiting cost (silent port)", "program CPU, % of one core", "%", gui,
                           2.0, "whole start-up scan"))
    rows.append(Figure("waiting cost (silent port)", "core on poll loop, % of one core", "%",
                       core, 2.0, "ConnectDevice only"))
    return rows


def verified_cycle(tools, runs):
    """The core with the real serial ports, clock and poll loop writes four simulated clocks
    that answer the time query, each read back before and after its write, as a verified
    update cycle does (some 40 s). The longest time between two ticks of a 50 ms timer,
    less the sleeps to a second's start before the time commands."""
    gaps = []
    for _ in range(runs):
        settings = Settings(mode=1, used_ports=15)
        devsim = Devsim(tools.path("sim", "horalign-devsim"), settings,
                        ["com=1,letter=W", "com=2,letter=K", "com=3,letter=T", "com=4,letter=W"])
        try:
            out = subprocess.run([tools.path("bench", "horalign-bench"), "verify", "1,2,3,4"],
                                 env=settings.env(), capture_output=True, text=True, timeout=180)
        finally:
            devsim.stop()
            settings.remove()
        line = next((l for l in out.stdout.splitlines() if l.startswith("VERIFY ")), None)
        if out.returncode != 0 or line is None:
            raise RuntimeError("verify failed:\n" + out.stdout + out.stderr)
        gaps.append(float(dict(kv.split("=", 1) for kv in line.split()[1:])["longest_gap_ms"]))
    return [Figure("verified cycle (4 devices)", "longest gap between 50 ms ticks", "ms", gaps,
                   100.0, "outside the sleeps to a second's start")]


def idle_cost(tools, runs, seconds):
    """The real program idle with its timers running, one copy shown and one hidden (both
    at once, each with its own settings and instance slot): CPU over `seconds` and the peak
    resident memory."""
    cpu = {"shown": [], "hidden": []}
    peak = {"shown": [], "hidden": []}
    for _ in range(runs):
        copies = {}
        try:
            for state in ("shown", "hidden"):
                settings = Settings(mode=1, used_ports=0)
                copies[state] = (settings,
                                 Program(tools.path("gui", "horalign"), settings, tools.display))
            for _, program in copies.values():
                program.wait_event("scan-done", 20)
            # The start-up help notice closes itself after 5 s.
            time.sleep(5.5)
            copies["hidden"][1].hide()
            time.sleep(1.0)
            before = {s: p.cpu_seconds() for s, (_, p) in copies.items()}
            started = time.monotonic()
            time.sleep(seconds)
            elapsed = time.monotonic() - started
            for state, (_, program) in copies.items():
                cpu[state].append(100 * (program.cpu_seconds() - before[state]) / elapsed)
                peak[state].append(program.peak_rss_mb())
        finally:
            for settings, program in copies.values():
                program.stop()
                settings.remove()
    label = f"idle ({seconds} s)"
    return [
        Figure(label, "CPU shown, % of one core", "%", cpu["shown"], 0.5),
        Figure(label, "CPU hidden, % of one core", "%", cpu["hidden"], 0.5),
        Figure(label, "peak resident (VmHWM) shown", "MB", peak["shown"], 40.0),
        Figure(label, "peak resident (VmHWM) hidden", "MB", peak["hidden"], 40.0),
    ]


def startup(tools, runs):
    """From process start (just before the runner starts it) to the main window's first
    paint, and the 16-port scan with every port mapped to a missing path and none active."""
    shown, scan, entered, cpu = [], [], [], []
    for _ in range(runs):
        settings = Settings(mode=1, used_ports=0)
        program = Program(tools.path("gui", "horalign"), settings, tools.display)
        try:
            main = program.wait_event("main", 20)
            painted = program.wait_event("shown", 20)
            start = program.wait_event("scan-start", 20)
            done = program.wait_event("scan-done", 20)
        finally:
            program.stop()
            settings.remove()
        entered.append(1000 * (main[1] - program.started))
        shown.append(1000 * (painted[1] - program.started))
        cpu.append(1000 * painted[2])
        scan.append(1000 * (done[1] - start[1]))
        time.sleep(0.3)
    return [
        Figure("start-up", "process start to window shown", "ms", shown, 150.0),
        Figure("start-up", "process start to main() entered", "ms", entered, None,
               "loading and linking"),
        Figure("start-up", "CPU time to window shown", "ms", cpu, None,
               "the program's own work, all threads"),
        Figure("start-up", "16-port scan, none active", "ms", scan, 50.0),
    ]


def service(tools, runs, seconds, updates):
    """horalign-cli: the service idle between update cycles, in mode 1 with four active
    simulated devices (CPU over `seconds`, peak resident memory); and `update COM1` from
    the moment the runner starts the process to the device's acknowledge, `updates` times,
    with how many ms past the second the command started."""
    cli = tools.path("cli", "horalign-cli")
    devices = ["com=1,letter=W", "com=2,letter=A", "com=3,letter=T", "com=4,letter=W"]
    cpu, peak = [], []
    for _ in range(runs):
        settings = Settings(mode=1, used_ports=0b1111)
        devsim = Devsim(tools.path("sim", "horalign-devsim"), settings, devices)
        log_path = os.path.join(settings.root, "service.log")
        with open(log_path, "w") as log:
            proc = subprocess.Popen([cli, "run"], env=settings.env(), stderr=log)
        try:
            deadline = time.monotonic() + 60
            while open(log_path).read().count('status="Connected to device."') < 4:
                if time.monotonic() > deadline or proc.poll() is not None:
                    raise RuntimeError("the service did not connect its four devices")
                time.sleep(0.2)
            time.sleep(1.0)
            before, started = cpu_seconds(proc.pid), time.monotonic()
            time.sleep(seconds)
            cpu.append(100 * (cpu_seconds(proc.pid) - before) / (time.monotonic() - started))
            peak.append(peak_rss_mb(proc.pid))
        finally:
            stop_process(proc)
            devsim.stop()
            settings.remove()

    latency, past = [], []
    settings = Settings(mode=1, used_ports=1)
    devsim = Devsim(tools.path("sim", "horalign-devsim"), settings, devices[:1])
    try:
        for _ in range(updates):
            started_us = time.time_ns() // 1000
            out = subprocess.run([cli, "--json", "update", "COM1"], env=settings.env(),
                                 capture_output=True, text=True, timeout=60)
            port = json.loads(out.stdout)["ports"][0]
            if out.returncode != 0 or port["outcome"] != "updated":
                raise RuntimeError("update COM1 failed:\n" + out.stdout + out.stderr)
            time.sleep(0.1)  # the simulator logs the acknowledge as it sends it
            acks = [us for us in devsim.acknowledges(1) if us >= started_us]
            latency.append((acks[-1] - started_us) / 1000)
            past.append(port["ms_past_second"])
    finally:
        devsim.stop()
        settings.remove()
    label = f"service idle ({seconds} s)"
    return [
        Figure(label, "CPU, % of one core", "%", cpu, 0.05, "mode 1, four active devices"),
        Figure(label, "peak resident (VmHWM)", "MB", peak, 8.0),
        Figure(f"update COM1 ({updates} runs)", "process start to acknowledge", "ms", latency,
               None, "each run a new process"),
        Figure(f"update COM1 ({updates} runs)", "process start to acknowledge, p99", "ms",
               [percentile(latency, 99)], None, "connect, wait for the second, write"),
        Figure(f"update COM1 ({updates} runs)", "ms past the second at the write", "ms", past,
               None, "median and min-max of the runs"),
    ]


def service_on_full_history(tools, runs, days=529):
    """horalign-cli run started on three full history files (devsim's four devices over
    `days` days, written through the program's own rotating history): its peak resident
    memory once the drift figures are seeded from them and the four devices connected."""
    cli = tools.path("cli", "horalign-cli")
    devices = ["com=1,letter=W", "com=2,letter=A", "com=3,letter=T", "com=4,letter=W"]
    peak, sizes = [], []
    for _ in range(runs):
        settings = Settings(mode=1, used_ports=0b1111)
        folder = os.path.join(settings.root, "state", "Quorvane")
        devsim = Devsim(tools.path("sim", "horalign-devsim"), settings, devices,
                        ["--history", folder, "--history-days", str(days)])
        sizes = [os.path.getsize(os.path.join(folder, name)) / 2**20
                 for name in ("history.jsonl.2", "history.jsonl.1", "history.jsonl")]
        if min(sizes) < 4.8:
            raise RuntimeError(f"the history files are not full: {sizes} MiB")
        log_path = os.path.join(settings.root, "service.log")
        with open(log_path, "w") as log:
            proc = subprocess.Popen([cli, "run"], env=settings.env(), stderr=log)
        try:
            deadline = time.monotonic() + 60
            while open(log_path).read().count('status="Connected to device."') < 4:
                if time.monotonic() > deadline or proc.poll() is not None:
                    raise RuntimeError("the service did not connect its four devices")
                time.sleep(0.2)
            peak.append(peak_rss_mb(proc.pid))
        finally:
            stop_process(proc)
            devsim.stop()
            settings.remove()
    note = "files of " + ", ".join(f"{s:.2f}" for s in sizes) + " MiB, oldest first"
    return [Figure("service start, full history", "peak resident (VmHWM)", "MB", peak, 8.0,
                   note)]


BUS_CONF = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path={0}/bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/>
<allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>"""


def bus(tools, runs, seconds, calls):
    """horalign-cli run with its control interface on a private system bus (a dbus-daemon
    of its own), in mode 1 with four active simulated devices: CPU over `seconds` while idle
    and peak resident memory, as the service case; then `horalign-cli status --json`, `calls`
    times, each a new process, from its start to its exit."""
    cli = tools.path("cli", "horalign-cli")
    devices = ["com=1,letter=W", "com=2,letter=A", "com=3,letter=T", "com=4,letter=W"]
    cpu, peak, trips = [], [], []
    for _ in range(runs):
        settings = Settings(mode=1, used_ports=0b1111)
        with open(os.path.join(settings.root, "bus.conf"), "w") as conf:
            conf.write(BUS_CONF.format(settings.root))
        daemon = subprocess.Popen(["dbus-daemon", f"--config-file={settings.root}/bus.conf",
                                   "--nofork"], stderr=subprocess.DEVNULL)
        env = settings.env(DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={settings.root}/bus")
        devsim = Devsim(tools.path("sim", "horalign-devsim"), settings, devices)
        proc = subprocess.Popen([cli, "run"], env=env, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while True:
                out = subprocess.run([cli, "status", "--json"], env=env, capture_output=True,
                                     text=True, timeout=10).stdout
                if out and sum(p["status"] == "Connected to device."
                               for p in json.loads(out)["ports"]) == 4:
                    break
                if time.monotonic() > deadline or proc.poll() is not None:
                    raise RuntimeError("the service did not connect its four devices")
                time.sleep(0.2)
            time.sleep(1.0)
            before, started = cpu_seconds(proc.pid), time.monotonic()
            time.sleep(seconds)
            cpu.append(100 * (cpu_seconds(proc.pid) - before) / (time.monotonic() - started))
            for _ in range(calls):
                started = time.perf_counter()
                if subprocess.run([cli, "status", "--json"], env=env, capture_output=True,
                                  timeout=10).returncode != 0:
                    raise RuntimeError("status failed")
                trips.append(1000 * (time.perf_counter() - started))
            peak.append(peak_rss_mb(proc.pid))
        finally:
            stop_process(proc)
            devsim.stop()
            stop_process(daemon)
            settings.remove()
    label = f"service with its bus interface ({seconds} s idle)"
    return [
        Figure(label, "CPU, % of one core", "%", cpu, 0.05, "mode 1, four active devices"),
        Figure(label, "peak resident (VmHWM)", "MB", peak, 8.0, "after the status calls"),
        Figure(f"status --json ({calls} calls a run)", "process start to exit", "ms", trips,
               None, "each call a new process"),
        Figure(f"status --json ({calls} calls a run)", "process start to exit, p99", "ms",
               [percentile(trips, 99)], 20.0, "three method calls on the bus"),
    ]


def history_window(tools, runs, lines):
    """The history window opened offscreen on a history file of `lines` entries: from its
    construction to its first paint (the files read, the table filled, the plot drawn), each
    run a new process."""
    opened = []
    for _ in range(runs):
        out = subprocess.run([tools.path("bench", "horalign-history-bench"), str(lines)],
                             capture_output=True, text=True, timeout=60, check=True).stdout
        opened.append(float(out.split("OPEN ")[1].split()[0]))
    return [Figure(f"history window ({lines:,} lines)", "open to first paint", "ms", opened,
                   1000.0, "offscreen, four devices with offsets and drift")]


def test_suite(tools, runs):
    """The test suite's own time: ctest of this build without the e2e label, two jobs as
    scripts/test.sh runs it on this machine."""
    seconds, failed = [], 0
    for _ in range(runs):
        started = time.monotonic()
        result = subprocess.run(
            ["ctest", "--test-dir", tools.build, "-LE", "e2e", "-j", "2", "--timeout", "300"],
            capture_output=True, text=True)
        seconds.append(time.monotonic() - started)
        failed += result.returncode != 0
    note = "all passed" if not failed else f"{failed} run(s) with failures"
    return [Figure("test suite", "ctest -LE e2e -j2, wall", "s", seconds, 60.0, note)]

