#!/usr/bin/env python3
"""horalign-cli against simulated devices on pseudo-terminals (horalign-devsim).

Usage: cli_test.py HORALIGN_CLI HORALIGN_DEVSIM VERSION MANPAGE UNIT

Every COM number is mapped, to a simulated device or to a path that does not exist, so no
command reaches this machine's serial ports. The PC clock is set only inside a user
namespace, where setting it is refused; without user namespaces those checks are skipped.
Commands that use different ports run side by side to keep the real time short.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CLI, DEVSIM, MANPAGE, UNIT = (os.path.abspath(a) for a in sys.argv[1:3] + sys.argv[4:6])
VERSION = sys.argv[3]
FAILED = []


def check(what, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok else f"\n    {detail}"))
    if not ok:
        FAILED.append(what)


def write_settings(path, tmp, mode, used, ports):
    lines = ["REGEDIT4", "", r"[HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign\Config]",
             f'"Connection Mode"="{mode}"', f'"Used COM Ports"="{used}"',
             '"Update Interval"="60"', "", r"[HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign\Ports]"]
    for n in range(1, 17):
        lines.append(f'"COM{n}"="{ports.get(n, f"{tmp}/no-such-port/ttyCOM{n}")}"')
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def start(args, env, prefix=()):
    return subprocess.Popen([*prefix, CLI, *args], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(proc, timeout=60):
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, out, err


def run(args, env, prefix=()):
    return finish(start(args, env, prefix))


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def cap_sys_time(pid):
    """Whether CAP_SYS_TIME (bit 25) is in the process's effective and permitted sets."""
    with open(f"/proc/{pid}/status") as f:
        caps = dict(line.split(":\t") for line in f if line.startswith("Cap"))
    return [bool(int(caps[k], 16) >> 25 & 1) for k in ("CapEff", "CapPrm")]


def static_checks(tmp, env):
    ldd = subprocess.run(["ldd", CLI], capture_output=True, text=True).stdout
    check("horalign-cli links no Qt", "libQt" not in ldd and "libc." in ldd, ldd)
    rc, out, _ = run(["--version"], env)
    check("--version prints the project version", (rc, out) == (0, f"horalign-cli {VERSION}\n"), out)
    rc, usage, _ = run(["--help"], env)
    codes = set(re.findall(r"^  (\d)  ", usage, re.M))
    with open(MANPAGE) as f:
        man_codes = set(re.findall(r"^\.B (\d)$", f.read(), re.M))
    check("--help and the manual page list the same exit codes 0 to 6",
          rc == 0 and codes == man_codes == set("0123456"), f"{codes} {man_codes}")
    for args in (["read"], ["scan", "COM17"], ["frobnicate"], ["update", "--set-pc"]):
        rc, _, err = run(args, env)
        check(f"{' '.join(args)} is a usage error (2)", rc == 2 and "horalign-cli:" in err, err)
    if shutil.which("systemd-analyze"):
        # The unit as installed, pointing at this build's program.
        unit = f"{tmp}/horalign.service"
        with open(UNIT) as f:
            text = re.sub(r"^ExecStart=\S+", f"ExecStart={CLI}", f.read(), flags=re.M)
        with open(unit, "w") as f:
            f.write(text)
        verify = subprocess.run(["systemd-analyze", "verify", "--man=no", unit],
                                capture_output=True, text=True)
        check("systemd-analyze verifies the unit", verify.returncode == 0 and not verify.stderr,
              verify.stderr)


def broken_settings(tmp, env):
    path = f"{tmp}/broken.reg"
    with open(path, "w") as f:
        f.write("not a settings file\n")
    rc, _, err = run(["--config", path, "config", "mode", "1"], env)
    with open(path) as f:
        kept = f.read() == "not a settings file\n"
    check("a file that is not a settings file is left alone and refused (4)",
          rc == 4 and kept and "not a settings file" in err, err)


