#!/usr/bin/env python3
"""Mutation testing of the core: how many small faults do the core and simulation tests catch?

Each mutant is one small change to one file of core/ (the .cpp and .h files):

  relational   <  <=  >  >=  (to the boundary: < becomes <=, <= becomes <, ...), == and !=
               (to each other)
  arithmetic   binary + - * / % (+ and - swapped, * and / swapped, % becomes *), += -= *= /=,
               ++ and -- swapped
  constant     an integer literal plus 1 and minus 1
  boolean      true and false swapped
  logical      && and || swapped
  call         a statement that is only a call (foo(...); a.b(...); x->y(...).z(...);)
               deleted (it becomes an empty statement)
  string       a string literal's last character replaced by '#' (by '@' if it was '#');
               an empty literal becomes "#"

Each mutant is compiled into its own copy of the tree, the two test programs
(horalign_core_tests, horalign_sim_tests) are linked, and they run directly with a time
limit. A failing test, a crash or a timeout kills the mutant; a mutant that does not build is
counted apart and left out of the score, and so is a mutant whose test programs come out
byte for byte the same as the unmutated ones (the compiler made the change vanish: it is
equivalent by construction). Survivors judged equivalent by hand are listed in
scripts/mutation-equivalent.txt with the reason; they stay in the report, marked so, and are
left out of the score.

The choice of places is conservative: only code is mutated, never comments, preprocessor
lines (#include, #pragma, #define), assert and static_assert statements, or logging
statements. Operators are recognised only where clang-format spaces them as binary
operators ("a < b", never "std::vector<int>" or "Foo* p"), so template brackets, pointers,
references and unary minus stay alone. A call statement is deleted only inside a function
body, and never a declaration. Case labels, template arguments and the "= 0" of pure virtual
functions keep their numbers. A few mutants may still not compile; they are counted as "not
built".

Your working tree is never modified: the sources are copied into the build directory
(build-mutate/ by default; one copy and one CMake build per job, configured with
-DHORALIGN_GUI=OFF at -O1), each mutant is written into the copy, and the copy's file is
restored afterwards (in a finally block, also on Ctrl+C, and checked by its SHA-256). Each
run first brings the copies back in line with the working tree. ccache is used when
installed, so a second run over the same mutants compiles almost nothing.

By default a fixed sample of the mutants runs (--sample, --seed): each mutant's rank is a
hash of the seed, its file, its line's text and its change, so the sample stays the same
while unrelated code moves. --sample 0 runs every mutant. --files narrows the sample to some
files (the same mutants that a full run would pick there); add --sample 0 for all of them.

The report (docs/mutation.md by default) gives the score per file and in all, and every
survivor with its file:line, the original and the mutated line, in the form that
scripts/mutation-equivalent.txt takes.
"""

from __future__ import annotations

import argparse
import dataclasses
import glob
import hashlib
import json
import os
import queue
import re
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
TEST_PROGRAMS = ("horalign_core_tests", "horalign_sim_tests")
# What configuring needs of the tree (gui/, winui/, fuzz/ are left out; only the two test
# programs are built).
MIRRORED = ("CMakeLists.txt", "cmake", "core", "sim", "platform/posix", "cli", "bench", "packaging",
            "tests")
DEFAULT_SAMPLE = 400
DEFAULT_SEED = 1

# ----------------------------------------------------------------------------------------------
# Reading C++: a mask of the text in which comments are blanks and the insides of string and
# character literals are underscores, so that operators and names are found only in code.


def lex(text: str) -> tuple[str, str, list[tuple[int, int, bool]]]:
    """Returns the mask (same length as text, newlines kept), the text without its comments,
    and the string literals as (start of the opening quote, end after the closing quote, raw)."""
    out = list(text)
    code = list(text)
    strings: list[tuple[int, int, bool]] = []
    n = len(text)

    def blank(a: int, b: int, ch: str) -> None:
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = ch
                if ch == " ":
                    code[k] = ch

    i = 0
    while i < n:
        c = text[i]
        nxt = text[i + 1] if i + 1 < n else ""
        if c == "/" and nxt == "/":
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j, " ")
            i = j
        elif c == "/" and nxt == "*":
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j, " ")
            i = j
        elif c == '"' and i > 0 and text[i - 1] == "R":
            m = re.compile(r'"([^()\\\s]{0,16})\(').match(text, i)
            if not m:
                i += 1
                continue
            end = text.find(")" + m.group(1) + '"', m.end())
            end = n if end < 0 else end + len(m.group(1)) + 2
            blank(i + 1, end - 1, "_")
            strings.append((i, end, True))
            i = end
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum() and nxt.isalnum():
                i += 1  # a digit separator: 1'000
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j, n - 1)
            blank(i + 1, j, "_")
            if c == '"':
                strings.append((i, j + 1, False))
            i = j + 1
        else:
            i += 1
    return "".join(out), "".join(code), strings


def matching_close(mask: str, pos: int) -> int:
    """Index just past the bracket that closes the one at pos, or -1."""
    depth = 0
    for k in range(pos, len(mask)):
        ch = mask[k]
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
            if depth == 0:
                return k + 1
    return -1


KEYWORDS = set(
    """alignas alignof and asm auto bool break case catch char class co_await co_return co_yield
    concept const consteval constexpr constinit const_cast continue decltype default delete do
    double dynamic_cast else enum explicit export extern false float for friend goto if inline int
    long mutable namespace new noexcept not operator or private protected public register
    reinterpret_cast requires return short signed sizeof static static_assert static_cast struct
    switch template this thread_local throw true try typedef typeid typename union unsigned using
    virtual void volatile wchar_t while assert""".split()
)

