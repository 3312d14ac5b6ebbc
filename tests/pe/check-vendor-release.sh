#!/usr/bin/env bash
# Signs a release the ways a vendor does. With a hardware token: through a SoftHSM2 token that
# this check sets up itself, named to the release script by BRELLAN_SIGN_PKCS11_* alone; each
# file verifies against the token's CA; a wrong PIN stops the script with a message that says so
# and leaves no release; the PIN shows nowhere in the output. With a PKCS#12 file: a missing
# password stops it before it builds; the release verifies too, around a vendor's own driver
# packages for 64-bit Windows alone, named by paths relative to the folder it is started from,
# which the package carries exactly, their catalogs made by the vendor and signed by the release; a
# named file missing from them, or an INF edited after its catalog was made, stops the build; a
# plain configure afterwards builds around the samples again.
#   check-vendor-release.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh"
source "$source_dir/scripts/test-signing.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

test_certificate "$work" ca "Brellan vendor token check CA" self "$TEST_CA_EXTENSIONS"
pin=$(head -c 12 /dev/urandom | base64)
test_token "$work" "Brellan vendor token" "$pin" || exit 1
unset BRELLAN_SIGN_PKCS12 BRELLAN_SIGN_PASSWORD BRELLAN_SIGN_TIMESTAMP
export BRELLAN_SIGN_PKCS11_MODULE BRELLAN_SIGN_PKCS11_KEY=$TEST_TOKEN_URI BRELLAN_SIGN_CERTS=$work/signer-chain.pem
BRELLAN_SIGN_PKCS11_MODULE=$(softhsm_module)
export BRELLAN_SIGN_URL=https://quillmere.example/brellan-flashwright

log=$(BRELLAN_SIGN_PIN=$pin "$source_dir/scripts/release.sh" "$work/dist" 2>&1)
check "the release signs with the token's key" test $? -eq 0
check "it is not test-signed" lacks TEST-SIGNED "$log"
for file in DriverPrep.exe PkgStage.exe SetupWatch.exe SetupRollback.exe BrellanFlashwrightSetup.exe; do
  check "$file verifies against the token's CA" verifies -CAfile "$work/ca.pem" -in "$work/dist/$file"
done

refused=$(BRELLAN_SIGN_PIN=not-the-pin "$source_dir/scripts/release.sh" "$work/refused" 2>&1)
check "a wrong PIN stops the release" test $? -ne 0
check "and says the token refused the PIN" grep -q 'the token refused the PIN' <<<"$refused"
check "and leaves no release" test ! -e "$work/refused" -a ! -e "$work/refused.partial"
check "the PIN shows nowhere in the output" lacks "$pin" "$log$refused"
# A key in a PKCS#12 file, from the same CA, around a vendor's own driver packages: the samples'
# files with other bytes, their catalogs made again, and a file that no INF names.
test_certificate "$work" file-signer "Brellan vendor file check" ca "$TEST_SIGNER_EXTENSIONS"
openssl pkcs12 -export -inkey "$work/file-signer.key" -in "$work/file-signer.pem" -certfile "$work/ca.pem" \
  -passout pass:check -out "$work/signer.p12"
unset BRELLAN_SIGN_PKCS11_MODULE
vendor=$work/vendor-packages
cp -r "$source_dir/tests/data" "$vendor"
find "$vendor" -type f ! -name '*.cat' -exec sh -c 'printf "; vendor build\r\n" >>"$1"' _ {} \;
python3 "$source_dir/installer/driver_package" make "$vendor" >/dev/null
echo "named by no INF" >"$vendor/notes.txt"
# The device's amd64 catalog signed by a throwaway chain under Microsoft's names, as the hardware
# dashboard's looks: the release ships a signed catalog as it is and signs the others; the build
# knows Microsoft by its keys, so this one is read as a vendor's whose root BRELLAN_CATALOG_CA holds.
test_certificate "$work" ms-root "Microsoft Root Certificate Authority 2010" self "$TEST_CA_EXTENSIONS"
test_certificate "$work" ms-signer "Microsoft Windows Hardware Compatibility Publisher" ms-root \
  'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=1.3.6.1.4.1.311.10.3.5,codeSigning'
