#!/usr/bin/python3
"""A stand-in for systemd-timedated on a private bus, so tests never reach the real one.

Usage: fake_timedated.py BUS_ADDRESS ANSWER...   Prints "ready", then each SetTime call as
"SetTime <usec_utc> <relative> <interactive>" before answering it with the next ANSWER: "ok"
succeeds, anything else is the D-Bus error name to refuse with. It ends itself after 20 s.
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
        self.answers = answers

    @dbus.service.method(NAME, in_signature="xbb", out_signature="")
    def SetTime(self, usec_utc, relative, interactive):
        print(f"SetTime {int(usec_utc)} {str(bool(relative)).lower()} "
              f"{str(bool(interactive)).lower()}", flush=True)
        answer = self.answers.pop(0) if self.answers else "org.freedesktop.DBus.Error.Failed"
        if answer != "ok":
            raise dbus.exceptions.DBusException("refused by the test", name=answer)


DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
name = dbus.service.BusName(NAME, bus, do_not_queue=True)
service = TimeDate(bus, sys.argv[2:])
print("ready", flush=True)
loop = GLib.MainLoop()
GLib.timeout_add_seconds(20, loop.quit)
loop.run()
