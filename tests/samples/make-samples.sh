#!/usr/bin/env bash
# Remakes what the sample driver packages of tests/data carry beside their INFs: the device
# package's co-installer for each platform, from BrellanCoInst.c, and every catalog the INFs name
# (unsigned, dated as given, for Windows 7 to 11). Run it after changing a sample INF; commit what
# it writes. The test-signed release signs copies of these catalogs with its throwaway CA.
#   tests/samples/make-samples.sh [ISO-DATE]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
when=${1:-2026-12-08T00:00:00Z}
data=tests/data
for target in i686:x86:_DllMain@12 x86_64:amd64:DllMain; do
  IFS=: read -r arch platform entry <<<"$target"
  "$arch-w64-mingw32-gcc" -shared -O2 -s -nostdlib -e "$entry" -Wl,--kill-at,--no-insert-timestamp \
    -o "$data/$platform/BrellanCoInst.dll" tests/samples/BrellanCoInst.c
done
/usr/bin/python3 installer/driver_package make "$data" --windows 7,8,8.1,10,11 --time "$when"
