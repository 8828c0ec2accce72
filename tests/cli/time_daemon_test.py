#!/usr/bin/env python3
# The service feeds a real chronyd: a simulated receiver whose clock runs 2.5 s ahead is read
# as it speaks, each reading goes to chronyd's SOCK reference clock, and chronyd (run here in
# the foreground with -x, so it never touches the system clock, on a configuration of its own)
# shows the source reachable about 2.5 s ahead of the PC. Unplugged, its reach decays. The
# service runs as its unit runs it: a user of its own ("nobody" here) given CAP_SYS_TIME.
# chronyd binds the socket as root, so that user may write to it only once it is given the
# right (docs/service.md), and a socket's folder missing at chronyd's start stops chronyd.
# Usage: time_daemon_test.py HORALIGN_CLI HORALIGN_DEVSIM; exits 77 without chronyd.
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import (NOBODY, cap_sys_time, check, devsim, finish, service_env,  # noqa: E402
                    start_service, wait_for, write_settings)

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


def main():
    if not os.access(CHRONYD, os.X_OK) or not CHRONYC:
        print("SKIP: chronyd/chronyc not installed (Debian's chrony, scripts/deps.sh)")
        return 77
    tmp = tempfile.mkdtemp(prefix="horalign-chrony-")
    os.chmod(tmp, 0o700)  # chronyd wants its command socket's folder private
    svc_dir = tempfile.mkdtemp(prefix="horalign-chrony-service-")  # the service's user's
    for folder in ("", "/run"):
        os.makedirs(svc_dir + folder, exist_ok=True)
        os.chown(svc_dir + folder, 65534, 65534)
    os.chmod(svc_dir, 0o755)
    os.mkdir(f"{svc_dir}/sock", 0o755)  # the socket's folder, there before chronyd starts
    sock = f"{svc_dir}/sock/chrony.sock"
    # noselect: a source chronyd followed would be corrected away on its virtual clock.
    open(f"{tmp}/chrony.conf", "w").write(
        f"refclock SOCK {sock} refid HORA poll 0 filter 2 noselect\n"
        f"pidfile {tmp}/chronyd.pid\nbindcmdaddress {tmp}/cmd.sock\ncmdport 0\nport 0\n")
    open(f"{tmp}/missing.conf", "w").write(
        f"refclock SOCK {tmp}/missing/chrony.sock\npidfile {tmp}/missing.pid\ncmdport 0\nport 0\n")
    env = service_env(svc_dir, f"unix:path={tmp}/no-bus", f"{svc_dir}/run", svc_dir)
    procs = []
    try:
        p = subprocess.run([CHRONYD, "-x", "-d", "-u", "root", "-f", f"{tmp}/missing.conf"],
                           capture_output=True, text=True, timeout=20)
        check("chronyd does not start while its SOCK socket's folder is missing",
              p.returncode != 0 and "Could not open socket" in p.stdout + p.stderr, p.stdout)
        # The umask systemd gives a service.
        chrony = subprocess.Popen([CHRONYD, "-x", "-d", "-u", "root", "-f", f"{tmp}/chrony.conf"],
                                  stdout=open(f"{tmp}/chronyd.log", "w"), stderr=subprocess.STDOUT,
                                  preexec_fn=lambda: os.umask(0o022))
        procs.append(chrony)
        # A receiver (no model letter) 2.5 s ahead that speaks every second, on time, once the
        # service has identified it (its events would answer the identification query).
        sim, ptys = devsim(tmp, [f"com=1,letter=none,events=1,ontime=1,quiet=20,offset={OFFSET_S}"])
        procs.append(sim)
        pty = ptys["COM1"]
        os.chown(pty, 65534, -1)
        write_settings(f"{svc_dir}/Horalign.reg", lambda n: pty if n == 1 else f"{svc_dir}/none{n}",
                       2, 1, f'"Feed Time Daemon"="1"\n"Time Daemon Socket"="{sock}"\n')
        os.chown(f"{svc_dir}/Horalign.reg", 65534, 65534)
        svc, log = start_service(f"{svc_dir}/Horalign.reg", env, f"{tmp}/run.log",
                                 (*NOBODY, "--inh-caps=+sys_time", "--ambient-caps=+sys_time"))
        procs.append(svc)
        check("the service gives up the right to set the clock",
              wait_for(lambda: "clock-right=dropped" in log(), 10)
              and cap_sys_time(svc.pid) == [False, False], log())
        events = lambda: open(f"{tmp}/devsim.log").read().count("\tSEND\t")  # noqa: E731
        refused = wait_for(lambda: "time-daemon=refused" in log(), 40)
        n = events()
        check("the socket as chronyd binds it refuses the service's user: said once, not retried",
              refused and wait_for(lambda: events() >= n + 3, 10)
              and log().count("time-daemon=refused") == 1, log())
        # What the administrator does (docs/service.md): the service's group may write to it.
        os.chown(sock, -1, 65534)
        os.chmod(sock, 0o775)
        check("its first sample is taken", wait_for(lambda: "time-daemon=sent" in log(), 10), log())
        seen = []
        # A measurement every second poll (filter 2): three in the reach register will do.
        reached = wait_for(lambda: (s := sources(tmp)) and seen.append(s) is None and
                           bin(s[0]).count("1") >= 3, 15)
        reach, offset = seen[-1] if seen else (0, 0.0)
        check(f"chronyd reaches the source with an offset of about -{OFFSET_S} s (seen {offset:+.4f} s, "
              f"reach {reach:o})", reached and abs(offset + OFFSET_S) <= TOLERANCE_S,
              open(f"{tmp}/chronyd.log").read() + log())
        check("each row says the time was sent", 'status="Time sent to time daemon."' in log(), log())
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=10)
        decayed = wait_for(lambda: (s := sources(tmp)) is not None and s[0] & 0o17 == 0, 15)
        check(f"unplugged, the source's reach decays (reach {(sources(tmp) or (0,))[0]:o})", decayed)
        check("the service ran on", svc.poll() is None)
    finally:
        code = finish(reversed(procs), tmp, svc_dir)
    return code


if __name__ == "__main__":
    sys.exit(main())
