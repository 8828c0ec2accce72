#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks it: its control fields and
# maintainer scripts, its files, the desktop entry and metainfo validators, lintian, an install
# and a purge with dpkg in a scratch root, and the autostart switch run from that root.
# Usage: tests/packaging/package_test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
build=$(realpath "${1:-build}")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/horalign_${version}-1_amd64.deb
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -f "$deb"
(cd "$build" && cpack -G DEB >"$scratch/cpack.log") || { cat "$scratch/cpack.log"; fail "cpack"; }

# Control fields: the version, and libraries found by dpkg-shlibdeps beside the fixed ones.
[[ $(dpkg-deb -f "$deb" Version) == "${version}-1" ]] || fail "Version $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt6widgets6 libqt6charts6 libc6 libstdc++6 qt6-qpa-plugins systemd-sysusers; do
  [[ $depends == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done

# The maintainer scripts are debhelper's: dpkg runs postinst and postrm below (the user made,
# the unit's links noted and purged); the stop before a removal needs a running systemd.
control=$scratch/control
dpkg-deb -e "$deb" "$control"
grep -q 'deb-systemd-invoke stop' "$control/prerm" || fail "prerm does not stop the service"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
app=com.quorvane.Horalign
# The files read below (the desktop entry and metainfo, the bus policy, polkit's action, the
# simulator's manual page, the copyright file) are missing there if missing at all, and
# lintian fails without a changelog.
expected=(
  usr/bin/horalign usr/bin/horalign-devsim usr/bin/horalign-autostart usr/bin/horalign-cli
  usr/lib/systemd/system/horalign.service usr/share/man/man1/horalign-cli.1.gz
  usr/share/horalign/help/index.html usr/share/horalign/help/help.css
  usr/share/icons/hicolor/scalable/apps/horalign.svg
  usr/share/man/man1/horalign.1.gz usr/share/man/man1/horalign-autostart.1.gz
  usr/share/lintian/overrides/horalign
  usr/share/doc/horalign/examples/50-horalign.rules)
for f in "${expected[@]}"; do [[ -s $root/$f ]] || fail "missing $f"; done
# Each pixel icon is there, at its size.
for size in 16 32 48 256; do
  [[ $(identify -format %wx%h "$root/usr/share/icons/hicolor/${size}x${size}/apps/horalign.png") \
     == "${size}x${size}" ]] || fail "the ${size}px icon has another size"
done
# The scalable icon is the same drawing as the pixel ones.
if command -v rsvg-convert >/dev/null; then
  icons=$root/usr/share/icons/hicolor
  rsvg-convert -w 256 -h 256 "$icons/scalable/apps/horalign.svg" -o "$scratch/svg.png"
  rmse=$(compare -metric RMSE "$icons/256x256/apps/horalign.png" "$scratch/svg.png" null: 2>&1 |
         sed -n 's/.*(\(.*\))$/\1/p') || true
  awk -v e="$rmse" 'BEGIN { exit !(e != "" && e < 0.03) }' ||
    fail "the SVG icon differs from the 256 px one (RMSE $rmse)"
fi
# holds HOW TEXT FILE WHY: the installed file holds the text as a whole line (x) or in one (-).
holds() { grep -qF"${1/-/}" -- "$2" "$root/$3" || fail "$3 lacks $2: $4"; }
unit=usr/lib/systemd/system/horalign.service
policy=usr/share/polkit-1/actions/com.quorvane.horalign.policy
buspolicy=usr/share/dbus-1/system.d/com.quorvane.Horalign1.conf
# One licence, named alike in the copyright file and the metainfo, and no placeholder.
holds x 'License: MIT' usr/share/doc/horalign/copyright "the MIT licence"
grep -qi 'proprietary\|all rights reserved' "$root/usr/share/doc/horalign/copyright" &&
  fail "the copyright file still holds the placeholder licence"
holds - '<project_license>MIT</project_license>' "usr/share/metainfo/$app.metainfo.xml" "the MIT licence"
"$root/usr/bin/horalign" --version | grep -qx "Horalign (Version $version)" ||
  fail "the installed program does not start"
zcat "$root/usr/share/man/man1/horalign-devsim.1.gz" | grep -qF 'write\-ports' ||
  fail "the simulator's manual page lacks its options"

# The unit waits for the bus name the policy lets its user own; polkit knows the action
# the service asks about.
holds x BusName=com.quorvane.Horalign1 $unit "the unit names no bus"
holds - '<policy user="horalign">' $buspolicy "the service's user may own nothing"
holds - '<action id="com.quorvane.horalign.manage">' $policy "no polkit action"
# polkitd answers the service (user horalign) about other users' processes only as the owner.
holds - '<annotate key="org.freedesktop.policykit.owner">unix-user:horalign</annotate>' $policy \
  "the service's user cannot ask about its callers"
# A reload is a signal to the service, never a call on the bus, which polkit would decide.
# shellcheck disable=SC2016
holds x 'ExecReload=kill -HUP $MAINPID' $unit "the unit's reload is not a SIGHUP"
if command -v xmllint >/dev/null; then
  xmllint --noout "$root/$buspolicy" || fail "bus policy"
  xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$root/$policy" || fail "polkit action"
fi

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/$app.desktop" || fail "desktop entry"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$root/usr/share/metainfo/$app.metainfo.xml" || fail "metainfo"
fi
# lintian's errors include a program left unstripped and a maintainer script not executable.
if command -v lintian >/dev/null; then
  lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors"
else
  echo "lintian is not installed: not run" >&2
fi

# This Debian can satisfy the dependencies (a simulation: nothing is installed).
apt-get -s --no-install-recommends install "$deb" >"$scratch/apt.log" 2>&1 &&
  grep -q '^Inst horalign ' "$scratch/apt.log" || { cat "$scratch/apt.log"; fail "apt cannot install it"; }

# Install and remove with dpkg itself, in a root of its own (the dependencies were checked
# above: --force-depends), and check that nothing is left behind.
db=$scratch/dpkg
mkdir -p "$db/var/lib/dpkg/info" "$db/var/lib/dpkg/updates" "$db/var/log" "$db/etc"
touch "$db/var/lib/dpkg/status"
dpkg_root=(dpkg --root="$db" --force-depends --force-not-root --force-script-chrootless
           --log="$db/var/log/dpkg.log")
# debhelper's restart part asks only whether /run/systemd/system exists: on a machine that
# systemd runs, it would reach this machine's own service manager. Root hides it.
if [[ -d /run/systemd/system && $EUID -eq 0 ]]; then
  # shellcheck disable=SC2016
  dpkg_root=(unshare --mount --propagation private
             sh -c 'mount -t tmpfs horalign-test /run/systemd && exec "$@"' _ "${dpkg_root[@]}")
fi
"${dpkg_root[@]}" -i "$deb" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -i"; }
# The service's user, which the bus policy names; like every system user it stays after a
# purge (files may still belong to it).
grep -q '^horalign:x:[0-9]*:[0-9]*:.*:/var/lib/horalign:' "$db/etc/passwd" ||
  fail "no user horalign after dpkg -i"
grep -q '^dialout:.*horalign' "$db/etc/group" || fail "the user horalign is not in dialout"
# Installed, not enabled; but the links an enabling makes are noted, so that a purge finds them.
wants=etc/systemd/system/multi-user.target.wants/horalign.service
[[ ! -e $db/$wants ]] || fail "dpkg -i enabled the service"
dsh=var/lib/systemd/deb-systemd-helper-enabled/horalign.service.dsh-also
grep -qx "/$wants" "$db/$dsh" 2>/dev/null || fail "the unit's links are not noted for a purge"
# What an administrator and the service leave: the enabled unit, the settings in the state
# folder that systemd moved under private/ (DynamicUser=yes), a cache of the same kind.
mkdir -p "$(dirname "$db/$wants")" "$db/var/lib/private/horalign" "$db/var/cache/horalign"
ln -s /usr/lib/systemd/system/horalign.service "$db/$wants"
echo REGEDIT4 >"$db/var/lib/private/horalign/Horalign.reg"
ln -s private/horalign "$db/var/lib/horalign"
"${dpkg_root[@]}" --purge horalign >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg --purge"; }
for f in "$wants" "$dsh" var/lib/horalign var/lib/private/horalign var/cache/horalign; do
  [[ ! -e $db/$f && ! -L $db/$f ]] || fail "dpkg --purge left $f"
done
rm -f "$db"/etc/{passwd,group,shadow,gshadow}
rm -f "$db"/etc/.pwd.lock "$db"/etc/*-
rmdir "$db/etc/systemd/system" "$db/etc/systemd" "$db/etc" 2>/dev/null ||
  fail "left in etc: $(find "$db/etc" -mindepth 1)"
left=$(find "$db" -mindepth 1 -path "$db/var" -prune -o -print)
[[ -z $left ]] || fail "left after removal: $left"

# The autostart switch, run from the unpacked package with a home of its own.
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_DATA_DIRS=/nonexistent
autostart=$root/usr/bin/horalign-autostart
entry=$XDG_CONFIG_HOME/autostart/$app.desktop
[[ $("$autostart" status) == off ]] || fail "status: not off before anything was done"
"$autostart" on >/dev/null
cmp -s "$entry" "$root/usr/share/applications/$app.desktop" || fail "on: no copy of the entry"
[[ $("$autostart" status) == on ]] || fail "status after on"
"$autostart" off >/dev/null
[[ ! -e $entry ]] || fail "off left the entry"
"$autostart" sideways 2>/dev/null && fail "a wrong argument is accepted"
echo "package test passed: $(basename "$deb")"
