#!/usr/bin/env bash
# Boots systemd on a throw-away copy of this machine, installs the package there (neither
# started nor enabled) and checks that `systemctl enable --now horalign` starts the service,
# which connects four simulated devices (and, given the minutes, sets them at its first update
# cycle), as the journal shows; then the administrator's path with the real polkitd, a reload,
# an upgrade, a removal and a purge (scripts/systemd-admin-check.sh, run inside the copy).
#
# Usage (as root):  scripts/systemd-check.sh [--minutes N] [--upgrade NEWER.deb] [PACKAGE.deb]
#   PACKAGE.deb  default: the one in build/ (built with cpack -G DEB when missing)
#   --upgrade    the package to upgrade to; default: PACKAGE.deb's build folder packaged again
#                with the next Debian release (cpack -D CPACK_DEBIAN_PACKAGE_RELEASE=N+1)
#   --minutes N  also wait up to N minutes for the first update cycle (the interval is 60
#                minutes at least, so N is 61 or more); default 0: connecting is checked
# It also checks that `systemctl reload horalign` and SIGHUP make the running service read
# its edited settings file without a restart (HORALIGN_CHECK_RELOAD=0 leaves that out).
#
# The machine is left alone: the root systemd sees is an overlay of / whose changes live in
# a tmpfs of a private mount namespace; systemd runs as PID 1 of its own PID, network, UTS,
# IPC and cgroup namespaces, inside a user namespace that maps the IDs 0-65535 onto
# themselves. Capabilities held there count in that namespace only: nothing inside can set
# this machine's clock (and the service in mode 1 only writes the devices anyway). The time
# synchronization service and the timers are masked in the copy all the same.
# Prints "SKIP: ..." and exits 0 where the machine cannot host it (no root, no systemd, no
# user namespaces, no overlay or cgroup2 there, or systemd does not boot in the copy); exits
# 1 when the package or its service fails the check.
set -euo pipefail

unit_masks=(systemd-timesyncd.service timers.target getty.target console-getty.service
  systemd-udevd.service systemd-udevd-control.socket systemd-udevd-kernel.socket
  systemd-modules-load.service systemd-pstore.service e2scrub_reap.service
  sys-kernel-debug.mount sys-kernel-tracing.mount)

# In a private mount namespace: the copy of the root (an overlay of / takes root outside a
# user namespace), then the other namespaces. $2 is a folder of files for the copy's /var/tmp.
copy_root() {
  local work=$1 root=$1/root
  mount -t tmpfs -o mode=700 horalign-check "$work"
  mkdir "$work/upper" "$work/work" "$root"
  mount -t overlay horalign-check -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$root"
  exec unshare --user --mount --propagation private --pid --fork --kill-child --net --uts \
    --ipc --cgroup "$0" --inside "$@"
}

