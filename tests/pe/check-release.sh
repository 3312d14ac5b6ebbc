#!/usr/bin/env bash
# Makes a test-signed release with the release script and checks it: each file's Authenticode
# signature (SHA-256, the product's name and URL) verifies against the throwaway CA and not
# against another, SHA256SUMS checks, and the setup package holds the signed programs.
#   check-release.sh SOURCE_DIR OUT_DIR
set -uo pipefail
source_dir=$1 out=$2
name="Brellan Flashwright Installer"
files=(DriverPrep.exe PkgStage.exe SetupWatch.exe BrellanFlashwrightSetup.exe)

unset BRELLAN_SIGN_PKCS12 BRELLAN_SIGN_PASSWORD BRELLAN_SIGN_URL BRELLAN_SIGN_TIMESTAMP
log=$("$source_dir/scripts/release.sh" "$out" 2>&1) || { echo "FAIL: release.sh failed"; echo "$log"; exit 1; }
fail=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; fail=1; fi
}
check "the release says it is test-signed" grep -q 'TEST-SIGNED' <<<"$log"

ca=$source_dir/build/test-signing/ca.pem
other=$(mktemp -d)
trap 'rm -rf "$other"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -keyout "$other/key" -out "$other/ca.pem" -subj "/CN=another CA" 2>/dev/null
for file in "${files[@]}"; do
  report=$(osslsigncode verify -CAfile "$ca" -in "$out/$file" 2>&1)
  check "$file: signature verifies against the test CA" grep -q '^Signature verification: ok' <<<"$report"
  check "$file: SHA-256 digest" grep -q '^Message digest algorithm *: SHA256' <<<"$report"
  check "$file: product name in the signature" grep -q "Text description: $name\$" <<<"$report"
  check "$file: URL in the signature" grep -q 'URL description: https://' <<<"$report"
  check "$file: does not verify against another CA" bash -c "! osslsigncode verify -CAfile '$other/ca.pem' -in '$out/$file' >/dev/null 2>&1"
done
check "SHA256SUMS lists the ${#files[@]} files and checks" bash -c "cd '$out' && test \$(wc -l <SHA256SUMS) -eq ${#files[@]} && sha256sum -c --quiet SHA256SUMS"

mkdir -p "$other/unpacked"
7z x -y -o"$other/unpacked" "$out/BrellanFlashwrightSetup.exe" >/dev/null 2>&1
for program in DriverPrep.exe PkgStage.exe SetupWatch.exe; do
  check "the setup package holds the signed $program" cmp -s "$other/unpacked/\$PLUGINSDIR/$program" "$out/$program"
done
exit $fail
