#!/usr/bin/env python3
"""Plays the device behind a COM port for the Win32 serial tests under Wine.

Opens a pseudo-terminal, links its slave as the COM port's device
($WINEPREFIX/dosdevices/comN -> /dev/pts/M) and echoes every byte it receives,
except that a line "ID?" (ended by CR) is answered with "?99" CR instead: the
tests see both the raw echo path and a command answered by a device. Writes
"ready" to the ready file once the link is in place, and runs until killed.
"""
import argparse
import os
import select
import signal
import sys
import tty


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--link", required=True, help="dosdevices entry to create, e.g. .../com5")
    parser.add_argument("--ready", required=True, help="file written once the link exists")
    args = parser.parse_args()

    master, slave = os.openpty()
    # The slave stays open here, so the pair outlives each open and close by the tests, and
    # starts raw: no echo or line editing by the terminal driver before the port is set up.
    tty.setraw(slave)
    tty.setraw(master)
    slave_path = os.ttyname(slave)
    if os.path.lexists(args.link):
        os.unlink(args.link)
    os.symlink(slave_path, args.link)

    def stop(*_):
        if os.path.islink(args.link) and os.readlink(args.link) == slave_path:
            os.unlink(args.link)
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    with open(args.ready, "w") as ready:
        ready.write(slave_path + "\n")

    line = b""
    while True:
        readable, _, _ = select.select([master], [], [], 1.0)
        if not readable:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            continue
        out = b""
        for byte in data:
            ch = bytes([byte])
            if ch == b"\r":
                if line == b"ID?":
                    out += b"?99\r"
                else:
                    out += line + b"\r"
                line = b""
            else:
                line += ch
                if len(line) > 8192:
                    out += line
                    line = b""
        # Bytes of an unfinished line are echoed as they come, except a possible "ID?".
        if line and not b"ID?".startswith(line):
            out += line
            line = b""
        if out:
            os.write(master, out)


if __name__ == "__main__":
    main()