osslsigncode sign -h sha256 -certs "$work/ms-signer.pem" -key "$work/ms-signer.key" -in "$vendor/brellan_amd64.cat" \
  -out "$work/microsoft.cat" >/dev/null && mv "$work/microsoft.cat" "$vendor/brellan_amd64.cat"
cat "$work/ca.pem" "$work/ms-root.pem" >"$work/roots.pem"
export BRELLAN_SIGN_CATALOGS=1 BRELLAN_CATALOG_CA=$work/roots.pem
release() { BRELLAN_SIGN_PKCS12=$work/signer.p12 BRELLAN_INF_DIR=$vendor "$source_dir/scripts/release.sh" "$@" 2>&1; }

nopass=$(release "$work/nopass")
check "a PKCS#12 file without its password stops the release" test $? -ne 0
check "before building, naming BRELLAN_SIGN_PASSWORD" grep -q 'needs a password: set BRELLAN_SIGN_PASSWORD' <<<"$nopass"
check "nothing was built for it" lacks "=== building" "$nopass"

mv "$vendor/amd64/BrellanCoInst.dll" "$work/"
broken=$(BRELLAN_SIGN_PASSWORD=check release "$work/broken")
check "a folder lacking a per-platform source file stops the release" test $? -ne 0 -a ! -e "$work/broken"
check "naming the INF, its line, the platform and the file" \
  grep -q 'brellan.inf, line [0-9]* (amd64): source file amd64.BrellanCoInst.dll is missing' <<<"$broken"
mv "$work/BrellanCoInst.dll" "$vendor/amd64/"
cp "$vendor/brellan.inf" "$work/"
printf '; edited after signing\r\n' >>"$vendor/brellan.inf"
edited=$(BRELLAN_SIGN_PASSWORD=check release "$work/edited")
check "an INF edited after its catalog was made stops the release" test $? -ne 0 -a ! -e "$work/edited"
check "before building, naming the file, the catalog and what Windows does" \
  grep -q 'brellan.inf (x86): brellan.inf is not in brellan_x86.cat: Windows refuses to stage this package' <<<"$edited"
cp "$work/brellan.inf" "$vendor/"
mv "$vendor/brellan.cat" "$work/"
configure=$(cd "$source_dir" && cmake --preset release -B "$work/build" -DBRELLAN_INF_DIR="$vendor" 2>&1)
check "a folder lacking a catalog stops the build's configure" test $? -ne 0
check "naming the catalog" grep -q 'brellan.inf, line [0-9]*: catalog brellan.cat is missing' <<<"$configure"
mv "$work/brellan.cat" "$vendor/"
plain=$(cd "$source_dir" && cmake --preset release -B "$work/build" 2>&1)
check "a plain configure afterwards builds around the samples" \
  grep -qF "Driver packages: $source_dir/tests/data (the samples), for x86;amd64" <<<"$plain"

pkcs12_log=$(cd "$work" && BRELLAN_SIGN_PASSWORD=check BRELLAN_SIGN_PKCS12=signer.p12 BRELLAN_INF_DIR=vendor-packages \
  BRELLAN_PLATFORMS=amd64 "$source_dir/scripts/release.sh" pkcs12 2>&1)
check "a PKCS#12 key named from the start folder signs the release there" \
  verifies -CAfile "$work/ca.pem" -in "$work/pkcs12/BrellanFlashwrightSetup.exe"
check "the release names the vendor's folder and its platform" \
  grep -qF "the driver packages of $vendor, for amd64, as" <<<"$pkcs12_log"
