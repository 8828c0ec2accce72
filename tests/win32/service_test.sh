#!/usr/bin/env bash
# The service under Wine: install the MSI with SERVICE=1, the service starts, takes its
# settings through its pipe from horalign-cli.exe, connects and updates horalign-devsim's
# devices on COM3 and COM7; status lists them; bad lines on the pipe are answered and the
# pipe stays up; the tray program is its client; its events are read back; net stop ends
# it in order; uninstall removes it.
# Called by scripts/test-windows.sh, which provides the Wine prefix (COM3 and COM7 mapped to
# the devices, every other COM number hidden).
# Environment: WINEPREFIX, HORALIGN_MSI, SERVICE_PROBE (horalign_service_probe.exe),
# DEVSIM_LOG, SERVICE_DIR (work folder).
set -euo pipefail
dir=$SERVICE_DIR
mkdir -p "$dir"
# shellcheck source-path=SCRIPTDIR source=wine_steps.sh
source "$(dirname "$0")/wine_steps.sh"
state() { { quiet sc query Horalign || true; } | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
# Waits up to 60 s for `$@` to succeed.
wait_for() {
  for _ in $(seq 120); do "$@" >/dev/null 2>&1 && return 0; sleep 0.5; done
  return 1
}
cli='C:\Program Files\Horalign\horalign-cli.exe'
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Horalign'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Horalign'

# Wine ends the services once no other program of the prefix runs: a persistent server keeps
# them. Wine keeps no event log (ReportEvent only traces): the service's events are read from
# that trace, which the service inherits, with its standard error, from the first program of
# the session, which starts the service manager.
wineserver -k -w 2>/dev/null || true
wineserver -p
for value in "Connection Mode" "Used COM Ports"; do
  WINEDEBUG=-all,+eventlog,fixme+advapi wine reg add 'HKLM\Software\Quorvane\Horalign\Config' \
    /v "$value" /d 0 /f /reg:32 >/dev/null 2>>"$dir/events.log" || fail "the settings could not be reset"
done
msiexec /i "$(winepath -w "$HORALIGN_MSI")" SERVICE=1

wait_for [ "$(state)" = RUNNING ] || fail "the service is $(state), not RUNNING"
expect Start "$(reg_value "$service_key" Start)" 0x2
expect DelayedAutostart "$(reg_value "$service_key" DelayedAutostart)" 0x1
expect ObjectName "$(reg_value "$service_key" ObjectName)" 'NT AUTHORITY\LocalService'
# The program in quotes: unquoted, the control manager would try C:\Program.exe first.
expect ImagePath "$(reg_value "$service_key" ImagePath)" '"C:\Program Files\Horalign\horalign-cli.exe" run'
# Wine applies no MsiLockPermissionsEx and knows no service SIDs: the package is read instead.
python3 - "$HORALIGN_MSI" <<'PY' || fail "the package does not give the service's SID the settings key"
import hashlib, struct, subprocess, sys
def rows(table):
    out = subprocess.run(["msiinfo", "export", sys.argv[1], table], capture_output=True, text=True).stdout
    return [line.rstrip("\r").split("\t") for line in out.splitlines()[3:]]
sid = "S-1-5-80-" + "-".join(map(str, struct.unpack("<5I", hashlib.sha1("HORALIGN".encode("utf-16-le")).digest())))
assert ["SettingsKey", "2", "Software\\Quorvane\\Horalign", "+", "", "ServiceSettings"] in rows("Registry"), rows("Registry")
assert rows("MsiLockPermissionsEx") == [["SettingsKeyLock", "SettingsKey", "Registry",
    "D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;KRKW;;;%s)" % sid, ""]], rows("MsiLockPermissionsEx")
sequence = {r[0]: (r[1], int(r[2])) for r in rows("InstallExecuteSequence")}
assert sequence["InstallServices"][1] < sequence["ConfigureService"][1] < sequence["StartServices"][1], sequence
assert sequence["ConfigureService"][0] == "$Service=3", sequence
PY
[[ $(reg_value "$source_key" EventMessageFile) == *'\Horalign\horalign-cli.exe' ]] ||
  fail "no event source"
wait_for quiet "$cli" status || fail "status found no service"
echo "installed: the service runs (automatic, delayed, LocalService), the event source"

# The settings go to the running service, which applies them at once.
quiet "$cli" config mode 1 >/dev/null || fail "config mode 1 through the service failed"
quiet "$cli" config active COM3 COM7 >/dev/null || fail "config active through the service failed"
# Whether status --json shows a status that starts with $1 on each port named after it.
status_is() {
  quiet "$cli" status --json >"$dir/status.json" && python3 - "$dir/status.json" "$@" <<'PY'
import json, sys
ports = {p["port"]: p for p in json.load(open(sys.argv[1]))["ports"]}
assert all(ports[c]["status"].startswith(sys.argv[2]) for c in sys.argv[3:]), ports
PY
}
wait_for status_is "Connected to device." COM3 COM7 ||
  fail "the service did not connect COM3 and COM7: $(cat "$dir/status.json")"
# The service writes the settings key the installer made writable for it.
quiet "$cli" config interval 75 >/dev/null || fail "config interval 75 through the service returned $?"
expect "the stored interval" "$(reg_value 'HKLM\Software\Quorvane\Horalign\Config' 'Update Interval' /reg:32)" 75
# The service holds the ports: a command that opened them itself would find them in use.
quiet "$cli" --json update >"$dir/update.json" || fail "update through the service returned $?"
quiet "$cli" status --json >"$dir/status.json" || fail "status returned $?"
python3 - "$dir/update.json" "$dir/status.json" <<'PY' || fail "update or status printed the wrong thing"
import json, sys
update = {p["port"]: p for p in json.load(open(sys.argv[1]))["ports"]}
assert sorted(update) == ["COM3", "COM7"], update
for p in update.values():
    assert p["outcome"] == "updated" and 0 <= p["ms_past_second"] < 100, p
status = json.load(open(sys.argv[2]))
assert status["settings"]["mode"] == 1 and status["settings"]["active"] == ["COM3", "COM7"], status
ports = {p["port"]: p for p in status["ports"]}
for com, sn in (("COM3", "30303"), ("COM7", "70707")):
    p = ports[com]
    assert p["active"] == "Yes" and p["sn"] == sn and p["detected"], p
    assert p["status"] == "Device updated successfully." and p["last_success_utc_ms"], p
assert [c for c, p in ports.items() if p["active"] == "Yes"] == ["COM3", "COM7"], ports
assert status["pc_clock"]["time_daemon"]["available"] is False, status["pc_clock"]
PY
expect "config feed on's exit code" "$(exit_code wine "$cli" config feed on 2>"$dir/feed.txt")" 2
grep -q "Windows has no time daemon socket to feed" "$dir/feed.txt" || fail "feed on: $(cat "$dir/feed.txt")"
echo "through the pipe: config mode 1 and active COM3 COM7 applied at once, both updated, status lists them; the feed is not available"

# Bad lines: each answered with an error, the pipe stays up, nothing changes. The
# requests' own refusals are tests/control/requests.json's; these are the line reader's.
cat >"$dir/lines.txt" <<'LINES'
{"id": 1, "request": "GetSettings"}
@long 5000
[1, 2]
{"id": 4, "request": "SetInterval", "minutes": 59}
{"id": "\xff\xfe", "request": "GetSettings"}
{"id": 13, "request": "Get\xc3("}
{"id": 14, "request": "SetInterval", "minutes": 60, "minutes": 9999}
{"id": 10, "request": "GetSettings"}
{"id": 11, "request": "Watch"}
{"id": 12, "request": "Update", "port": 7}
@next
LINES
printf -v bytes '%b' "$(cat "$dir/lines.txt")" && printf '%s' "$bytes" >"$dir/lines.txt"
quiet "$SERVICE_PROBE" lines "$(winepath -w "$dir/lines.txt")" >"$dir/answers.txt" ||
  fail "the pipe closed: $(tail -1 "$dir/answers.txt")"
python3 - "$dir/answers.txt" <<'PY' || fail "the pipe's answers are wrong: $(cat "$dir/answers.txt")"
import json, sys
a = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8", errors="strict")]
assert [(x.get("id"), x.get("error")) for x in a[1:4]] == [(None, "BadRequest")] * 2 + [(4, "InvalidArgs")], a
assert [x.get("error") for x in a[4:7]] == ["BadRequest"] * 3, a[4:7]
assert all(x["ok"] is False and x["message"] for x in a[1:7]), a
# Bytes that are no UTF-8 come back as U+FFFD, never as they were; a key given twice is refused.
assert "longer than 4096" in a[1]["message"] and "given twice" in a[6]["message"], a
assert "\ufffd" in a[4]["message"] + a[5]["message"], a[4:6]
assert a[0]["settings"] == a[7]["settings"], (a[0], a[7])
assert a[8]["ok"] and len(a[8]["ports"]) == 16 and a[8]["settings"]["mode"] == 1, a[8]
# A watching client sees the row change before its answer.
assert a[9]["event"] == "PortChanged" and a[9]["row"]["port"] == 7, a[9]
assert a[10]["id"] == 12 and a[10]["outcome"] == "updated", a[10]
PY
echo "bad lines: 6 kinds answered with their errors, the settings unchanged, a watcher sees the row"

# A client owing 32 answers is cut off (their order is tests/service/pipe_sessions_test.cpp's).
{
  printf '@batch 41\n{"id": 0, "request": "Update", "port": 3}\n'
  for i in $(seq 40); do printf '{"id": %d, "request": "GetSettings"}\n' "$i"; done
} >"$dir/pipelined.txt"
quiet "$SERVICE_PROBE" lines "$(winepath -w "$dir/pipelined.txt")" >"$dir/pipelined.out" ||
  fail "the pipe closed: $(cat "$dir/pipelined.out")"
[[ $(tr -d '\r' <"$dir/pipelined.out") == @closed ]] || fail "pipelined answers are wrong: $(cat "$dir/pipelined.out")"
echo "pipelined: a client with 32 answers owed is closed"

# The tray program beside the service is its client: it opens no port (the service holds
# COM7, so an Update Now of its own would find the port in use), and the service does what
# its buttons ask.
present() { xdotool search --name "^$1\$" >/dev/null 2>&1; }
clocks() { grep -cP '\tCOM7\tCLOCK\t' "$DEVSIM_LOG" || true; }
more_clocks() { (($(clocks) > $1)); }
before=$(clocks)
wine 'C:\Program Files\Horalign\horalign.exe' >"$dir/tray.log" 2>&1 &
wait_for present "Horalign - System Message" || fail "the tray program showed no message"
wait_for present 'Horalign \(Version 1\.41\)' || fail "the tray program showed no window"
sleep 1.5
xdotool key Return
sleep 1.5
# Row 7, then Update Now.
xdotool key --delay 120 Home Down Down Down Down Down Down alt+u
wait_for more_clocks "$before" || fail "Update Now in the tray program did not reach the service"
quiet taskkill /f /im horalign.exe >/dev/null || true
echo "the tray program: the service's client, its Update Now done by the service"

# A port that answers as no device does (COM5 echoes): a failure, logged as an error.
quiet "$cli" config active COM3 COM5 COM7 >/dev/null || fail "config active COM3 COM5 COM7 failed"
wait_for status_is "Unable to connect" COM5 || fail "COM5 did not fail to connect: $(cat "$dir/status.json")"

quiet net stop Horalign >/dev/null || fail "net stop returned $?"

# A process that serves the pipe's name first: the service does not start. (The clients'
# refusal of such a server is tests/win32/pipe_guard_test.cpp's.)
wine "$SERVICE_PROBE" squat >"$dir/squat.out" 2>>"$dir/wine.log" &
wait_for grep -q squatting "$dir/squat.out" || fail "the squatter did not start"
# Wine's net start reports a start once the service is pending: its end tells.
quiet net start Horalign >/dev/null || true
wait_for [ "$(state)" = STOPPED ] || fail "the service runs beside a squatter"
expect "the service's exit code beside a squatter" \
  "$({ quiet sc query Horalign || true; } | tr -d '\r' | awk '$1 == "SERVICE_EXIT_CODE" { print $3 }')" 5
quiet taskkill /f /im horalign_service_probe.exe >/dev/null || true
echo "a squatter first: the service refuses to start"

msiexec /x "$(product_code "$HORALIGN_MSI")"
expect "the service's key after uninstall" "$(reg_value "$service_key" ImagePath)" ""
expect "the event source after uninstall" "$(reg_value "$source_key" EventMessageFile)" ""
wineserver -k -w 2>/dev/null || true

# The events: Wine traces each ReportEvent's type and ID, then its text.
python3 - "$dir/events.log" <<'PY' || fail "the events are wrong: $(grep -a ReportEventW "$dir/events.log" | head -20)"
import re, sys
events, pending = [], None
for line in open(sys.argv[1], errors="replace"):
    m = re.search(r"fixme:advapi:ReportEventW \([0-9A-F]+,0x([0-9a-f]{4}),0x[0-9a-f]{4},0x([0-9a-f]{8})", line)
    if m:
        pending = (int(m.group(1), 16), int(m.group(2), 16) & 0xFFFF)
    m = re.search(r'(?:trace|warn|err):eventlog:ReportEventW L"(.*)"$', line)
    if m and pending:
        events.append(pending + (m.group(1).replace('\\"', '"'),))
        pending = None
INFO, ERROR = 4, 1
def find(kind, id, *words):
    return [e for e in events if e[:2] == (kind, id) and all(w in e[2] for w in words)]
# Wine knows no service SIDs.
assert find(INFO, 1, "start version=", "mode=0", "service-sid=missing"), events
for com in ("COM3", "COM7"):
    assert find(INFO, 10, "port=" + com, 'status="Connected to device."'), events
    # The update is an event once: the outcome is new.
    assert len(find(INFO, 11, "port=" + com, "Device updated successfully.")) == 1, events
assert find(INFO, 21, "message="), events
assert find(INFO, 2, "stop"), events
assert [e[:2] for e in events if "port=COM5" in e[2]] == [(ERROR, 12)], events
assert find(ERROR, 3, "is already served by another process: the service does not start"), events
assert [e for e in events if e[0] == ERROR and "port=COM5" not in e[2] and e[1] != 3] == [], events
PY
echo "events: start, connected and updated per device, COM5's failure as an error, the messages, stop, the refusal beside a squatter; uninstalled: the service and its source removed"
