#!/usr/bin/python3
# A stand-in for systemd-timedated on a private bus, so tests never reach the real one.
# Usage: fake_timedated.py BUS_ADDRESS ANSWER...   Prints "ready", then each SetTime call as
# "SetTime <usec_utc> <relative> <interactive>" before answering it with the next ANSWER:
# "ok" succeeds and prints "set <usec_utc>", the time the clock would then take (a relative
# usec counts from that moment); anything else is the D-Bus error name to refuse with;
# "delay:MS:ANSWER" gives ANSWER after MS milliseconds, serving other calls meanwhile. It
# ends itself after 20 s.
# With the first ANSWER "--sleeps" it stands in for logind instead: at each SIGUSR1 the PC
# goes to sleep and wakes (PrepareForSleep true, then false), and it prints "woke". With
# "--impostor" it owns no name and sends PrepareForSleep(false) as logind would, broadcast and
# to every other connection alone, prints "sent" once the bus has routed them, and ends.
import signal
import sys
import time

import dbus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib


class TimeDate(dbus.service.Object):
    @dbus.service.method("org.freedesktop.timedate1", in_signature="xbb", out_signature="",
                         async_callbacks=("reply", "fail"))
    def SetTime(self, usec_utc, relative, interactive, reply, fail):
        print(f"SetTime {int(usec_utc)} {str(bool(relative)).lower()} "
              f"{str(bool(interactive)).lower()}", flush=True)
        answer = ANSWERS.pop(0) if ANSWERS else "org.freedesktop.DBus.Error.Failed"
        delay_ms = 0
        if answer.startswith("delay:"):
            _, delay_ms, answer = answer.split(":", 2)

        def give():
            if answer == "ok":
                # What the clock would be set to now, when the answer is given.
                now_us = time.clock_gettime_ns(time.CLOCK_REALTIME) // 1000
                print(f"set {now_us + int(usec_utc) if relative else int(usec_utc)}", flush=True)
                reply()
            else:
                fail(dbus.exceptions.DBusException("refused by the test", name=answer))
            return False

        GLib.timeout_add(int(delay_ms), give)


class Login(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.login1.Manager", signature="b")
    def PrepareForSleep(self, start):
        pass

    def SleepAndWake(self):
        self.PrepareForSleep(True)
        self.PrepareForSleep(False)
        print("woke", flush=True)
        return True


def Impersonate(bus):
    me = bus.get_unique_name()
    for destination in [None] + [n for n in bus.list_names() if n[0] == ":" and n != me]:
        message = dbus.lowlevel.SignalMessage("/org/freedesktop/login1",
                                              "org.freedesktop.login1.Manager", "PrepareForSleep")
        message.append(False, signature="b")
        if destination:
            message.set_destination(destination)
        bus.send_message(message)
    bus.list_names()  # the bus answers in order: the signals have been routed
    print("sent", flush=True)


ANSWERS = sys.argv[2:]
DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
if ANSWERS[:1] == ["--impostor"]:
    Impersonate(bus)
    sys.exit(0)
if ANSWERS[:1] == ["--sleeps"]:
    name = dbus.service.BusName("org.freedesktop.login1", bus, do_not_queue=True)
    service = Login(bus, "/org/freedesktop/login1")
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, service.SleepAndWake)
else:
    name = dbus.service.BusName("org.freedesktop.timedate1", bus, do_not_queue=True)
    service = TimeDate(bus, "/org/freedesktop/timedate1")
print("ready", flush=True)
loop = GLib.MainLoop()
GLib.timeout_add_seconds(20, loop.quit)
loop.run()