# ----------------------------------------------------------------------------------------------
# Mutants


@dataclasses.dataclass
class Mutant:
    file: str  # relative to the repository, with forward slashes
    line: int  # 1-based line of the change's start
    kind: str
    start: int  # offsets into the file's text
    end: int
    repl: str
    change: str  # e.g. "== -> !=", with " #2" when the same change occurs twice on the line
    text: str  # the original line, whitespace collapsed
    new_text: str  # the mutated line, whitespace collapsed
    lines: int = 1  # lines the change spans

    @property
    def key(self) -> tuple[str, str, str]:
        return (self.file, self.text, self.change)

    def rank(self, seed: int) -> str:
        key = f"{seed}\0{self.file}\0{self.text}\0{self.change}"
        return hashlib.sha256(key.encode()).hexdigest()


def squash(s: str) -> str:
    return " ".join(s.split())


REL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
ARITH = {"+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "+=": "-=", "-=": "+=", "*=": "/=",
         "/=": "*="}
LOGIC = {"&&": "||", "||": "&&"}
# Binary operators as clang-format writes them: whitespace (or a line break) on both sides.
SPACED = re.compile(r"(?<!\S)(<=|>=|==|!=|<|>|\+=|-=|\*=|/=|\+|-|\*|/|%|&&|\|\|)(?!\S)")
INCDEC = re.compile(r"\+\+|--")
BOOLS = re.compile(r"\b(true|false)\b")
INTEGER = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'(])")
CASE = re.compile(r"\bcase\s+$")
PURE = re.compile(r"\)\s*(?:const\s*)?(?:override\s*)?(?:final\s*)?=\s*$")
CALL_HEAD = re.compile(r"(?:::)?([A-Za-z_]\w*)(?:\s*(?:::|\.|->)\s*~?[A-Za-z_]\w*)*\s*\(")
CHAIN = re.compile(r"\s*(?:\.|->)\s*[A-Za-z_]\w*\s*\(")
DECL_PARAM = re.compile(r"[A-Za-z_]\w*[&*]*\s+[&*]*[A-Za-z_]\w*")
BLOCK_OPENER = re.compile(r"[)\]]\s*$|\b(else|do|try)\s*$|^\s*$")
INIT_OPENER = re.compile(r"[=,({]\s*$")
TYPE_OR_NAMESPACE = re.compile(r"\b(namespace|class|struct|union|enum)\b")
FUNCTION_BODY = re.compile(r"\)\s*(const|override|final|noexcept|mutable|\s)*(->\s*[\w:<>]+\s*)?$")
SKIP_STMT = re.compile(r"\b(?:static_assert|assert)\s*\(")
LOGGING = re.compile(r"\bstd::(?:cerr|clog)\b|\bf?printf\s*\(\s*stderr")


