#!/usr/bin/env bash
# Installs what the wine32 tier needs, and only what is missing:
#  - Wine's 32-bit half: Debian's wine32:i386 where it is installed, or installs cleanly (the i386
#    architecture added); where it does not (its i386 twins missing from a mirror part-way through
#    a sync, say), a private root in build/wine32-root made from the mirror's main i386 index at
#    the installed wine64's version and never installed into the system (scripts/wine32-root.sh),
#    made again when wine64 changes. BRELLAN_WINE32=private makes the root whatever the system has;
#  - qemu-user 10 from the backports suite, fetched with a private apt list and unpacked into
#    build/qemu (the system's apt sources stay as they are). Bookworm's own qemu 7.2 takes about
#    a minute to start a 32-bit Wine process; qemu 10 takes about a second.
# Prints the path of qemu-i386 on its last line.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
source scripts/wine32-root.sh

system_wine32() { dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; }

# Debian's package, where apt can install it whole: tried first, then installed.
install_system_wine32() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q || echo "install-wine32: some package lists could not be refreshed" >&2
  apt-get install -s -q --no-install-recommends wine32:i386 >/dev/null 2>&1 || return 1
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine32:i386
}

if [ "${BRELLAN_WINE32:-}" = private ] || { ! system_wine32 && ! install_system_wine32; }; then
  version=$(wine64_version)
  [ -n "$version" ] || { echo "install-wine32: wine64 is not installed (scripts/install-deps.sh)" >&2; exit 1; }
  if wine32_root_current "$root/build/wine32-root" "$version"; then
    echo "install-wine32: the private root for wine $version is in build/wine32-root" >&2
  else
    echo "install-wine32: Debian's wine32:i386 is not to be had here; making a private root for wine $version in build/wine32-root" >&2
    make_wine32_root "$root/build/wine32-root" "$version"
  fi
fi

qemu=$root/build/qemu/root/usr/bin/qemu-i386
if [ ! -x "$qemu" ]; then
  private_apt "$root/build/qemu/apt" \
    "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) bookworm-backports main"
  apt-get -q "${PRIVATE_APT[@]}" update
  (cd "$root/build/qemu/apt" && apt-get -q "${PRIVATE_APT[@]}" download qemu-user)
  dpkg-deb -x "$(ls "$root"/build/qemu/apt/qemu-user_*.deb | head -n 1)" "$root/build/qemu/root"
fi
"$qemu" --version | head -n 1 >&2
echo "$qemu"