def map_commands(tmp, env, settings):
    copy = f"{tmp}/map.reg"
    shutil.copy(settings, copy)
    rc, out, _ = run(["--config", copy, "--json", "map", "COM9", "/dev/horalign-missing"], env)
    doc = json.loads(out) if rc == 0 else {}
    check("map writes the Ports value and says the path is missing now",
          doc.get("path") == "/dev/horalign-missing" and doc.get("exists") is False
          and '"COM9"="/dev/horalign-missing"' in open(copy).read(), out)
    rc, out, _ = run(["--config", copy, "unmap", "COM9"], env)
    rc2, out2, _ = run(["--config", copy, "--json", "map", "COM9"], env)
    port = json.loads(out2)["ports"][0] if rc2 == 0 else {}
    check("unmap puts the port back on /dev/ttyS8",
          rc == 0 and port.get("path") == "/dev/ttyS8" and port.get("mapped") is False, out + out2)
    rc, out, _ = run(["--config", copy, "--json", "config", "mode", "2"], env)
    rc2, _, err = run(["--config", copy, "config", "active", "COM1", "COM2"], env)
    check("a new mode deactivates every port, and mode 2 takes one active port only",
          rc == 0 and json.loads(out)["active"] == [] and rc2 == 2
          and "Only one device can be used to synchronize the PC time." in err, out + err)
    if os.geteuid() == 0:
        folder = f"{tmp}/state"
        os.mkdir(folder)
        os.chown(folder, 65534, 65534)
        rc, _, _ = run(["--config", f"{folder}/Horalign.reg", "config", "interval", "75"], env)
        check("root's change of a file in the service's folder leaves the file to its user",
              rc == 0 and os.stat(f"{folder}/Horalign.reg").st_uid == 65534)


def device_commands(tmp, env, settings, devsim_log, userns):
    # Side by side: each command uses ports of its own. The read, which must not set the
    # clock, runs where it could not anyway.
    scan = start(["--config", settings, "--json", "scan", "COM2", "COM5"], env)
    read = start(["--config", settings, "--json", "read", "COM3"], env,
                 ("unshare", "-U", "-r") if userns else ())
    update = start(["--config", settings, "--json", "update"], env)

    rc, out, err = finish(scan)
    ports = {p["port"]: p for p in json.loads(out)["ports"]} if rc == 0 else {}
    check("scan reports the model, S/N and speed that answered, and why a port did not open",
          ports.get("COM2", {}).get("device") == "QM6840" and ports["COM2"]["sn"] == "20002"
          and ports["COM2"]["speed"] == 9600 and ports["COM2"]["open"] is True
          and ports.get("COM5", {}).get("open") is False
          and ports["COM5"]["problem"].endswith("ttyCOM5 does not exist"), out + err)

    rc, out, err = finish(read)
    doc = json.loads(out) if rc == 0 else {}
    check("read shows a time-query device 30 s behind and sets nothing",
          doc.get("device") == "Tone Generator" and doc.get("offset_s") in (-30, -29)
          and doc.get("status") is None, out + err)

    rc, out, err = finish(update)
    port = json.loads(out)["ports"][0] if rc == 0 else {}
    frames = [line.split("\t") for line in open(devsim_log) if "\tCOM1\tFRAME\t" in line]
    time_frames = [f for f in frames if f[5].startswith("T")]
    arrived_ms = float(time_frames[-1][4]) if time_frames else -1
    sent_ms = port.get("ms_past_second", -1000)
    check("update writes the time to the active port and reports when the command started",
          port.get("outcome") == "updated" and port.get("status") == "Device updated successfully."
          and 1 <= sent_ms <= arrived_ms <= sent_ms + 200, f"{out}{err} device saw {arrived_ms} ms")
    rc, out, _ = run(["--config", settings, "update", "COM5"], env)
    check("update of a port that does not open fails with 3",
          rc == 3 and "unavailable" in out and "does not exist" in out, out)


