#!/usr/bin/env bash
# The installer under Wine: install quietly with the logon task, check what it put where,
# drive horalign-cli.exe from Program Files against the simulated devices, replace 1.41 by a
# 1.42 package, uninstall, and check that every file went and the settings stayed.
# Called by scripts/test-windows.sh, which provides the Wine prefix (COM3 and COM7 mapped to
# horalign-devsim's devices, every other COM number hidden) and the display.
# Environment: WINEPREFIX, HORALIGN_MSI, MSI_STAGE (wixl's input folder), MSI_DIR (work folder).
set -euo pipefail
dir=$MSI_DIR
mkdir -p "$dir"
# shellcheck source-path=SCRIPTDIR source=wine_steps.sh
source "$(dirname "$0")/wine_steps.sh"

drive=$WINEPREFIX/drive_c
folder="$drive/Program Files/Horalign"
cli='C:\Program Files\Horalign\horalign-cli.exe'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
config='HKLM\Software\Quorvane\Horalign\Config'
task=$drive/windows/system32/tasks/Horalign
links=("$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Horalign.lnk"
       "$drive/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Horalign.lnk")
installed_links() { for l in "${links[@]}"; do [[ ! -e $l ]] || echo "$l"; done; }
code=$(product_code "$HORALIGN_MSI")

# Windows runs its Task Scheduler from the start; a Wine prefix starts it on demand.
quiet net start schedule >/dev/null || true
msiexec /i "$(winepath -w "$HORALIGN_MSI")" STARTATLOGON=1
for f in horalign.exe horalign-cli.exe horalign-logon-task.xml License.txt help/index.html; do
  [[ -s $folder/$f ]] || fail "$f was not installed"
done
grep -q '^MIT License' "$folder/License.txt" || fail "License.txt is not the MIT licence"
msiinfo suminfo "$HORALIGN_MSI" | grep -q 'Comments: SPDX-License-Identifier: MIT' ||
  fail "the package's summary does not name its licence"
# All users' Start menu on Windows; Wine puts a per-machine shortcut in the user's own.
link=$(installed_links | head -1)
grep -qsaF 'C:\Program Files\Horalign\horalign.exe' "$link" || fail "no Start menu shortcut to horalign.exe"
expect DisplayName "$(reg_value "$uninstall\\$code" DisplayName)" Horalign
expect DisplayVersion "$(reg_value "$uninstall\\$code" DisplayVersion)" 1.41
expect Publisher "$(reg_value "$uninstall\\$code" Publisher)" Quorvane
packed=$(python3 -c 'import sys; g = sys.argv[1].strip("{}").replace("-", "")
print(g[7::-1] + g[11:7:-1] + g[15:11:-1] + "".join(g[i + 1] + g[i] for i in range(16, 32, 2)))' "$code")
[[ $(reg_value "HKLM\\Software\\Classes\\Installer\\Products\\$packed" ProductIcon) == *horalign.ico ]] ||
  fail "no product icon"
[[ -f $task ]] || fail "STARTATLOGON=1 registered no logon task"
echo "installed: files, shortcut, uninstall entry $code 1.41, logon task"

# The command line from Program Files, on the registry's settings and the devices.
quiet "$cli" config mode 1 >/dev/null || fail "config mode 1 failed"
quiet "$cli" config active COM3 COM7 >/dev/null || fail "config active failed"
quiet "$cli" --json scan COM3 COM7 COM9 >"$dir/scan.json" || fail "scan returned $?"
quiet "$cli" --json update >"$dir/update.json" || fail "update returned $?: $(cat "$dir/update.json")"
quiet "$cli" --json read COM7 >"$dir/read.json" || fail "read returned $?"
expect "status's exit code without the service" "$(exit_code quiet "$cli" status)" 1
python3 - "$dir/scan.json" "$dir/update.json" "$dir/read.json" <<'PY' || fail "scan, update or read printed the wrong thing"
import json, sys
scan = {p["port"]: p for p in json.load(open(sys.argv[1]))["ports"]}
update = {p["port"]: p for p in json.load(open(sys.argv[2]))["ports"]}
# COM9 is hidden: Windows says "does not exist", Wine opens something that is no serial port.
assert scan["COM9"]["open"] is False and scan["COM9"]["problem"].startswith("\\\\.\\COM9 "), scan
assert sorted(update) == ["COM3", "COM7"], update
for p in update.values():
    assert p["outcome"] == "updated" and 0 <= p["ms_past_second"] < 100, p
read = json.load(open(sys.argv[3]))  # COM7 was set from this PC's clock a moment ago
assert read["sn"] == "70707" and abs(read["offset_s"]) <= 1, read
PY
echo "horalign-cli.exe: scan, update (COM3, COM7), read COM7, status without the service"

# 1.42 replaces 1.41; given without STARTATLOGON it leaves no logon task.
rm -rf "$dir/stage" && cp -r "$MSI_STAGE" "$dir/stage"
sed -i 's/Version="1\.41"/Version="1.42"/' "$dir/stage/horalign.wxs"
(cd "$dir/stage" && wixl -a x64 -o ../horalign-1.42-x64.msi horalign.wxs 2>>"$dir/wixl.log")
cmake -DMSIBUILD=msibuild -DMSI="$dir/horalign-1.42-x64.msi" -P "$dir/stage/msi-tables.cmake" >>"$dir/wixl.log"
newer=$(product_code "$dir/horalign-1.42-x64.msi")
msiexec /i "$(winepath -w "$dir/horalign-1.42-x64.msi")"
expect DisplayVersion "$(reg_value "$uninstall\\$newer" DisplayVersion)" 1.42
[[ -s $folder/horalign.exe && ! -e $task ]] || fail "the upgrade lost the program or kept the task"
echo "upgraded: 1.42 replaced 1.41"

msiexec /x "$newer"
[[ ! -e $folder ]] || fail "left behind: $(cd "$folder" && find . -mindepth 1 | tr '\n' ' ')"
[[ -z $(installed_links) ]] || fail "the shortcut is still there"
expect "the uninstall entry" "$(reg_value "$uninstall\\$newer" DisplayName)" ""
expect "Used COM Ports" "$(reg_value "$config" "Used COM Ports" /reg:32)" 68
echo "uninstalled: no files, no shortcut, no entry; the settings kept"
