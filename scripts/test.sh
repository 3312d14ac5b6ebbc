#!/usr/bin/env bash
# Runs every test tier: the host unit tests (plain and under ASan/UBSan), a short fuzz run, the
# checks on the 32-bit release programs, the integration suite against the 64-bit twins under
# Wine, and the same suite against the 32-bit release programs under Wine and qemu-i386 (the
# wine32 tier, which skips visibly where the machine cannot run it).
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh || exit 1
scripts/install-wine32.sh >/dev/null || echo "wine32 tier: its prerequisites could not be installed; it will skip"

passed=0
failed=0
skipped=0
broken=()
reasons=()
for preset in host host-asan fuzz release wine; do
  echo "=== $preset"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j"$(nproc)"; }; then
    echo "build of $preset failed"
    broken+=("$preset (build)")
    failed=$((failed + 1))
    continue
  fi
  log=$(mktemp)
  ctest --preset "$preset" 2>&1 | tee "$log"
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  skips=$(grep -cE '\(Skipped\)$' "$log" || true)
  # Each skipped test with the reason its output gives ("SKIPPED <what>: <why>").
  while IFS= read -r name; do
    why=$(awk -v name="$name" '$0 ~ "^[0-9]+/[0-9]+ Testing: " {current = $3}
      current == name && /^SKIPPED / {sub(/^SKIPPED /, ""); print; exit}' "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null)
    reasons+=("$name: ${why:-no reason given}")
  done < <(sed -nE 's/.*Test +#[0-9]+: ([^ ]+) .*\*\*\*Skipped.*/\1/p' "$log")
  rm -f "$log"
  if [ -z "$summary" ]; then
    broken+=("$preset (no result)")
    failed=$((failed + 1))
    continue
  fi
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  passed=$((passed + total - bad - skips))
  failed=$((failed + bad))
  skipped=$((skipped + skips))
  [ "$bad" -eq 0 ] || broken+=("$preset")
done

echo
[ ${#broken[@]} -eq 0 ] || echo "failing: ${broken[*]}"
for reason in "${reasons[@]}"; do echo "skipped $reason"; done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
