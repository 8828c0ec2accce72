"""A run's journal: each mutant's result as it comes, so that a run cut short (a stop, a
crash, the end of a working day) can be carried on with --resume instead of started again."""

from __future__ import annotations

import hashlib
import json
from pathlib import Path

from .find import Mutant

# What a test's outcome cannot depend on: the reports and the tool's own sources.
NOT_FINGERPRINTED = ("docs/", "scripts/mutation/", "scripts/mutate.py")


def fingerprint(tree: dict[str, tuple[bytes, int]], settings: dict) -> str:
    """The files the mutants' builds and tests are made of, with the settings that change
    which mutants run or how they end."""
    h = hashlib.sha256(json.dumps(settings, sort_keys=True).encode())
    for rel in sorted(tree):
        if not rel.startswith(NOT_FINGERPRINTED):
            data, mode = tree[rel]
            h.update(f"{rel}\0{mode}\0{len(data)}\0".encode() + data)
    return h.hexdigest()


def where(m: Mutant) -> str:
    return f"{m.file}:{m.start}:{m.change}"


class Journal:
    """One line of JSON a mutant after a head line naming the run; appended as each ends."""

    def __init__(self, path: Path, head: dict, resume: bool):
        self.path = path
        self.done: dict[str, dict] = {}
        if resume:
            if not path.exists():
                raise SystemExit(f"--resume: no journal {path} (was the run made with this "
                                 "--seed and --build-dir?)")
            lines = path.read_text().splitlines()
            was = json.loads(lines[0]) if lines else {}
            if was.get("fingerprint") != head["fingerprint"]:
                raise SystemExit(
                    f"--resume: {path} was written from other sources or settings (commit "
                    f"{was.get('commit', '?')}, {was.get('settings')}); check that commit out "
                    "and give the same options, or run without --resume")
            for line in lines[1:]:
                try:
                    entry = json.loads(line)
                except json.JSONDecodeError:  # the last line of a run killed mid-write
                    continue
                self.done[entry.pop("at")] = entry
            # Written again whole, so that what is appended does not follow a cut line.
            path.write_text("".join(json.dumps(x) + "\n" for x in
                                    [was, *({"at": k, **r} for k, r in self.done.items())]))
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(json.dumps(head) + "\n")

    def add(self, m: Mutant, result: dict) -> None:
        with self.path.open("a") as f:
            f.write(json.dumps({"at": where(m), **result}) + "\n")
