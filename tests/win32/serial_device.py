#!/usr/bin/env python3
# Plays the device behind a COM port for the Win32 serial tests under Wine:
#   serial_device.py --link LINK --ready READY
# opens a pseudo-terminal, links its slave as LINK ($WINEPREFIX/dosdevices/comN, or a link
# that the prefix's port mapping names), writes the slave's path to READY and echoes every
# byte it receives, except that "ID?" CR is answered with "?99" CR: the tests see both the
# raw echo path and a command answered by a device. Runs until killed.
import os
import sys
import tty

options = dict(zip(sys.argv[1::2], sys.argv[2::2]))
link, ready = options["--link"], options["--ready"]
master, slave = os.openpty()
# The slave stays open here, so the pair outlives each open and close by the tests, and
# starts raw: no echo or line editing by the terminal driver before the port is set up.
tty.setraw(slave)
tty.setraw(master)
if os.path.lexists(link):
    os.unlink(link)
os.symlink(os.ttyname(slave), link)
with open(ready, "w") as f:
    f.write(os.ttyname(slave) + "\n")

held = b""  # the start of a possible "ID?" CR
while True:
    out = b""
    for byte in os.read(master, 4096):
        held += bytes([byte])
        if held == b"ID?\r":
            out, held = out + b"?99\r", b""
        elif not b"ID?\r".startswith(held):
            out, held = out + held, b""
    os.write(master, out)
