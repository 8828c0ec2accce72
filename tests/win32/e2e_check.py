#!/usr/bin/env python3
# Checks an end-to-end run of horalign.exe: e2e_check.py --log DEVSIM_LOG --registry REG_QUERY
# The devices on COM3 (local-time family) and COM7 (UTC family) must have been set with
# their family's command, each time-set command arriving less than 100 ms after a whole second
# and leaving the device within 1.5 s of the PC clock (its date too: the local-time device
# gets it after the time); the registry must hold the program's values as REG_SZ texts.
import re
import sys

options = dict(zip(sys.argv[1::2], sys.argv[2::2]))
with open(options["--log"], encoding="utf-8", errors="replace") as f:
    events = [line.rstrip("\n").split("\t") for line in f]
with open(options["--registry"], encoding="utf-8", errors="replace") as f:
    found = (re.match(r"\s+(.+?)\s+(REG_\w+)\s+(.*)$", line.rstrip("\r\n")) for line in f)
    values = {m[1]: (m[2], m[3]) for m in found if m}

problems, summary = [], []
for port, family, command in (("COM3", "local time", r"PT\d{6}$"),
                              ("COM7", "UTC", r"T\d{12}U\?W$")):
    mine = [e for e in events if len(e) >= 3 and e[1] == port]
    sets = [e for e in mine if e[2] == "FRAME" and len(e) > 5 and re.match(command, e[5])]
    # The family's own command goes only to a device the scan identified.
    checks = {"set": any(e[2] == "CLOCK" for e in mine), f"sent {command!r}": sets}
    problems += [f"{port}: never {what}" for what, ok in checks.items() if not ok]
    problems += [f"{port}: {e[5]!r} arrived {e[4]} ms after the second"
                 for e in sets if not float(e[4]) < 100.0]
    problems += [f"{port}: the device was set {e[5]} ms away from the PC clock"
                 for e in mine if e[2] == "CLOCK" and abs(float(e[5])) > 1500.0]
    summary.append(f"{port} set {len(sets)}x ({family})")

expected = {"Connection Mode": "1", "Used COM Ports": str((1 << 2) | (1 << 6)),
            "Update Interval": "75", "LastX": r"-?\d+(\.\d+)?", "LastY": r"-?\d+(\.\d+)?"}
for name, text in expected.items():
    kind, got = values.get(name, (None, ""))
    if kind != "REG_SZ" or not re.fullmatch(text, got):
        problems.append(f"registry {name!r} is {values.get(name)}, expected REG_SZ {text!r}")

for p in problems:
    print("e2e:", p, file=sys.stderr)
if problems:
    sys.exit(1)
print(f"e2e: {', '.join(summary)}; registry holds {', '.join(sorted(values))}")
