#!/usr/bin/env bash
# Makes a release in dist/ (or the folder given): DriverPrep.exe, PkgStage.exe and the setup
# package's watch SetupWatch.exe from the release preset, BrellanFlashwrightSetup.exe built around
# those signed programs, each signed with Authenticode (SHA-256 digest, the product's name and
# URL), and SHA256SUMS over the four.
#
#   scripts/release.sh [OUT_DIR]
#
# The certificate is the vendor's, named by environment variables, never on a command line:
#   BRELLAN_SIGN_PKCS12     PKCS#12 file with the code-signing key and its certificate chain
#   BRELLAN_SIGN_PASSWORD   its password (handed to osslsigncode on its standard input)
#   BRELLAN_SIGN_URL        the product's URL for the signature (required with a vendor certificate)
#   BRELLAN_SIGN_TIMESTAMP  an RFC 3161 timestamp server's URL (optional)
# Without BRELLAN_SIGN_PKCS12 the script makes a throwaway test CA and code-signing certificate in
# build/test-signing and signs with them: that release is test-signed and must not ship.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
out=$(realpath -m "${1:-dist}")
product="Brellan Flashwright Installer"
programs=(DriverPrep.exe PkgStage.exe SetupWatch.exe)
files=("${programs[@]}" BrellanFlashwrightSetup.exe)

scripts/install-deps.sh >/dev/null

# Makes the throwaway CA and a code-signing certificate it issued, as a PKCS#12 file.
make_test_certificate() {
  local dir=$root/build/test-signing
  rm -rf "$dir"
  mkdir -p "$dir"
  (
    cd "$dir"
    head -c 24 /dev/urandom | base64 >password
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout ca.key -out ca.pem \
      -subj "/O=Quillmere TEST ONLY/CN=Brellan throwaway test CA - do not trust" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
      -subj "/O=Quillmere TEST ONLY/CN=Brellan Flashwright test signing - do not ship" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
    openssl x509 -req -days 30 -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -extfile signer.ext \
      -out signer.pem 2>/dev/null
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password -out signer.p12
  )
  echo "$dir"
}

test_signed=0
if [ -n "${BRELLAN_SIGN_PKCS12:-}" ]; then
  [ -r "$BRELLAN_SIGN_PKCS12" ] || { echo "release: cannot read BRELLAN_SIGN_PKCS12" >&2; exit 1; }
  [ -n "${BRELLAN_SIGN_URL:-}" ] || { echo "release: set BRELLAN_SIGN_URL to the product's URL" >&2; exit 1; }
  pkcs12=$BRELLAN_SIGN_PKCS12
  password=${BRELLAN_SIGN_PASSWORD-}
  url=$BRELLAN_SIGN_URL
else
  test_signed=1
  echo "release: no BRELLAN_SIGN_PKCS12 given: making a TEST-SIGNED release with a throwaway CA"
  dir=$(make_test_certificate)
  pkcs12=$dir/signer.p12
  password=$(cat "$dir/password")
  url=${BRELLAN_SIGN_URL:-https://quillmere.example/brellan-flashwright}
fi

# sign IN OUT: the password goes to osslsigncode on its standard input, never on its command line.
sign() {
  local args=(sign -pkcs12 "$pkcs12" -readpass - -h sha256 -n "$product" -i "$url")
  [ -z "${BRELLAN_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$BRELLAN_SIGN_TIMESTAMP")
  rm -f "$2"
  printf '%s' "$password" | osslsigncode "${args[@]}" -in "$1" -out "$2" >/dev/null
  echo "  signed $(basename "$2")"
}

echo "=== building the release programs"
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" >/dev/null
echo "unsigned programs (the same bytes from every build of this commit):"
(cd build/release/bin && sha256sum "${programs[@]}" | sed 's/^/  /')

rm -rf "$out"
mkdir -p "$out"
echo "=== signing the programs"
for program in "${programs[@]}"; do
  sign "build/release/bin/$program" "$out/$program"
done

echo "=== building the setup package around the signed programs, and signing it"
packaged=$root/build/release-signed
cmake --preset release -B "$packaged" -DBRELLAN_SETUP_PROGRAM_DIR="$out" >/dev/null
cmake --build "$packaged" --target setup_package >/dev/null
sign "$packaged/bin/BrellanFlashwrightSetup.exe" "$out/BrellanFlashwrightSetup.exe"

(cd "$out" && sha256sum "${files[@]}" >SHA256SUMS)
echo "=== $out"
sed 's/^/  /' "$out/SHA256SUMS"
if [ "$test_signed" -eq 1 ]; then
  echo "THIS RELEASE IS TEST-SIGNED with a throwaway CA ($dir/ca.pem). It must not ship."
fi
