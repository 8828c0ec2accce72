# What the command line's script tests share: a check that says what it saw, a wait that
# polls a condition for a while (these tests watch real processes), the settings file and
# environment the service runs with, and the orderly end that keeps the logs of a failure.
import os
import shutil
import signal
import time

FAILED = []
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
    with open(path, "w") as f:
        f.write(f"REGEDIT4\n\n{KEY}\\Config]\n{config}\n{KEY}\\Ports]\n{ports}")


def service_env(tmp, bus, runtime, state):  # nothing of this user's or this machine's
    env = dict(os.environ, TZ="UTC", XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=tmp,
               XDG_STATE_HOME=state, DBUS_SYSTEM_BUS_ADDRESS=bus, LC_ALL="C")
    env.pop("STATE_DIRECTORY", None)
    return env


def finish(procs, tmp):  # ends the processes in order; the exit code of the test
    for p in procs:
        p.send_signal(signal.SIGTERM)
        p.wait(timeout=10)
    print(f"logs kept in {tmp}") if FAILED else shutil.rmtree(tmp, ignore_errors=True)
    return 1 if FAILED else 0
