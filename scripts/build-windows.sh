#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64: the core, the Win32 adapters, the core and
# Win32 tests, horalign.exe and horalign-cli.exe, then packs dist/horalign-win64.zip
# (horalign.exe, horalign-cli.exe, help/, README-windows.txt) and the installer
# dist/horalign-<version>-x64.msi (wixl). Usage: scripts/build-windows.sh   (BUILD_DIR and JOBS may be set)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build-win}
jobs=${JOBS:-2}
toolchain=$root/cmake/mingw-w64-x86_64.cmake

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres wixl; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/deps.sh --windows" >&2; exit 1; }
done

# GoogleTest for Windows, built once from Debian's sources and installed into the build tree,
# where find_package(GTest) picks it up.
gtest_prefix=$build/googletest-install
if [[ ! -f $gtest_prefix/lib/cmake/GTest/GTestConfig.cmake ]]; then
  cmake -S /usr/src/googletest -B "$build/googletest" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$gtest_prefix" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$build/googletest" -j "$jobs"
  cmake --install "$build/googletest" >/dev/null
fi

# ccache, where there is one, shares the objects between worktrees (CCACHE_BASEDIR).
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# A unity build: the core's files share one compile per batch (the tests stay one by one).
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_UNITY_BUILD="${UNITY:-ON}" -DHORALIGN_WERROR=ON -DHORALIGN_GUI=OFF -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$jobs"

exe=$build/winui/horalign.exe
cli=$build/cli/horalign-cli.exe
for f in "$exe" "$cli"; do
  [[ -f $f ]] || { echo "$(basename "$f") was not built" >&2; exit 1; }
done

# The zip: the programs, the HTML help beside them, and the Windows notes.
stage=$build/dist/horalign
rm -rf "$stage" && mkdir -p "$stage/help" "$root/dist"
cp "$exe" "$cli" "$stage/"
if [[ -d $root/docs/help ]]; then
  cp -r "$root/docs/help/." "$stage/help/"
fi
if [[ -f $root/docs/windows.md ]]; then
  sed 's/$/\r/' "$root/docs/windows.md" > "$stage/README-windows.txt"
fi
rm -f "$root/dist/horalign-win64.zip"
(cd "$stage" && python3 -m zipfile -c "$root/dist/horalign-win64.zip" horalign.exe horalign-cli.exe help \
  $( [[ -f README-windows.txt ]] && echo README-windows.txt ))
msi=$(ls "$build"/horalign-*-x64.msi)
cp "$msi" "$root/dist/"
echo "built $root/dist/horalign-win64.zip and $root/dist/$(basename "$msi")"
