# What the command line's script tests share: a check that says what it saw, and a wait
# that polls a condition for a while (these tests watch real processes).
import time

FAILED = []


def check(what, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok else f"\n    {detail}"))
    FAILED.extend([] if ok else [what])


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while not predicate() and time.monotonic() < end:
        time.sleep(0.05)
    return predicate()
