#!/usr/bin/env bash
# Makes a test-signed release with the release script and checks it: the signing key was made on
# the token and never leaves it; each file's Authenticode signature (SHA-256, the product's name
# and URL) verifies against the throwaway CA and not against another, carries a timestamp that
# verifies against the throwaway authority's CA, and still verifies after the signer's
# certificate has expired, when an untimestamped signature no longer does; SHA256SUMS checks; and
# the setup package holds the signed programs.
#   check-release.sh SOURCE_DIR OUT_DIR
set -uo pipefail
source_dir=$1 out=$2
name="Brellan Flashwright Installer"
files=(DriverPrep.exe PkgStage.exe SetupWatch.exe SetupRollback.exe BrellanFlashwrightSetup.exe)
source "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh"
source "$source_dir/scripts/test-signing.sh"

unset BRELLAN_SIGN_PKCS12 BRELLAN_SIGN_PASSWORD BRELLAN_SIGN_URL BRELLAN_SIGN_TIMESTAMP
unset BRELLAN_SIGN_PKCS11_MODULE BRELLAN_SIGN_PKCS11_KEY BRELLAN_SIGN_CERTS BRELLAN_SIGN_PIN
log=$("$source_dir/scripts/release.sh" "$out" 2>&1) || { echo "FAIL: release.sh failed"; echo "$log"; exit 1; }
check "the release says it is test-signed" grep -q 'TEST-SIGNED' <<<"$log"
check "and that it carries the sample driver packages" grep -q 'CARRIES THE SAMPLE DRIVER PACKAGES' <<<"$log"
check "and that its winget manifest, with no BRELLAN_WINGET_URL, must not be submitted" \
  grep -q 'This manifest must not be submitted' <<<"$log"
check "it verified every file and catalog it signed, the timestamps against their authority's CA" \
  test "$(grep -c '^  verified ' <<<"$log")" -eq 9
check "the token reports the signing key made there and never extractable" \
  grep -Eq '^ +Access: +sensitive, always sensitive, never extractable, local$' <<<"$log"

signing=$source_dir/build/test-signing
ca=$signing/ca.pem
tsa_ca=$signing/tsa-ca.pem
later=$(($(date +%s) + 60 * 86400))   # past the signer certificate's 30 days
other=$(mktemp -d)
trap 'rm -rf "$other"' EXIT
test_certificate "$other" ca "another CA" self "$TEST_CA_EXTENSIONS"
for file in "${files[@]}"; do
  report=$(osslsigncode verify -CAfile "$ca" -TSA-CAfile "$tsa_ca" -in "$out/$file" 2>&1)
  check "$file: signature verifies against the test CA" grep -q '^Signature verification: ok' <<<"$report"
  check "$file: SHA-256 digest" grep -q '^Message digest algorithm *: SHA256' <<<"$report"
  check "$file: product name in the signature" grep -q "Text description: $name\$" <<<"$report"
  check "$file: URL in the signature" grep -q 'URL description: https://' <<<"$report"
  check "$file: timestamp verifies against the timestamp authority's CA" \
    grep -q '^Timestamp Server Signature verification: ok' <<<"$report"
  check "$file: still verifies 60 days on, after the signer certificate expired" \
    verifies -CAfile "$ca" -TSA-CAfile "$tsa_ca" -time "$later" -in "$out/$file"
  check "$file: does not verify against another CA" refused -CAfile "$other/ca.pem" -in "$out/$file"
done

# The control for the check 60 days on: a signature by the same CA without a timestamp.
control=$other/control
mkdir -p "$control" && cp "$signing/ca.pem" "$signing/ca.key" "$control/"
test_certificate "$control" signer "control" ca "$TEST_SIGNER_EXTENSIONS"
osslsigncode sign -certs "$control/signer.pem" -key "$control/signer.key" -h sha256 \
  -in "$source_dir/build/release/bin/PkgStage.exe" -out "$control/PkgStage.exe" >/dev/null
check "an untimestamped signature verifies today" verifies -CAfile "$ca" -in "$control/PkgStage.exe"
check "an untimestamped signature no longer verifies 60 days on" refused -CAfile "$ca" -time "$later" -in "$control/PkgStage.exe"

# The samples' catalogs, signed through the token and timestamped, checked against the throwaway CA.
for catalog in flashwright.cat brellan_x86.cat brellan_amd64.cat; do
  check "catalogs.txt: $catalog signed, timestamped, by the vendor: no OSAttr read, trusted on each machine" \
    grep -Eq " $catalog +Brellan Flashwright test signing - do not ship \(sha256\) +20[0-9-]+ [0-9:]+ UTC +vendor: trust it on each machine +any \(OSAttr not read\) " "$out/catalogs.txt"
done
drivers=$source_dir/build/release-drivers
check "a signed catalog whose timestamp chains to BRELLAN_CATALOG_CA draws no warning" \
  lacks "does not verify" "$(python3 "$source_dir/installer/driver_package" check "$drivers" --ca "$signing/catalog-roots.pem" 2>&1)"
check "one whose timestamp authority is not among its roots is said: Windows refuses it once its signer expires" \
  grep -q "^warning: flashwright.inf: the timestamp of flashwright.cat does not verify (its chain ends at Brellan throwaway timestamp CA - do not trust, a root the build does not know): Windows disregards it" \
  <<<"$(python3 "$source_dir/installer/driver_package" check "$drivers" --ca "$ca" 2>&1)"
check "catalogs.txt: each file checked" grep -q '^  amd64.BrellanCoInst.dll (PE image)$' "$out/catalogs.txt"
check "SHA256SUMS lists the ${#files[@]} files and checks" bash -c "cd '$out' && test \$(wc -l <SHA256SUMS) -eq ${#files[@]} && sha256sum -c --quiet SHA256SUMS"
mkdir -p "$other/unpacked"
7z x -y -o"$other/unpacked" "$out/BrellanFlashwrightSetup.exe" >/dev/null 2>&1
for program in DriverPrep.exe PkgStage.exe SetupWatch.exe SetupRollback.exe; do
  # The programs unpack into a folder named at run time; 7-Zip shows it as a variable.
  packed=$(find "$other/unpacked" -name "$program" | head -n 1)
  check "the setup package holds the signed $program" cmp -s "$packed" "$out/$program"
done
check "the winget manifest validates against winget's schemas and names the release's hash" \
  /usr/bin/python3 "$source_dir/tests/pe/check_winget.py" "$out/winget" "$out/BrellanFlashwrightSetup.exe" \
  "$source_dir/third_party/winget-schema-1.12.0"
exit $fail
