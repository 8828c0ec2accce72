#!/usr/bin/env bash
# The administrator's path after the service runs: runs inside the systemd that
# scripts/systemd-check.sh boots, never on a machine of its own (it adds users and a polkit
# rule, and removes the package).
#  - With the real polkitd: a user in a session at the machine whom the rules.d example
#    allows (the group horalign) has the service update COM2; another user is refused with
#    exit code 7 and nothing changes.
#  - Any user's `config` goes to the service (polkit decides); a device pulled out and
#    plugged back in on its /dev/serial/by-id name is seen and written again without a
#    command; the journal's warnings are the failures and refusals.
#  - With --reload: "systemctl reload" and SIGHUP make the running service read its edited
#    settings file (same PID).
#  - The package's life cycle: an upgrade restarts the running service on the new files, a
#    removal stops it and keeps its settings, a purge leaves neither state nor settings nor
#    an enabled unit, and keeps the system user.
# Usage: systemd-admin-check.sh UPGRADE.deb [--reload]
set -euo pipefail
# The copy's own programs, not the caller's (a user's session cannot run those under /root).
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
upgrade=$1
reload=${2:-}

fail() {
  echo "FAIL: systemd check: $*" >&2
  exit 1
}
journal() { journalctl -q -o short-iso -u horalign --no-pager; }
# Not grep -q on the journal: it would stop reading early and fail the pipe.
count() { journal | grep -c "$1" || true; }
# The running service's interval; "none" when no service answers.
interval() {
  horalign-cli status --json 2> /dev/null | python3 -c 'import json, sys
print(json.load(sys.stdin)["settings"]["interval_min"])' 2> /dev/null || echo none
}
main_pid() { systemctl show -P MainPID horalign; }
# Runs a command as USER in a session of the user's own, as a login at the machine makes it:
# pam_systemd registers it with logind, which polkit asks about the caller. polkit counts a
# session as local only when it has a seat (a console or a desktop has seat0; ssh none).
as_user() {
  systemd-run --quiet --wait --pipe --uid="$1" -p PAMName=login -p WorkingDirectory=/ \
    -E XDG_SEAT=seat0 -E XDG_SESSION_CLASS=user -E XDG_SESSION_TYPE=tty "${@:2}"
}

# polkit: its daemon as the system runs it, a group rule from the package's example.
systemctl start systemd-logind.service
for name in alice bob; do useradd --create-home "$name"; done
usermod --append --groups horalign alice
cp /usr/share/doc/horalign/examples/50-horalign.rules /etc/polkit-1/rules.d/
systemctl start polkit.service || fail "polkitd did not start"
# shellcheck disable=SC2016
session=$(as_user alice sh -c 'loginctl show-session "$XDG_SESSION_ID" -p Seat -p Remote -p Active')
[[ $session == $'Seat=seat0\nRemote=no\nActive=yes' ]] ||
  fail "no local active session for alice: $session"
updates=$(count 'port=COM2 .*status="Device updated successfully."')
as_user alice horalign-cli --json update COM2 > /var/tmp/alice.json 2> /var/tmp/alice.err ||
  fail "alice may not update COM2: $(cat /var/tmp/alice.err)"
python3 -c 'import json, sys; p = json.load(open(sys.argv[1]))["ports"][0]
assert p["port"] == "COM2" and p["outcome"] == "updated", p' /var/tmp/alice.json ||
  fail "update COM2 as alice did not update it"
(($(count 'port=COM2 .*status="Device updated successfully."') == updates + 1)) ||
  fail "the service's journal does not show alice's update of COM2"
echo "alice (group horalign, ${session//$'\n'/ }): update COM2 done by the service"
updates=$((updates + 1))
rc=0 && as_user bob horalign-cli update COM2 > /dev/null 2> /var/tmp/bob.err || rc=$?
# polkitd's own refusal, not a question it could not answer.
((rc == 7)) && grep -q 'not authorized by polkit' /var/tmp/bob.err ||
  fail "bob's update COM2 ended with $rc, not 7 for polkit's refusal: $(cat /var/tmp/bob.err)"
(($(count 'port=COM2 .*status="Device updated successfully."') == updates)) ||
  fail "bob's refused update reached COM2"
