#!/usr/bin/env bash
# Makes a release in dist/ (or the folder given): DriverPrep.exe, PkgStage.exe and the setup
# package's helpers SetupWatch.exe and SetupRollback.exe from the release preset, BrellanFlashwrightSetup.exe built around
# those signed programs and the product's driver packages, each signed with Authenticode (SHA-256
# digest, the product's name and URL, an RFC 3161 timestamp when a server is named), and
# SHA256SUMS over the five, a winget manifest in winget/, and catalogs.txt: what the driver
# packages' catalogs were checked for.
#
#   scripts/release.sh [OUT_DIR]
#
# Every path, OUT_DIR and the variables' alike, is taken from the folder the script was started in.
#
# The driver packages: BRELLAN_INF_DIR, the folder holding flashwright.inf, brellan.inf and every
# file they name (catalogs, source files). Without it the package carries the samples of
# tests/data, and the script says so: such a release must not ship. BRELLAN_PLATFORMS names the
# Windows platforms they install on: "x86,amd64" (the default) or "amd64" (or "x86") alone.
#
# Their catalogs are checked as Windows checks them before it stages a package: every file an INF
# names has its hash in the catalog, the catalog is signed; under Microsoft's signature it covers
# every Windows release from the lowest the product supports up, and a kernel driver on amd64 has it.
#   BRELLAN_LOWEST_WINDOWS the lowest Windows release the product supports: 7, 8, 8.1, 10 (the
#                          default) or 11; the package ends with 1633 on an older one
#   BRELLAN_CATALOG_CA     roots the vendor's catalog signatures and timestamps chain to (PEM), beside
#                          this machine's and Microsoft's, which the build carries; every signature
#                          is verified with or without it
#   BRELLAN_CATALOG_WARN   "versions", "signature", "kernel" or several: those checks only warn
#   BRELLAN_SIGN_CATALOGS  1: sign the catalogs that carry no signature with the release's key (a
#                          package without kernel code, whose catalogs were made with
#                          installer/driver_package make); the package carries the signed copies,
#                          the folder is left as it is. A signed catalog (Microsoft's) ships as it is
# The samples' catalogs are unsigned: a release around them signs copies, and the test-signed
# release checks them against its throwaway CA.
#
# The signing key is the vendor's, named by environment variables, never on a command line.
# A key on a hardware token or HSM, through its PKCS#11 library:
#   BRELLAN_SIGN_PKCS11_MODULE  the token's PKCS#11 library
#   BRELLAN_SIGN_PKCS11_KEY     a pkcs11: URI naming the private key (without the PIN)
#   BRELLAN_SIGN_CERTS          the signer's certificate chain (PEM)
#   BRELLAN_SIGN_PIN            the token's PIN (handed to the tools on their standard input)
# Or a key in a file:
#   BRELLAN_SIGN_PKCS12         PKCS#12 file with the code-signing key and its certificate chain
#   BRELLAN_SIGN_PASSWORD       its password (handed to openssl and osslsigncode on their standard
#                               input; checked before anything is built)
# Both ways:
#   BRELLAN_SIGN_URL            the product's URL for the signature (required with a vendor key)
#   BRELLAN_WINGET_URL          where the setup package will be downloaded from, for the winget
#                               manifest in OUT_DIR/winget (the release's hash goes with it)
#   BRELLAN_SIGN_TIMESTAMP      an RFC 3161 timestamp server's URL (without it a signature stops
#                               verifying when the certificate expires)
#   BRELLAN_SIGN_TIMESTAMP_CA   the roots the timestamps must verify against (PEM; default: this
#                               machine's, /etc/ssl/certs/ca-certificates.crt)
# The signer's certificate must be valid now, for code signing, and the key's: anything else stops
# the release before it builds (one that expires within 30 days is a warning). Every file it signs
# is verified against the signer's chain and this machine's roots before SHA256SUMS is written.
# Without a vendor key the script signs the way a vendor does, with throwaway pieces in
# build/test-signing: a CA, a key generated on a SoftHSM2 token of its own, and a timestamp
# authority on 127.0.0.1 for the run. That release is TEST-SIGNED and must not ship.
#
# The release is made in a folder beside OUT_DIR and takes its place only once every file is
# signed: a run that fails leaves no half-signed release.
set -euo pipefail
# A path as the user typed it, from the folder the script was started in.
from_start() { [ -z "$1" ] || realpath -m -- "$1"; }
out=$(from_start "${1:-}")
inf_variable=$(from_start "${BRELLAN_INF_DIR:-}")
BRELLAN_SIGN_PKCS12=$(from_start "${BRELLAN_SIGN_PKCS12:-}")
BRELLAN_SIGN_CERTS=$(from_start "${BRELLAN_SIGN_CERTS:-}")
BRELLAN_CATALOG_CA=$(from_start "${BRELLAN_CATALOG_CA:-}")
# A module given by a bare name is the loader's to find; one given as a path is taken from here.
case "${BRELLAN_SIGN_PKCS11_MODULE:-}" in
*/*) BRELLAN_SIGN_PKCS11_MODULE=$(from_start "$BRELLAN_SIGN_PKCS11_MODULE") ;;
esac
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
out=${out:-$root/dist}
stage=$out.partial
product="Brellan Flashwright Installer"
programs=(DriverPrep.exe PkgStage.exe SetupWatch.exe SetupRollback.exe)
files=("${programs[@]}" BrellanFlashwrightSetup.exe)
source scripts/test-signing.sh
source scripts/signing-checks.sh

fail() {
  echo "release: $*" >&2
  exit 1
}
cleanup() {
  stop_test_tsa
  rm -rf "$stage"
}
trap cleanup EXIT

# pkcs12_read FILE PASSWORD OPTION...: what openssl pkcs12 gives of the file with those options,
# the password (which may be empty) on its standard input. Files made by older tools need the
# legacy algorithms.
pkcs12_read() {
  local file=$1 pass=$2 legacy
  shift 2
  for legacy in "" -legacy; do
    printf '%s\n' "$pass" | openssl pkcs12 $legacy -in "$file" -passin stdin "$@" 2>/dev/null && return 0
  done
  return 1
}
pkcs12_opens() { pkcs12_read "$1" "$2" -noout >/dev/null; }

# What releasing needs, and no test tools: signing through a token needs its PKCS#11 engine, the
# test-signed release a token of its own too.
needed=(--release)
if [ -n "${BRELLAN_SIGN_PKCS11_MODULE:-}" ]; then
  needed+=(libengine-pkcs11-openssl)
elif [ -z "$BRELLAN_SIGN_PKCS12" ]; then
  needed+=(libengine-pkcs11-openssl softhsm2 opensc)
fi
scripts/install-deps.sh "${needed[@]}" >&2 || fail "the packages a release needs are not all installed (see above)"

platforms=${BRELLAN_PLATFORMS:-x86,amd64}
lowest_windows=${BRELLAN_LOWEST_WINDOWS:-10}
# The driver packages are checked first: a file their INFs name and the folder lacks stops the
# release before anything is built.
samples=0
signed_catalogs=()
if [ -n "$inf_variable" ]; then
  inf_dir=$inf_variable
else
  samples=1
  inf_dir=$root/tests/data
  echo "release: WARNING: BRELLAN_INF_DIR is not set: the package carries the SAMPLE driver packages of" \
    "tests/data, not the product's. It must not ship." >&2
fi
[ -d "$inf_dir" ] || fail "BRELLAN_INF_DIR: $inf_dir is not a folder"
python3 installer/driver_package files "$inf_dir" --platforms="$platforms" --lowest-windows="$lowest_windows" >/dev/null ||
  fail "the driver packages in $inf_dir are not whole for $platforms (see above)"
sign_catalogs=${BRELLAN_SIGN_CATALOGS:-0}
[ "$samples" -eq 0 ] || sign_catalogs=1
catalog_warn=${BRELLAN_CATALOG_WARN:-}
# Membership and versions now; the signatures once the catalogs the package carries are signed.
python3 installer/driver_package check "$inf_dir" --platforms="$platforms" --lowest-windows="$lowest_windows" \
  --warn="${catalog_warn:+$catalog_warn,}signature" \
  >/dev/null || fail "the catalogs in $inf_dir would make Windows refuse a driver package (see above)"

# The PIN and the password stay in this shell: no tool started from here inherits them.
pin=${BRELLAN_SIGN_PIN-}
password=${BRELLAN_SIGN_PASSWORD-}
unset BRELLAN_SIGN_PIN BRELLAN_SIGN_PASSWORD
timestamp=${BRELLAN_SIGN_TIMESTAMP:-}
test_signed=0
if [ -n "${BRELLAN_SIGN_PKCS11_MODULE:-}" ]; then
  module=$BRELLAN_SIGN_PKCS11_MODULE
  key=${BRELLAN_SIGN_PKCS11_KEY:-}
  certs=${BRELLAN_SIGN_CERTS:-}
  [[ "$module" != */* || -r "$module" ]] || fail "cannot read the PKCS#11 module BRELLAN_SIGN_PKCS11_MODULE: $module"
  [[ "$key" == pkcs11:* ]] || fail "BRELLAN_SIGN_PKCS11_KEY must be a pkcs11: URI naming the private key"
  [[ "$key" != *pin-* ]] || fail "BRELLAN_SIGN_PKCS11_KEY must not carry the PIN: give it in BRELLAN_SIGN_PIN"
  [ -r "$certs" ] || fail "cannot read the certificate chain BRELLAN_SIGN_CERTS: ${certs:-(not set)}"
  [ -n "$pin" ] || fail "set BRELLAN_SIGN_PIN to the token's PIN"
  secret=$pin
  [ -n "${BRELLAN_SIGN_URL:-}" ] || fail "set BRELLAN_SIGN_URL to the product's URL"
  url=$BRELLAN_SIGN_URL
