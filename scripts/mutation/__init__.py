"""Mutation testing of the product: how many small faults do the tests catch?

Each mutant is one small change to one .cpp or .h file of the product (core/, service/,
control/, cli/, gui/, winui/, platform/):

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

Each mutant runs the tests that can see its file, and only those: CTest lists the tests and
their commands (the gtest programs, the Qt faces' QtTest programs, the Python and shell tests
of the command line, the service and the desktop, each naming the built programs it runs),
and Ninja tells which repository files each of those programs is built from (its inputs,
the programs it waits for, and the headers in the deps log). The mutant's copy rebuilds only
those programs; a gtest program runs directly with a time limit, any other test through
ctest. A failing test, a crash or a timeout kills the mutant. A mutant that does not build
is counted apart and left out of the score, and so is a mutant whose programs come out byte
for byte the same as the unmutated ones (the compiler made the change vanish: it is
equivalent by construction), and a mutant in a file that no test's programs are built from
("not covered": the Windows sources, which build only for Windows). Survivors judged
equivalent by hand are listed in scripts/mutation-equivalent.txt with the reason; they stay
in the report, marked so, and are left out of the score; an entry that matches no mutant is
warned about.

The choice of places is conservative: only code is mutated, never comments, preprocessor
lines (#include, #pragma, #define), assert and static_assert statements, or logging
statements. Operators are recognised only where clang-format spaces them as binary
operators ("a < b", never "std::vector<int>" or "Foo* p"), so template brackets, pointers,
references and unary minus stay alone. A call statement is deleted only inside a function
body, and never a declaration. Case labels, template arguments and the "= 0" of pure virtual
functions keep their numbers. A few mutants may still not compile; they are counted as "not
built".

Your working tree is never modified: its files (as git lists them) are copied into the build
directory (build-mutate/ by default; one copy and one CMake build per job, configured at -O1
with the Qt faces on), each mutant is written into the copy, and the copy's file is restored
afterwards (in a finally block, also on Ctrl+C, and checked by its SHA-256). Each run first
brings the copies back in line with the working tree. ccache is used when installed, so a
second run over the same mutants compiles almost nothing.

A sample of the mutants runs (--sample): each mutant's rank is a hash of the seed, its
file, its line's text and its change, so a seed picks the same mutants while unrelated code
moves. The seed is drawn from the OS unless --seed gives it; it is printed first and written
into the report, and --seed replays the run. --sample 0 runs every mutant. --files narrows
the sample to some files (the same mutants that a full run would pick there); add --sample 0
for all of them.

The report (docs/mutation.md by default) gives the seed, the sample, the files and the date,
the score per file and in all, the count not covered, and every survivor with its file:line,
the original and the mutated line, in the form that scripts/mutation-equivalent.txt takes.
The run goes in first; the runs already in the report stay below it (--keep).
"""

from __future__ import annotations

from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
DEFAULT_SAMPLE = 400
