#!/usr/bin/env bash
# Types the by-hand build of docs/vendors.md as it stands there, from a folder laid out as the
# repository root (the sources linked, this release build's folder as build/release, its programs
# in signed/): around the samples, whose catalogs are unsigned, the first line stops and nothing is
# built; around a copy whose catalogs a throwaway vendor signed, the package is built and carries
# those catalogs byte for byte.
#   check-by-hand.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
source_dir=$1 binary_dir=$2
source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh"
source "$source_dir/scripts/test-signing.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The sh block of the guide's section, its indent taken off.
commands=$(awk '/^## /{section = ($0 == "## Building around them by hand")}
  section && /^  ```sh$/ {block = 1; next}
  section && block && /^  ```$/ {block = 0}
  section && block {sub(/^  /, ""); print}' "$source_dir/docs/vendors.md")
check "the guide shows the by-hand lines" grep -q '^makensis ' <<<"$commands"

root=$work/root
mkdir -p "$root/build" "$root/signed"
for entry in "$source_dir"/*; do
  [ "$(basename "$entry")" = build ] || ln -s "$entry" "$root/$(basename "$entry")"
done
ln -s "$binary_dir" "$root/build/release"
cp "$binary_dir"/bin/{DriverPrep,PkgStage,SetupWatch,SetupRollback}.exe "$root/signed/"
typed() { (cd "$root" && bash -e -c "${commands//\/path\/to\/driver\/packages/$1}") 2>&1; }

unsigned=$(typed "$source_dir/tests/data")
check "around unsigned catalogs the lines stop" test $? -ne 0
check "naming each catalog Windows would refuse" grep -q 'brellan.inf (amd64): brellan_amd64.cat is not signed' <<<"$unsigned"
check "and build nothing" test ! -e "$root/build/driver-files.nsh" -a ! -e "$root/BrellanFlashwrightSetup.exe"

packages=$work/packages
cp -r "$source_dir/tests/data" "$packages"
test_certificate "$work" ca "Brellan by-hand check CA" self "$TEST_CA_EXTENSIONS"
test_certificate "$work" signer "Brellan by-hand vendor" ca "$TEST_SIGNER_EXTENSIONS"
for catalog in "$packages"/*.cat; do
  osslsigncode sign -h sha256 -certs "$work/signer.pem" -key "$work/signer.key" -in "$catalog" -out "$catalog.signed" \
    >/dev/null && mv "$catalog.signed" "$catalog"
done
built=$(typed "$packages")
check "around signed catalogs the lines, typed as the guide has them, build the package" \
  test $? -eq 0 -a -s "$root/BrellanFlashwrightSetup.exe"
check "saying what Windows does with a vendor's signature" grep -q 'brellan_amd64.cat is signed by Brellan by-hand vendor, not Microsoft' <<<"$built"
7z x -y -o"$work/unpacked" "$root/BrellanFlashwrightSetup.exe" >/dev/null 2>&1
placed="$work/unpacked/C:/Program Files/Quillmere/Brellan Flashwright Installer"
check "the package carries the signed catalogs byte for byte" cmp "$packages/brellan_amd64.cat" "$placed/brellan_amd64.cat"
[ "$fail" -eq 0 ] || printf '%s\n' "$commands" "$unsigned" "$built"
exit $fail