elif [ -n "$BRELLAN_SIGN_PKCS12" ]; then
  [ -r "$BRELLAN_SIGN_PKCS12" ] || fail "cannot read BRELLAN_SIGN_PKCS12: $BRELLAN_SIGN_PKCS12"
  [ -n "${BRELLAN_SIGN_URL:-}" ] || fail "set BRELLAN_SIGN_URL to the product's URL"
  if ! pkcs12_opens "$BRELLAN_SIGN_PKCS12" "$password"; then
    [ -n "$password" ] || fail "BRELLAN_SIGN_PKCS12 needs a password: set BRELLAN_SIGN_PASSWORD" \
      "(read -rsp 'PKCS#12 password: ' BRELLAN_SIGN_PASSWORD && export BRELLAN_SIGN_PASSWORD)"
    fail "BRELLAN_SIGN_PKCS12 does not open with BRELLAN_SIGN_PASSWORD (a wrong password, or not a PKCS#12 file)"
  fi
  url=$BRELLAN_SIGN_URL
  secret=$password
else
  test_signed=1
  echo "release: no vendor key given: making a TEST-SIGNED release with throwaway pieces"
  dir=$root/build/test-signing
  rm -rf "$dir"
  mkdir -p "$dir"
  test_certificate "$dir" ca "Brellan throwaway test CA - do not trust" self "$TEST_CA_EXTENSIONS"
  secret=$(head -c 18 /dev/urandom | base64)
  module=$(softhsm_module)
  test_token "$dir" "Brellan test signing" "$secret"
  key=$TEST_TOKEN_URI
  certs=$dir/signer-chain.pem
  echo "the signing key, as the token reports it:"
  test_token_key_report "$secret" | sed 's/^/  /'
  start_test_tsa "$dir"
  timestamp=$TEST_TSA_URL
  sign_catalogs=1
  cat "$dir/ca.pem" "$dir/tsa-ca.pem" >"$dir/catalog-roots.pem"
  BRELLAN_CATALOG_CA=${BRELLAN_CATALOG_CA:-$dir/catalog-roots.pem}
  url=${BRELLAN_SIGN_URL:-https://quillmere.example/brellan-flashwright}
fi
[ -n "$timestamp" ] || echo "release: WARNING: no BRELLAN_SIGN_TIMESTAMP: these signatures stop verifying when the certificate expires" >&2

# The signer's certificate is checked before anything is built, and its chain (with this machine's
# roots) is what every signature must verify against once made.
checks_dir=$root/build/release-checks
rm -rf "$checks_dir"
mkdir -p "$checks_dir"
chain=$checks_dir/chain.pem
signer=$checks_dir/signer.pem
if [ -z "${module:-}" ]; then
  pkcs12_read "$BRELLAN_SIGN_PKCS12" "$password" -nokeys >"$chain"
  pkcs12_read "$BRELLAN_SIGN_PKCS12" "$password" -nokeys -clcerts >"$signer"
  [ "$(pkcs12_read "$BRELLAN_SIGN_PKCS12" "$password" -nocerts -nodes | openssl pkey -pubout 2>/dev/null)" = \
    "$(openssl x509 -in "$signer" -noout -pubkey 2>/dev/null)" ] ||
    fail "the certificate in BRELLAN_SIGN_PKCS12 is not its key's: export the key with its own certificate"
else
  cp "$certs" "$chain"
  first_certificate "$certs" "$signer"
fi
why=$(signer_certificate_problem "$signer") || fail "$why"
system_roots=/etc/ssl/certs/ca-certificates.crt
[ ! -r "$system_roots" ] || cat "$system_roots" >>"$chain"
tsa_roots=""
if [ -n "$timestamp" ]; then
  tsa_roots=${BRELLAN_SIGN_TIMESTAMP_CA:-$system_roots}
  [ "$test_signed" -eq 0 ] || tsa_roots=$dir/tsa-ca.pem
fi

# What went wrong, from osslsigncode's report of a signing that failed.
explain() {
  case "$1" in
  *"PIN incorrect"* | *PIN_INCORRECT*) echo "the token refused the PIN (BRELLAN_SIGN_PIN)" ;;
  *"PIN locked"* | *PIN_LOCKED*) echo "the token's PIN is locked" ;;
  *"Unable to load PKCS#11 module"*) echo "the PKCS#11 module BRELLAN_SIGN_PKCS11_MODULE=$module could not be loaded" ;;
  *"object not found"*) echo "the token holds no private key BRELLAN_SIGN_PKCS11_KEY=$key" ;;
  *"key values mismatch"*) echo "the certificate chain BRELLAN_SIGN_CERTS is not the signing key's" ;;
  *"mac verify failure"*) echo "the PKCS#12 password (BRELLAN_SIGN_PASSWORD) is wrong" ;;
  *"connect error"* | *[Tt]imestamp*) echo "the timestamp server $timestamp did not give a timestamp" ;;
  *) printf 'osslsigncode could not sign:\n%s' "$1" ;;
  esac
}

