# Throwaway signing pieces for test-signed releases and their checks, sourced by scripts/release.sh
# and tests/pe: a CA, a SoftHSM2 token of its own whose key is generated on it and never leaves it
# (as a vendor's USB token or HSM), and an RFC 3161 timestamp authority on 127.0.0.1. Nothing here
# may ship: every name says TEST ONLY.

# The PKCS#11 pieces from Debian's packages.
softhsm_module() { dpkg -L libsofthsm2 | grep -m1 '/softhsm/libsofthsm2\.so$'; }
pkcs11_engine() { dpkg -L libengine-pkcs11-openssl | grep -m1 '/engines-3/pkcs11\.so$'; }

# test_certificate DIR NAME "COMMON NAME" ISSUER EXTENSIONS [CSR]: DIR/NAME.pem, valid 30 days, with
# the extensions given (lines of an openssl extension file). ISSUER "self" makes a CA with a new
# key DIR/NAME.key; otherwise ISSUER (DIR/ISSUER.pem and .key) signs CSR, or a new key's request.
test_certificate() {
  local dir=$1 name=$2 cn=$3 issuer=$4 extensions=$5 csr=${6:-}
  local subject="/O=Quillmere TEST ONLY/CN=$cn"
  printf '%b\n' "$extensions" >"$dir/$name.ext"
  if [ "$issuer" = self ]; then
    local line addext=()
    while IFS= read -r line; do addext+=(-addext "$line"); done <"$dir/$name.ext"
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout "$dir/$name.key" -out "$dir/$name.pem" \
      -subj "$subject" "${addext[@]}" 2>/dev/null
    return
  fi
  if [ -z "$csr" ]; then
    csr=$dir/$name.csr
    openssl req -newkey rsa:2048 -nodes -keyout "$dir/$name.key" -out "$csr" -subj "$subject" 2>/dev/null
  fi
  openssl x509 -req -days 30 -in "$csr" -CA "$dir/$issuer.pem" -CAkey "$dir/$issuer.key" -CAcreateserial \
    -extfile "$dir/$name.ext" -out "$dir/$name.pem" 2>/dev/null
}
readonly TEST_CA_EXTENSIONS='basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign'
readonly TEST_SIGNER_EXTENSIONS='basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning'

# test_token DIR LABEL PIN: a SoftHSM2 token in DIR/tokens (SOFTHSM2_CONF is exported pointing
# there, never at the machine's own token folder) with an RSA key generated on it, and a
# code-signing certificate for that key from DIR/ca in DIR/signer-chain.pem (signer, then CA).
# Sets TEST_TOKEN_URI to the key's pkcs11: URI. The PINs reach the tools through their
# environment or standard input, never a command line.
test_token() {
  local dir=$1 label=$2 pin=$3 module
  module=$(softhsm_module)
  mkdir -p "$dir/tokens"
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir" >"$dir/softhsm2.conf"
  export SOFTHSM2_CONF=$dir/softhsm2.conf
  local so_pin
  so_pin=$(head -c 18 /dev/urandom | base64)
  local tool=(pkcs11-tool --module "$module" --token-label "$label")
  local uri="pkcs11:token=$label;object=signer;type=private"
  { SO_PIN=$so_pin pkcs11-tool --module "$module" --init-token --label "$label" --so-pin env:SO_PIN &&
    SO_PIN=$so_pin USER_PIN=$pin "${tool[@]}" --login --login-type so --so-pin env:SO_PIN --init-pin --new-pin env:USER_PIN &&
    USER_PIN=$pin "${tool[@]}" --login --pin env:USER_PIN --keypairgen --key-type rsa:3072 --id 01 --label signer &&
    printf '%s' "$pin" | PKCS11_MODULE_PATH=$module openssl req -new -engine pkcs11 -keyform engine -key "$uri" \
      -passin stdin -subj "/O=Quillmere TEST ONLY/CN=Brellan Flashwright test signing - do not ship" -out "$dir/signer.csr"
  } >/dev/null 2>&1 || { echo "test-signing: could not make a key on a SoftHSM2 token in $dir" >&2; return 1; }
  test_certificate "$dir" signer "" ca "$TEST_SIGNER_EXTENSIONS" "$dir/signer.csr"
  cat "$dir/signer.pem" "$dir/ca.pem" >"$dir/signer-chain.pem"
  TEST_TOKEN_URI=$uri
}

# test_token_key_report PIN: what the token of test_token says of its private key's access.
test_token_key_report() {
  USER_PIN=$1 pkcs11-tool --module "$(softhsm_module)" --login --pin env:USER_PIN --list-objects --type privkey 2>/dev/null
}

# start_test_tsa DIR: a timestamp authority with its own CA (DIR/tsa-ca.pem), answering on
# 127.0.0.1 until stop_test_tsa. Sets TEST_TSA_URL.
start_test_tsa() {
  local dir=$1
  test_certificate "$dir" tsa-ca "Brellan throwaway timestamp CA - do not trust" self "$TEST_CA_EXTENSIONS"
  test_certificate "$dir" tsa "Brellan throwaway timestamp authority" tsa-ca \
    'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping'
  echo 01 >"$dir/tsa-serial"
  cat >"$dir/tsa.cnf" <<CNF
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $dir/tsa-serial
crypto_device = builtin
signer_cert = $dir/tsa.pem
certs = $dir/tsa-ca.pem
signer_key = $dir/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.999.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
CNF
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  coproc TEST_TSA { exec /usr/bin/python3 "$here/tsa-responder.py" "$dir/tsa.cnf"; }
  local port
  read -r -t 10 port <&"${TEST_TSA[0]}" || { echo "test-signing: the timestamp authority did not start" >&2; return 1; }
  TEST_TSA_URL=http://127.0.0.1:$port/
}

stop_test_tsa() {
  [ -z "${TEST_TSA_PID:-}" ] || { kill "$TEST_TSA_PID" 2>/dev/null; wait "$TEST_TSA_PID" 2>/dev/null; } || true
}
