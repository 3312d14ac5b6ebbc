#!/usr/bin/env bash
# Makes the pictures of the package's pages in docs/how-it-works.md#what-the-user-sees from the
# package as it is: the integration suite's wizard tests play every outcome in a throwaway Wine
# prefix (at 100 % scaling, and again at 150 %, where the package must stay sharp and its texts
# fit), and save each page they see; the pictures become docs/screenshots/wizard-*.png. A test
# that fails stops the script and keeps the docs' pictures as they were.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

scripts/install-deps.sh
cmake --preset wine >/dev/null
cmake --build --preset wine -j"$(nproc)" >/dev/null
suite=$root/build/wine/bin/integration_suite.exe
out=$root/build/screenshots
rm -rf "$out"
mkdir -p "$out"
session() { scripts/wine-session.sh "$1" "$out/session" "${@:2}"; }
trap 'session stop >/dev/null 2>&1 || true' EXIT

# play SCALE FILTER [ENV...]: the suite's FILTER, its pictures in $out/SCALE.
play() {
  local scale=$1 filter=$2 shots=$out/$1
  mkdir -p "$shots"
  echo "=== $filter at $scale %"
  if ! (export BRELLAN_EXPECT_BITS=64 BRELLAN_SHOTS="Z:${shots//\//\\}"; [ $# -le 2 ] || export "${@:3}"
         session run "$suite" --gtest_filter="$filter") >"$shots.log" 2>&1; then
    cat "$shots.log"
    echo "screenshots: a test failed: the docs' pictures stay as they were" >&2
    exit 1
  fi
  grep -E '^\[ +(OK|SKIPPED) +\]' "$shots.log" || true
}

for scale in 100 150; do
  session start >/dev/null
  if [ "$scale" = 150 ]; then
    session run reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
  fi
  play "$scale" 'Wizard.FinishPage*:Wizard.Uninstall*'
  if [ "$scale" = 100 ]; then
    play "$scale" 'WizardGerman.*' LANG=de_DE.UTF-8 LOCPATH="$out/session/locale" BRELLAN_DISPLAY_LANGUAGE=de
  fi
  session stop >/dev/null
done

# NAME's picture number N (or "last"), at SCALE, as docs/screenshots/TARGET.png.
count=0
keep() {
  local scale=$1 name=$2 which=$3 target=$4 bmp
  if [ "$which" = last ]; then
    bmp=$(ls "$out/$scale/$name"-*.bmp 2>/dev/null | sort -V | tail -1)
  else
    bmp=$out/$scale/$name-$which.bmp
  fi
  if [ -z "$bmp" ] || [ ! -e "$bmp" ]; then
    echo "screenshots: no picture $name-$which at $scale % (did its test run?)" >&2
    exit 1
  fi
  python3 scripts/bmp-to-png.py "$bmp"
  cp "${bmp%.bmp}.png" "docs/screenshots/$target.png"
  count=$((count + 1))
}
keep 100 install 1 wizard-welcome
keep 100 install 2 wizard-progress
keep 100 install last wizard-finish-0
for code in 2 3 4 5 1618 1633 1638 1639; do keep 100 "finish-$code" last "wizard-finish-$code"; done
keep 100 uninstall 1 wizard-uninstall-welcome
keep 100 uninstall last wizard-uninstall-finish
keep 100 german 1 wizard-welcome-de
keep 100 german last wizard-finish-3-de
keep 150 install 1 wizard-welcome-150
keep 150 finish-4 last wizard-finish-4-150
echo "screenshots: $count pictures in docs/screenshots"
