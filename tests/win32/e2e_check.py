#!/usr/bin/env python3
"""Checks an end-to-end run of horalign.exe: the simulator's log and the registry after it.

The devices on COM3 (local-time family) and COM7 (UTC family) must have been probed,
identified and set, each time-set command arriving less than 100 ms after a whole second;
the registry must hold the program's values as REG_SZ texts.
"""
import argparse
import re
import sys

EXPECTED_VALUES = {
    "Connection Mode": "1",
    "Used COM Ports": str((1 << 2) | (1 << 6)),  # COM3 and COM7
    "Update Interval": "75",
}


def read_log(path):
    events = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) >= 3:
                events.append(fields)
    return events


def check_device(events, port, time_command, problems):
    mine = [e for e in events if e[1] == port]
    frames = [e for e in mine if e[2] == "FRAME"]
    sends = [e for e in mine if e[2] == "SEND" and e[-1] == "ok"]
    clocks = [e for e in mine if e[2] == "CLOCK"]
    if not frames:
        problems.append(f"{port}: the device was never probed")
    if not sends:
        problems.append(f"{port}: the device never answered (not identified)")
    if not clocks:
        problems.append(f"{port}: the device's clock was never set")
    sets = [e for e in frames if re.match(time_command, e[5] if len(e) > 5 else "")]
    if not sets:
        problems.append(f"{port}: no time-set command {time_command!r} reached the device")
    for e in sets:
        ms = float(e[4])
        if not ms < 100.0:
            problems.append(f"{port}: {e[5]!r} arrived {ms} ms after the second")
    for e in clocks:
        offset = abs(float(e[5]))
        if offset > 1500.0:
            problems.append(f"{port}: the device was set {offset} ms away from the PC clock")
    return len(sets)


def read_registry(path):
    values = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"\s+(.+?)\s+(REG_\w+)\s+(.*)$", line.rstrip("\r\n"))
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
    return values


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", required=True)
    parser.add_argument("--registry", required=True)
    args = parser.parse_args()
    problems = []
    events = read_log(args.log)
    local = check_device(events, "COM3", r"PT\d{6}$", problems)
    utc = check_device(events, "COM7", r"T\d{12}U\?W$", problems)

    values = read_registry(args.registry)
    for name, text in EXPECTED_VALUES.items():
        if values.get(name) != ("REG_SZ", text):
            problems.append(f"registry {name!r} is {values.get(name)}, expected REG_SZ {text!r}")
    for name in ("LastX", "LastY"):
        kind, text = values.get(name, (None, ""))
        if kind != "REG_SZ" or not re.fullmatch(r"-?\d+(\.\d+)?", text):
            problems.append(f"registry {name!r} is {values.get(name)}, expected a REG_SZ number")

    for p in problems:
        print("e2e:", p, file=sys.stderr)
    if problems:
        return 1
    print(f"e2e: COM3 set {local}x (local time), COM7 set {utc}x (UTC); registry holds "
          f"{', '.join(sorted(values))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
