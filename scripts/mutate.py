#!/usr/bin/env python3
"""Mutation testing: how many small faults do the tests catch? See scripts/mutation/."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from mutation.main import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
