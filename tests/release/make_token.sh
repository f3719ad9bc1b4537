#!/bin/bash
# A test token and the test CAs for the release tests, made fresh in DIR.
#
#   tests/release/make_token.sh DIR
#
# SoftHSM2 token "keyvane-test" (SOFTHSM2_CONF=DIR/softhsm2.conf) with two keys generated on it,
# never extractable: RSA-3072 (id 01) and ECDSA P-256 (id 02). A root and an intermediate CA issue
# each key's code-signing certificate from a CSR that the engine signs with the token key, so the
# private keys never leave the token. A separate root issues the time-stamp authority. Writes:
#   root.pem tsa-root.pem         the roots to verify against
#   rsa-chain.pem ec-chain.pem    leaf then intermediate
#   tsa.cnf                       for `openssl ts -reply` (tests/release/tsa_server.py)
#   pin (0600)  wrong-pin (0600)  the user PIN and a wrong one
#   file-key.pem file-chain.pem file-key-password (0600)
#                                 a password-protected PEM key (not on the token) and its chain
#   engine.cnf                    OPENSSL_CONF that points the engine at SoftHSM2
#   token.env                     KEY_RSA, KEY_EC, MODULE, SOFTHSM2_CONF for `source`
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
mkdir -p "$1"
dir=$(cd "$1" && pwd)
module=/usr/lib/softhsm/libsofthsm2.so
engine=/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so
label=keyvane-test
cd "$dir"
rm -rf tokens ca && mkdir -m 700 tokens ca
umask 077

cat > softhsm2.conf <<EOF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
export SOFTHSM2_CONF=$dir/softhsm2.conf
printf '4711\n' > pin
printf '4712\n' > wrong-pin

# p11tool takes PINs from these variables only; they stay in this script's own processes.
export GNUTLS_SO_PIN=87654321 GNUTLS_PIN=4711
p11 () { p11tool --provider "$module" "$@" > p11tool.log 2>&1 || { cat p11tool.log >&2; exit 1; }; }
p11 --initialize --label "$label" "pkcs11:model=SoftHSM%20v2"
p11 --initialize-pin "pkcs11:token=$label"
p11 --login --generate-privkey=rsa --bits=3072 --label=rsa --id=01 --mark-sign "pkcs11:token=$label"
p11 --login --generate-privkey=ecdsa --curve=secp256r1 --label=ec --id=02 --mark-sign "pkcs11:token=$label"
unset GNUTLS_SO_PIN GNUTLS_PIN

cat > engine.cnf <<EOF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $module
init = 0
EOF

cat > ext.cnf <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF
o="/O=Keyvane Test (untrusted)"
selfsigned() { # KEY CERT CN
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null
  openssl req -new -x509 -config ext.cnf -extensions root -key "$1" -subj "/CN=$3$o" -days 30 \
    -out "$2"
}
issue() { # CSR CA CAKEY EXT CERT
  openssl x509 -req -in "$1" -CA "$2" -CAkey "$3" -CAcreateserial -days 30 -extfile ext.cnf \
    -extensions "$4" -out "$5" 2> ca/x509.log || { cat ca/x509.log >&2; exit 1; }
}
selfsigned ca/root.key root.pem "Keyvane Test Root"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca/intermediate.key
openssl req -new -config ext.cnf -key ca/intermediate.key -subj "/CN=Keyvane Test Intermediate$o" -out ca/intermediate.csr
issue ca/intermediate.csr root.pem ca/root.key intermediate intermediate.pem
for k in rsa:01 ec:02; do
  name=${k%%:*} id=${k#*:}
  OPENSSL_CONF=$dir/engine.cnf openssl req -new -engine pkcs11 -keyform engine \
    -key "pkcs11:token=$label;id=%$id;type=private" -passin "file:$dir/pin" \
    -subj "/CN=Keyvane Test Signer ($name)$o" -out "ca/$name.csr" > ca/req.log 2>&1 \
    || { cat ca/req.log >&2; exit 1; }
  issue "ca/$name.csr" intermediate.pem ca/intermediate.key signer "ca/$name.pem"
  cat "ca/$name.pem" intermediate.pem > "$name-chain.pem"
done

# A PEM key file with a password, for the key-file route (an organisation's own CA).
printf 'file-key-password\n' > file-key-password
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes-256-cbc -pass file:file-key-password \
  -out file-key.pem
openssl req -new -config ext.cnf -key file-key.pem -passin file:file-key-password \
  -subj "/CN=Keyvane Test Signer (file)$o" -out ca/file.csr
issue ca/file.csr intermediate.pem ca/intermediate.key signer ca/file.pem
cat ca/file.pem intermediate.pem > file-chain.pem

selfsigned ca/tsa-root.key tsa-root.pem "Keyvane Test Timestamp Root"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca/tsa.key
openssl req -new -config ext.cnf -key ca/tsa.key -subj "/CN=Keyvane Test Timestamp$o" -out ca/tsa.csr
issue ca/tsa.csr tsa-root.pem ca/tsa-root.key tsa ca/tsa.pem
echo 01 > ca/tsaserial
cat > tsa.cnf <<EOF
[tsa]
default_tsa = test_tsa
[test_tsa]
dir = $dir/ca
serial = \$dir/tsaserial
crypto_device = builtin
signer_cert = \$dir/tsa.pem
certs = \$dir/tsa.pem
signer_key = \$dir/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
EOF
chmod 644 ./*.pem

cat > token.env <<EOF
MODULE=$module
SOFTHSM2_CONF=$dir/softhsm2.conf
KEY_RSA='pkcs11:token=$label;id=%01;type=private'
KEY_EC='pkcs11:token=$label;id=%02;type=private'
EOF