# sign IN OUT: the PIN or password goes to osslsigncode on its standard input. A failure stops
# the release at once: a token counts every wrong PIN against its retries.
sign() {
  local args=(sign -h sha256 -n "$product" -i "$url")
  # A PKCS#12 file without a password is read without one: osslsigncode refuses an empty input.
  [ -z "$secret" ] || args+=(-readpass -)
  if [ -n "${module:-}" ]; then
    args+=(-pkcs11engine "$(pkcs11_engine)" -pkcs11module "$module" -key "$key" -certs "$certs")
  else
    args+=(-pkcs12 "$BRELLAN_SIGN_PKCS12")
  fi
  [ -z "$timestamp" ] || args+=(-ts "$timestamp")
  local report
  if ! report=$(printf '%s' "$secret" | osslsigncode "${args[@]}" -in "$1" -out "$2" 2>&1); then
    fail "signing $(basename "$2") failed: $(explain "$report")"
  fi
  echo "  signed $(basename "$2")${timestamp:+, timestamped}"
}

echo "=== building the release programs"
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target "${programs[@]%.exe}" >/dev/null
echo "unsigned programs (the same bytes from every build of this commit):"
(cd build/release/bin && sha256sum "${programs[@]}" | sed 's/^/  /')

rm -rf "$stage"
mkdir -p "$stage"
echo "=== signing the programs"
for program in "${programs[@]}"; do
  sign "build/release/bin/$program" "$stage/$program"
