#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Horalign need, when missing.
# Usage: scripts/deps.sh [--windows]   (--windows adds the cross compiler, Wine and wixl)
set -euo pipefail

pkgs=(build-essential cmake ninja-build g++ clang libclang-rt-14-dev clang-format git
      libgtest-dev libgmock-dev googletest
      qt6-base-dev qt6-base-dev-tools qt6-charts-dev libqt6opengl6-dev libgl-dev
      xvfb xauth xdotool trayer openbox x11-utils x11-apps imagemagick fonts-dejavu-core
      procps util-linux tzdata
      dpkg-dev debhelper file lintian desktop-file-utils appstream librsvg2-bin
      pkg-config libsystemd-dev systemd dbus dbus-daemon python3-dbus python3-gi strace
      polkitd libpam-systemd nlohmann-json3-dev ccache)
# The time daemon the service feeds, for its end-to-end test (run there with -x only). On a
# machine that runs systemd its package starts the daemon, which then keeps the clock.
pkgs+=(chrony)
if [[ "${1:-}" == "--windows" ]]; then
  pkgs+=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 fonts-wine python3
        wixl msitools)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
