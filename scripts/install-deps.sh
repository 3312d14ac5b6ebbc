#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, and any further packages named
# on the command line. Safe to run again: it installs only what is missing.
#   install-deps.sh [--release] [PACKAGE...]
# With --release, only what making a release needs (the 32-bit toolchain, NSIS, signing), for a
# build machine that runs no tests. Without root it installs nothing and names what is missing.
set -euo pipefail

if [ "${1:-}" = "--release" ]; then
  shift
  packages=(cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 nsis osslsigncode openssl python3 python3-asn1crypto python3-cryptography ca-certificates "$@")
else
  packages=(
    cmake make g++ googletest libgtest-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    wine64 xvfb nsis osslsigncode openssl p7zip-full locales
    softhsm2 libengine-pkcs11-openssl opensc ca-certificates python3 python3-asn1crypto python3-cryptography python3-jsonschema python3-yaml
    clang libclang-rt-14-dev
    "$@"
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed (${packages[*]})"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${missing[*]}; as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A list that cannot be refreshed (a mirror part-way through a sync, say) leaves its old copy: the
# install goes on from what apt knows, and fails by itself only if that lacks a package.
apt-get update -q || echo "install-deps: some package lists could not be refreshed (see above); installing from those apt has" >&2
apt-get install -y -q --no-install-recommends "${missing[@]}"
