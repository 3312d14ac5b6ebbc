#!/usr/bin/env bash
# The main job: builds both programs and plays an installation in a throwaway Wine prefix, the
# way the setup package runs them, printing each step, each exit status and what changed in the
# INF store. The 32-bit deliverables land in build/release/bin; Wine here runs their 64-bit twins
# from build/wine/bin.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

scripts/install-deps.sh imagemagick
for preset in release wine; do
  echo "=== building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done
echo "deliverables: $(ls build/release/bin/*.exe | tr '\n' ' ')"

state=$root/build/play
session() { scripts/wine-session.sh "$1" "$state" "${@:2}"; }
trap 'session stop >/dev/null 2>&1 || true' EXIT
echo "=== starting a throwaway Wine prefix"
session start
inf=$state/prefix/drive_c/windows/inf

snapshot() { (cd "$inf" && find . -maxdepth 1 -type f -printf '%f\n' | sort | while read -r f; do echo "$f $(md5sum <"$f" | cut -c1-12)"; done); }
# Prints what changed in the INF store since the snapshot given.
show_changes() {
  local after
  after=$(snapshot)
  echo "  INF store changes:"
  if [ "$1" = "$after" ]; then echo "    (none)"; return; fi
  diff <(echo "$1") <(echo "$after") | sed -n 's/^< \(.*\)/    removed \1/p; s/^> \(.*\)/    added   \1/p' || true
}
# Every box a program shows is saved as a picture, then turned into PNG.
shots=$state/shots
mkdir -p "$shots"
run() {
  echo "--- $*"
  local status=0
  session run "$root/build/wine/bin/run_program.exe" --shots "Z:${shots//\//\\}" "$@" || status=$?
  return $status
}
# ImageMagick's own convert: /usr/local/bin may hold another program of that name.
to_png() {
  local bmp
  for bmp in "$shots"/*.bmp; do
    [ -e "$bmp" ] || continue
    /usr/bin/convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
}
device_key='HKLM\System\CurrentControlSet\Enum\USB\Vid_8817&Pid_3402'

echo
echo "=== 1. A machine that still records a Brellan device: DriverPrep must stop the install"
session run reg add "$device_key\\5&2a9b3c0&0&1" /f >/dev/null 2>&1
before=$(snapshot)
run DriverPrep.exe || true
show_changes "$before"
session run reg delete "$device_key" /f >/dev/null 2>&1

to_png
mv "$shots/DriverPrep.exe-box1.png" "$shots/found-device.png" 2>/dev/null || true

echo
echo "=== 2. The device uninstalled: the setup package places its INF files and runs both programs"
folder="$state/prefix/drive_c/Program Files/Quillmere/Brellan Flashwright Installer"
mkdir -p "$folder"
cp tests/data/flashwright.inf tests/data/brellan.inf "$folder/"
echo "  placed flashwright.inf and brellan.inf in C:\\Program Files\\Quillmere\\Brellan Flashwright Installer"
# Windows names every staged copy oemN.inf; Wine keeps a source's own name while it is free in
# the store. Taking both names first makes Wine name the copies the way Windows does.
printf '[Version]\r\nSignature="$Windows NT$"\r\n; stands in for a system INF\r\n' >"$inf/flashwright.inf"
printf '[Version]\r\nSignature="$Windows NT$"\r\n; stands in for a system INF\r\n;\r\n' >"$inf/brellan.inf"
echo "  (Wine only: took the names flashwright.inf and brellan.inf in the store, so copies become oemN.inf as on Windows)"
before=$(snapshot)
run DriverPrep.exe || true
to_png
mv "$shots/DriverPrep.exe-box1.png" "$shots/installing-notice.png" 2>/dev/null || true
run PkgStage.exe || true
show_changes "$before"

echo
echo "=== 3. A second installation: DriverPrep removes the device's staged copy, PkgStage stages again"
before=$(snapshot)
run DriverPrep.exe || true
show_changes "$before"
before=$(snapshot)
run PkgStage.exe || true
show_changes "$before"

echo
echo "=== 4. What the user sees when things go wrong"
echo "  an unreadable entry in the store (a folder named oem7.inf), and the install folder missing"
mkdir -p "$inf/oem7.inf"
rm -rf "$folder"
run DriverPrep.exe || true
to_png
mv "$shots/DriverPrep.exe-box2.png" "$shots/readfile-failed.png" 2>/dev/null || true
run PkgStage.exe || true
to_png
mv "$shots/PkgStage.exe-box1.png" "$shots/copy-failed.png" 2>/dev/null || true
rmdir "$inf/oem7.inf"

rm -f "$shots"/*.bmp "$shots"/*-box*.png
echo
echo "=== done; pictures of the boxes: $(ls "$shots"/*.png 2>/dev/null | tr '\n' ' ')"
