#!/usr/bin/env bash
# The wine32 tier: the integration suite against the 32-bit release programs themselves.
#
# This kernel cannot execute 32-bit code, so Wine's 32-bit loader runs under qemu-i386. The
# handler is registered with binfmt_misc inside a private user and mount namespace, never
# machine-wide, and every Wine process of the tier starts inside that namespace.
#   wine32-tier.sh [SUITE.exe [PROGRAM_DIR]]
# Exits 77 (a visible skip) when the machine cannot run the tier.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")

if [ "${1:-}" = "--inside" ]; then
  qemu=$2 suite=$3 programs=$4
  if ! mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null; then
    echo "SKIPPED wine32 tier: binfmt_misc cannot be mounted in a user namespace on this kernel"
    exit 77
  fi
  # i386 ELF executables go to qemu-i386: F opens it now, P keeps argv[0] for Wine's loader.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ":qemu-i386:M::$magic:$mask:$qemu:FP\n" >/proc/sys/fs/binfmt_misc/register || exit 1
  state=$root/build/wine32-session
  "$here/wine-session.sh" start "$state" || exit 1
  export BRELLAN_PROGRAM_DIR="Z:${programs//\//\\}" BRELLAN_EXPECT_BITS=32
  echo "wine32: running $(basename "$suite") against $programs"
  status=0
  "$here/wine-session.sh" run "$state" "$suite" || status=$?
  "$here/wine-session.sh" stop "$state"
  exit $status
fi

suite=${1:-$root/build/wine/bin/integration_suite.exe}
programs=${2:-$root/build/release/bin}
skip() {
  echo "SKIPPED wine32 tier: $*"
  exit 77
}
qemu=$root/build/qemu/root/usr/bin/qemu-i386
[ -x "$qemu" ] || skip "qemu-user is not unpacked (scripts/install-wine32.sh)"
dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed' || skip "wine32 is not installed"
[ -f "$programs/DriverPrep.exe" ] && [ -f "$programs/PkgStage.exe" ] || skip "no release programs in $programs"
i686-w64-mingw32-objdump -f "$programs/DriverPrep.exe" | grep -q 'pei-i386' || skip "$programs holds no 32-bit programs"
unshare --user --map-root-user --mount --fork true 2>/dev/null || skip "user namespaces are not available"
exec unshare --user --map-root-user --mount --fork "$0" --inside "$qemu" "$suite" "$programs"