check "and does not call it the samples" lacks "SAMPLE" "$pkcs12_log"
check "the winget manifest offers it to 64-bit machines alone" \
  grep -q '^  - Architecture: x64$' "$work/pkcs12/winget/Quillmere.BrellanFlashwright.installer.yaml"
7z x -y -o"$work/unpacked" "$work/pkcs12/BrellanFlashwrightSetup.exe" >/dev/null 2>&1
placed="$work/unpacked/C:/Program Files/Quillmere/Brellan Flashwright Installer"
check "the signed package carries that folder's amd64 driver packages, byte for byte but the catalogs" \
  diff -r -x notes.txt -x x86 -x '*.cat' -x BrellanFlashwrightSetup.files "$vendor" "$placed"
check "its unsigned catalogs signed with the release's key, verifying against the vendor's CA" \
  verifies -in "$placed/flashwright.cat" -CAfile "$work/ca.pem"
check "while the vendor's folder keeps them unsigned" \
  lacks signer "$(python3 "$source_dir/installer/driver_package" show "$vendor/flashwright.cat")"
check "and Microsoft's catalog shipped byte for byte, never signed over" cmp "$vendor/brellan_amd64.cat" "$placed/brellan_amd64.cat"
check "the release says it kept it" grep -q 'kept brellan_amd64.cat as it is, signed by Microsoft Windows Hardware' <<<"$pkcs12_log"
check "the release's catalog report names each catalog's real signer, and Microsoft's names do not make it Microsoft's" \
  grep -q 'brellan.inf *amd64 *brellan_amd64.cat *Microsoft Windows Hardware Compatibility Publisher (sha256) .* vendor: trust it on each machine .* verified to a trusted root (Microsoft Root Certificate Authority 2010)$' \
  "$work/pkcs12/catalogs.txt"
check "and the release's own" \
  grep -q 'flashwright.inf *amd64 *flashwright.cat *Brellan vendor file check (sha256) .* vendor: trust it' "$work/pkcs12/catalogs.txt"
check "and the list of what the install places, naming them" \
  grep -q 'amd64.BrellanCoInst.dll' <(iconv -f UTF-16LE -t UTF-8 "$placed/BrellanFlashwrightSetup.files")
check "and neither the x86 files nor the file that no INF names" \
  test ! -e "$placed/notes.txt" -a ! -e "$placed/x86" -a ! -e "$placed/brellan_x86.cat"
check "the report names the vendor's folder, not the release's copy of it" \
  grep -qF "Catalogs of the driver packages in $vendor:" "$work/pkcs12/catalogs.txt"
check "and is as readable as the rest of the release" test "$(stat -c %a "$work/pkcs12/catalogs.txt")" = "$(stat -c %a "$work/pkcs12/SHA256SUMS")"

# Signing certificates Windows would not accept stop the release before it builds, naming their
# dates or usage; one that expires soon is said, and the release is made; one whose chain the
# file lacks signs, and the verification of what it signed stops the release.
certificate_release() {
  /usr/bin/python3 "$source_dir/tests/pe/make_signer.py" "$work/ca.pem" "$work/ca.key" "$work/$1.p12" check "$1"
  BRELLAN_SIGN_PASSWORD=check BRELLAN_SIGN_PKCS12=$work/$1.p12 BRELLAN_INF_DIR=$vendor BRELLAN_PLATFORMS=amd64 \
    "$source_dir/scripts/release.sh" "$work/$1" 2>&1
}
certificates=""
for case in "expired:expired on 20[0-9-]* [0-9:]* UTC (valid from 20" "future:is not valid before 20[0-9-]* [0-9:]* UTC (valid from" \
  "server:is not for code signing (its extended key usage: TLS Web Server Authentication)"; do
  shape=${case%%:*}
  said=$(certificate_release "$shape")
  check "a signing certificate that is $shape stops the release, with no release" test $? -ne 0 -a ! -e "$work/$shape"
  check "before anything is built, saying why" grep -q "release: the signing certificate \"CN=Brellan $shape signer TEST ONLY\" ${case#*:}" <<<"$said"
  check "and building nothing" lacks "=== building" "$said"
  certificates+=$said