def service(tmp, env, settings, userns):
    log_path = f"{tmp}/run.log"
    with open(log_path, "w") as log:
        svc = subprocess.Popen([CLI, "--config", settings, "run"], env=env, stderr=log,
                               stdout=subprocess.DEVNULL)
    rows = re.compile(r'^port=COM1 active=Yes device=QM8340 sn=10001 status="Connected to '
                      r'device\." time="\d\d/\d\d/\d\d, \d\d:\d\d:\d\d [AP]M"$', re.M)
    connected = wait_for(lambda: rows.search(open(log_path).read()), 20)
    check("run scans, connects the active port and logs each row as one line",
          connected and 'port=COM5 active=N/A device=N/A sn=N/A status="Disconnected from device."'
          in open(log_path).read(), open(log_path).read())
    if os.geteuid() == 0:
        check("run gives up CAP_SYS_TIME in mode 1", cap_sys_time(svc.pid) == [False, False])

    rc, out, _ = run(["--config", settings, "--json", "update", "COM1"], env)
    status = json.loads(out)["ports"][0]["status"] if out else ""
    check("a port the service holds is refused at once, naming the holder",
          rc == 3 and f"in use by horalign-cli --config {settings} run (pid {svc.pid})" in status,
          out)
    rc, _, err = run(["--config", settings, "run"], env)
    check("a second service ends with 5", rc == 5 and "Horalign is already active." in err, err)

    if userns:
        # Set the PC clock from a device 30 s behind: refused in the namespace.
        rc, out, err = run(["--config", settings, "read", "COM3", "--set-pc"], env,
                           ("unshare", "-U", "-r"))
        check("read --set-pc without the right says so and ends with 6",
              rc == 6 and "status       Unable to set PC time - insufficient rights." in out,
              out + err)

    svc.send_signal(signal.SIGTERM)
    rc = svc.wait(timeout=10)
    log = open(log_path).read()
    check("SIGTERM ends the service in order: port closed, position saved, exit 0",
          rc == 0 and log.rstrip().endswith("signal=SIGTERM ending\nstop")
          and '"LastX"="400"' in open(settings).read(), log[-300:])


def mode_two_service(tmp, env):
    # A service in mode 2 keeps the right; in a user namespace it could not use it anyway.
    settings = f"{tmp}/mode2.reg"
    write_settings(settings, tmp, 2, 0, {})
    env = dict(env, XDG_RUNTIME_DIR=f"{tmp}/runtime2")
    os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
    log_path = f"{tmp}/run2.log"
    with open(log_path, "w") as log:
        svc = subprocess.Popen(["unshare", "-U", "-r", CLI, "--config", settings, "run"], env=env,
                               stderr=log, stdout=subprocess.DEVNULL)
    wait_for(lambda: "start " in open(log_path).read(), 10)
    held = cap_sys_time(svc.pid) if svc.poll() is None else None
    svc.send_signal(signal.SIGTERM)
    svc.wait(timeout=10)
    err = open(log_path).read()
    check("run keeps CAP_SYS_TIME in mode 2", held == [True, True] and "clock-right=held" in err,
          f"{held} {err}")


def main():
    tmp = tempfile.mkdtemp(prefix="horalign-cli-test-")
    os.mkdir(f"{tmp}/runtime", 0o700)
    env = dict(os.environ, TZ="UTC", XDG_RUNTIME_DIR=f"{tmp}/runtime", XDG_CONFIG_HOME=tmp,
               DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent", LC_ALL="C")
    env.pop("STATE_DIRECTORY", None)
    settings = f"{tmp}/Horalign.reg"
    # Mode 1 with COM1 active; the simulator maps its terminals into the file and keeps these.
    write_settings(settings, tmp, 1, 1, {})
    devsim = subprocess.Popen(
        [DEVSIM, "--device", "com=1,letter=W,serial=10001", "--device", "com=2,letter=A,serial=20002",
         "--device", "com=3,letter=T,serial=30003,offset=-30", "--ports-file", settings,
         "--log", f"{tmp}/devsim.log"], stdout=subprocess.PIPE, text=True)
    try:
        for _ in range(3):
            devsim.stdout.readline()
        userns = subprocess.run(["unshare", "-U", "-r", "true"], capture_output=True).returncode == 0
        static_checks(tmp, env)
        broken_settings(tmp, env)
        map_commands(tmp, env, settings)
        device_commands(tmp, env, settings, f"{tmp}/devsim.log", userns)
        service(tmp, env, settings, userns)
        if userns:
            mode_two_service(tmp, env)
        else:
            print("skipped: the PC clock checks need user namespaces (unshare -U)")
    finally:
        devsim.send_signal(signal.SIGTERM)
        devsim.wait(timeout=10)
        if FAILED:
            print(f"logs kept in {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)
    return 1 if FAILED else 0


if __name__ == "__main__":
    sys.exit(main())
