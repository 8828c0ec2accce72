#!/usr/bin/env python3
# horalign-cli against simulated devices on pseudo-terminals (horalign-devsim).
# Usage: cli_test.py HORALIGN_CLI HORALIGN_DEVSIM VERSION MANPAGE UNIT
# Every COM number is mapped, to a simulated device or to a path that does not exist, so no
# command reaches this machine's serial ports. The PC clock is set only inside a user
# namespace, where setting it is refused; without user namespaces those checks are skipped.
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import (CLI, DEVICES, cap_sys_time, check, devsim, done, finish, run,  # noqa: E402
                    service_env, start, start_service, wait_for, write_settings)

MANPAGE, UNIT = (os.path.abspath(a) for a in sys.argv[4:6])
VERSION = sys.argv[3]
USERNS = ("unshare", "-U", "-r")


def static_checks(tmp, env):
    ldd = subprocess.run(["ldd", CLI], capture_output=True, text=True).stdout
    check("horalign-cli links no Qt", "libQt" not in ldd and "libc." in ldd, ldd)
    check("--version prints the project version",
          run(["--version"], env)[:2] == (0, f"horalign-cli {VERSION}\n"))
    codes = set(re.findall(r"^  (\d)  ", run(["--help"], env)[1], re.M))
    man_codes = set(re.findall(r"^\.B (\d)$", open(MANPAGE).read(), re.M))
    check("--help and the manual page list the same exit codes 0 to 8",
          codes == man_codes == set("012345678"), f"{codes} {man_codes}")
    bad = [args for args in (["read"], ["scan", "COM17"], ["frobnicate"], ["update", "--set-pc"],
                             ["map", "COM2", "/" + "x" * 5000])
           if (result := run(args, env))[0] != 2 or "horalign-cli:" not in result[2]]
    check("a missing argument, COM17, an unknown command or option, a path over 4096 bytes "
          "ends with 2", not bad, bad)
    if shutil.which("systemd-analyze"):
        # The unit as installed, pointing at this build's program.
        unit = f"{tmp}/horalign.service"
        open(unit, "w").write(re.sub(r"^ExecStart=\S+", f"ExecStart={CLI}", open(UNIT).read(),
                                     flags=re.M))
        verify = subprocess.run(["systemd-analyze", "verify", "--man=no", unit],
                                capture_output=True, text=True)
        check("systemd-analyze verifies the unit", verify.returncode == 0 and not verify.stderr,
              verify.stderr)


def settings_commands(tmp, env, settings):
    path = f"{tmp}/broken.reg"
    open(path, "w").write("not a settings file\n")
    rc, _, err = run(["--config", path, "config", "mode", "1"], env)
    check("a file that is not a settings file is left alone and refused (4)", rc == 4
          and open(path).read() == "not a settings file\n" and "not a settings file" in err, err)
    copy = f"{tmp}/map.reg"
    shutil.copy(settings, copy)
    rc, out, _ = run(["--config", copy, "--json", "map", "COM9", "/dev/horalign-missing"], env)
    doc = json.loads(out) if rc == 0 else {}
    written = '"COM9"="/dev/horalign-missing"' in open(copy).read()
    rc, _, _ = run(["--config", copy, "unmap", "COM9"], env)
    rc2, out2, _ = run(["--config", copy, "--json", "map", "COM9"], env)
    port = json.loads(out2)["ports"][0] if rc + rc2 == 0 else {}
    check("map writes the Ports value and says the path is missing; unmap goes back to ttyS8",
          doc.get("path") == "/dev/horalign-missing" and doc.get("exists") is False and written
          and port.get("path") == "/dev/ttyS8" and port.get("mapped") is False, out + out2)
    rc, out, _ = run(["--config", copy, "--json", "config", "mode", "2"], env)
    before = open(copy).read()
    # The sockets refused (relative, 108 bytes, a control character) are the table's rows.
    bad = [run(["--config", copy, "config", *args], env)
           for args in (["active", "COM1", "COM2"], ["socket", "/run/" + "s" * 103])]
    check("a new mode deactivates every port; a second active port in mode 2 and a socket of 108 "
          "bytes are refused (2), nothing stored",
          rc == 0 and json.loads(out)["active"] == [] and [r[0] for r in bad] == [2] * 2
          and "Only one device can be used to synchronize the PC time." in bad[0][2]
          and "at most 107 bytes" in bad[1][2] and open(copy).read() == before, out + str(bad))
    rc, out, _ = run(["--config", copy, "--json", "config", "socket", "/run/" + "s" * 102], env)
    run(["--config", copy, "config", "feed", "on"], env)
    check("a socket of 107 bytes is taken, and the feed goes on",
          rc == 0 and json.loads(out)["time_daemon_socket"] == "/run/" + "s" * 102
          and open(copy).read().count('"Feed Time Daemon"="1"') == 1, out)
    # Root's change of a file in the service's folder: tests/posix/planted_links_test.cpp.


