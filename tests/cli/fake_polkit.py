#!/usr/bin/python3
# A stand-in for polkit's authority on a private bus, which also listens to the service.
# Usage: fake_polkit.py BUS_ADDRESS ANSWER_FILE   Prints each question as
# "CheckAuthorization <subject kind> <bus name> <action> <flags>" and each of the service's
# PortChanged signals as "PortChanged <port> <status>" and SettingsChanged as
# "SettingsChanged mode=<mode> interval=<minutes>". It allows when ANSWER_FILE holds
# "yes" at the time of the question, and never answers when it holds "hang" (a password
# question nobody answers). It ends itself after 180 s.
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib


class Authority(dbus.service.Object):
    @dbus.service.method("org.freedesktop.PolicyKit1.Authority",
                         in_signature="(sa{sv})sa{ss}us", out_signature="(bba{ss})",
                         async_callbacks=("reply", "error"))
    def CheckAuthorization(self, subject, action, details, flags, cancel, reply, error):
        print(f"CheckAuthorization {subject[0]} {subject[1].get('name', '')} {action} {int(flags)}",
              flush=True)
        answer = open(sys.argv[2]).read().strip()
        if answer == "hang":
            HUNG.append(reply)
        else:
            reply((answer == "yes", False, dbus.Dictionary({}, signature="ss")))


HUNG = []  # the questions left open; refused once the answer file no longer says "hang"


def release():
    if HUNG and open(sys.argv[2]).read().strip() != "hang":
        print(f"released {len(HUNG)}", flush=True)
        while HUNG:
            HUNG.pop()((False, False, dbus.Dictionary({}, signature="ss")))
    return True


def port_changed(port, path, active, status, *rest):
    print(f"PortChanged {int(port)} {status}", flush=True)


def settings_changed(mode, ports, interval, *rest):
    print(f"SettingsChanged mode={int(mode)} interval={int(interval)}", flush=True)


DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
name = dbus.service.BusName("org.freedesktop.PolicyKit1", bus, do_not_queue=True)
authority = Authority(bus, "/org/freedesktop/PolicyKit1/Authority")
bus.add_signal_receiver(port_changed, "PortChanged", "com.quorvane.Horalign1")
bus.add_signal_receiver(settings_changed, "SettingsChanged", "com.quorvane.Horalign1")
loop = GLib.MainLoop()
GLib.timeout_add_seconds(180, loop.quit)
GLib.timeout_add(100, release)
loop.run()
