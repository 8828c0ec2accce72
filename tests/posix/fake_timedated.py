#!/usr/bin/python3
"""A stand-in for systemd-timedated on a private bus, so tests never reach the real one.

Usage: fake_timedated.py BUS_ADDRESS ANSWER...

Owns org.freedesktop.timedate1 on BUS_ADDRESS, prints "ready", then answers one SetTime call
per ANSWER, in order: "ok" succeeds, anything else is the D-Bus error name to refuse with;
calls beyond them are refused. Each call is printed as
"SetTime <usec_utc> <relative> <interactive>" before it is answered. The test ends it; should
the test die first, it ends itself after 20 seconds.
"""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.timedate1"


class TimeDate(dbus.service.Object):
    def __init__(self, bus, answers):
        super().__init__(bus, "/org/freedesktop/timedate1")
        self.answers = list(answers)

    @dbus.service.method(NAME, in_signature="xbb", out_signature="")
    def SetTime(self, usec_utc, relative, interactive):
        print(f"SetTime {int(usec_utc)} {str(bool(relative)).lower()} "
              f"{str(bool(interactive)).lower()}", flush=True)
        answer = self.answers.pop(0) if self.answers else "org.freedesktop.DBus.Error.Failed"
        if answer != "ok":
            raise dbus.exceptions.DBusException("refused by the test", name=answer)


def main():
    address, answers = sys.argv[1], sys.argv[2:]
    DBusGMainLoop(set_as_default=True)
    loop = GLib.MainLoop()
    bus = dbus.bus.BusConnection(address)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    service = TimeDate(bus, answers)
    print("ready", flush=True)
    GLib.timeout_add_seconds(20, loop.quit)
    loop.run()
    del service, name


if __name__ == "__main__":
    main()
