"""Finding the mutants: reading C++, the places to change, and the survivors judged equivalent."""

from __future__ import annotations

import dataclasses
import glob
import hashlib
import os
import re
import sys
from pathlib import Path

from . import REPO

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
        octal = len(digits) > 1 and digits.startswith("0") and digits[1].isdigit()
        value = int(digits, 8) if octal else int(digits, 0)
        for delta in (1, -1):
            v = value + delta
            if digits.lower().startswith("0x"):
                new = ("-" if v < 0 else "") + hex(abs(v))
            elif octal:  # file modes: 0700
                new = ("-" if v < 0 else "") + "0" + format(abs(v), "o")
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



# The product: the program, its service, control protocol, command line, faces and platforms.
PRODUCT = ("core", "service", "control", "cli", "gui", "winui", "platform")


def product_files() -> list[str]:
    files = sorted(f for d in PRODUCT for ext in ("cpp", "h")
                   for f in glob.glob(f"{d}/**/*.{ext}", root_dir=REPO, recursive=True))
    return [f.replace(os.sep, "/") for f in files]


def select_files(patterns: list[str] | None) -> list[str]:
    product = product_files()
    if not patterns:
        return product
    chosen: set[str] = set()
    for pat in patterns:
        hits = {h.replace(os.sep, "/") for h in glob.glob(pat, root_dir=REPO, recursive=True)}
        rel_pat = os.path.relpath(os.path.abspath(pat), REPO) if os.path.isabs(pat) else pat
        hits |= {h.replace(os.sep, "/") for h in glob.glob(rel_pat, root_dir=REPO, recursive=True)}
        matched = hits & set(product)
        if not matched:
            sys.exit(f"--files {pat}: no product source matches")
        chosen |= matched
    return sorted(chosen)
