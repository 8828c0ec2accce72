#!/usr/bin/python3
# Calls every row of the control protocol's table (requests.json) that the bus carries for
# this caller, in order, and prints how many it ran and those whose outcome was not the
# table's: [what, seen ("ok" or [the error's name as the pipe has it, its message]), wanted].
# Run as the caller to be, on the bus DBUS_SYSTEM_BUS_ADDRESS names.
# Usage: table_caller.py TABLE allowed|refused
import json
import os
import sys

import dbus

NAMES = {"org.freedesktop.DBus.Error.InvalidArgs": "InvalidArgs",
         "org.freedesktop.DBus.Error.AccessDenied": "AccessDenied",
         "org.freedesktop.DBus.Error.LimitsExceeded": "LimitsExceeded",
         "org.freedesktop.DBus.Error.UnknownMethod": "UnknownRequest",
         "com.quorvane.Horalign1.Error.NotActive": "NotActive",
         "com.quorvane.Horalign1.Error.Failed": "Failed",
         "com.quorvane.Horalign1.Error.Settings": "Settings",
         "com.quorvane.Horalign1.Error.Held": "Held"}

table, who = json.load(open(sys.argv[1])), sys.argv[2]
bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
ran, wrong = 0, []
for row in table["rows"]:
    want, text = row.get(f"bus_{who}", row[who]), row.get("bus_text", row.get("text"))
    if row["bus"] is None or want is None:
        continue
    method, signature, *args = row["bus"]
    args = ["/" + "x" * 5000 if a == "/LONG" else a for a in args]
    try:
        bus.call_blocking("com.quorvane.Horalign1", "/com/quorvane/Horalign1",
                          "com.quorvane.Horalign1", method, signature, args, timeout=120)
        seen = "ok"
    except dbus.DBusException as e:
        seen = [NAMES.get(e.get_dbus_name(), e.get_dbus_name()), e.get_dbus_message()]
    ran += 1
    # An error is named as the table names it, its message holding the table's text.
    if seen != want if "ok" in (seen, want) else seen[0] != want or (text or "") not in seen[1]:
        wrong.append([row["what"], seen, want])
print(json.dumps({"ran": ran, "wrong": wrong}))
