# What the command line's script tests share: their first two arguments (horalign-cli and
# horalign-devsim), a check that says what it saw, a wait that polls a condition for a while
# (these tests watch real processes), the settings file and environment the service runs
# with, the programs started alike, and the orderly end that keeps the logs of a failure.
import os
import shutil
import signal
import subprocess
import sys
import time

CLI, DEVSIM = (os.path.abspath(a) for a in sys.argv[1:3])
NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
FAILED = []
# The simulated devices: a clock of each family, a tone generator 30 s behind, another clock.
DEVICES = ("com=1,letter=W,serial=10001", "com=2,letter=A,serial=20002",
           "com=3,letter=T,serial=30003,offset=-30", "com=4,letter=W,serial=40004")
KEY = r"[HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign"


def check(what, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok else f"\n    {detail}"))
    FAILED.extend([] if ok else [what])


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.05)
    return predicate()


def write_settings(path, port_path, mode, used, more=""):  # COM n is mapped to port_path(n)
    ports = "".join(f'"COM{n}"="{port_path(n)}"\n' for n in range(1, 17))
    config = (f'"Connection Mode"="{mode}"\n"Used COM Ports"="{used}"\n"Update Interval"="60"\n'
              + more)
    open(path, "w").write(f"REGEDIT4\n\n{KEY}\\Config]\n{config}\n{KEY}\\Ports]\n{ports}")


def service_env(tmp, bus, runtime, state):  # nothing of this user's or this machine's
    env = dict(os.environ, TZ="UTC", XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=tmp,
               XDG_STATE_HOME=state, DBUS_SYSTEM_BUS_ADDRESS=bus, LC_ALL="C")
    env.pop("STATE_DIRECTORY", None)
    return env


def start(args, env, prefix=(), stderr=subprocess.PIPE):  # horalign-cli
    return subprocess.Popen([*prefix, CLI, *args], env=env, stdout=subprocess.PIPE,
                            stderr=stderr, text=True)


def done(proc):
    out, err = proc.communicate(timeout=60)
    return proc.returncode, out, err


def run(args, env, prefix=()):
    return done(start(args, env, prefix))


def start_service(settings, env, log_path, prefix=()):  # horalign-cli run, and its log so far
    proc = subprocess.Popen([*prefix, CLI, "--config", settings, "run"], env=env,
                            stderr=open(log_path, "w"))
    return proc, lambda: open(log_path).read()


def devsim(tmp, devices, more=()):  # and each device's terminal, which it prints when up
    proc = subprocess.Popen([DEVSIM, *(a for d in devices for a in ("--device", d)), *more,
                             "--log", f"{tmp}/devsim.log"], stdout=subprocess.PIPE, text=True)
    return proc, dict(proc.stdout.readline().split()[:2] for _ in devices)


def cap_sys_time(pid):  # CAP_SYS_TIME (bit 25) in the effective and permitted sets
    caps = dict(line.split(":\t") for line in open(f"/proc/{pid}/status") if line[:3] == "Cap")
    return [bool(int(caps[k], 16) >> 25 & 1) for k in ("CapEff", "CapPrm")]


def finish(procs, *folders):  # ends the processes in order; the exit code of the test
    for p in procs:
        p.send_signal(signal.SIGTERM)  # none to one that has ended
        p.wait(timeout=10)
    if FAILED:
        print("logs kept in", " and ".join(folders))
    for folder in [] if FAILED else folders:
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if FAILED else 0