# PID 1 of the new namespaces: mounts what systemd needs on the copy, then becomes systemd.
inside() {
  local root=$1/root files=$2
  read -r _ < "$3"  # the user namespace's ID maps are written
  # A mount of this namespace's own: one inherited from the outer namespace is locked, and
  # pivot_root does not take it.
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs -o ro sysfs "$root/sys"
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
  mount -t tmpfs -o mode=755,nosuid tmpfs "$root/dev"
  for node in null zero full random urandom tty; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
  done
  touch "$root/dev/console"
  mount --bind /dev/null "$root/dev/console"
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  ln -s /proc/self/fd "$root/dev/fd"
  mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
  mount -t tmpfs -o mode=755 tmpfs "$root/run"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  for unit in "${unit_masks[@]}"; do ln -sf /dev/null "$root/etc/systemd/system/$unit"; done
  # A container image's policy-rc.d forbids packages to start or stop services; a booted
  # Debian has none, and the package's scripts are to be seen doing it.
  rm -f "$root/usr/sbin/policy-rc.d"
  # Nobody reads the copy's manual pages: their index is not rebuilt at each dpkg run.
  rm -f "$root/var/lib/man-db/auto-update"
  cp "$files"/* "$root/var/tmp/"
  mkdir "$root/.old-root"
  cd "$root"
  pivot_root . .old-root
  umount -l /.old-root
  rmdir /.old-root
  exec env -i container=horalign-check /lib/systemd/systemd --unit=basic.target
}

case ${1:-} in
  --copy-root) copy_root "$2" "$3" "$4" ;;
  --inside) inside "$2" "$3" "$4" ;;
esac

skip() {
  echo "SKIP: systemd check: $*"
  exit 0
}
fail() {
  echo "FAIL: systemd check: $*" >&2
  exit 1
}

minutes=0
deb=
upgrade=
while (($#)); do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --upgrade) upgrade=$(realpath "$2"); shift 2 ;;
    *) deb=$1; shift ;;
  esac
done

self=$(realpath "$0")
cd "$(dirname "$0")/.."
[[ $EUID -eq 0 ]] || skip "needs root"
[[ -x /lib/systemd/systemd ]] || skip "systemd is not installed"
if [[ -d /run/systemd/system ]]; then
  skip "systemd already runs this machine: use systemctl here (or systemd-nspawn)"
fi
cgroup2=$(awk '$3 == "cgroup2" { print $2; exit }' /proc/self/mounts)
[[ -n $cgroup2 ]] || skip "no cgroup2 hierarchy is mounted"
unshare --user --map-root-user --mount true 2> /dev/null || skip "no user namespaces"
grep -qw overlay /proc/filesystems || modprobe overlay 2> /dev/null || skip "no overlayfs"
if [[ -z $deb ]]; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
  deb=build/horalign_${version}-1_amd64.deb
  [[ -f $deb ]] || (cd build && cpack -G DEB > /dev/null)
fi
[[ -f $deb ]] || fail "no package: $deb"
deb=$(realpath "$deb")

work=$(mktemp -d /tmp/horalign-systemd.XXXXXX)
own=$(sed -n 's/^0:://p' /proc/self/cgroup)
cgroup="$cgroup2${own%/}/horalign-check-$$"
unshare_pid=
pid1=
cpack_pid=
cleanup() {
  if [[ -n $cpack_pid ]]; then
    kill "$cpack_pid" 2> /dev/null || true
    wait "$cpack_pid" 2> /dev/null || true
  fi
  # The end of PID 1 ends every process of its namespace; unshare takes its child along.
  if [[ -n $pid1 ]]; then kill -KILL "$pid1" 2> /dev/null || true; fi
  if [[ -n $unshare_pid ]]; then
    kill -KILL "$unshare_pid" 2> /dev/null || true
    wait "$unshare_pid" 2> /dev/null || true
  fi
  # The cgroups systemd made, deepest first, once their processes are gone.
  if [[ -d $cgroup ]]; then
    for _ in $(seq 25); do
      find "$cgroup" -depth -type d -exec rmdir {} + 2> /dev/null && break
      sleep 0.2
    done
    [[ ! -d $cgroup ]] || echo "warning: $cgroup is left behind" >&2
  fi
  rm -rf "$work" "$work.go" "$work.log" "$work.enable" "$work.status" "$work.files" \
    "$work.upgrade" "$work.cpack"
}
trap cleanup EXIT
mkdir "$work.files"
cp "$deb" "$work.files/horalign.deb"
cp scripts/systemd-admin-check.sh "$work.files/"
if [[ -z $upgrade ]]; then
  # The same build, one Debian release newer (an upgrade replaces every file all the same),
  # packaged while systemd boots.
  build=$(dirname "$deb")
  [[ -f $build/CPackConfig.cmake ]] ||
    fail "no build folder beside $deb to package an upgrade from: give --upgrade NEWER.deb"
  release=$(($(dpkg-deb -f "$deb" Version | sed 's/.*-//') + 1))
  (cd "$build" && exec cpack -G DEB -D CPACK_DEBIAN_PACKAGE_RELEASE="$release" \
    -B "$work.upgrade") > "$work.cpack" 2>&1 &
  cpack_pid=$!
fi
mkdir "$cgroup"
mkfifo "$work.go"

(
  echo "$BASHPID" > "$cgroup/cgroup.procs"
  exec unshare --mount --propagation private "$self" --copy-root "$work" "$work.files" "$work.go"
) > "$work.log" 2>&1 &
unshare_pid=$!
# The IDs 0-65535 map onto themselves (the service's dynamic user lies in that range).
own_userns=$(readlink /proc/self/ns/user)
for _ in $(seq 50); do
  userns=$(readlink "/proc/$unshare_pid/ns/user" || true)
  [[ -n $userns && $userns != "$own_userns" ]] && break
  sleep 0.1
done
echo "0 0 65536" > "/proc/$unshare_pid/uid_map"
echo "0 0 65536" > "/proc/$unshare_pid/gid_map"
# shellcheck disable=SC2016
timeout 10 sh -c 'echo go > "$1"' _ "$work.go" || skip "the namespaces could not be set up here"

for _ in $(seq 50); do
  pid1=$(pgrep -P "$unshare_pid" || true)
  [[ -n $pid1 ]] && [[ $(cat "/proc/$pid1/comm" 2> /dev/null) == systemd ]] && break
  pid1=
  sleep 0.2
done
[[ -n $pid1 ]] || { cat "$work.log" >&2; skip "systemd did not start here"; }
inner() { nsenter --target "$pid1" --all --root --wd "$@"; }
# systemctl speaks to PID 1 through this socket; it appears a moment after PID 1 starts.
for _ in $(seq 100); do
  inner test -S /run/systemd/private && break
  sleep 0.1
done
state=$(timeout 120 nsenter --target "$pid1" --all --root --wd systemctl is-system-running --wait || true)
echo "systemd in the copy: $state"
[[ $state == running || $state == degraded ]] || skip "systemd did not come up here ($state)"
if [[ $state == degraded ]]; then inner systemctl --failed --no-legend --plain | sed 's/^/  failed: /'; fi

# As the README says, without the network the copy does not have.
inner apt-get install -q -y --no-install-recommends /var/tmp/horalign.deb > "$work.status" 2>&1 ||
  { cat "$work.status" >&2; fail "apt-get install failed"; }
# shellcheck disable=SC2016
echo "installed: $(inner dpkg-query -W -f='${Package} ${Version}' horalign)"
enabled=$(inner systemctl is-enabled horalign || true)
active=$(inner systemctl is-active horalign || true)
[[ $enabled == disabled && $active == inactive ]] ||
  fail "after the install the service is $enabled and $active, not disabled and inactive"
echo "horalign.service after install: $enabled, $active"

# Four devices on pseudo-terminals, served by a unit of their own.
inner systemd-run --quiet --unit=horalign-devsim /usr/bin/horalign-devsim \
  --device com=1,letter=W,serial=10001 --device com=2,letter=A,serial=20002 \
  --device com=3,letter=K,serial=30003 --device com=4,letter=W,serial=40004 \
  --log /var/tmp/devsim.log
for _ in $(seq 50); do
  ports=$(inner journalctl -q -o cat -u horalign-devsim | grep -E '^COM[1-4] /dev/pts/' || true)
  [[ $(wc -l <<< "$ports") -eq 4 ]] && break
  sleep 0.2
done
[[ $(wc -l <<< "$ports") -eq 4 ]] || fail "the simulated devices did not start"
inner mkdir -p /dev/serial/by-id
while read -r com path _; do
  # A serial adapter's device belongs to the group dialout; so do these. Each is reached
  # by a stable name, as udev names a USB adapter.
  inner chgrp dialout "$path"
  inner chmod 660 "$path"
  name=/dev/serial/by-id/usb-Quorvane_Simulated_$com-if00-port0
  inner ln -s "$path" "$name"
  inner horalign-cli --system map "$com" "$name" > /dev/null
done <<< "$ports"
inner horalign-cli --system config mode 1 > /dev/null
inner horalign-cli --system config active COM1 COM2 COM3 COM4 > /dev/null

journal() { inner journalctl -q -o short-iso -u horalign --no-pager; }
if ! inner systemctl enable --now horalign > "$work.enable" 2>&1; then
  sed 's/^/systemctl: /' "$work.enable" >&2
  inner systemctl status --no-pager horalign >&2 || true
  journal >&2
  inner journalctl -q --no-pager -u dbus >&2 || true
  fail "the service did not start"
fi
sed 's/^/systemctl: /' "$work.enable"
count() { journal | grep -c "$1" || true; }
for _ in $(seq 150); do
  (($(count 'status="Connected to device."') >= 4)) && break
  sleep 0.2
done
(($(count 'status="Connected to device."') >= 4)) || {
  journal >&2
  fail "the service did not connect its four devices"
}
# The control interface, asked by the command line as an administrator would.
inner horalign-cli status --json > "$work.status" || fail "horalign-cli status failed"
python3 - "$work.status" << 'PY' || fail "status does not list the four devices"
import json, sys
rows = {p["port"]: p for p in json.load(open(sys.argv[1]))["ports"]}
seen = [(rows[f"COM{n}"]["device"], rows[f"COM{n}"]["sn"]) for n in range(1, 5)]
assert seen == [("QM8340", "10001"), ("QM6840", "20002"), ("Tone Generator", "30003"),
                ("QM8340", "40004")], seen
PY
echo "horalign-cli status: the four devices"
pid=$(inner systemctl show -P MainPID horalign)
inner horalign-cli --system config interval 75 > /dev/null || fail "config interval failed"
inner horalign-cli status --json > "$work.status"
python3 -c 'import json, sys; assert json.load(open(sys.argv[1]))["settings"]["interval_min"] == 75' \
  "$work.status" || fail "the new interval did not reach the service"
[[ $(inner systemctl show -P MainPID horalign) == "$pid" ]] || fail "the service was restarted"
echo "config interval 75: taken by the running service (PID $pid)"
com2=$(awk '$1 == "COM2" { print $2 }' <<< "$ports")
inner strace -f -qq -e trace=openat -o /var/tmp/update.strace horalign-cli --json update COM2 \
  > "$work.status" || fail "horalign-cli update COM2 failed"
python3 -c 'import json, sys; p = json.load(open(sys.argv[1]))["ports"][0]
assert p["port"] == "COM2" and p["outcome"] == "updated", p' "$work.status" ||
  fail "update COM2 did not update it"
inner grep -qF "\"$com2\"" /var/tmp/update.strace && fail "horalign-cli opened $com2 itself"
(($(count 'port=COM2 .*status="Device updated successfully."') >= 1)) ||
  fail "the service's journal does not show the update of COM2"
echo "horalign-cli update COM2: done by the service, $com2 not opened by the command"
# One port's lines, by the journal's own fields.
com2_lines=$(inner journalctl -q -o cat -u horalign HORALIGN_PORT=COM2)
grep -q 'status="Device updated successfully."' <<< "$com2_lines" &&
  ! grep -v '^port=COM2 ' <<< "$com2_lines" | grep -q . ||
  fail "journalctl -u horalign HORALIGN_PORT=COM2 shows other lines or not the update"
[[ $(inner journalctl -q -o cat -u horalign HORALIGN_DEVICE="Tone Generator" \
     HORALIGN_OUTCOME="Connected to device." | grep -c '^port=COM3 ') -ge 1 ]] ||
  fail "the fields HORALIGN_DEVICE and HORALIGN_OUTCOME do not find COM3's connection"
echo "journalctl -u horalign HORALIGN_PORT=COM2: $(wc -l <<< "$com2_lines") lines, all of COM2"
if ((minutes > 0)); then
  echo "waiting up to $minutes minutes for the first update cycle"
  for _ in $(seq $((minutes * 6))); do
    (($(count 'status="Device updated successfully."') >= 4)) && break
    sleep 10
  done
  (($(count 'status="Device updated successfully."') >= 4)) || {
    journal >&2
    fail "the service did not set its four devices"
  }
fi
if [[ -n $cpack_pid ]]; then
  wait "$cpack_pid" || { cat "$work.cpack" >&2; fail "cpack could not package the upgrade"; }
  cpack_pid=
  upgrade=$(echo "$work.upgrade"/horalign_*-"${release}"_*.deb)
fi
inner sh -c 'cat > /var/tmp/horalign-upgrade.deb' < "$upgrade" || fail "no upgrade: $upgrade"
echo "systemd-analyze security horalign.service:"
inner systemd-analyze security --no-pager horalign.service 2>&1 | sed 's/^/  /' || true
reload=
[[ ${HORALIGN_CHECK_RELOAD:-1} == 1 ]] && reload=--reload
inner bash /var/tmp/systemd-admin-check.sh /var/tmp/horalign-upgrade.deb $reload ||
  { journal >&2; exit 1; }
[[ -n $reload ]] || echo "reload: not checked (HORALIGN_CHECK_RELOAD=0)"
echo "journalctl -u horalign:"
journal | sed 's/^/  /'
echo "devices (devsim CLOCK lines):"
inner grep -P '\tCLOCK\t' /var/tmp/devsim.log | sed 's/^/  /' || true
echo "OK: systemd check"
