#!/usr/bin/env bash
# The wine32 tier: the integration suite against the 32-bit release programs themselves.
#
# This kernel cannot execute 32-bit code, so Wine's 32-bit loader runs under qemu-i386. The
# handler is registered with binfmt_misc inside a private user and mount namespace, never
# machine-wide, and every Wine process of the tier starts inside that namespace. Wine's 32-bit
# half is Debian's wine32:i386 where the system has it, else the private root of
# scripts/install-wine32.sh (BRELLAN_WINE32=private: that root whatever the system has), which only
# this namespace sees: a read-only overlay of its usr/lib over /usr/lib (the 64-bit Wine hands each
# 32-bit program to /usr/lib/wine/wine), its i386 libraries in place of any the system has, an
# empty /usr/lib32 (the system's libc6-i386 must not mix with the root's loader), and a writable
# layer of its own for fontconfig's cache.
#   wine32-tier.sh [SUITE.exe [PROGRAM_DIR]]
# Exits 77 (a visible skip, its reason on a line "SKIPPED wine32 tier: ...") when the machine
# cannot run the tier.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
source "$here/wine32-root.sh"
skip() {
  echo "SKIPPED wine32 tier: $*"
  exit 77
}

# show_private_root DIR: the root in DIR in place of the system's 32-bit Wine, in this namespace.
show_private_root() {
  local dir=$1
  mount -t overlay overlay -o "lowerdir=$dir/root/usr/lib:/usr/lib" /usr/lib 2>/dev/null ||
    skip "an overlay cannot be mounted in a user namespace on this kernel"
  mount --bind "$dir/root/usr/lib/i386-linux-gnu" /usr/lib/i386-linux-gnu || exit 1
  if [ -d /usr/lib32 ]; then mount -t tmpfs -o ro tmpfs /usr/lib32 || exit 1; fi
  if [ -d /var/cache/fontconfig ]; then
    mkdir -p "$dir/fontconfig/upper" "$dir/fontconfig/work"
    mount -t overlay overlay -o "lowerdir=/var/cache/fontconfig,upperdir=$dir/fontconfig/upper,workdir=$dir/fontconfig/work" \
      /var/cache/fontconfig || exit 1
  fi
}

if [ "${1:-}" = "--inside" ]; then
  qemu=$2 suite=$3 programs=$4 private=$5
  if ! mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null; then
    skip "binfmt_misc cannot be mounted in a user namespace on this kernel"
  fi
  [ -z "$private" ] || show_private_root "$private"
  # i386 ELF executables go to qemu-i386: F opens it now, P keeps argv[0] for Wine's loader.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf ":qemu-i386:M::$magic:$mask:$qemu:FP\n" >/proc/sys/fs/binfmt_misc/register || exit 1
  state=$root/build/wine32-session
  "$here/wine-session.sh" start "$state" || exit 1
  export BRELLAN_PROGRAM_DIR="Z:${programs//\//\\}" BRELLAN_EXPECT_BITS=32
  with="the system's wine32"
  [ -z "$private" ] || with="the private root in $private"
  echo "wine32: running $(basename "$suite") against $programs, with $with"
  status=0
  "$here/wine-session.sh" run "$state" "$suite" || status=$?
  "$here/wine-session.sh" stop "$state"
  exit $status
fi

suite=${1:-$root/build/wine/bin/integration_suite.exe}
programs=${2:-$root/build/release/bin}
qemu=$root/build/qemu/root/usr/bin/qemu-i386
[ -x "$qemu" ] || skip "qemu-user is not unpacked (scripts/install-wine32.sh)"
private=""
if [ "${BRELLAN_WINE32:-}" = private ] ||
  ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  private=$root/build/wine32-root
  wine32_root_current "$private" "$(wine64_version)" ||
    skip "neither Debian's wine32:i386 nor a private root for wine $(wine64_version) is here (scripts/install-wine32.sh makes one; its mirror may not have answered)"
fi
[ -f "$programs/DriverPrep.exe" ] && [ -f "$programs/PkgStage.exe" ] || skip "no release programs in $programs"
i686-w64-mingw32-objdump -f "$programs/DriverPrep.exe" | grep -q 'pei-i386' || skip "$programs holds no 32-bit programs"
unshare --user --map-root-user --mount --fork true 2>/dev/null || skip "user namespaces are not available"
exec unshare --user --map-root-user --mount --fork "$0" --inside "$qemu" "$suite" "$programs" "$private"
