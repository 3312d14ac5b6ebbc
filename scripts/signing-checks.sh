# Checks of the release's own signing, sourced by scripts/release.sh: the signer's certificate
# before anything is built (valid now, for code signing, the key's), and every signature the
# release made, verified against the signer's chain before SHA256SUMS is written.

# A certificate that expires within this many days is said; a signature made with it keeps
# verifying after that only with a timestamp.
readonly EXPIRY_WARNING_DAYS=30

# cert_field CERT OPTION: one field of a PEM certificate, as `openssl x509 -noout OPTION` gives it.
cert_field() { openssl x509 -in "$1" -noout "$2" -nameopt RFC2253 2>/dev/null | sed 's/^[^=]*=//'; }
utc_day() { date -u -d "@$1" '+%Y-%m-%d %H:%M UTC'; }

# signer_certificate_problem CERT: prints why Windows would not accept a signature made with the
# certificate (and returns 1), or prints a warning when it expires soon (and returns 0).
signer_certificate_problem() {
  local cert=$1 subject start end now usages
  subject=$(cert_field "$cert" -subject)
  start=$(date -d "$(cert_field "$cert" -startdate)" +%s 2>/dev/null) &&
    end=$(date -d "$(cert_field "$cert" -enddate)" +%s 2>/dev/null) ||
    { echo "the signing certificate ($cert) cannot be read as a PEM certificate"; return 1; }
  now=$(date +%s)
  local dates="valid from $(utc_day "$start") to $(utc_day "$end")"
  if [ "$now" -ge "$end" ]; then
    echo "the signing certificate \"$subject\" expired on $(utc_day "$end") ($dates): Windows shows what it signs as" \
      "not validly signed. Renew it with your certificate authority and sign with the new one"
    return 1
  fi
  if [ "$now" -lt "$start" ]; then
    echo "the signing certificate \"$subject\" is not valid before $(utc_day "$start") ($dates): Windows shows what it" \
      "signs as not validly signed. Check this machine's clock, or sign once it is valid"
    return 1
  fi
  usages=$(openssl x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | sed -n '2p' | sed 's/^ *//')
  # No extended key usage at all allows every use, code signing included.
  if [ -n "$usages" ] && [[ ", $usages," != *", Code Signing,"* && ", $usages," != *", Any Extended Key Usage,"* ]]; then
    echo "the signing certificate \"$subject\" is not for code signing (its extended key usage: $usages): Windows does" \
      "not accept it for Authenticode. Sign with a code-signing certificate"
    return 1
  fi
  usages=$(openssl x509 -in "$cert" -noout -ext keyUsage 2>/dev/null | sed -n '2p' | sed 's/^ *//')
  if [ -n "$usages" ] && [[ ", $usages," != *", Digital Signature,"* ]]; then
    echo "the signing certificate \"$subject\" may not make signatures (its key usage: $usages): Windows does not" \
      "accept it for Authenticode. Sign with a code-signing certificate"
    return 1
  fi
  if [ $((end - now)) -lt $((EXPIRY_WARNING_DAYS * 86400)) ]; then
    echo "release: WARNING: the signing certificate \"$subject\" expires on $(utc_day "$end"), within" \
      "$EXPIRY_WARNING_DAYS days: renew it; what it signs keeps verifying after that only with a timestamp" \
      "(BRELLAN_SIGN_TIMESTAMP)" >&2
  fi
}

# first_certificate CHAIN OUT: the first certificate of a PEM chain (the signer's, by convention).
first_certificate() { awk '/BEGIN CERTIFICATE/{n++} n==1{print} /END CERTIFICATE/ && n==1{exit}' "$1" >"$2"; }

# verify_signed FILE CHAIN TSA_ROOTS: why the file's signature, or its timestamp when TSA_ROOTS is
# given, does not verify against the chain (the signer's chain and the machine's roots); nothing
# when it does. osslsigncode 2.9 ends with 0 when only the timestamp fails: its own line says so.
verify_signed() {
  local file=$1 chain=$2 tsa=$3 args report
  args=(verify -in "$file" -CAfile "$chain")
  [ -z "$tsa" ] || args+=(-TSA-CAfile "$tsa")
  if report=$(osslsigncode "${args[@]}" 2>&1); then
    [ -n "$tsa" ] || return 0
    grep -q '^Timestamp Server Signature verification: ok' <<<"$report" && return 0
    report="the timestamp does not verify: $(grep -m1 -E 'Error:' <<<"$report" | sed 's/^[[:space:]]*//')"
  fi
  grep -iE 'error|failed|does not verify' <<<"$report" | head -n 3 | tr '\n' ';' | sed 's/;$//'
  echo
}
