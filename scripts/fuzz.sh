#!/usr/bin/env bash
# Runs the content-match fuzz target for longer than the test pass does.
#   scripts/fuzz.sh [SECONDS]   (default 600)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
seconds=${1:-600}
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
corpus=build/fuzz/tests/fuzz/corpus
mkdir -p "$corpus"
ASAN_OPTIONS=detect_leaks=0 build/fuzz/bin/inf_match_fuzz -max_total_time="$seconds" -jobs="$(nproc)" \
  -workers="$(nproc)" -dict=tests/fuzz/inf.dict "$corpus" tests/fuzz/seeds
