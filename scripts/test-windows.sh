#!/usr/bin/env bash
# Runs the Windows build under Wine: the core and simulation test suites, the Win32 adapter
# tests (a pseudo-terminal device behind COM5), an end-to-end run of horalign.exe under
# Xvfb against simulated devices on COM3 and COM7, the installer (install, horalign-cli.exe
# against the same devices, upgrade, uninstall), and the service the installer installs with
# SERVICE=1 (tests/win32/service_test.sh). Run scripts/build-windows.sh first.
# Environment: BUILD_DIR (the cross build, default build-win), DEVSIM (horalign-devsim;
# default build/sim/horalign-devsim, built into build-devsim when missing),
# SCREENSHOTS=DIR to keep the end-to-end screenshots.
# Usage: scripts/test-windows.sh [suites] [e2e] [msi] [service]   (all when none is named)
set -euo pipefail
stages=${*:-suites e2e msi service}
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build-win}
work=$build/wine-test
mkdir -p "$build"
rm -rf "$work" && mkdir -p "$work"

export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or Gecko installers in a test prefix
export WINEARCH=win64

pids=()
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# The device simulator is a Linux program (pseudo-terminals).
devsim=${DEVSIM:-$root/build/sim/horalign-devsim}
if [[ ! -x $devsim ]]; then
  cmake -S . -B build-devsim -G Ninja -DHORALIGN_GUI=OFF -DHORALIGN_TESTS=OFF >/dev/null
  cmake --build build-devsim -j "${JOBS:-2}" --target horalign-devsim >/dev/null
  devsim=$root/build-devsim/sim/horalign-devsim
fi

# A display of our own for the program's windows.
display=90
while [[ -e /tmp/.X${display}-lock || -e /tmp/.X11-unix/X${display} ]]; do ((display++)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=:$display

# The devices. Wine reaches each COM port through a link of ours, pointed at a terminal.
python3 tests/win32/serial_device.py --link "$work/com5" --ready "$work/com5.ready" &
pids+=($!)
"$devsim" --device com=3,letter=G,serial=30303 --device com=7,letter=W,serial=70707 \
  --log "$work/devsim.log" >"$work/devsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  [[ -s $work/com5.ready && $(grep -c '^COM' "$work/devsim.out" || true) -ge 2 ]] && break
  sleep 0.1
done
[[ -s $work/com5.ready ]] || { echo "the COM5 device did not start" >&2; exit 1; }
for com in 3 7; do
  tty=$(awk -v p="COM$com" '$1 == p { print $2 }' "$work/devsim.out")
  [[ -n $tty ]] || { echo "horalign-devsim did not serve COM$com" >&2; cat "$work/devsim.out" >&2; exit 1; }
  ln -sfn "$tty" "$work/com$com"
done

timeout 180 wineboot --init >"$work/wineboot.log" 2>&1
# Every COM number the program scans is mapped: three to our devices, the rest hidden, so no
# test reaches the machine's own serial ports. Windows drawn by Wine itself (no window
# manager here) carry their frames and titles.
{
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for n in $(seq 1 16); do
    case $n in
      3 | 5 | 7) printf '"COM%d"="%s"\n' "$n" "$work/com$n" ;;
      *) printf '"COM%d"=""\n' "$n" ;;
    esac
  done
  printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n'
} >"$work/setup.reg"
timeout 60 wine regedit /S "$work/setup.reg" >"$work/regedit.log" 2>&1
wineserver -k -w 2>/dev/null || wineserver -k || true

status=0
run_suite() {  # name, executable, extra environment
  local name=$1 exe=$2
  shift 2
  if env "$@" timeout 600 wine "$exe" >"$work/$name.log" 2>&1; then
    echo "$name: $(grep -E '^\[  PASSED  \]' "$work/$name.log" || echo passed)"
  else
    echo "$name: FAILED" >&2
    grep -E '^\[  FAILED  \]|Failure' "$work/$name.log" >&2 || tail -20 "$work/$name.log" >&2
    status=1
  fi
}
if [[ " $stages " == *" suites "* ]]; then
  run_suite core "$build/tests/horalign_core_tests.exe"
  run_suite sim "$build/tests/horalign_sim_tests.exe"
  run_suite service "$build/tests/horalign_service_tests.exe"
  run_suite win32 "$build/tests/horalign_win32_tests.exe" HORALIGN_TEST_COM=5
fi

if [[ " $stages " != *" e2e "* ]]; then
  :
elif E2E_DIR="$work/e2e" DEVSIM_LOG="$work/devsim.log" HORALIGN_EXE="$build/winui/horalign.exe" \
  timeout 300 tests/win32/e2e_windows.sh >"$work/e2e.log" 2>&1; then
  echo "end to end: $(tail -1 "$work/e2e.log")"
else
  echo "end to end: FAILED" >&2
  tail -20 "$work/e2e.log" >&2
  status=1
fi

msi=$(ls -t "$build"/horalign-*-x64.msi 2>/dev/null | head -1)  # the newest version
if [[ " $stages " != *" msi "* ]]; then
  :
elif [[ -z $msi ]]; then
  echo "installer: FAILED, no MSI in $build (is wixl installed?)" >&2
  status=1
elif MSI_DIR="$work/msi" HORALIGN_MSI="$msi" MSI_STAGE="$build/packaging/windows/stage" \
  timeout 300 tests/win32/msi_test.sh >"$work/msi.log" 2>&1; then
  echo "installer: $(tail -1 "$work/msi.log")"
else
  echo "installer: FAILED" >&2
  tail -20 "$work/msi.log" >&2
  status=1
fi
if [[ " $stages " != *" service "* ]]; then
  :
elif [[ -z $msi ]]; then
  echo "service: FAILED, no MSI in $build" >&2
  status=1
elif SERVICE_DIR="$work/service" HORALIGN_MSI="$msi" DEVSIM_LOG="$work/devsim.log" \
  SERVICE_PROBE="$build/tests/horalign_service_probe.exe" \
  timeout 300 tests/win32/service_test.sh >"$work/service.log" 2>&1; then
  echo "service: $(tail -1 "$work/service.log")"
else
  echo "service: FAILED" >&2
  tail -20 "$work/service.log" >&2
  status=1
fi
exit $status