# A setting, asked on the bus itself.
cat > /var/tmp/set-interval.py << 'PY'
import dbus
service = dbus.SystemBus().get_object("com.quorvane.Horalign1", "/com/quorvane/Horalign1")
try:
    service.SetInterval(dbus.Int32(90), dbus_interface="com.quorvane.Horalign1")
except dbus.DBusException as e:
    print(e.get_dbus_name(), e.get_dbus_message())
PY
said=$(as_user bob python3 /var/tmp/set-interval.py)
[[ $said == "org.freedesktop.DBus.Error.AccessDenied not authorized by polkit"* ]] ||
  fail "bob's SetInterval was not refused by polkit: ${said:-done}"
[[ $(interval) == 75 ]] || fail "bob's refused interval was taken"
echo "bob (no rule): update COM2 (exit code 7) and SetInterval refused by polkitd, nothing changed"

# Any user's command line works on the service's settings, as polkit allows.
as_user alice horalign-cli config interval 76 > /dev/null 2> /var/tmp/alice.err ||
  fail "alice's config interval 76 failed: $(cat /var/tmp/alice.err)"
[[ $(interval) == 76 ]] || fail "alice's config interval 76 did not reach the service"
rc=0 && as_user bob horalign-cli config interval 77 > /dev/null 2> /var/tmp/bob.err || rc=$?
((rc == 7)) && [[ $(interval) == 76 ]] ||
  fail "bob's config interval 77 ended with $rc and left the interval $(interval)"
echo "config interval: alice's reaches the service, bob's is refused (exit code 7)"
# The time daemon's socket and feed are settings like the interval: polkitd decides.
socket() {
  horalign-cli --json config 2> /dev/null | python3 -c 'import json, sys
print(json.load(sys.stdin)["time_daemon_socket"])' 2> /dev/null || echo none
}
as_user alice horalign-cli config socket /run/horalign-chrony/chrony.sock > /dev/null \
  2> /var/tmp/alice.err || fail "alice's config socket failed: $(cat /var/tmp/alice.err)"
[[ $(socket) == /run/horalign-chrony/chrony.sock ]] || fail "alice's socket is $(socket)"
rc=0 && as_user bob horalign-cli config feed on > /dev/null 2> /var/tmp/bob.err || rc=$?
((rc == 7)) || fail "bob's config feed on ended with $rc, not 7: $(cat /var/tmp/bob.err)"
echo "config socket and feed: alice's reaches the service, bob's is refused by polkitd"

# A device pulled out and plugged back in on its stable name, without a command.
com4=/dev/serial/by-id/usb-Quorvane_Simulated_COM4-if00-port0
tty4=$(readlink "$com4")
updated4=$(count 'port=COM4 .*status="Device updated successfully."')
rm "$com4"
for _ in $(seq 300); do
  (($(count 'port=COM4 unplugged=') == 1)) && break
  sleep 0.1
done
(($(count 'port=COM4 unplugged=') == 1)) || fail "COM4 pulled out was not seen in 30 s"
# The journal's line comes first; the row follows within the same 30 s.
com4_gone() {
  horalign-cli status --json | python3 -c 'import json, sys
p = json.load(sys.stdin)["ports"][3]
assert p["active"] == "N/A" and p["status"] == "Disconnected from device.", p'
}
for _ in $(seq 100); do com4_gone 2> /dev/null && break; sleep 0.1; done
com4_gone || fail "COM4's row does not say it is gone"
ln -s "$tty4" "$com4"
for _ in $(seq 600); do
  (($(count 'port=COM4 .*status="Device updated successfully."') > updated4)) && break
  sleep 0.1
done
(($(count 'port=COM4 .*status="Device updated successfully."') > updated4)) ||
  fail "COM4 plugged back in was not written in 60 s"
echo "COM4 pulled out: seen, its row says so; plugged back in: connected and written again"
# Failures and refusals are warnings; outcomes are not.
warnings=$(journalctl -q -o cat -u horalign -p warning --no-pager)
grep -q '^port=COM4 unplugged=' <<< "$warnings" && grep -q '^refused request=Update ' <<< "$warnings" &&
  ! grep -q 'Connected to device' <<< "$warnings" ||
  fail "journalctl -p warning does not hold just the failures and refusals: $warnings"