done

drivers=$inf_dir
if [ "$sign_catalogs" = 1 ]; then
  echo "=== signing the driver packages' unsigned catalogs (copies; $inf_dir is left as it is)"
  drivers=$root/build/release-drivers
  rm -rf "$drivers"
  cp -r "$inf_dir" "$drivers"
  while IFS=$'\t' read -r relative _; do
    [[ "${relative,,}" == *.cat ]] || continue
    catalog=$drivers/${relative//\\//}
    # A signed catalog keeps its signature: signing it again would replace Microsoft's, under which
    # alone 64-bit Windows loads a kernel driver.
    signed_by=$(python3 installer/driver_package show "$catalog" | sed -n 's/^signer\t\([^\t]*\)\t.*/\1/p')
    if [ -n "$signed_by" ]; then
      echo "  kept $relative as it is, signed by $signed_by"
      continue
    fi
    sign "$catalog" "$catalog.signed"
    mv "$catalog.signed" "$catalog"
    signed_catalogs+=("$catalog")
  done < <(python3 installer/driver_package files "$drivers" --platforms="$platforms" 2>/dev/null)
fi
echo "=== checking the driver packages' catalogs"
python3 installer/driver_package check "$drivers" --platforms="$platforms" --lowest-windows="$lowest_windows" --ca="$BRELLAN_CATALOG_CA" \
  --warn="$catalog_warn" --report "$stage/catalogs.txt" --shown-as "$inf_dir" ||
  fail "the catalogs in $inf_dir would make Windows refuse a driver package (see above)"

echo "=== building the setup package around the signed programs, and signing it"
packaged=$root/build/release-signed
cmake --preset release -B "$packaged" -DBRELLAN_SETUP_PROGRAM_DIR="$stage" -DBRELLAN_INF_DIR="$drivers" \
  -DBRELLAN_PLATFORMS="${platforms//,/;}" -DBRELLAN_LOWEST_WINDOWS="$lowest_windows" -DBRELLAN_CATALOG_CA="$BRELLAN_CATALOG_CA" \
  -DBRELLAN_CATALOG_WARN="${catalog_warn//,/;}" >/dev/null
cmake --build "$packaged" --target setup_package >/dev/null
echo "the driver packages of $inf_dir$([ "$samples" -eq 0 ] || echo ' (THE SAMPLES)'), for $platforms, as the package carries them:"
cut -f1 "$packaged/installer/driver-files.txt" | sed 's/^/  /'
sign "$packaged/bin/BrellanFlashwrightSetup.exe" "$stage/BrellanFlashwrightSetup.exe"

echo "=== verifying every signature the release made"
against="the signer's chain and this machine's roots" remedy="give the whole chain (BRELLAN_SIGN_CERTS, or the PKCS#12 file's certificates)"
if [ -n "$tsa_roots" ]; then
  against+=", its timestamp against $tsa_roots"
  remedy+=", and BRELLAN_SIGN_TIMESTAMP_CA the timestamp authority's roots"
fi
for file in "${files[@]/#/$stage/}" "${signed_catalogs[@]}"; do
  why=$(verify_signed "$file" "$chain" "$tsa_roots")
  [ -z "$why" ] || fail "$(basename "$file"), just signed, does not verify against $against ($why): Windows would not" \
    "trust it. Fix: $remedy"
  echo "  verified $(basename "$file")"
done
(cd "$stage" && sha256sum "${files[@]}" >SHA256SUMS)
echo "=== the winget manifest"
winget_url=${BRELLAN_WINGET_URL:-https://quillmere.example/brellan-flashwright/$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)/BrellanFlashwrightSetup.exe}
[ -n "${BRELLAN_WINGET_URL:-}" ] || echo "release: WARNING: no BRELLAN_WINGET_URL: the winget manifest names $winget_url" >&2
scripts/winget-manifest.sh "$stage/winget" "$stage/BrellanFlashwrightSetup.exe" "$winget_url" "$platforms" "$lowest_windows"
ls "$stage/winget" | sed 's/^/  winget\//'
rm -rf "$out"
mv "$stage" "$out"
echo "=== $out"
sed 's/^/  /' "$out/SHA256SUMS"
if [ "$samples" -eq 1 ]; then
  echo "THIS RELEASE CARRIES THE SAMPLE DRIVER PACKAGES of tests/data: set BRELLAN_INF_DIR to the" \
    "product's driver-package folder. It must not ship."
fi
if [ -z "${BRELLAN_WINGET_URL:-}" ]; then
  echo "ITS WINGET MANIFEST NAMES A PLACEHOLDER ADDRESS ($winget_url): set BRELLAN_WINGET_URL to where the" \
    "package will be downloaded from. This manifest must not be submitted."
fi
if [ "$test_signed" -eq 1 ]; then
  echo "THIS RELEASE IS TEST-SIGNED with a throwaway CA ($dir/ca.pem) and timestamp authority" \
    "($dir/tsa-ca.pem). It must not ship."
fi
