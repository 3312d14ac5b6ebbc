#!/usr/bin/env bash
# Benchmarks, printed as figures: the purge against its reading floor under Wine, DriverPrep's
# whole run and the notice's time on screen, and the bytes the purge reads against the minimum.
#   scripts/bench.sh [ROUNDS] [INSTALL_ROUNDS]   (default 9 and 5)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
rounds=${1:-9}
install_rounds=${2:-5}

scripts/install-deps.sh
for preset in wine host; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done

state=$root/build/bench-session
trap 'scripts/wine-session.sh stop "$state" >/dev/null 2>&1 || true' EXIT
scripts/wine-session.sh start "$state" >/dev/null
session() { scripts/wine-session.sh run "$state" "$@"; }

echo "=== the purge against the floor (Wine, 64-bit build)"
session "$root/build/wine/bin/purge_bench.exe" "$rounds"

echo
echo "=== DriverPrep's whole run on that store (Wine), $rounds runs"
whole=()
notice=()
for _ in $(seq "$rounds"); do
  session "$root/build/wine/bin/purge_bench.exe" --make-store
  out=$(session "$root/build/wine/bin/run_program.exe" DriverPrep.exe || true)
  whole+=("$(sed -n 's/.*exit status 1 (after \([0-9]*\) ms).*/\1/p' <<<"$out")")
  notice+=("$(sed -n 's/.*closed by itself after \([0-9]*\) ms.*/\1/p' <<<"$out")")
done
median() { printf '%s\n' "$@" | grep -E '^[0-9]+$' | sort -n | awk '{v[NR]=$1} END {if (NR) print v[int((NR+1)/2)]; else print "n/a"}'; }
echo "  whole run, start to exit (median)        $(median "${whole[@]}") ms"
echo "  notice on screen, seen to gone (median)  $(median "${notice[@]}") ms   (the worker presses it 500 ms after it is up)"

# The whole unattended install (the package with /S on the visible desktop) against DriverPrep's
# own run, on stores of stale 8 KiB copies with twins, 1% naming the device, as a fresh machine
# meets them: before each measurement the store is put back as it was (the names flashwright.inf
# and brellan.inf taken, so that copies are named oemN.inf as Windows names them), and no product
# is installed (its folders, detection value and Apps & features entry removed).
prefix=$state/prefix
fresh_machine() {
  session "$root/build/wine/bin/purge_bench.exe" --stale-store "$1"
  rm -rf "$prefix/drive_c/Program Files/Quillmere"
  session reg delete 'HKLM\SOFTWARE\Quillmere' /f >/dev/null 2>&1 || true
  session reg delete 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\QuillmereBrellanFlashwright' /f >/dev/null 2>&1 || true
}
log=$prefix/drive_c/bench-install.log
echo
for count in 2000 20000; do
  echo "=== the whole install against DriverPrep's own run, $count stale 8 KiB copies with twins (Wine), $install_rounds runs"
  own=()
  install=()
  for _ in $(seq "$install_rounds"); do
    fresh_machine "$count"
    out=$(session "$root/build/wine/bin/run_program.exe" DriverPrep.exe || true)
    own+=("$(sed -n 's/.*DriverPrep.exe exit status 1 (after \([0-9]*\) ms).*/\1/p' <<<"$out")")
    fresh_machine "$count"
    rm -f "$log"
    out=$(session "$root/build/wine/bin/run_program.exe" BrellanFlashwrightSetup.exe /S '/LOG=C:\bench-install.log' || true)
    install+=("$(sed -n 's/.*BrellanFlashwrightSetup.exe exit status 0 (after \([0-9]*\) ms).*/\1/p' <<<"$out")")
  done
  a=$(median "${install[@]}") b=$(median "${own[@]}")
  echo "  DriverPrep's own run (median)          $b ms"
  echo "  the whole install with /S (median)     $a ms"
  awk -v a="$a" -v b="$b" 'BEGIN { if (a > 0 && b > 0) printf "  whole install / DriverPrep own run     %.2f\n", a / b; else print "  (a run did not end as expected)" }'
  echo "  where the last install's time went (ms since the package started, and since the step before):"
  # (one line a step: the file-by-file "placed" lines are left out)
  sed 's/\r$//' "$log" | awk 'match($0, /^[0-9:.]+ \[[0-9]+ ms\] /) && $0 !~ /\] placed [A-Z]:/ { b = index($0, "["); t = substr($0, b + 1, index($0, " ms]") - b - 1); printf "    %6d  +%5d  %s\n", t, t - last, substr($0, RLENGTH + 1); last = t }'
done

echo
echo "=== bytes read (host build, same store)"
build/host/bin/bytes_read