done
said=$(certificate_release soon)
check "a certificate that expires within 30 days signs the release" test $? -eq 0 -a -e "$work/soon/SHA256SUMS"
check "and says so" grep -q 'WARNING: the signing certificate "CN=Brellan soon signer TEST ONLY" expires on .*, within 30 days' <<<"$said"
check "the release verifies each file it signed before writing SHA256SUMS" grep -q '^  verified BrellanFlashwrightSetup.exe$' <<<"$said"
certificates+=$said
said=$(certificate_release orphan)
check "a signature that does not verify against the signer's chain stops the release, with no release" \
  test $? -ne 0 -a ! -e "$work/orphan"
check "naming the file and the fix" \
  grep -q "DriverPrep.exe, just signed, does not verify against the signer's chain .*Fix: give the whole chain" <<<"$said"
certificates+=$said

# A vendor's package as its signing left it: the samples' shape (undecorated models for x86, a file
# only the ARM64 sections copy, listed and not shipped), OSAttr on each member, the catalogs signed
# by the vendor. A plain configure, with the roots and no warning variable, builds around it.
signed_vendor=$work/signed-vendor
cp -r "$vendor" "$signed_vendor"
for catalog in "$signed_vendor"/*.cat; do
  osslsigncode sign -h sha256 -certs "$work/file-signer.pem" -key "$work/file-signer.key" -in "$catalog" \
    -out "$catalog.signed" >/dev/null && mv "$catalog.signed" "$catalog"
done
real=$(cd "$source_dir" && cmake --preset release -B "$work/real-build" -DBRELLAN_INF_DIR="$signed_vendor" \
  -DBRELLAN_CATALOG_CA="$work/ca.pem" 2>&1)
check "a vendor-signed package shaped as real ones configures with its roots and no warning variable" test $? -eq 0
check "its catalogs read as a vendor's: no OSAttr read, the publisher trusted on each machine" \
  grep -Eq 'brellan.inf +x86 +brellan_x86.cat +Brellan vendor file check \(sha256\) +none +vendor: trust it on each machine +any \(OSAttr not read\) ' <<<"$real"
check "and the report says how a fleet must trust it" grep -q 'add the publisher.s certificate to Trusted Publishers on every machine' <<<"$real"
check "the ARM64-only file is said to be left out" \
  grep -q 'WdfCoInstaller01011.dll is listed in \[SourceDisksFiles\] but no install section for x86, amd64 copies it' <<<"$real"
check "nothing is downgraded" lacks "a warning only" "$real"
printf '; edited after signing\r\n' >>"$signed_vendor/flashwright.inf"
real_edited=$(cd "$source_dir" && cmake --preset release -B "$work/real-build" -DBRELLAN_INF_DIR="$signed_vendor" \
  -DBRELLAN_CATALOG_CA="$work/ca.pem" 2>&1)
check "the same with an INF edited after signing stops the configure, naming the vendor's file and the fix" \
  grep -q "driver packages in $signed_vendor: flashwright.inf (x86): flashwright.inf is not in flashwright.cat: .*Fix: make the catalog again" <<<"$real_edited"
(cd "$source_dir" && cmake --preset release >/dev/null 2>&1)

missing=$(cd "$work" && BRELLAN_SIGN_PKCS12=nowhere.p12 "$source_dir/scripts/release.sh" nowhere 2>&1)
check "a missing file named from the start folder is named by the path tried" \
  grep -qF "cannot read BRELLAN_SIGN_PKCS12: $work/nowhere.p12" <<<"$missing"
[ "$fail" -eq 0 ] || printf '%s\n' "$log" "$refused" "$nopass" "$broken" "$edited" "$configure" "$plain" "$pkcs12_log" "$missing" "$certificates" "$real" "$real_edited"
exit $fail
