#!/usr/bin/env python3
# The service and devices that go and come back: horalign-cli run on horalign-devsim's
# devices reached through links of their own, as /dev/serial/by-id names a USB adapter.
# Removing a link is pulling the adapter out; making it again is plugging it back in; ending
# the simulator makes the devices' nodes themselves vanish. The service must see each at
# once (no command, no polling) and write a device that is back.
# Usage: hotplug_test.py HORALIGN_CLI HORALIGN_DEVSIM
import os
import re
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import (DEVICES, check, devsim, finish, service_env, start_service,  # noqa: E402
                    wait_for, write_settings)

# What the service is given at most: unplugging seen in 30 s, a device back written in 60 s.
UNPLUG_S, REPLUG_S = 30, 60


def link(tmp, ptys, ports=(1, 2)):  # plugs the devices in
    for port in ports:
        path = f"{tmp}/by-id/usb-Quorvane_port{port}"
        if os.path.lexists(path):
            os.unlink(path)
        os.symlink(ptys[f"COM{port}"], path)


def main():
    tmp = tempfile.mkdtemp(prefix="horalign-hotplug-")
    os.mkdir(f"{tmp}/by-id")
    env = service_env(tmp, f"unix:path={tmp}/no-bus", tmp, tmp)
    sim, ptys = devsim(tmp, DEVICES[:2])
    link(tmp, ptys)
    write_settings(f"{tmp}/Horalign.reg", lambda n: f"{tmp}/by-id/usb-Quorvane_port{n}", 1, 3)
    svc, log = start_service(f"{tmp}/Horalign.reg", env, f"{tmp}/run.log")
    row = lambda port, text: re.search(rf"^port=COM{port} .*{re.escape(text)}", log(), re.M)  # noqa: E731
    try:
        check("the service connects both devices through their links",
              wait_for(lambda: row(1, "Connected to device.") and row(2, "Connected to device."),
                       30), log())
        before = log().count("port=COM2 ")
        os.unlink(f"{tmp}/by-id/usb-Quorvane_port2")
        pulled = time.monotonic()
        gone = wait_for(lambda: "port=COM2 unplugged=" in log() and
                        row(2, 'active=N/A device=N/A sn=N/A status="Disconnected'), UNPLUG_S)
        seen_s = time.monotonic() - pulled
        check(f"a pulled adapter is seen at once ({seen_s:.2f} s) and its row says so", gone, log())
        # That the other device is left alone is tests/service/hot_plug_test.cpp's.
        link(tmp, ptys, (2,))
        plugged = time.monotonic()
        back = wait_for(lambda: row(2, 'status="Device updated successfully."'), REPLUG_S)
        check(f"plugged back in, it is connected and written again ({time.monotonic() - plugged:.2f} s)",
              back and log().count("port=COM2 ") > before, log())

        # The devices' nodes themselves vanish; a new simulator brings new ones.
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=10)
        check("devices whose nodes vanish are both seen gone",
              wait_for(lambda: log().count("unplugged=") == 3, UNPLUG_S), log())
        sim, ptys = devsim(tmp, DEVICES[:2])
        link(tmp, ptys)
        check("and both are written again once they are back",
              wait_for(lambda: len(re.findall(r'^port=COM[12] .*status="Device updated successfully."',
                                              log(), re.M)) >= 3, REPLUG_S), log())
        check("the service ran on without a restart", svc.poll() is None)
    finally:
        code = finish((svc, sim), tmp)
    return code


if __name__ == "__main__":
    sys.exit(main())
