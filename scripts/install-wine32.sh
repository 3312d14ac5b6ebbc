#!/usr/bin/env bash
# Installs what the wine32 tier needs, and only what is missing:
#  - the i386 architecture and Debian's wine32;
#  - qemu-user 10 from the backports suite, fetched with a private apt list and unpacked into
#    build/qemu (the system's apt sources stay as they are). Bookworm's own qemu 7.2 takes about
#    a minute to start a 32-bit Wine process; qemu 10 takes about a second.
# Prints the path of qemu-i386 on its last line.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  apt-get update -q
fi
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine32:i386
fi

qemu=$root/build/qemu/root/usr/bin/qemu-i386
if [ ! -x "$qemu" ]; then
  # The mirror this machine already uses, from its own apt sources.
  mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$mirror" ] || { echo "install-wine32: no Debian mirror found in the apt sources" >&2; exit 1; }
  apt_dir=$root/build/qemu/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm-backports main" >"$apt_dir/sources.list"
  opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root)
  apt-get -q "${opts[@]}" update
  (cd "$apt_dir" && apt-get -q "${opts[@]}" download qemu-user)
  dpkg-deb -x "$(ls "$apt_dir"/qemu-user_*.deb | head -n 1)" "$root/build/qemu/root"
fi
"$qemu" --version | head -n 1 >&2
echo "$qemu"
