#!/usr/bin/env python3
# The service feeds a real chronyd: a simulated receiver whose clock runs 2.5 s ahead is read
# as it speaks, each reading goes to chronyd's SOCK reference clock, and chronyd (run here in
# the foreground with -x, so it never touches the system clock, on a configuration of its own)
# shows the source reachable about 2.5 s ahead of the PC. Unplugged, its reach decays.
# Usage: time_daemon_test.py HORALIGN_CLI HORALIGN_DEVSIM; exits 77 without chronyd.
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import FAILED, check, wait_for  # noqa: E402

CLI, DEVSIM = (os.path.abspath(a) for a in sys.argv[1:3])
CHRONYD, CHRONYC = shutil.which("chronyd") or "/usr/sbin/chronyd", shutil.which("chronyc")
OFFSET_S, TOLERANCE_S = 2.5, 0.020


def sources(tmp):
    """chronyc's CSV line for the reference clock: (reach, offset) or None."""
    out = subprocess.run([CHRONYC, "-h", f"{tmp}/cmd.sock", "-n", "-c", "sources"],
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        f = line.split(",")
        if len(f) >= 10 and f[2] == "HORA":
            return int(f[5], 8), float(f[8])
    return None


def cap_eff(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^CapEff:\s*([0-9a-f]+)", f.read(), re.M).group(1), 16)


def main():
    if not os.access(CHRONYD, os.X_OK) or not CHRONYC:
        print("SKIP: chronyd/chronyc not installed (Debian's chrony, scripts/deps.sh)")
        return 77
    tmp = tempfile.mkdtemp(prefix="horalign-chrony-")
    os.chmod(tmp, 0o700)  # chronyd wants its command socket's folder private
    with open(f"{tmp}/chrony.conf", "w") as f:
        # noselect: a source chronyd followed would be corrected away on its virtual clock.
        f.write(f"refclock SOCK {tmp}/chrony.sock refid HORA poll 0 filter 2 noselect\n"
                f"pidfile {tmp}/chronyd.pid\nbindcmdaddress {tmp}/cmd.sock\ncmdport 0\nport 0\n")
    env = dict(os.environ, TZ="UTC", XDG_RUNTIME_DIR=tmp, XDG_CONFIG_HOME=tmp,
               XDG_STATE_HOME=tmp, DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={tmp}/no-bus", LC_ALL="C")
    env.pop("STATE_DIRECTORY", None)
    procs = []
    try:
        chrony = subprocess.Popen([CHRONYD, "-x", "-d", "-u", "root", "-f", f"{tmp}/chrony.conf"],
                                  stdout=open(f"{tmp}/chronyd.log", "w"), stderr=subprocess.STDOUT)
        procs.append(chrony)
        # A receiver (no model letter) 2.5 s ahead that speaks every second, on time, once the
        # service has identified it (its events would answer the identification query).
        sim = subprocess.Popen([DEVSIM, "--device",
                                f"com=1,letter=none,events=1,ontime=1,quiet=20,offset={OFFSET_S}",
                                "--log", f"{tmp}/devsim.log"], stdout=subprocess.PIPE, text=True)
        procs.append(sim)
        pty = sim.stdout.readline().split()[1]
        key = r"[HKEY_LOCAL_MACHINE\Software\Quorvane\Horalign"
        ports = "".join(f'"COM{n}"="{pty if n == 1 else tmp + "/none" + str(n)}"\n'
                        for n in range(1, 17))
        with open(f"{tmp}/Horalign.reg", "w") as f:
            f.write(f'REGEDIT4\n\n{key}\\Config]\n"Connection Mode"="2"\n"Used COM Ports"="1"\n'
                    f'"Feed Time Daemon"="1"\n"Time Daemon Socket"="{tmp}/chrony.sock"\n\n'
                    f'{key}\\Ports]\n{ports}')
        log_path = f"{tmp}/run.log"
        svc = subprocess.Popen([CLI, "--config", f"{tmp}/Horalign.reg", "run"], env=env,
                               stderr=open(log_path, "w"))
        procs.append(svc)
        log = lambda: open(log_path).read()  # noqa: E731
        check("the service gives up the right to set the clock",
              wait_for(lambda: "clock-right=dropped" in log(), 10) and
              not cap_eff(svc.pid) & (1 << 25), log())
        check("its first sample is taken", wait_for(lambda: "time-daemon=sent" in log(), 40), log())
        seen = []
        # A measurement every second poll (filter 2): three in the reach register will do.
        reached = wait_for(lambda: (s := sources(tmp)) and seen.append(s) is None and
                           bin(s[0]).count("1") >= 3, 15)
        reach, offset = seen[-1] if seen else (0, 0.0)
        check(f"chronyd reaches the source with an offset of about -{OFFSET_S} s (seen {offset:+.4f} s, "
              f"reach {reach:o})", reached and abs(offset + OFFSET_S) <= TOLERANCE_S,
              open(f"{tmp}/chronyd.log").read() + log())
        check("the PC clock is never stepped", "PC updated successfully." not in log(), log())
        check("each row says the time was sent", 'status="Time sent to time daemon."' in log(), log())
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=10)
        decayed = wait_for(lambda: (s := sources(tmp)) is not None and s[0] & 0o17 == 0, 15)
        check(f"unplugged, the source's reach decays (reach {(sources(tmp) or (0,))[0]:o})", decayed)
        check("the service ran on", svc.poll() is None)
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                p.wait(timeout=10)
        print(f"logs kept in {tmp}") if FAILED else shutil.rmtree(tmp, ignore_errors=True)
    return 1 if FAILED else 0


if __name__ == "__main__":
    sys.exit(main())
