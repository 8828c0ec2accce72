#!/usr/bin/python3
# Calls every row of the control protocol's table (requests.json) that the bus carries, in
# order, and prints one JSON list: per row "ok", [the error's name as the pipe has it, its
# message], or null for a row not run. Run as the caller to be, on the bus DBUS_SYSTEM_BUS_ADDRESS names.
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
outcomes = []
for row in table["rows"]:
    if row["bus"] is None or row.get(f"bus_{who}", row[who]) is None:
        outcomes.append(None)
        continue
    method, signature, *args = row["bus"]
    args = ["/" + "x" * 5000 if a == "/LONG" else a for a in args]
    try:
        bus.call_blocking("com.quorvane.Horalign1", "/com/quorvane/Horalign1",
                          "com.quorvane.Horalign1", method, signature, args, timeout=120)
        outcomes.append("ok")
    except dbus.DBusException as e:
        outcomes.append([NAMES.get(e.get_dbus_name(), e.get_dbus_name()), e.get_dbus_message()])
print(json.dumps(outcomes))
