#!/usr/bin/env python3
"""The core's UTF-8/UTF-16 codecs, its history lines and its CSV rows against Python's own
codecs, json and csv modules, over every code point and every short byte sequence.

Usage: reference_test.py PROBE [SEED]   (PROBE: the built reference_probe; SEED: the random
CSV fields' seed, drawn and printed when not given)"""

import codecs
import csv
import io
import json
import random
import subprocess
import sys

PROBE = sys.argv[1]
SEED = int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(1 << 31)
print(f"seed {SEED}", flush=True)
FAILURES = []


def ask(op, inputs):
    """The probe's answers (bytes, or None where it refused) to op on each input."""
    text = "".join(f"{op} {data.hex()}\n" for data in inputs)
    out = subprocess.run([PROBE], input=text, capture_output=True, text=True, check=True).stdout
    return [None if a == "-" else bytes.fromhex(a) for a in out.split("\n")[: len(inputs)]]


def expect(op, inputs, wanted):
    for data, got, want in zip(inputs, ask(op, inputs), wanted):
        if got != want:
            FAILURES.append(f"{op} {data[:40]!r}: got {got!r:.100} want {want!r:.100}")


def strict(b):
    try:
        return b.decode("utf-8")
    except UnicodeDecodeError:
        return None


# The history keeps a byte that is not UTF-8 as the letter of the same number, and reads on
# from the next byte.
codecs.register_error("latin1_bytes", lambda e: (chr(e.object[e.start]), e.start + 1))
SCALARS = "".join(chr(c) for c in range(0x110000) if not 0xD800 <= c < 0xE000)

# Every scalar value both ways in one text; every lone or misplaced surrogate refused.
expect("u16to8", [SCALARS.encode("utf-16-le")], [SCALARS.encode("utf-8")])
alone = [bytes([u & 0xFF, u >> 8]) for u in range(0xD800, 0xE000)] + [b"A", b"\0\xd8A\0"]
expect("u16to8", alone, [None] * len(alone))

# Every pair of bytes, and leads 0xE0..0xFF with any second byte and a few third and fourth
# ones (overlong forms, surrogates, past U+10FFFF, cut, stray continuation bytes).
seqs = [SCALARS.encode("utf-8")] + [bytes([a, b]) for a in range(256) for b in range(256)]
seqs += [bytes([a, b, c]) for a in range(0xE0, 0x100) for b in range(256)
         for c in (0x00, 0x7F, 0x80, 0xBF, 0xC0)]
seqs += [bytes([a, b, 0x80, d]) for a in range(0xF0, 0x100) for b in range(256)
         for d in (0x41, 0x80, 0xBF)]
decoded = [strict(b) for b in seqs]
expect("u8to16", seqs, [s and s.encode("utf-16-le") for s in decoded])
expect("isutf8", seqs, [b"0" if s is None else b"1" for s in decoded])

# A history line is JSON whatever its texts hold: json reads the text back (bytes that are not
# UTF-8 as Latin-1 letters), and so does the core.
texts = seqs[::7]
lines = ask("history", texts)
wanted = [t.decode("utf-8", errors="latin1_bytes") for t in texts]
for t, line, want in zip(texts, lines, wanted):
    if not line.endswith(b"\n") or json.loads(line)["model"] != want:
        FAILURES.append(f"history line of {t[:40]!r}: {line!r:.100}")
expect("model", [line[:-1] for line in lines], [w.encode("utf-8") for w in wanted])

# Escapes: every \uXXXX, and surrogate pairs; a lone surrogate makes the line unreadable.
empty = ask("history", [b""])[0][:-1]
units = [f"\\u{u:04x}" for u in range(0x10000)] + ["\\ud800\\u0041", "\\ud800x"]
units += [f"\\u{h:04X}\\u{lo:04x}" for h in range(0xD800, 0xDC00) for lo in (0xDC00, 0xDFFF)]
units += [f"\\u{h:04x}\\u{lo:04X}" for h in (0xD800, 0xDBFF) for lo in range(0xDC00, 0xE000)]
escaped = [json.loads(f'"{u}"') for u in units]
expect("model", [empty.replace(b'"model":""', f'"model":"{u}"'.encode()) for u in units],
       [None if any(0xD800 <= ord(c) < 0xE000 for c in s) else s.encode() for s in escaped])

# CSV: fields with commas, quotes, line feeds, carriage returns, read back by csv.
rng = random.Random(SEED)
alphabet = ["a", ",", '"', "\n", "\r", " ", "é", "\r\n"]
fields = [[f] * 3 for f in ["", "plain", "a,b", 'say "hi"', "1\n2", "1\r2", "1\r\n2", '"', "\n"]]
fields += [["".join(rng.choice(alphabet) for _ in range(rng.randrange(6))) for _ in range(3)]
           for _ in range(300)]
for f, row in zip(fields, ask("csv", ["\0".join(f).encode() for f in fields])):
    read = list(csv.reader(io.StringIO(row.decode(), newline="")))
    if not row.endswith(b"\r\n") or [[(r + [""] * 12)[i] for i in (2, 3, 7)] + [len(r)] for r in read] != [
            f + [12]]:
        FAILURES.append(f"CSV of {f!r}: {row!r} reads as {read!r}")

for f in FAILURES[:20]:
    print("FAILED:", f)
print(f"{'FAILED' if FAILURES else 'ok'}: {len(FAILURES)} mismatches (seed {SEED})")
sys.exit(1 if FAILURES else 0)
