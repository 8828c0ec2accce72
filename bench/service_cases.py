"""The service's benchmarks: readers answered during an update cycle, and devices that are
unplugged and plugged back in. Each runs `horalign-cli run` on a private system bus (a
dbus-daemon of its own) with simulated devices."""

import json
import os
import re
import subprocess
import threading
import time

from bench_lib import CONFIG_KEY, Devsim, Settings, percentile, stop_process
from cases import BUS_CONF, Figure

DEVICES = ["com=1,letter=W", "com=2,letter=A", "com=3,letter=T", "com=4,letter=W"]


class BusService:
    """The service with four active devices on a private bus, connected and settled."""

    def __init__(self, tools, links=()):
        self.cli = tools.path("cli", "horalign-cli")
        self.settings = Settings(mode=1, used_ports=0b1111)
        root = self.settings.root
        with open(os.path.join(root, "bus.conf"), "w") as conf:
            conf.write(BUS_CONF.format(root))
        self.daemon = subprocess.Popen(["dbus-daemon", f"--config-file={root}/bus.conf",
                                        "--nofork"], stderr=subprocess.DEVNULL)
        self.env = self.settings.env(DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={root}/bus")
        self.devsim = Devsim(tools.path("sim", "horalign-devsim"), self.settings, DEVICES)
        # Ports reached through links of their own, as /dev/serial/by-id names an adapter.
        os.makedirs(os.path.join(root, "by-id"))
        text = open(self.settings.reg_path).read()
        for com in links:
            os.symlink(self.devsim.ttys[com], self.link(com))
            text = text.replace(f'"COM{com}"="{self.devsim.ttys[com]}"',
                                f'"COM{com}"="{self.link(com)}"')
        open(self.settings.reg_path, "w").write(text)
        self.proc = subprocess.Popen([self.cli, "run"], env=self.env, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while self.connected() < 4:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("the service did not connect its four devices")
            time.sleep(0.2)
        time.sleep(1.0)

    def link(self, com):
        return os.path.join(self.settings.root, "by-id", f"usb-Quorvane_port{com}")

    def status(self):
        return subprocess.run([self.cli, "status", "--json"], env=self.env, capture_output=True,
                              text=True, timeout=10)

    def connected(self):
        out = self.status().stdout
        return sum(p["status"] == "Connected to device." for p in json.loads(out)["ports"]) \
            if out else 0

    def busctl(self, *args, **kw):
        return subprocess.Popen(["busctl", f"--address={self.env['DBUS_SYSTEM_BUS_ADDRESS']}",
                                 *args], env=self.env, **kw)

    def stop(self):
        stop_process(self.proc)
        self.devsim.stop()
        stop_process(self.daemon)
        self.settings.remove()


def timed_status(service, calls):
    trips = []
    for _ in range(calls):
        started = time.perf_counter()
        if service.status().returncode != 0:
            raise RuntimeError("status failed")
        trips.append(1000 * (time.perf_counter() - started))
    return trips


READER = """
import sys, time
import dbus
bus = dbus.bus.BusConnection(sys.argv[1])
proxy = bus.get_object("com.quorvane.Horalign1", "/com/quorvane/Horalign1")
for _ in range(int(sys.argv[2])):
    started = time.perf_counter()
    proxy.GetPorts(dbus_interface="com.quorvane.Horalign1", timeout=10)
    print(1000 * (time.perf_counter() - started), flush=True)
    time.sleep(0.005)
"""


def timed_reads(service, calls):
    """GetPorts on one connection kept open: the service's own answer time, without a
    process's start (Debian's python3 with python3-dbus, as the bus tests use it)."""
    out = subprocess.run(["/usr/bin/python3", "-c", READER, service.env["DBUS_SYSTEM_BUS_ADDRESS"],
                          str(calls)], capture_output=True, text=True, timeout=300, check=True)
    return [float(line) for line in out.stdout.split()]


def status_during_cycle(tools, runs, calls):
    """`horalign-cli status --json` (each call a new process), and GetPorts on one open
    connection, while the service is idle, then while UpdateAll cycles run one after the
    other: four devices, each written at the start of a second it waits for (up to a second
    each)."""
    idle, busy, idle_reads, busy_reads = [], [], [], []
    for _ in range(runs):
        service = BusService(tools)
        try:
            idle += timed_status(service, calls)
            idle_reads += timed_reads(service, calls * 5)
            stop = threading.Event()

            def cycles():
                while not stop.is_set():
                    service.busctl("call", "com.quorvane.Horalign1", "/com/quorvane/Horalign1",
                                   "com.quorvane.Horalign1", "UpdateAll",
                                   stdout=subprocess.DEVNULL).wait(timeout=60)

            writer = threading.Thread(target=cycles)
            writer.start()
            time.sleep(0.5)
            busy += timed_status(service, calls)
            busy_reads += timed_reads(service, calls * 5)
            stop.set()
            writer.join()
        finally:
            service.stop()
    label = f"status --json ({calls} calls a run)"
    reads = f"GetPorts, one connection ({calls * 5} calls a run)"
    cycling = "UpdateAll over four devices, back to back"
    return [Figure(label, "idle, p99", "ms", [percentile(idle, 99)], None, f"{len(idle)} calls"),
            Figure(label, "during update cycles, p99", "ms", [percentile(busy, 99)], 50.0,
                   f"{len(busy)} calls; {cycling}"),
            Figure(reads, "idle, p99", "ms", [percentile(idle_reads, 99)], None,
                   f"{len(idle_reads)} calls"),
            Figure(reads, "during update cycles, p99", "ms", [percentile(busy_reads, 99)], 50.0,
                   f"{len(busy_reads)} calls; {cycling}")]


def hotplug(tools, runs):
    """COM2's link removed (an adapter pulled out) until its PortChanged reaches a listener on
    the bus; the link made again until the device acknowledges its next write."""
    unplug_ms, replug_ms = [], []
    for _ in range(runs):
        service = BusService(tools, links=(2,))
        monitor = service.busctl("monitor", "--json=short",
                                 "--match=type='signal',member='PortChanged'",
                                 stdout=subprocess.PIPE, text=True)
        try:
            time.sleep(0.5)
            signals = []

            def listen():
                for line in monitor.stdout:
                    signals.append((time.monotonic(), line))

            threading.Thread(target=listen, daemon=True).start()
            pulled = time.monotonic()
            os.unlink(service.link(2))
            gone = None
            while gone is None and time.monotonic() < pulled + 30:
                gone = next((t for t, line in list(signals)
                             if re.search(r'\[2,.*"N/A","Disconnected', line)), None)
                time.sleep(0.01)
            if gone is None:
                raise RuntimeError("no PortChanged for the unplug")
            unplug_ms.append(1000 * (gone - pulled))
            plugged_us = time.time() * 1e6
            plugged = time.monotonic()
            os.symlink(service.devsim.ttys[2], service.link(2))
            written = None
            while written is None and time.monotonic() < plugged + 60:
                written = next((us for us in service.devsim.acknowledges(2) if us > plugged_us),
                               None)
                time.sleep(0.05)
            if written is None:
                raise RuntimeError("the device back was not written")
            replug_ms.append((written - plugged_us) / 1000)
        finally:
            stop_process(monitor)
            service.stop()
    return [Figure("COM2 unplugged", "to its PortChanged", "ms", unplug_ms, 30000.0,
                   "the link removed; inotify, no polling"),
            Figure("COM2 plugged back in", "to its next acknowledged write", "ms", replug_ms,
                   60000.0, "probe, identify, wait for the second, write")]


def time_daemon(tools, runs, samples):
    figures = [time_daemon_run(tools, samples) for _ in range(runs)]
    return [Figure(f[0].benchmark, f[0].figure, f[0].unit, [run[i].values[0] for run in figures],
                   note=f[0].note) for i, f in enumerate(zip(*figures))]


def time_daemon_run(tools, samples):
    """A receiver at 9600 baud, 2.5 s ahead, speaking every second: the spread of the offsets
    the service sends to the time daemon's socket (bound here, as chronyd would), and of the
    instants it dates them at against the first bytes' times in the simulator's log."""
    import datetime
    import socket
    import statistics
    import struct
    settings = Settings(mode=2, used_ports=1)
    path = os.path.join(settings.runtime_dir, "chrony.sock")
    text = open(settings.reg_path).read().replace(
        '"Connection Mode"="2"',
        f'"Connection Mode"="2"\n"Feed Time Daemon"="1"\n"Time Daemon Socket"="{path}"')
    open(settings.reg_path, "w").write(text)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(60)
    devsim = Devsim(tools.path("sim", "horalign-devsim"), settings,
                    ["com=1,letter=none,events=1,ontime=1,quiet=20,offset=2.5"])
    log_path = os.path.join(settings.root, "run.log")
    proc = subprocess.Popen([tools.path("cli", "horalign-cli"), "run"], env=settings.env(),
                            stderr=open(log_path, "w"))
    got = []
    try:
        # Mode 2 without the feed would set this machine's clock: never run on then.
        time.sleep(2)
        if "clock-right=dropped" not in open(log_path).read() and os.geteuid() == 0:
            raise RuntimeError("the service did not take the feed: " + open(log_path).read())
        while len(got) < samples:
            sec, usec, offset = struct.unpack("lld", sock.recv(64)[:24])
            got.append((sec * 1e6 + usec, offset))
    finally:
        stop_process(proc)
        stop_process(devsim.proc)
    sent = []
    with open(devsim.log_path, encoding="ascii", errors="replace") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) >= 5 and fields[2] == "SEND" and fields[4].startswith("0371462"):
                sent.append(datetime.datetime.fromisoformat(fields[3]).timestamp() * 1e6)
    dating = [min((us - s for s in sent), key=abs) / 1000 for us, _ in got]
    offsets = [1000 * (offset - 2.5) for _, offset in got]
    settings.remove()
    return [Figure("time daemon", "offsets sent, spread (stdev)", "ms",
                   [statistics.pstdev(offsets)], note=f"{samples} samples, 9600 baud"),
            Figure("time daemon", "offsets sent, mean error", "ms", [statistics.fmean(offsets)]),
            Figure("time daemon", "first byte dated, spread (stdev)", "ms",
                   [statistics.pstdev(dating)], note="against the simulator's log")]


def pc_step(tools, runs, readings):
    """The same receiver at 9600 baud, 2.5 s ahead, read as mode 2 reads it without the feed
    (its events once a minute, as it begins, the port polled by the program's monitor): the
    offsets the read path would step the PC clock by, noted by a clock that never sets it
    (horalign-bench readpc). The runs go side by side, each with its own receiver, as each
    takes a minute a reading; each starts at a random phase of the second, since the phase of
    the program's poll against the receiver's events sets how late a run's readings are."""
    import random
    import statistics
    copies = []
    try:
        for _ in range(runs):
            time.sleep(random.uniform(0, 1))
            settings = Settings(mode=2, used_ports=1)
            devsim = Devsim(tools.path("sim", "horalign-devsim"), settings,
                            ["com=1,letter=none,events=60,ontime=1,quiet=20,offset=2.5"])
            proc = subprocess.Popen([tools.path("bench", "horalign-bench"), "readpc",
                                     str(readings)], env=settings.env(TZ="UTC"),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            copies.append((settings, devsim, proc))
        spreads, errors = [], []
        for settings, devsim, proc in copies:
            out, err = proc.communicate(timeout=90 * readings)
            offsets = [1000 * (float(line.split("=", 1)[1]) - 2.5)
                       for line in out.splitlines() if line.startswith("READ offset_s=")]
            if proc.returncode != 0 or len(offsets) < readings:
                raise RuntimeError("readpc failed:\n" + out + err)
            spreads.append(statistics.pstdev(offsets))
            errors.append(statistics.fmean(offsets))
    finally:
        for settings, devsim, proc in copies:
            stop_process(proc)
            devsim.stop()
            settings.remove()
    return [Figure("PC clock stepped", "readings' offsets, spread (stdev)", "ms", spreads,
                   note=f"{readings} readings a run, 9600 baud; beside the time daemon's"),
            Figure("PC clock stepped", "readings' offsets, mean error", "ms", errors,
                   note="behind the receiver: polled late")]
