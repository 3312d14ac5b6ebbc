#!/usr/bin/env bash
# The main job: builds both programs and their setup package (32-bit deliverables in
# build/release/bin, their 64-bit twins in build/wine/bin), then plays whole installations through
# the 64-bit setup package in a throwaway Wine prefix, printing for each its exit code, its log
# and what changed in the INF store. Every box the programs show, and each page of the installer's
# wizard, are saved as pictures in build/play/shots.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

scripts/install-deps.sh
for preset in release wine; do
  echo "=== building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done
echo "deliverables: $(ls build/release/bin/*.exe | tr '\n' ' ')"

# The wine preset also builds a second setup package, around an INF the copy service refuses (no
# Signature line), the way a vendor points the package at the product's own INF files.
refusing_setup="Z:${root//\//\\}\\build\\wine\\bin\\refusing\\BrellanFlashwrightSetup.exe"

state=$root/build/play
session() { scripts/wine-session.sh "$1" "$state" "${@:2}"; }
trap 'session stop >/dev/null 2>&1 || true' EXIT
echo "=== starting a throwaway Wine prefix"
session start
prefix=$state/prefix
inf=$prefix/drive_c/windows/inf
folder="$prefix/drive_c/Program Files/Quillmere/Brellan Flashwright Installer"

snapshot() { (cd "$inf" && find . -maxdepth 1 -type f -printf '%f\n' | sort | while read -r f; do echo "$f $(md5sum <"$f" | cut -c1-12)"; done); }
# Prints what changed in the INF store since the snapshot given.
show_changes() {
  local after
  after=$(snapshot)
  echo "  INF store changes:"
  if [ "$1" = "$after" ]; then echo "    (none)"; return; fi
  diff <(echo "$1") <(echo "$after") | sed -n 's/^< \(.*\)/    removed \1/p; s/^> \(.*\)/    added   \1/p' || true
}
shots=$state/shots
mkdir -p "$shots"
# Runs a setup package (by default the 64-bit one of build/wine/bin), pressing OK on every box but
# the self-closing notice, and prints its exit code and log. With unseen=1 it runs on a window
# station nobody can see, where nobody presses anything.
install() {
  local status=0 where=(--shots "Z:${shots//\//\\}")
  [ -z "${unseen:-}" ] || where=(--unseen)
  rm -f "$shots"/*.bmp
  echo "--- BrellanFlashwrightSetup.exe $*${unseen:+ (on a window station nobody can see)}"
  session run "$root/build/wine/bin/run_program.exe" "${where[@]}" "${setup:-BrellanFlashwrightSetup.exe}" "$@" || status=$?
  echo "  setup exit code: $status"
  echo "  its log (the run's own record: the log keeps the earlier runs' before it):"
  sed 's/\r$//' "$prefix"/drive_c/users/*/Temp/BrellanFlashwrightSetup.log 2>/dev/null |
    awk '/^Brellan Flashwright setup / { record = "" } { record = record "    " $0 "\n" } END { printf "%s", record }' || true
}
# Keeps the picture of the last run's box (or with page=1, its wizard's page) number N as NAME.png.
keep_shot() {
  local kind=box
  [ -z "${page:-}" ] || kind=page
  local bmp=$shots/BrellanFlashwrightSetup.exe-$kind$1.bmp
  if [ -e "$bmp" ]; then python3 scripts/bmp-to-png.py "$bmp" && mv "${bmp%.bmp}.png" "$shots/$2.png"
  else echo "  (no picture of window $1)"; fi
}
device_key='HKLM\System\CurrentControlSet\Enum\USB\Vid_8817&Pid_3402'

# Windows names every staged copy oemN.inf; Wine keeps a source's own name while it is free in
# the store. Taking both names first makes Wine name the copies the way Windows does.
printf '[Version]\r\nSignature="$Windows NT$"\r\n; stands in for a system INF\r\n' >"$inf/flashwright.inf"
printf '[Version]\r\nSignature="$Windows NT$"\r\n; stands in for a system INF\r\n;\r\n' >"$inf/brellan.inf"
echo "(Wine only: took the names flashwright.inf and brellan.inf in the store, so copies become oemN.inf as on Windows)"

echo
echo "=== 1. A machine that still records a Brellan device: expect exit code 3, nothing placed or staged"
session run reg add "$device_key\\5&2a9b3c0&0&1" /f >/dev/null 2>&1
before=$(snapshot)
install /S || true
show_changes "$before"
[ -e "$folder" ] && echo "  the install folder exists" || echo "  the install folder was not created"
keep_shot 1 found-device

echo
echo "=== 1b. The same, unattended: /S on a window station nobody can see (a deployment service's),"
echo "===     nobody pressing anything: expect it to end by itself with exit code 3, the box in its log"
unseen=1 install /S || true
session run reg delete "$device_key" /f >/dev/null 2>&1

