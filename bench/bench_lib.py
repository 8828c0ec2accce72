"""What the benchmarks share: private settings, the device simulator, the program under
Xvfb, CPU and memory readings, and the statistics of repeated runs."""

import datetime
import os
import shutil
import signal
import statistics
import subprocess
import tempfile
import threading
import time

CONFIG_KEY = r"HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign\Config"
PORTS_KEY = r"HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign\Ports"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Settings:
    """A private XDG_CONFIG_HOME, XDG_STATE_HOME and XDG_RUNTIME_DIR with a settings file in which every
    COM number without a device maps to a path that does not exist, so no run ever opens
    the machine's own serial ports."""

    def __init__(self, mode=1, used_ports=0, ports=None):
        self.root = tempfile.mkdtemp(prefix="horalign-bench-")
        self.config_home = os.path.join(self.root, "config")
        self.runtime_dir = os.path.join(self.root, "runtime")
        os.makedirs(os.path.join(self.config_home, "Quorvane"))
        os.makedirs(self.runtime_dir, mode=0o700)
        self.reg_path = os.path.join(self.config_home, "Quorvane", "Horalign.reg")
        ports = ports or {}
        lines = ["REGEDIT4", "", f"[{CONFIG_KEY}]", f'"Connection Mode"="{mode}"',
                 f'"Used COM Ports"="{used_ports}"', '"LastX"="0"', '"LastY"="0"', "",
                 f"[{PORTS_KEY}]"]
        for com in range(1, 17):
            path = ports.get(com, os.path.join(self.root, "missing", f"tty{com}"))
            lines.append(f'"COM{com}"="{path}"')
        with open(self.reg_path, "w", encoding="ascii") as f:
            f.write("\n".join(lines) + "\n")

    def env(self, **extra):
        env = dict(os.environ, XDG_CONFIG_HOME=self.config_home,
                   XDG_RUNTIME_DIR=self.runtime_dir,
                   XDG_STATE_HOME=os.path.join(self.root, "state"))
        env.update(extra)
        return env

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Devsim:
    """horalign-devsim serving devices on pseudo-terminals, mapped into `settings`."""

    def __init__(self, binary, settings, devices, extra=()):
        self.log_path = os.path.join(settings.root, "devsim.log")
        args = [binary, "--ports-file", settings.reg_path, "--log", self.log_path, *extra]
        for desc in devices:
            args += ["--device", desc]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        # One summary line per device once the terminals are open and mapped:
        # "COMn <terminal> <model> ...".
        self.ttys = {}
        for _ in devices:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("horalign-devsim did not start")
            com, tty = line.split()[:2]
            self.ttys[int(com[3:])] = tty

    def acknowledges(self, com):
        """First-byte epoch microseconds of every acknowledge ("*" CR) the device sent."""
        out = []
        with open(self.log_path, encoding="ascii", errors="replace") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) >= 5 and fields[1:3] == [f"COM{com}", "SEND"] \
                        and fields[4] == "*\\r":
                    out.append(iso_to_us(fields[3]))
        return out

    def frames(self):
        """(first-byte epoch microseconds, line) of every frame the devices took."""
        out = []
        with open(self.log_path, encoding="ascii", errors="replace") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) >= 6 and fields[2] == "FRAME":
                    out.append((iso_to_us(fields[3]), fields[5]))
        return out

    def stop(self):
        stop_process(self.proc)


def iso_to_us(text):
    """2026-05-12T14:05:09.123456Z as microseconds since 1970."""
    stamp = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")
    stamp = stamp.replace(tzinfo=datetime.timezone.utc)
    return int(stamp.timestamp()) * 1_000_000 + stamp.microsecond


def stop_process(proc, grace=5.0):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Display:
    """Xvfb on a free display number, with a tray host so that the program can hide."""

    def __init__(self):
        self.xvfb = None
        self.tray = None
        self.name = None

    @staticmethod
    def available():
        return shutil.which("Xvfb") is not None and shutil.which("xdotool") is not None

    def start(self):
        for number in range(90, 140):
            if os.path.exists(f"/tmp/.X11-unix/X{number}") or os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            self.xvfb = subprocess.Popen(
                ["Xvfb", f":{number}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.xvfb.poll() is None:
                if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                    self.name = f":{number}"
                    break
                time.sleep(0.05)
            if self.name:
                break
            stop_process(self.xvfb)
        if not self.name:
            raise RuntimeError("Xvfb did not start")
        if shutil.which("trayer"):
            self.tray = subprocess.Popen(["trayer"], env=dict(os.environ, DISPLAY=self.name),
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)

    def xdotool(self, *args, timeout=10):
        result = subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.name),
                                capture_output=True, text=True, timeout=timeout)
        return result.stdout.split()

    def stop(self):
        for proc in (self.tray, self.xvfb):
            if proc:
                stop_process(proc)


class Program:
    """The built program under the display, with its start-up trace read from stderr."""

    def __init__(self, binary, settings, display):
        self.started = time.monotonic()
        env = settings.env(DISPLAY=display.name, HORALIGN_TRACE_STARTUP="1")
        env.pop("WAYLAND_DISPLAY", None)
        self.proc = subprocess.Popen([binary], env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        self.display = display
        self.events = []  # (event, monotonic s, cpu s)
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stderr:
            parts = line.split()
            if len(parts) == 4 and parts[0] == "horalign-trace":
                values = dict(p.split("=", 1) for p in parts[2:])
                with self.cond:
                    self.events.append((parts[1], float(values["mono"]), float(values["cpu"])))
                    self.cond.notify_all()

    def wait_event(self, name, timeout):
        """The first trace event of that name, waiting for it up to `timeout` seconds."""
        with self.cond:
            found = self.cond.wait_for(
                lambda: any(e[0] == name for e in self.events), timeout=timeout)
            if not found:
                raise RuntimeError(f"the program did not report {name!r}")
            return next(e for e in self.events if e[0] == name)

    def windows(self, name):
        return self.display.xdotool("search", "--all", "--onlyvisible", "--pid",
                                    str(self.proc.pid), "--name", name)

    def hide(self):
        """Hides the window as a person would: Alt+H, then Y for the question."""
        main = self.windows(r"Horalign \(Version")
        if not main:
            raise RuntimeError("no main window to hide")
        self.display.xdotool("windowfocus", "--sync", main[0])
        self.display.xdotool("key", "alt+h")
        deadline = time.monotonic() + 10
        while not self.windows("System Message"):
            if time.monotonic() > deadline:
                raise RuntimeError("the hide question did not appear")
            time.sleep(0.1)
        self.display.xdotool("key", "y")
        while self.windows(r"Horalign \(Version"):
            if time.monotonic() > deadline:
                raise RuntimeError("the window did not hide")
            time.sleep(0.1)

    def cpu_seconds(self):
        return cpu_seconds(self.proc.pid)

    def peak_rss_mb(self):
        return peak_rss_mb(self.proc.pid)

    def stop(self):
        stop_process(self.proc)


def cpu_seconds(pid):
    """User and system time of the whole process, ended threads included."""
    with open(f"/proc/{pid}/stat", encoding="ascii") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def percentile(values, p):
    """The p-th percentile by the nearest-rank rule (p99 of 50 samples is the largest)."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]


def summarize(values):
    """(median, low, high) of the per-run figures."""
    return statistics.median(values), min(values), max(values)