class Source:
    """One file, read and masked, with the lines that are never mutated."""

    def __init__(self, rel: str, text: str):
        self.rel = rel
        self.text = text
        self.mask, self.code, self.strings = lex(text)
        self.line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
        self.skip = self._skip_lines()
        self._braces = self._brace_kinds()

    def line_of(self, pos: int) -> int:
        lo, hi = 0, len(self.line_starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if self.line_starts[mid] <= pos:
                lo = mid
            else:
                hi = mid - 1
        return lo + 1

    def line_text(self, line: int, text: str | None = None) -> str:
        t = self.text if text is None else text
        a = self.line_starts[line - 1]
        b = t.find("\n", a)
        return t[a : (len(t) if b < 0 else b)]

    def _skip_lines(self) -> set[int]:
        skip: set[int] = set()
        lines = self.mask.split("\n")
        cont = False
        for no, ln in enumerate(lines, 1):
            if cont or ln.lstrip().startswith("#"):
                skip.add(no)
                cont = ln.rstrip().endswith("\\")
        for rx in (SKIP_STMT, LOGGING):
            for m in rx.finditer(self.mask):
                end = self.mask.find(";", m.end())
                end = len(self.mask) if end < 0 else end
                skip.update(range(self.line_of(m.start()), self.line_of(end) + 1))
        return skip

    def _brace_kinds(self) -> list[tuple[int, str]]:
        """For each brace, its offset and the kind of scope open after it: 'code' inside a
        function body, 'decl' in a namespace, class or enum, 'init' in a braced initializer."""
        result: list[tuple[int, str]] = []
        stack: list[str] = []
        last_stop = 0
        for k, ch in enumerate(self.mask):
            if ch == "{":
                before = self.mask[last_stop:k]  # since the last ';', '{' or '}'
                inside = stack[-1] if stack else "decl"
                if inside != "decl" and not BLOCK_OPENER.search(before):
                    kind = "init" if INIT_OPENER.search(before) or before.rstrip()[-1:].isalnum() \
                        else "code"
                elif TYPE_OR_NAMESPACE.search(before) and "(" not in before:
                    kind = "decl"
                elif INIT_OPENER.search(before):
                    kind = "init"
                elif inside == "code" or FUNCTION_BODY.search(before):
                    kind = "code"
                else:
                    kind = "decl"
                stack.append(kind)
                result.append((k, stack[-1]))
                last_stop = k + 1
            elif ch == "}":
                if stack:
                    stack.pop()
                result.append((k, stack[-1] if stack else "decl"))
                last_stop = k + 1
            elif ch == ";":
                last_stop = k + 1
        return result

    def scope_at(self, pos: int) -> str:
        kind = "decl"
        lo, hi = 0, len(self._braces)
        while lo < hi:
            mid = (lo + hi) // 2
            if self._braces[mid][0] < pos:
                lo = mid + 1
            else:
                hi = mid
        if lo:
            kind = self._braces[lo - 1][1]
        return kind


def call_statement(src: Source, pos: int) -> int:
    """End (after the ';') of a statement at pos that is only a call, or -1."""
    mask = src.mask
    m = CALL_HEAD.match(mask, pos)
    if not m or m.group(1) in KEYWORDS:
        return -1
    k = m.end() - 1
    while True:
        close = matching_close(mask, k)
        if close < 0:
            return -1
        inner = mask[k + 1 : close - 1]
        depth, flat = 0, []
        for ch in inner:
            if ch in "([{":
                depth += 1
            elif ch in ")]}":
                depth -= 1
            elif depth == 0:
                flat.append(ch)
                continue
            flat.append(" ")
        for d in DECL_PARAM.finditer("".join(flat)):
            words = re.findall(r"[A-Za-z_]\w*", d.group(0))
            if not any(w in ("new", "sizeof", "return") for w in words):
                return -1  # a parameter list: this is a declaration
        j = close
        while j < len(mask) and mask[j] in " \t\n":
            j += 1
        if j < len(mask) and mask[j] == ";":
            return j + 1
        c = CHAIN.match(mask, close)
        if not c:
            return -1
        k = c.end() - 1


def begins_statement(mask: str, p: int) -> bool:
    """Whether the code before p ends a statement or opens a block (so p is not the
    continuation of an expression from the line before)."""
    q = p - 1
    while q >= 0 and mask[q] in " \t\n":
        q -= 1
    if q < 0 or mask[q] in ";{}":
        return True
    if mask[q] == ":" and (q == 0 or mask[q - 1] != ":"):
        return True  # after a label or "case x:"
    if re.search(r"\belse$", mask[max(0, q - 4) : q + 1]):
        return True
    if mask[q] == ")":
        depth = 0
        for k in range(q, -1, -1):
            if mask[k] == ")":
                depth += 1
            elif mask[k] == "(":
                depth -= 1
                if depth == 0:
                    return bool(re.search(r"\bif\s*$", mask[max(0, k - 8) : k]))
    return False


def statement_starts(src: Source) -> list[int]:
    """Offsets where a statement may start: a line's first character, or after 'if (...)' or
    'else' that begin the line."""
    starts = []
    for no, a in enumerate(src.line_starts, 1):
        if no in src.skip:
            continue
        b = src.mask.find("\n", a)
        b = len(src.mask) if b < 0 else b
        seg = src.mask[a:b]
        first = len(seg) - len(seg.lstrip())
        if first == len(seg):
            continue
        p = a + first
        if begins_statement(src.mask, p):
            starts.append(p)
        m = re.compile(r"(?:\}\s*)?else\s+(?!if\b)").match(src.mask, p)
        if m:
            starts.append(m.end())
        m = re.compile(r"(?:\}\s*else\s+)?if\s*\(").match(src.mask, p)
        if m:
            close = matching_close(src.mask, m.end() - 1)
            if 0 < close <= b:
                q = close
                while q < b and src.mask[q] == " ":
                    q += 1
                if q < b:
                    starts.append(q)
    return starts


def last_char_changed(literal: str) -> str:
    """The literal (with its quotes) with its last character replaced."""
    body = literal[1:-1]
    units = re.findall(r"\\(?:x[0-9a-fA-F]+|[0-7]{1,3}|.)|.", body, re.S)
    if not units:
        return '"#"'
    units[-1] = "@" if units[-1] == "#" else "#"
    return '"' + "".join(units) + '"'


def mutants_of(src: Source) -> list[Mutant]:
    text, mask = src.text, src.mask
    found: list[tuple[int, int, str, str, str]] = []  # start, end, repl, kind, change

    for m in SPACED.finditer(mask):
        op = m.group(1)
        if op in REL:
            found.append((m.start(), m.end(), REL[op], "relational", f"{op} -> {REL[op]}"))
        elif op in LOGIC:
            found.append((m.start(), m.end(), LOGIC[op], "logical", f"{op} -> {LOGIC[op]}"))
        elif op == "+" and (mask[m.start() - 2 : m.start() - 1] == '"' or
                            mask[m.end() + 1 : m.end() + 2] == '"'):
            continue  # text joined to a literal: "-" would not compile
        else:
            found.append((m.start(), m.end(), ARITH[op], "arithmetic", f"{op} -> {ARITH[op]}"))
    for m in INCDEC.finditer(mask):
        new = "--" if m.group(0) == "++" else "++"
        found.append((m.start(), m.end(), new, "arithmetic", f"{m.group(0)} -> {new}"))
    for m in BOOLS.finditer(mask):
        new = "false" if m.group(1) == "true" else "true"
        found.append((m.start(), m.end(), new, "boolean", f"{m.group(1)} -> {new}"))
    for m in INTEGER.finditer(mask):
        digits, suffix = m.group(1), m.group(2)
        after = mask[m.end() : m.end() + 1]
        line_start = src.line_starts[src.line_of(m.start()) - 1]
        before = mask[line_start : m.start()]
        if after == ">" or PURE.search(before) or CASE.search(before):
            continue  # a template argument, "= 0" of a pure function, or a case label
        value = int(digits, 0)
        for delta in (1, -1):
            v = value + delta
            if digits.lower().startswith("0x"):
                new = ("-" if v < 0 else "") + hex(abs(v))
            else:
                new = str(v)
            new += suffix
            if v < 0:
                new = f"({new})"
            found.append((m.start(), m.end(), new, "constant", f"{digits}{suffix} -> {new}"))
    for a, b, raw in src.strings:
        if raw or text[a] != '"':
            continue
        lit = text[a:b]
        new = last_char_changed(lit)
        found.append((a, b, new, "string", f"{lit} -> {new}"))
    for p in statement_starts(src):
        if src.scope_at(p) != "code":
            continue
        end = call_statement(src, p)
        if end < 0:
            continue
        span = text[p:end]
        found.append((p, end, ";" + "\n" * span.count("\n"), "call", "delete call"))

    mutants: list[Mutant] = []
    seen: dict[tuple[int, str], int] = {}
    for start, end, repl, kind, change in sorted(found):
        first, last = src.line_of(start), src.line_of(max(start, end - 1))
        if any(n in src.skip for n in range(first, last + 1)):
            continue
        count = seen.get((first, change), 0) + 1
        seen[(first, change)] = count
        if count > 1:
            change = f"{change} #{count}"
        # Shown and matched without comments, so that editing a comment keeps the key.
        new_full = src.code[:start] + repl + src.code[end:]
        original = squash(src.line_text(first, src.code))
        mutated = squash(src.line_text(first, new_full))
        if last > first:
            original += " ..."
        mutants.append(Mutant(src.rel, first, kind, start, end, repl, change, original, mutated,
                              last - first + 1))
    return mutants


# ----------------------------------------------------------------------------------------------
# Survivors judged equivalent


@dataclasses.dataclass
class Equivalent:
    file: str
    text: str
    change: str
    why: str


def read_equivalents(path: Path) -> list[Equivalent]:
    """Entries of 'file:', 'line:', 'change:' and 'why:' lines, separated by blank lines."""
    if not path.exists():
        return []
    entries, cur = [], {}

    def flush() -> None:
        if cur:
            missing = {"file", "line", "change", "why"} - cur.keys()
            if missing:
                sys.exit(f"{path}: an entry lacks {', '.join(sorted(missing))}: {cur}")
            entries.append(Equivalent(cur["file"], squash(cur["line"]), cur["change"].strip(),
                                      cur["why"].strip()))
            cur.clear()

    for raw in path.read_text().splitlines():
        if raw.startswith("#"):
            continue
        if not raw.strip():
            flush()
            continue
        key, sep, value = raw.partition(":")
        key = key.strip()
        if sep and key in ("file", "line", "change", "why"):
            cur[key] = value.strip()
        elif cur.get("why") is not None and raw.startswith((" ", "\t")):
            cur["why"] += " " + raw.strip()
        else:
            sys.exit(f"{path}: cannot read: {raw!r}")
    flush()
    return entries


# ----------------------------------------------------------------------------------------------
# Running


class Stop(Exception):
    pass


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


class Worker:
    """One copy of the tree with its own CMake build; mutants run here one at a time."""

    def __init__(self, idx: int, root: Path, build_jobs: int, env: dict[str, str]):
        self.idx = idx
        self.root = root
        self.src = root / "src"
        self.build = root / "build"
        self.build_jobs = build_jobs
        self.env = dict(env)
        self.test_env = dict(env)
        for name in ("XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"):
            d = root / name.lower()
            d.mkdir(parents=True, exist_ok=True)
            os.chmod(d, 0o700)
            self.test_env[name] = str(d)
        self.proc: subprocess.Popen | None = None
        self.baseline_hashes: dict[str, str] = {}
        self.baseline_seconds: dict[str, float] = {}
        self.killers: dict[str, list[tuple[str, str]]] = {}
        self.last_mtime = 0
        self.lock = threading.Lock()
        self.stopping = False

    # The copy of the tree ------------------------------------------------------------------

    def sync(self) -> None:
        """Makes the copy equal to the working tree, touching only files that differ."""
        wanted: set[Path] = set()
        for item in MIRRORED:
            srcp = REPO / item
            if srcp.is_file():
                files = [srcp]
            else:
                files = [p for p in srcp.rglob("*") if p.is_file()]
            for f in files:
                rel = f.relative_to(REPO)
                dst = self.src / rel
                wanted.add(dst)
                data = f.read_bytes()
                if not dst.exists() or dst.read_bytes() != data:
                    dst.parent.mkdir(parents=True, exist_ok=True)
                    dst.write_bytes(data)
                    self.touch(dst)
        if self.src.exists():
            for f in self.src.rglob("*"):
                if f.is_file() and f not in wanted:
                    f.unlink()

    def touch(self, path: Path) -> None:
        # A strictly newer time than anything written before, so Ninja always sees the change.
        t = max(time.time_ns(), self.last_mtime + 1_000_000)
        self.last_mtime = t
        os.utime(path, ns=(t, t))

    # Processes -------------------------------------------------------------------------------

    def run(self, args: list[str], timeout: float, log: Path, cwd: Path | None = None,
            env: dict[str, str] | None = None) -> tuple[int | None, float]:
        """Runs a process in its own session; returns (exit code or None on timeout, seconds)."""
        with open(log, "wb") as out:
            with self.lock:
                if self.stopping:
                    raise Stop()
                self.proc = subprocess.Popen(args, cwd=cwd, env=env or self.env, stdout=out,
                                             stderr=subprocess.STDOUT, start_new_session=True)
            t0 = time.monotonic()
            try:
                rc = self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
                self.proc.wait()
                rc = None
            except BaseException:  # Ctrl+C while the main thread waits here
                self.kill(gently=True)
                raise
            finally:
                secs = time.monotonic() - t0
                with self.lock:
                    self.proc = None
        if self.stopping:
            raise Stop()
        return rc, secs

    def kill(self, gently: bool = False) -> None:
        p = self.proc
        if p is None or p.poll() is not None:
            return
        try:
            if gently:
                # Ninja runs each compiler in a process group of its own and ends them on
                # SIGTERM; killing Ninja outright would leave them running.
                os.killpg(p.pid, signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                    return
                except subprocess.TimeoutExpired:
                    pass
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def stop(self) -> None:
        with self.lock:
            self.stopping = True
            self.kill(gently=True)

    # Build -----------------------------------------------------------------------------------

    def configure(self) -> None:
        args = ["cmake", "-S", str(self.src), "-B", str(self.build), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O1", "-DHORALIGN_GUI=OFF",
                "-DHORALIGN_WERROR=OFF", "-DHORALIGN_SANITIZE=OFF", "-DHORALIGN_FUZZ=OFF",
                "-DHORALIGN_TESTS=ON", "-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST"]
        if shutil.which("ccache"):
            args.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        self.build.mkdir(parents=True, exist_ok=True)
        rc, _ = self.run(args, 600, self.root / "configure.log")
        if rc != 0:
            raise RuntimeError(f"configuring failed; see {self.root / 'configure.log'}")

    def ninja(self, jobs: int) -> tuple[bool, str]:
        log = self.root / "build.log"
        rc, _ = self.run(["ninja", "-C", str(self.build), f"-j{jobs}", *TEST_PROGRAMS], 1800, log)
        return rc == 0, log.read_text(errors="replace")

    def binaries(self) -> dict[str, Path]:
        return {name: self.build / "tests" / name for name in TEST_PROGRAMS}

    def prepare(self, jobs: int) -> None:
        self.sync()
        if not (self.build / "build.ninja").exists():
            self.configure()
        ok, out = self.ninja(jobs)
        if not ok:
            raise RuntimeError(f"the unmutated tree does not build; see {self.root / 'build.log'}")
        self.baseline_hashes = {n: sha256(p) for n, p in self.binaries().items()}
        for name, path in self.binaries().items():
            rc, secs = self.run([str(path), "--gtest_brief=1"], 1800, self.root / "test.log",
                                cwd=path.parent, env=self.test_env)
            if rc != 0:
                raise RuntimeError(f"{name} fails without any mutant; see {self.root / 'test.log'}")
            self.baseline_seconds[name] = secs

    def check_clean(self, rel: str, original: bytes) -> None:
        path = self.src / rel
        if sha256(path) != hashlib.sha256(original).hexdigest():
            raise RuntimeError(f"{path} differs from the working tree's file")

    # One mutant ------------------------------------------------------------------------------

    def try_mutant(self, m: Mutant, original: bytes, limits: dict[str, float]) -> dict:
        path = self.src / m.file
        self.check_clean(m.file, original)
        text = original.decode()
        mutated = text[: m.start] + m.repl + text[m.end :]
        t0 = time.monotonic()
        result: dict = {}
        try:
            path.write_bytes(mutated.encode())
            self.touch(path)
            ok, out = self.ninja(self.build_jobs)
            build_s = time.monotonic() - t0
            if not ok:
                err = next((ln.strip() for ln in out.splitlines() if "error" in ln), "")
                return {"outcome": "not built", "detail": err[:200], "build_s": build_s}
            self.check_rebuilt(m, out)
            hashes = {n: sha256(p) for n, p in self.binaries().items()}
            if hashes == self.baseline_hashes:
                return {"outcome": "same code", "detail": "", "build_s": build_s}
            outcome, detail = self.run_tests(m, limits)
            result = {"outcome": outcome, "detail": detail, "build_s": build_s,
                      "test_s": time.monotonic() - t0 - build_s}
            return result
        finally:
            path.write_bytes(original)
            self.touch(path)
            self.check_clean(m.file, original)

    def check_rebuilt(self, m: Mutant, out: str) -> None:
        compiled = re.findall(r"Building CXX object (\S+)", out)
        if m.file.endswith(".cpp"):
            obj = "/" + m.file.removeprefix("core/") + ".o"
            rebuilt = any(c.endswith(obj) and "horalign_core.dir" in c for c in compiled)
        else:
            rebuilt = bool(compiled)
        linked = any(f"Linking CXX executable tests/{n}" in out for n in TEST_PROGRAMS)
        if not (rebuilt and linked):
            raise RuntimeError(f"{m.file}:{m.line}: the mutant was not rebuilt; see "
                               f"{self.root / 'build.log'}")

    def run_tests(self, m: Mutant, limits: dict[str, float]) -> tuple[str, str]:
        # Tests that killed earlier mutants of this file go first: most mutants die there.
        killers = self.killers.get(m.file, [])
        plan: list[tuple[str, list[str]]] = []
        for name in TEST_PROGRAMS:
            tests = [t for prog, t in killers if prog == name]
            if tests:
                plan.append((name, [f"--gtest_filter={':'.join(tests)}"]))
        plan += [(n, []) for n in TEST_PROGRAMS]
        for name, extra in plan:
            path = self.binaries()[name]
            log = self.root / "test.log"
            for limit in (limits[name], 3 * limits[name]):
                # A timeout is tried once more with a longer limit: the machine may be busy.
                rc, _ = self.run([str(path), "--gtest_brief=1", "--gtest_fail_fast", *extra],
                                 limit, log, cwd=path.parent, env=self.test_env)
                if rc is not None:
                    break
            if rc is None:
                return "killed", f"{name}: timed out ({limits[name]:.0f} s, then {limit:.0f} s)"
            if rc < 0:
                return "killed", f"{name}: crashed (signal {-rc})"
            if rc != 0:
                failed = re.findall(r"\[  FAILED  \] ([\w/.]+)", log.read_text(errors="replace"))
                if failed:
                    ks = self.killers.setdefault(m.file, [])
                    if (name, failed[0]) in ks:
                        ks.remove((name, failed[0]))
                    ks.insert(0, (name, failed[0]))
                    del ks[4:]
                return "killed", f"{name}: {failed[0] if failed else f'exit {rc}'}"
        return "survived", ""


def all_core_files() -> list[str]:
    files = sorted(glob.glob("core/**/*.cpp", root_dir=REPO, recursive=True) +
                   glob.glob("core/**/*.h", root_dir=REPO, recursive=True))
    return [f.replace(os.sep, "/") for f in files]


def select_files(patterns: list[str] | None) -> list[str]:
    core = all_core_files()
    if not patterns:
        return core
    chosen: set[str] = set()
    for pat in patterns:
        hits = {h.replace(os.sep, "/") for h in glob.glob(pat, root_dir=REPO, recursive=True)}
        rel_pat = os.path.relpath(os.path.abspath(pat), REPO) if os.path.isabs(pat) else pat
        hits |= {h.replace(os.sep, "/") for h in glob.glob(rel_pat, root_dir=REPO, recursive=True)}
        matched = hits & set(core)
        if not matched:
            sys.exit(f"--files {pat}: no core source matches")
        chosen |= matched
    return sorted(chosen)


def git(*args: str) -> str:
    try:
        return subprocess.run(["git", *args], cwd=REPO, capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def fmt_minutes(secs: float) -> str:
    return f"{int(secs // 60)} min {int(secs % 60):02d} s"


def code(s: str) -> str:
    s = s.replace("|", "\\|")
    return f"`` {s} ``" if "`" in s else f"`{s}`"


def write_report(path: Path, args, files: list[str], total_count: int, all_keys: set,
                 results: list[tuple[Mutant, dict]], equivalents: list[Equivalent],
                 limits: dict[str, float], timing: dict[str, float]) -> dict:
    eq_keys = {(e.file, e.text, e.change) for e in equivalents}
    per_file: dict[str, dict[str, int]] = {}
    counts = {"killed": 0, "survived": 0, "equivalent": 0, "same code": 0, "not built": 0}
    for m, r in results:
        c = per_file.setdefault(m.file, dict.fromkeys(counts, 0))
        c[r["outcome"]] += 1
        counts[r["outcome"]] += 1

    def score(c: dict[str, int]) -> str:
        den = c["killed"] + c["survived"]
        return f"{100.0 * c['killed'] / den:.1f} %" if den else "n/a"

    def shown(p: Path) -> str:
        return str(p.relative_to(REPO)) if p.is_relative_to(REPO) else str(p)

    head = git("rev-parse", "--short", "HEAD")
    dirty = " with uncommitted changes" if git("status", "--porcelain", "--", *MIRRORED) else ""
    sample = (f"a sample of {args.sample} of the core's {total_count} mutants (seed {args.seed})"
              if args.sample else f"every one of the core's {total_count} mutants")
    if args.files:
        sample += f", of those the ones in {' '.join(args.files)}"
    cmd = " ".join(["python3 scripts/mutate.py", *sys.argv[1:]])
    causes = {"failed": 0, "crashed": 0, "timed out": 0}
    for _, r in results:
        if r["outcome"] == "killed":
            d = r["detail"]
            cause = "timed out" if "timed out" in d else "crashed" if "crashed" in d else "failed"
            causes[cause] += 1
    L = [
        "# Mutation testing of the core",
        "",
        f"Written by `{cmd}` (see the README, \"Mutation testing\").",
        "",
        f"**Score: {counts['killed']} of {counts['killed'] + counts['survived']} mutants killed, "
        f"{score(counts)}** (killed / (killed + survived); mutants judged equivalent, mutants "
        "that compile to the same test programs and mutants that do not build are left out).",
        "",
        f"- Code: commit {head}{dirty}. Mutants: {sample}; {len(results)} ran.",
        f"- Outcomes: {counts['killed']} killed ({causes['failed']} by a failing test, "
        f"{causes['crashed']} by a crash, {causes['timed out']} by a timeout), "
        f"{counts['survived']} survived, {counts['equivalent']} judged equivalent "
        f"({shown(args.equivalent)}), {counts['same code']} compiled to the same test programs, "
        f"{counts['not built']} did not build.",
        f"- Tests: {', '.join(TEST_PROGRAMS)}, run directly, with time limits of "
        + " and ".join(f"{limits[n]:.0f} s" for n in TEST_PROGRAMS)
        + " (a timeout is tried once more with three times the limit).",
        f"- Run time: {fmt_minutes(timing['wall'])} with {args.jobs} job(s) on {os.cpu_count()} "
        f"CPUs, {fmt_minutes(timing['prepare'])} of it preparing the copies. The builds and tests "
        f"used {fmt_minutes(timing['cpu'])} of CPU time ({fmt_minutes(timing['cpu_mutants'])} for "
        "the mutants). Other builds may have shared the machine: the run time is rough, the CPU "
        "time steadier.",
        "",
        "## Score per file",
        "",
        "| File | Mutants | Killed | Survived | Equivalent | Same code | Not built | Score |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for f in sorted(per_file):
        c = per_file[f]
        L.append(f"| {f} | {sum(c.values())} | {c['killed']} | {c['survived']} | {c['equivalent']} "
                 f"| {c['same code']} | {c['not built']} | {score(c)} |")
    L.append(f"| **all** | {len(results)} | {counts['killed']} | {counts['survived']} | "
             f"{counts['equivalent']} | {counts['same code']} | {counts['not built']} | "
             f"**{score(counts)}** |")
    if len(files) > len(per_file):
        L += ["", "Files without a mutant in this run: "
              + ", ".join(f for f in files if f not in per_file) + "."]

    def section(title: str, outcome: str, note: str, with_why: bool = False) -> None:
        rows = [(m, r) for m, r in results if r["outcome"] == outcome]
        L.extend(["", f"## {title} ({len(rows)})", "", note])
        if not rows:
            return
        for f in sorted({m.file for m, _ in rows}):
            L.extend(["", f"### {f}", ""])
            if with_why:
                L.extend(["| Line | Change | Original | Why equivalent |", "|---:|---|---|---|"])
            else:
                L.extend(["| Line | Change | Original | Mutated |", "|---:|---|---|---|"])
            for m, r in sorted((x for x in rows if x[0].file == f),
                               key=lambda x: (x[0].line, x[0].start, x[0].change)):
                last = r.get("why", "").replace("|", "\\|") if with_why else code(m.new_text)
                L.append(f"| {m.line} | {code(m.change)} | {code(m.text)} | {last} |")

    section("Survivors", "survived",
            "Every test passed with these changes. A survivor judged equivalent goes into "
            f"`{shown(args.equivalent)}` as `file:`, `line:` (the Original column, without the "
            "table's backslashes), `change:` (the Change column) and `why:`.")
    section("Judged equivalent", "equivalent",
            "Survivors that no test can kill, with the reason; left out of the score.", True)
    section("Compiled to the same test programs", "same code",
            "The compiler made these changes vanish: both test programs came out byte for byte "
            "the same as without the change, so no test can tell. Left out of the score.")
    wrong = [m for m, r in results if r["outcome"] == "killed" and m.key in eq_keys]
    if wrong:
        L += ["", "## Judged equivalent, but killed", "",
              "A test tells these apart, so the entries in the equivalents file are wrong:", ""]
        L += [f"- {m.file}:{m.line} {code(m.change)} {code(m.text)}" for m in wrong]
    stale = [e for e in equivalents if (e.file, e.text, e.change) not in all_keys]
    if stale:
        L += ["", "## Entries of the equivalents file that match no mutant of the core", ""]
        L += [f"- {e.file}: {code(e.text)} {code(e.change)}" for e in stale]
    nb = [(m, r) for m, r in results if r["outcome"] == "not built"]
    L += ["", f"## Did not build ({len(nb)})", "",
          "Counted apart, not in the score."]
    if nb:
        L += ["", "| File:line | Change | Original |", "|---|---|---|"]
        for m, r in sorted(nb, key=lambda x: (x[0].file, x[0].line)):
            L.append(f"| {m.file}:{m.line} | {code(m.change)} | {code(m.text)} |")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(L) + "\n")
    return counts


def parse_args(argv: list[str]):
    p = argparse.ArgumentParser(
        prog="scripts/mutate.py",
        description=__doc__.split("\n\n")[0],
        epilog="\n\n".join(__doc__.split("\n\n")[1:]),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--files", nargs="+", metavar="GLOB",
                   help="only these core files (globs from the repository root, ** allowed)")
    p.add_argument("--sample", type=int, default=DEFAULT_SAMPLE, metavar="N",
                   help="run the N lowest-ranked mutants of the whole core (default "
                        f"{DEFAULT_SAMPLE}); 0 runs every mutant")
    p.add_argument("--seed", type=int, default=DEFAULT_SEED, metavar="S",
                   help=f"seed of the sample's ranking (default {DEFAULT_SEED})")
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1, metavar="J",
                   help="mutants built and tested at once, each in its own copy (default: CPUs)")
    p.add_argument("--equivalent", type=Path, default=Path("scripts/mutation-equivalent.txt"),
                   metavar="FILE", help="survivors judged equivalent (default %(default)s)")
    p.add_argument("--list", action="store_true", help="list the mutants and stop")
    p.add_argument("--report", type=Path, default=Path("docs/mutation.md"), metavar="FILE",
                   help="where the report goes (default %(default)s)")
    p.add_argument("--build-dir", type=Path, default=Path("build-mutate"), metavar="DIR",
                   help="copies of the tree and their builds (default %(default)s)")
    p.add_argument("--timeout-factor", type=float, default=3.0, metavar="F",
                   help="a test program's time limit: F times its unmutated run, at least 5 s "
                        "more than it (default 3); a timeout is tried again with 3 times that")
    args = p.parse_args(argv)
    # Default paths are the repository's; paths given are taken from the current directory.
    for name in ("equivalent", "report", "build_dir"):
        given = getattr(args, name)
        is_default = given == p.get_default(name)
        setattr(args, name, (REPO / given) if is_default else given.resolve())
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    files = select_files(args.files)
    everything: list[Mutant] = []
    originals: dict[str, bytes] = {}
    for rel in all_core_files():
        data = (REPO / rel).read_bytes()
        originals[rel] = data
        everything += mutants_of(Source(rel, data.decode()))
    if args.sample:
        ranked = sorted(everything, key=lambda m: (m.rank(args.seed), m.file, m.line))
        picked = ranked[: args.sample]
    else:
        picked = everything
    chosen = sorted((m for m in picked if m.file in files),
                    key=lambda m: (m.file, m.start, m.change))

    if args.list:
        for m in chosen:
            print(f"{m.file}:{m.line}\t{m.kind}\t{m.change}\t{m.text}")
        kinds: dict[str, int] = {}
        for m in chosen:
            kinds[m.kind] = kinds.get(m.kind, 0) + 1
        per_kind = ", ".join(f"{k} {v}" for k, v in sorted(kinds.items()))
        print(f"\n{len(chosen)} mutants ({per_kind}); {len(everything)} in the whole core",
              file=sys.stderr)
        return 0

    equivalents = read_equivalents(args.equivalent)
    eq_index = {(e.file, e.text, e.change): e for e in equivalents}

    env = dict(os.environ)
    env.setdefault("CCACHE_BASEDIR", str(REPO))
    jobs = max(1, min(args.jobs, len(chosen) or 1))
    args.jobs = jobs
    cpus = os.cpu_count() or 1
    workers = [Worker(i, args.build_dir / f"w{i}", max(1, cpus // jobs), env) for i in range(jobs)]

    stopping = threading.Event()

    def on_term(signum, frame):
        raise KeyboardInterrupt()

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    t_start = time.monotonic()
    t_run = t_start
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_start = ru.ru_utime + ru.ru_stime
    cpu_mutants = cpu_start
    results: list[tuple[Mutant, dict]] = []
    errors: list[BaseException] = []
    threads: list[threading.Thread] = []
    todo: queue.Queue[Mutant] = queue.Queue()
    for m in chosen:
        todo.put(m)
    done_lock = threading.Lock()

    def log(msg: str) -> None:
        print(msg, flush=True)

    try:
        for w in workers:
            log(f"preparing {w.root} (copy, configure, build, unmutated test run)")
            w.prepare(cpus)
        limits = {}
        for n in TEST_PROGRAMS:
            base = max(w.baseline_seconds[n] for w in workers)
            limits[n] = max(args.timeout_factor * base, base + 5.0)
        log(f"{len(chosen)} mutants, {jobs} job(s); time limits "
            + ", ".join(f"{n} {limits[n]:.0f} s" for n in TEST_PROGRAMS))

        t_run = time.monotonic()
        ru = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu_mutants = ru.ru_utime + ru.ru_stime

        def work(w: Worker) -> None:
            try:
                while not stopping.is_set():
                    try:
                        m = todo.get_nowait()
                    except queue.Empty:
                        return
                    r = w.try_mutant(m, originals[m.file], limits)
                    if r["outcome"] == "survived" and m.key in eq_index:
                        r["outcome"], r["why"] = "equivalent", eq_index[m.key].why
                    with done_lock:
                        results.append((m, r))
                        n = len(results)
                    elapsed = time.monotonic() - t_run
                    eta = elapsed / n * (len(chosen) - n)
                    log(f"[{n}/{len(chosen)} {fmt_minutes(elapsed)}, ~{fmt_minutes(eta)} to go] "
                        f"{m.file}:{m.line} {m.change}: "
                        f"{r['outcome']}{' (' + r['detail'] + ')' if r.get('detail') else ''}")
            except Stop:
                return
            except BaseException as e:  # noqa: BLE001 - reported by the main thread
                errors.append(e)
                stopping.set()

        threads = [threading.Thread(target=work, args=(w,), daemon=True) for w in workers]
        for t in threads:
            t.start()
        while any(t.is_alive() for t in threads):
            for t in threads:
                t.join(timeout=0.5)
    except KeyboardInterrupt:
        print("\ninterrupted: stopping the jobs and restoring the copies ...", file=sys.stderr)
        stopping.set()
        for w in workers:
            w.stop()
        while any(t.is_alive() for t in threads):
            try:
                for t in threads:
                    t.join()  # each job restores its file in its finally block
            except KeyboardInterrupt:
                continue
        for w in workers:
            for rel, data in originals.items():
                p = w.src / rel
                if p.exists() and p.read_bytes() != data:
                    p.write_bytes(data)
                    w.touch(p)
        return 130
    if errors:
        raise errors[0]
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_mutants = ru.ru_utime + ru.ru_stime - cpu_mutants

    # The copies must be whole again: the unmutated build gives the same programs as before.
    for w in workers:
        w.sync()
        ok, _ = w.ninja(cpus)
        if not ok or {n: sha256(p) for n, p in w.binaries().items()} != w.baseline_hashes:
            raise RuntimeError(f"{w.root}: after the run the unmutated build differs from before")

    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    timing = {"wall": time.monotonic() - t_start, "prepare": t_run - t_start,
              "cpu": ru.ru_utime + ru.ru_stime - cpu_start, "cpu_mutants": cpu_mutants}
    counts = write_report(args.report, args, files, len(everything), {m.key for m in everything},
                          results, equivalents, limits, timing)
    (args.build_dir / "last-run.json").write_text(json.dumps(
        [{"file": m.file, "line": m.line, "kind": m.kind, "change": m.change, "text": m.text,
          "mutated": m.new_text, **r} for m, r in results], indent=1))
    den = counts["killed"] + counts["survived"]
    log(f"score {counts['killed']}/{den} = {100.0 * counts['killed'] / den if den else 0:.1f} %; "
        f"{counts['survived']} survived, {counts['equivalent']} equivalent, {counts['same code']} "
        f"same code, {counts['not built']} not built; {fmt_minutes(timing['wall'])}; "
        f"report: {args.report}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
