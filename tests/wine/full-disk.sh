#!/usr/bin/env bash
# A full disk while the package writes the driver packages, after DriverPrep's purge: the run is
# rolled back and ends with 5, its log naming the file it could not write, and no copy of the
# driver is lost. The install folder is a 16 KiB tmpfs in a private user and mount namespace, where
# the whole Wine session runs (its wineserver opens files too): never a machine-wide mount.
#   full-disk.sh SETUP.exe
# Exits 77 (a visible skip) when the machine cannot make the namespace or the mount.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ "${1:-}" = "--inside" ]; then
  setup=$2
  state=$root/build/full-disk-session
  session() { "$root/scripts/wine-session.sh" "$1" "$state" "${@:2}"; }
  session start >/dev/null || exit 1
  trap 'umount "$folder" 2>/dev/null; session stop >/dev/null 2>&1' EXIT
  # shellcheck disable=SC1091
  source "$state/env"
  drive=$WINEPREFIX/drive_c
  inf=$drive/windows/inf
  folder="$drive/Program Files/Quillmere/Brellan Flashwright Installer"
  mkdir -p "$folder"
  if ! mount -t tmpfs -o size=16k tmpfs "$folder"; then
    echo "SKIPPED full disk: a tmpfs cannot be mounted in a user namespace here"
    exit 77
  fi
  # An earlier copy of the driver, which DriverPrep purges, and an installed version.
  { cat "$root/tests/data/brellan.inf"; printf '; an earlier version\r\n'; } >"$inf/oem7.inf"
  printf 'precompiled' >"$inf/oem7.pnf"
  key='HKLM\SOFTWARE\Quillmere\Brellan Flashwright Installer'
  session run reg add "$key" /v Version /d 0.9.0 /f /reg:64 >/dev/null
  before=$(cd "$inf" && md5sum -- * | sort)
  status=0
  session run "$setup" /S '/LOG=C:\full-disk.log' >/dev/null || status=$?
  log=$(tr -d '\r' <"$drive/full-disk.log")
  fail=0
  check() { if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; fail=1; fi; }
  [ "$status" = 5 ]; check $? "the run ends with 5 (it ended with $status)"
  grep -q 'could not be written whole (is the disk full?)' <<<"$log"; check $? "the log names the file it could not write"
  grep -q 'the machine is as the run found it' <<<"$log"; check $? "the log says the run was put back"
  [ "$before" = "$(cd "$inf" && md5sum -- * | sort)" ]; check $? "the INF store is as it was: the earlier copy is back"
  [ -z "$(find "$folder" -mindepth 1 | head -n 5)" ]; check $? "nothing the run placed is left, not even an empty folder:$(find "$folder" -mindepth 1 | head -n 5 | tr '\n' ' ')"
  session run reg query "$key" /v Version /reg:64 | grep -q '0\.9\.0'; check $? "the installed version is still 0.9.0"
  [ "$fail" = 0 ] || { echo "the log:"; echo "$log"; }
  exit $fail
fi

setup=${1:?usage: full-disk.sh SETUP.exe}
if ! unshare --user --map-root-user --mount true 2>/dev/null; then
  echo "SKIPPED full disk: this machine cannot make a private user and mount namespace"
  exit 77
fi
exec unshare --user --map-root-user --mount --fork "$0" --inside "$setup"