echo "journalctl -u horalign -p warning: $(wc -l <<< "$warnings") lines, the unplug and the refusals"

pid=$(main_pid)
if [[ $reload == --reload ]]; then
  settings=/var/lib/horalign/Horalign.reg
  for way in "systemctl reload horalign" "kill -HUP $pid"; do
    minutes=$(($(interval) + 5))
    # Written in place, so the file stays the service user's.
    edited=$(sed -E "s/^(\"Update Interval\"=\")[0-9]+\"/\\1$minutes\"/" "$settings")
    printf '%s\n' "$edited" > "$settings"
    $way || fail "$way failed"
    for _ in $(seq 50); do
      [[ $(interval) == "$minutes" ]] && break
      sleep 0.1
    done
    [[ $(interval) == "$minutes" ]] ||
      fail "$way: the edited interval $minutes was not read (the service is $(systemctl is-active horalign))"
    [[ $(main_pid) == "$pid" ]] || fail "$way restarted the service"
    echo "$way: the edited interval $minutes read by the running service (PID $pid)"
  done
fi

# An upgrade replaces the program's file (dpkg renames the new one over it): the restarted
# service runs the file now installed, the old one only its deleted predecessor.
old_inode=$(stat -L -c %i "/proc/$pid/exe")
# dpkg itself from here on: apt would run the same maintainer scripts, only slower.
dpkg -i "$upgrade" > /var/tmp/dpkg.log 2>&1 || { cat /var/tmp/dpkg.log >&2; fail "dpkg -i (upgrade) failed"; }
# shellcheck disable=SC2016
version=$(dpkg-query -W -f='${Version}' horalign)
new_pid=$(main_pid)
[[ $(systemctl is-active horalign) == active && $new_pid != 0 && $new_pid != "$pid" ]] ||
  fail "the upgrade to $version did not restart the service (PID $pid, now $new_pid)"
[[ $(readlink "/proc/$new_pid/exe") == /usr/bin/horalign-cli ]] &&
  (($(stat -L -c %i "/proc/$new_pid/exe") == $(stat -c %i /usr/bin/horalign-cli))) &&
  ((old_inode != $(stat -c %i /usr/bin/horalign-cli))) ||
  fail "the restarted service does not run the upgrade's program"
program=$(horalign-cli --version)
(($(count "horalign-cli\[$new_pid\]: start version=${program#horalign-cli } ") == 1)) ||
  fail "the journal has no start line of the upgraded service"
echo "upgrade to $version: restarted on the new program (PID $pid, now $new_pid, $program)"

dpkg -r horalign > /var/tmp/dpkg.log 2>&1 || { cat /var/tmp/dpkg.log >&2; fail "dpkg -r failed"; }
state=$(systemctl is-active horalign || true)
load=$(systemctl show -P LoadState horalign)
[[ $state == inactive && $load == not-found ]] ||
  fail "after the removal the service is $state and its unit $load"
# The journal may take a moment to have the service's last line.
for _ in $(seq 50); do
  (($(count "horalign-cli\[$new_pid\]: stop$") == 1)) && break
  sleep 0.1
done
(($(count "horalign-cli\[$new_pid\]: stop$") == 1)) || fail "the removal did not end the service in order"
[[ -f /var/lib/private/horalign/Horalign.reg ]] || fail "the removal took the settings"
echo "dpkg -r: the service stopped in order, its unit gone, the settings kept"

dpkg -P horalign > /var/tmp/dpkg.log 2>&1 || { cat /var/tmp/dpkg.log >&2; fail "dpkg -P failed"; }
for left in /var/lib/horalign /var/lib/private/horalign \
  /etc/systemd/system/multi-user.target.wants/horalign.service; do
  [[ ! -e $left && ! -L $left ]] || fail "the purge left $left"
done
[[ $(systemctl show -P LoadState horalign) == not-found ]] && ! systemctl -q is-enabled horalign 2> /dev/null ||
  fail "the purge left the unit"
getent passwd horalign > /dev/null || fail "the purge removed the system user"
echo "dpkg -P: no state folder, no settings, no unit; the user horalign stays"
