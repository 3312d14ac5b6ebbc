#!/usr/bin/env bash
# A full disk in the install folder, after the package has checked its version and kept what it
# may change: the run ends with 5, no copy of the driver is lost, and no file or folder of the run
# stays. The install folder is a tmpfs in a private user and mount namespace, where the whole Wine
# session runs (its wineserver opens files too): never a machine-wide mount. Two disks:
#   room    16 KiB: too small for the driver files. The run ends before it changes anything,
#           saying how much room it needs; double-clicked, the wizard's finish page says it too
#           (the suite's WizardFullDisk case, run here with BRELLAN_FULL_DISK set).
#   inodes  room enough, but files for only three names: the co-installer in the amd64 subfolder
#           cannot be begun while that folder is the package's current folder. The rollback
#           removes the folder all the same.
#   full-disk.sh SETUP.exe [room|inodes]
# Exits 77 (a visible skip) when the machine cannot make the namespace or the mount.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)

if [ "${1:-}" = "--inside" ]; then
  setup=$2
  disk=$3
  state=$root/build/full-disk-session-$disk
  session() { "$root/scripts/wine-session.sh" "$1" "$state" "${@:2}"; }
  session start >/dev/null || exit 1
  trap 'umount "$folder" 2>/dev/null; session stop >/dev/null 2>&1' EXIT
  # shellcheck disable=SC1091
  source "$state/env"
  drive=$WINEPREFIX/drive_c
  inf=$drive/windows/inf
  folder="$drive/Program Files/Quillmere/Brellan Flashwright Installer"
  mkdir -p "$folder"
  # The root folder, the two INFs and amd64 take the four inodes: amd64's co-installer finds none.
  options=size=16k
  [ "$disk" = room ] || options=size=64m,nr_inodes=4
  if ! mount -t tmpfs -o "$options" tmpfs "$folder"; then
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
  if [ "$disk" = room ]; then
    grep -q 'There is not enough room for the driver packages in C:.Program Files.Quillmere.Brellan Flashwright Installer: the install needs [0-9]* KB there, and [0-9]* KB are free.' <<<"$log"
    check $? "the log says how much room the install needs, and how much is free"
    ! grep -q 'DriverPrep.exe has run' <<<"$log"; check $? "it stopped before DriverPrep ran"
  else
    grep -q 'amd64.BrellanCoInst.dll could not be written (is the disk full? the install needs [0-9]* KB there)' <<<"$log"
    check $? "the log names the file it could not write"
  fi
  grep -q 'the machine is as the run found it' <<<"$log"; check $? "the log says the run was put back"
  [ "$before" = "$(cd "$inf" && md5sum -- * | sort)" ]; check $? "the INF store is as it was: the earlier copy is back"
  [ -z "$(find "$folder" -mindepth 1 | head -n 5)" ]; check $? "nothing the run placed is left, not even an empty folder:$(find "$folder" -mindepth 1 | head -n 5 | tr '\n' ' ')"
  session run reg query "$key" /v Version /reg:64 | grep -q '0\.9\.0'; check $? "the installed version is still 0.9.0"
  if [ "$disk" = room ]; then
    # Double-clicked: the wizard ends on the finish page of 5, in its own words.
    suite=$(dirname "$setup")/integration_suite.exe
    wizard=$(BRELLAN_FULL_DISK=$disk session run "$suite" --gtest_filter=WizardFullDisk.* 2>&1)
    grep -q '^\[  PASSED  \] 1 test' <<<"$wizard"; check $? "double-clicked, the wizard's finish page says it"
    [ "$before" = "$(cd "$inf" && md5sum -- * | sort)" ] && [ -z "$(find "$folder" -mindepth 1 | head -n 1)" ]
    check $? "and the machine is as it was"
    grep -q '^\[  PASSED  \] 1 test' <<<"$wizard" || echo "$wizard"
  fi
  [ "$fail" = 0 ] || { echo "the log:"; echo "$log"; }
  exit $fail
fi

setup=${1:?usage: full-disk.sh SETUP.exe [room|inodes]}
disk=${2:-room}
if ! unshare --user --map-root-user --mount true 2>/dev/null; then
  echo "SKIPPED full disk: this machine cannot make a private user and mount namespace"
  exit 77
fi
exec unshare --user --map-root-user --mount --fork "$0" --inside "$setup" "$disk"
