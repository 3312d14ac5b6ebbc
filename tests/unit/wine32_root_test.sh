#!/usr/bin/env bash
# The wine32 tier's private root is taken only while its stamp names the installed wine64's
# version and its loader is there: a wine64 upgrade, or a root cut short, makes it again.
#   wine32_root_test.sh SOURCE_DIR
set -uo pipefail
source "$1/scripts/wine32-root.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
expect() {   # expect yes|no DESCRIPTION COMMAND...
  local want=$1 what=$2 got=no
  shift 2
  if "$@"; then got=yes; fi
  if [ "$got" = "$want" ]; then echo "ok   $what"; else echo "FAIL $what (got $got)"; failed=1; fi
}
mkdir -p "$work/root/usr/lib/wine"
printf '#!/bin/sh\n' >"$work/root/usr/lib/wine/wine"
chmod +x "$work/root/usr/lib/wine/wine"
wine32_root_stamp "8.0~repack-4" >"$work/stamp"
expect yes "a root stamped for the installed wine64 is current" wine32_root_current "$work" "8.0~repack-4"
expect no "after a wine64 upgrade it is stale" wine32_root_current "$work" "8.0.2~repack-1"
expect no "a version that only begins the same is another" wine32_root_current "$work" "8.0~repack"
rm "$work/stamp"
expect no "a root without its stamp (cut short while made) is stale" wine32_root_current "$work" "8.0~repack-4"
wine32_root_stamp "8.0~repack-4" >"$work/stamp"
rm "$work/root/usr/lib/wine/wine"
expect no "a root without Wine's 32-bit loader is stale" wine32_root_current "$work" "8.0~repack-4"
private_apt "$work/apt" "deb http://mirror.invalid/debian bookworm main" i386
expect yes "apt's state is the root's own, never the system's" \
  test "$(printf '%s\n' "${PRIVATE_APT[@]}" | grep -c "$work/apt")" -ge 6 -a -z "$(printf '%s\n' "${PRIVATE_APT[@]}" | grep -E '/etc/|/var/lib/dpkg')"
exit $failed