def device_commands(tmp, env, settings, userns):
    # Side by side: each command uses ports of its own. The read, which must not set the
    # clock, runs where it could not anyway.
    scan = start(["--config", settings, "--json", "scan", "COM2", "COM5"], env)
    read = start(["--config", settings, "--json", "read", "COM3"], env, USERNS if userns else ())
    update = start(["--config", settings, "--json", "update"], env)

    rc, out, err = done(scan)
    ports = {p["port"]: p for p in json.loads(out)["ports"]} if rc == 0 else {}
    check("scan reports the model, S/N and speed that answered, and why a port did not open",
          ports.get("COM2", {}).get("device") == "QM6840" and ports["COM2"]["sn"] == "20002"
          and ports["COM2"]["speed"] == 9600 and ports["COM2"]["open"] is True
          and ports.get("COM5", {}).get("open") is False
          and ports["COM5"]["problem"].endswith("ttyCOM5 does not exist"), out + err)

    rc, out, err = done(read)
    doc = json.loads(out) if rc == 0 else {}
    check("read shows a time-query device 30 s behind and sets nothing",
          doc.get("device") == "Tone Generator" and doc.get("offset_s") in (-30, -29)
          and doc.get("status") is None, out + err)

    rc, out, err = done(update)
    port = json.loads(out)["ports"][0] if rc == 0 else {}
    log = [line.split("\t") for line in open(f"{tmp}/devsim.log") if "\tCOM1\t" in line]
    arrived_ms = ([float(f[4]) for f in log if f[2] == "FRAME" and f[5][0] == "T"] or [-1])[-1]
    offset_ms = ([float(f[5]) for f in log if f[2] == "CLOCK"] or [1])[-1]
    sent_ms = port.get("ms_past_second", -1000)
    # Set in the right second, the device's clock lags the PC's by the command's way only.
    check("update writes the time to the active port and reports when the command started",
          port.get("outcome") == "updated" and port.get("status") == "Device updated successfully."
          and 1 <= sent_ms <= arrived_ms <= sent_ms + 200 and -1000 < offset_ms <= 0,
          f"{out}{err} device saw {arrived_ms} ms, offset {offset_ms} ms")


def service(tmp, env, settings, userns):
    svc, log = start_service(settings, env, f"{tmp}/run.log")
    rows = re.compile(r'^port=COM1 active=Yes device=QM8340 sn=10001 status="Connected to '
                      r'device\." time="\d\d/\d\d/\d\d, \d\d:\d\d:\d\d [AP]M"$', re.M)
    check("run scans, connects the active port and logs each row as one line",
          wait_for(lambda: rows.search(log()), 20) and 'port=COM5 active=N/A device=N/A sn=N/A '
          'status="Disconnected from device."' in log(), log())
    if os.geteuid() == 0:
        check("run gives up CAP_SYS_TIME in mode 1", cap_sys_time(svc.pid) == [False, False])
    history = f"{env['XDG_STATE_HOME']}/Quorvane/history.jsonl"
    kept = open(history).read() if os.path.exists(history) else ""
    check("run keeps the connection in the history", '"port":"COM1","model":"QM8340","sn":"10001",'
          '"action":"connect","outcome":"ok","status":"Connected to device."}' in kept, kept)

    rc, out, _ = run(["--config", settings, "--json", "update", "COM1"], env)
    status = json.loads(out)["ports"][0]["status"] if out else ""
    check("a port the service holds is refused at once, naming the holder",
          rc == 3 and f"in use by horalign-cli --config {settings} run (pid {svc.pid})" in status,
          out)
    rc, _, err = run(["--config", settings, "run"], env)
    check("a second service ends with 5", rc == 5 and "Horalign is already active." in err, err)
    if userns:
        # Set the PC clock from a device 30 s behind: refused in the namespace.
        rc, out, err = run(["--config", settings, "read", "COM3", "--set-pc"], env, USERNS)
        check("read --set-pc without the right says so and ends with 6",
              rc == 6 and "status       Unable to set PC time - insufficient rights." in out,
              out + err)

    svc.send_signal(signal.SIGTERM)
    rc = svc.wait(timeout=10)
    check("SIGTERM ends the service in order: port closed, position saved, exit 0",
          rc == 0 and log().rstrip().endswith("signal=SIGTERM ending\nstop")
          and '"LastX"="400"' in open(settings).read(), log()[-300:])

    # A service in mode 2 keeps the right; in a user namespace it could not use it anyway.
    if userns:
        write_settings(f"{tmp}/mode2.reg", lambda n: f"{tmp}/no-such-port/ttyCOM{n}", 2, 0)
        env = dict(env, XDG_RUNTIME_DIR=f"{tmp}/runtime2")
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
        svc, log = start_service(f"{tmp}/mode2.reg", env, f"{tmp}/run.log", USERNS)
        wait_for(lambda: "start " in log(), 10)
        held = cap_sys_time(svc.pid) if svc.poll() is None else None
        svc.send_signal(signal.SIGTERM)
        svc.wait(timeout=10)
        check("run keeps CAP_SYS_TIME in mode 2",
              held == [True, True] and "clock-right=held" in log(), f"{held} {log()}")


def main():
    tmp = tempfile.mkdtemp(prefix="horalign-cli-test-")
    os.mkdir(f"{tmp}/runtime", 0o700)
    env = service_env(tmp, "unix:path=/nonexistent", f"{tmp}/runtime", f"{tmp}/state")
    settings = f"{tmp}/Horalign.reg"
    # Mode 1 with COM1 active; the simulator maps its terminals into the file and keeps these.
    write_settings(settings, lambda n: f"{tmp}/no-such-port/ttyCOM{n}", 1, 1)
    sim, _ = devsim(tmp, DEVICES[:3], ("--ports-file", settings))
    try:
        userns = subprocess.run([*USERNS, "true"], capture_output=True).returncode == 0
        print("PC clock checks:", "run" if userns else "skipped: no user namespaces (unshare -U)")
        static_checks(tmp, env)
        settings_commands(tmp, env, settings)
        device_commands(tmp, env, settings, userns)
        service(tmp, env, settings, userns)
    finally:
        code = finish([sim], tmp)
    return code


if __name__ == "__main__":
    sys.exit(main())
