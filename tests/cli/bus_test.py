#!/usr/bin/python3
# The service's control interface on a private system bus: a dbus-daemon of the test's own,
# a stand-in for polkit (fake_polkit.py) and horalign-devsim's devices on pseudo-terminals.
# Usage: bus_test.py HORALIGN_CLI HORALIGN_DEVSIM FAKE_POLKIT
# Callers other than root run as "nobody", so that polkit is asked; root is never asked.
import json
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from checks import (DEVICES, NOBODY, check, devsim, finish, run, service_env,  # noqa: E402
                    start_service, wait_for, write_settings)

POLKIT, TABLE = (os.path.abspath(a) for a in sys.argv[3:5])
CALLER = os.path.join(os.path.dirname(TABLE), "table_caller.py")
IFACE = ("com.quorvane.Horalign1", "/com/quorvane/Horalign1", "com.quorvane.Horalign1")


def call(env, *args):  # busctl's call of a method of the service
    return ["busctl", f"--address={env['DBUS_SYSTEM_BUS_ADDRESS']}", "call", *IFACE, *args]


def busctl(env, method, *args):
    p = subprocess.run(call(env, method, *args), capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout + p.stderr


def status(env):
    rc, out, _ = run(["status", "--json"], env)
    return json.loads(out) if rc == 0 else None


def frames(tmp, port):  # the time commands a device has seen
    return sum(1 for line in open(f"{tmp}/devsim.log")
               if f"\tCOM{port}\tFRAME\t" in line and line.split("\t")[5][:1] in "TP")


def polkit(tmp, answer):
    open(f"{tmp}/answer", "w").write(answer)


def callers(tmp, env, settings, log):
    polkit(tmp, "yes")
    rc, out, err = run(["--config", settings, "--json", "update", "COM1"], env, NOBODY)
    port = json.loads(out)["ports"][0] if rc == 0 else {}
    check("an allowed caller's update is done by the service",
          port.get("outcome") == "updated" and port.get("status") == "Device updated successfully.",
          out + err)
    asked = re.findall(r"^CheckAuthorization (\S+) (\S+) (\S+) (\d)$", log(), re.M)
    check("polkit is asked about the caller's bus name, for the manage action, interactively",
          asked[-1:] and asked[-1][0] == "system-bus-name" and asked[-1][1].startswith(":")
          and asked[-1][2:] == ("com.quorvane.horalign.manage", "1"), log())
    check("each row change is a PortChanged signal",
          wait_for(lambda: "PortChanged 1 Device updated successfully." in log(), 5), log())

    # Refused: the service changes nothing (tests/service/transport_table_test.cpp), nor does
    # the command itself, which would end with 0 or 3 had it gone on without the service.
    polkit(tmp, "no")
    results = [run(["--config", settings, "update", "COM1"], env, NOBODY),
               run(["--config", settings, "config", "interval", "90"], env, NOBODY),
               run(["--config", settings, "unmap", "COM2"], env, NOBODY)]
    check("a refused caller gets exit 7",
          all(r[0] == 7 and "not authorized" in r[2] for r in results), str(results))

    asked = log().count("CheckAuthorization")
    rc, out, _ = run(["--config", settings, "--json", "config", "interval", "75"], env)
    check("root is allowed without asking, and the change reaches the service at once",
          rc == 0 and json.loads(out)["interval_min"] == 75
          and status(env)["settings"]["interval_min"] == 75
          and log().count("CheckAuthorization") == asked, out)
    check("a change of the settings is a SettingsChanged signal, a refused one none",
          wait_for(lambda: "SettingsChanged mode=1 interval=75" in log(), 5)
          and "interval=90" not in log(), log())


def busy(tmp, env, settings, svc):
    # A caller that goes in the middle of an update.
    before = frames(tmp, 2)
    caller = subprocess.Popen(call(env, "UpdateAll"))
    wait_for(lambda: frames(tmp, 2) > before, 10)
    caller.kill()
    caller.wait()
    done = wait_for(lambda: frames(tmp, 3) > 0 and (s := status(env)) and all(
        p["status"] == "Device updated successfully." for p in s["ports"][:3]), 15)
    # Status read in the middle of a cycle: tests/service/service_control_test.cpp.
    rc, out = busctl(env, "UpdateAll")
    check("a caller that disconnects in the middle of an update does not disturb the service",
          done and svc.poll() is None and rc == 0 and out.startswith("a(issi) 3 "), out)


def owner(tmp, env, settings):
    owned = {p["port"]: p["path"] for p in status(env)["ports"] if p["active"] == "Yes"}
    opened, results = [], []
    # LeakSanitizer cannot run under ptrace: in the sanitizer build it would end the traced
    # command before its output is flushed.
    traced = dict(env, ASAN_OPTIONS=":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                           "detect_leaks=0"])))
    for args in (["scan"], ["update", "COM1", "COM2"], ["read", "COM3"]):
        trace = f"{tmp}/strace.log"
        results.append(run(["--config", settings, "--json", *args], traced,
                           ("strace", "-f", "-qq", "-e", "trace=openat", "-o", trace)))
        opened += [path for path in owned.values() if f'"{path}"' in open(trace).read()]
    scan = {p["port"]: p for p in json.loads(results[0][1])["ports"]}
    check("with the service running, scan, update and read open no port the service owns",
          len(owned) == 3 and not opened and [r[0] for r in results] == [0, 0, 0]
          and scan["COM2"]["device"] == "QM6840" and scan["COM4"]["device"] == "QM8340"
          and json.loads(results[2][1])["offset_s"] in (-1, 0), f"{opened} {results}")


def floods(tmp, env, log):
    # One user floods reads of a device, or leaves polkit's questions open: each of its
    # requests past its share is refused at once, and root's update is not held up.
    for what, answer, flood in (("reads of a device", "yes", ("Read", "ib", "3", "false")),
                                ("questions polkit never answers", "hang", ("Update", "i", "3"))):
        polkit(tmp, answer)
        procs = [subprocess.Popen([*NOBODY, *call(env, *flood)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True) for _ in range(12)]
        time.sleep(1.0)
        started = time.monotonic()
        rc, out = busctl(env, "Update", "i", "1")
        took = time.monotonic() - started
        refused = []
        for p in procs:
            if what.startswith("questions") and p.poll() is None:
                p.kill()
            refused.append("too many requests are waiting" in p.communicate(timeout=120)[1])
        check(f"{what} from one user: the excess refused at once, root's update done in "
              f"{took:.1f} s", rc == 0 and took < 10 and 4 <= sum(refused) <= 8,
              f"{out} refused={sum(refused)}")
    # The questions left open are refused at last; the table's calls that follow, as the
    # same user, find its share given back.
    polkit(tmp, "no")
    wait_for(lambda: "released" in log(), 5)


def table(tmp, env):
    # The protocol's table (requests.json), as the pipe's test runs it: the refused caller
    # first, then the allowed one, row by row. That a refusal changes nothing is the pipe's
    # test's (tests/service/transport_table_test.cpp): the service's control decides it alike.
    ran, wrong = 0, []
    for who, answer in (("refused", "no"), ("allowed", "yes")):
        polkit(tmp, answer)
        p = subprocess.run([*NOBODY, "/usr/bin/python3", CALLER, TABLE, who], env=env,
                           capture_output=True, text=True, timeout=300)
        got = json.loads(p.stdout) if p.returncode == 0 else {"ran": 0, "wrong": [p.stderr]}
        ran, wrong = ran + got["ran"], wrong + [[who, *w] for w in got["wrong"]]
    check(f"every request of the table over the bus gets what it says for each caller ({ran} "
          "calls)", ran > 0 and not wrong, str(wrong))


def clock(env, settings):  # the PC clock's state as the service reads it, and the hold
    # A bound no kernel meets holds every write back, whatever the state.
    run(["--config", settings, "config", "max-error", "0.000000001"], env)
    run(["--config", settings, "config", "hold", "on"], env)
    rc, out, err = run(["--config", settings, "--json", "update", "COM1"], env)
    held = json.loads(out)["ports"][0] if out else {}
    check("a held update is refused with its reason and exit status 8",
          rc == 8 and held.get("outcome") == "held"
          and held.get("status", "").startswith("Waiting: PC clock "), (rc, out, err))
    rc, out, err = run(["--config", settings, "--json", "update", "--force", "COM1"], env)
    check("update --force writes a held device", rc == 0 and '"updated"' in out, (rc, out, err))
    run(["--config", settings, "config", "hold", "off"], env)
    run(["--config", settings, "config", "socket", "/run/horalign-bus-test.sock"], env)
    rc, out, err = run(["--config", settings, "config", "feed", "on"], env)
    c = (status(env) or {}).get("pc_clock", {})
    _, metrics, _ = run(["status", "--openmetrics"], env)
    check("status --json and the metrics give the PC clock's state and error bound, the hold "
          "and its bound as set, the feed and its socket set through the service, its samples",
          rc == 0 and c.get("state") in ("synchronized", "unsynchronized")
          and isinstance(c.get("max_error_s"), (int, float))
          and c.get("push_only_when_synchronized") is False and c.get("held") is None
          and c.get("maximum_clock_error_s") == 1e-9
          and c.get("time_daemon") == {"available": True, "on": True, "sent": 0, "refused": 0,
                                       "socket": "/run/horalign-bus-test.sock"}
          and re.search(r"^horalign_pc_clock_synchronized [01]$", metrics, re.M)
          and re.search(r"^horalign_pc_clock_max_error_seconds [0-9.e+-]+$", metrics, re.M)
          and re.search(r'^horalign_time_daemon_samples_total\{result="refused"\} 0$', metrics, re.M)
          and "# TYPE horalign_time_daemon_samples counter" in metrics, (rc, out, err, c, metrics))
    run(["--config", settings, "config", "feed", "off"], env)


def main():
    tmp = tempfile.mkdtemp(prefix="horalign-bus-test-")
    os.chmod(tmp, 0o755)  # "nobody" reads the settings and reaches the bus
    for folder in ("runtime", "state"):
        os.mkdir(f"{tmp}/{folder}", 0o700)
    open(f"{tmp}/bus.conf", "w").write(open(f"{HERE}/bus.conf").read().replace("@DIR@", tmp))
    env = service_env(tmp, f"unix:path={tmp}/bus", f"{tmp}/runtime", f"{tmp}/state")
    settings = f"{tmp}/Horalign.reg"
    write_settings(settings, lambda n: f"{tmp}/no-such-port/ttyCOM{n}", 1, 7)
    os.chmod(settings, 0o644)
    procs = [subprocess.Popen(["dbus-daemon", f"--config-file={tmp}/bus.conf", "--nofork"],
                              preexec_fn=lambda: os.umask(0), stderr=subprocess.DEVNULL)]
    try:
        wait_for(lambda: os.path.exists(f"{tmp}/bus"), 5)
        polkit(tmp, "yes")
        procs.append(subprocess.Popen([POLKIT, env["DBUS_SYSTEM_BUS_ADDRESS"], f"{tmp}/answer"],
                                      stdout=open(f"{tmp}/polkit.log", "w")))
        procs.append(devsim(tmp, DEVICES, ("--ports-file", settings))[0])
        svc, run_log = start_service(settings, env, f"{tmp}/run.log")
        procs.append(svc)
        log = lambda: open(f"{tmp}/polkit.log").read()  # noqa: E731
        up = wait_for(lambda: (s := status(env)) and sum(
            p["status"] == "Connected to device." for p in s["ports"]) == 3, 30)
        check("status lists the service's rows once it has connected its ports", up, run_log())
        if up:
            callers(tmp, env, settings, log)
            clock(env, settings)
            busy(tmp, env, settings, svc)
            owner(tmp, env, settings)
            floods(tmp, env, log)
            table(tmp, env)
    finally:
        code = finish(reversed(procs), tmp)
    return code


if __name__ == "__main__":
    sys.exit(main())