echo
echo "=== 2. A clean machine, double-clicked: its welcome, progress and finish pages, Next pressed on each;"
echo "===    expect exit code 0, both copies staged, and"
echo "===    the sample driver packages (INFs, catalogs, a co-installer per platform) in the install folder"
before=$(snapshot)
install || true
show_changes "$before"
echo "  the install folder holds:"
(cd "$folder" && find . -type f -printf '%P\n' | sort | sed 's/^/    /')
keep_shot 1 installing-notice
page=1 keep_shot 1 welcome
page=1 keep_shot 3 finished

echo
echo "=== 3. An earlier version's stale copy naming the device. First a preview (/WHATIF): expect exit code 0,"
echo "===    the store unchanged, its log naming oem42.inf and the installed copy of the device's INF, with their"
echo "===    twins, as what the purge would delete (the run stages the device's INF again);"
echo "===    then the run: expect them purged, exit code 0"
{ sed 's/DriverVer=.*/DriverVer=01\/15\/2025,0.9.0.0/' tests/data/brellan.inf; } >"$inf/oem42.inf"
printf 'precompiled' >"$inf/oem42.pnf"
before=$(snapshot)
install /S /WHATIF || true
show_changes "$before"
install /S || true
show_changes "$before"
echo "  the event source (every run reports one event to the Application log):"
session run reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Brellan Flashwright Setup' 2>/dev/null |
  tr -d '\r' | sed -n 's/^ *\(EventMessageFile\|TypesSupported\)/    \1/p'

echo
echo "=== 4. The install folder cannot be written (a file stands in its place), and an unreadable"
echo "===    entry in the store (a folder named oem7.inf): expect ReadFile Failed, then exit code 5, the store as it was"
rm -rf "$folder"
touch "$folder"
mkdir -p "$inf/oem7.inf"
before=$(snapshot)
install /S || true
show_changes "$before"
keep_shot 2 readfile-failed
rm -f "$folder"
rmdir "$inf/oem7.inf"

echo
echo "=== 5. The copy service refuses the tool's INF (a package built with another INF folder), with an earlier"
echo "===    version's copy in the store: expect exit code 4, and the store as it was (the copy put back)"
{ sed 's/DriverVer=.*/DriverVer=01\/15\/2025,0.9.0.0/' tests/data/brellan.inf; } >"$inf/oem42.inf"
printf 'precompiled' >"$inf/oem42.pnf"
before=$(snapshot)
setup=$refusing_setup install /S || true
show_changes "$before"
keep_shot 2 copy-failed

echo
echo "=== 6. Installed once more (/S), then the uninstall as Apps & features and winget run it: the"
echo "===    entry's QuietUninstallString, waited for: expect exit code 0, the product's copies gone from the"
echo "===    store, the install folder, the entry and the value gone (the uninstaller itself at the restart)"
install /S >/dev/null || true
entry='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QuillmereBrellanFlashwright'
quiet=$(session run reg query "$entry" /v QuietUninstallString /reg:64 2>/dev/null | sed -n 's/.*REG_SZ *//p' | tr -d '\r')
echo "  QuietUninstallString: $quiet"
uninstaller=$(sed -n 's/^"\([^"]*\)".*/\1/p' <<<"$quiet")
read -ra switches <<<"$(sed 's/^"[^"]*" *//' <<<"$quiet")"
before=$(snapshot)
setup=$uninstaller unseen=1 install "${switches[@]}" || true
show_changes "$before"
session run reg query "$entry" /reg:64 >/dev/null 2>&1 && echo "  the entry is still there" || echo "  the Apps & features entry is gone"
if [ -e "$folder" ]; then
  echo "  the install folder holds (removed at the next restart: the uninstaller ran from it):"
  (cd "$folder" && find . -type f -printf '%P\n' | sort | sed 's/^/    /')
else
  echo "  the install folder is gone"
fi


echo
echo "=== 7. A restart (Wine's wineboot -r carries out the restart's work): expect nothing of the product left"
session run wineboot -r >/dev/null 2>&1 || true
vendor=$(dirname "$folder")
[ -e "$folder" ] && echo "  the install folder is still there" || echo "  the install folder is gone"
[ -e "$vendor" ] && echo "  $(basename "$vendor") is still there: $(ls -A "$vendor" | tr '\n' ' ')" || echo "  $(basename "$vendor") is gone: the package made it"
session run reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Brellan Flashwright Setup' >/dev/null 2>&1 &&
  echo "  the event source is still registered" || echo "  the event source's registration is gone"

echo
rm -f "$shots"/*.bmp
echo "=== done; pictures: $(ls "$shots"/*.png 2>/dev/null | tr '\n' ' ')"
