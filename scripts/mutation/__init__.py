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

from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
TEST_PROGRAMS = ("horalign_core_tests", "horalign_sim_tests")
# What configuring needs of the tree (gui/, winui/, fuzz/ are left out; only the two test
# programs are built).
MIRRORED = ("CMakeLists.txt", "cmake", "core", "sim", "platform/posix", "cli", "bench", "packaging",
            "tests")
DEFAULT_SAMPLE = 400
DEFAULT_SEED = 1
