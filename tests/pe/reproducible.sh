#!/usr/bin/env bash
# Builds the release preset twice, in two fresh folders of different names and a moment apart,
# and checks that the programs and the setup package come out byte for byte the same: no link
# time, build path or date may reach them.
#   reproducible.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for build in "$work/a" "$work/second-build"; do
  [ "$build" = "$work/a" ] || sleep 2
  if ! { cmake -S "$source_dir" --preset release -B "$build" >/dev/null && cmake --build "$build" -j"$(nproc)" >/dev/null; }; then
    echo "FAIL: the release build in $build failed"
    exit 1
  fi
done
fail=0
for file in DriverPrep.exe PkgStage.exe SetupWatch.exe SetupRollback.exe BrellanFlashwrightSetup.exe; do
  if cmp -s "$work/a/bin/$file" "$work/second-build/bin/$file"; then
    echo "ok   $file: identical in both builds ($(sha256sum <"$work/a/bin/$file" | cut -c1-16)…)"
  else
    echo "FAIL $file: the two builds differ"
    fail=1
  fi
done
exit $fail
