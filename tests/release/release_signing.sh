#!/bin/bash
# Release signing with keys on a token, end to end: tools/sign.sh in release mode signs every PE
# image that PACKAGE carries, and PACKAGE itself, with an RSA-3072 and an ECDSA P-256 key that
# were generated on a SoftHSM2 token, time-stamped by a TSA on 127.0.0.1; each file verifies
# against the test roots and carries leaf and intermediate. A wrong PIN costs one login, the same
# PIN file is not tried again, and the token still signs with the right PIN. Other mistakes are
# named before any login. Logins are counted with the PKCS#11 spy module between sign.sh and the
# token.
#
#   tests/release/release_signing.sh WORK_DIR PACKAGE
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 WORK_DIR PACKAGE" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$1
package=$(realpath "$2")
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
start=$SECONDS

bash "$here/make_token.sh" "$work/token"
. "$work/token/token.env"
export SOFTHSM2_CONF
tok=$work/token

python3 "$here/tsa_server.py" "$tok/tsa.cnf" "$work/tsa-port" 90 2> "$work/tsa.log" &
tsa_pid=$!
trap 'kill $tsa_pid 2>/dev/null || true; wait $tsa_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$work/tsa-port" ] && break; sleep 0.1; done
[ -s "$work/tsa-port" ] || { cat "$work/tsa.log" >&2; echo "the test TSA did not start" >&2; exit 1; }

export PKCS11SPY=$MODULE PKCS11SPY_OUTPUT=$work/spy.log
spy=/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so
: > "$work/spy.log"
export KEYVANE_SIGN_PKCS11_MODULE=$spy KEYVANE_SIGN_PIN_FILE=$tok/pin
export KEYVANE_TIMESTAMP_URL="http://127.0.0.1:$(< "$work/tsa-port")/"
logins() { grep -c '^[0-9]*: C_Login' "$work/spy.log" || true; }

failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; }

mkdir "$work/in"
mapfile -t images < <(/usr/bin/python3 "$root/tools/repro_diff.py" images "$package" "$work/in" | cut -f 3)
[ ${#images[@]} -ge 3 ] || fail "the package carries ${#images[@]} images, expected the agent, the tool and the installer DLL"
cp "$package" "$work/in/package.msi"
files=("${images[@]}" "$work/in/package.msi")

for key in rsa ec; do
  mkdir "$work/$key"
  kv=KEY_${key^^}
  export KEYVANE_SIGN_KEY=${!kv} KEYVANE_SIGN_CERT=$tok/$key-chain.pem
  for f in "${files[@]}"; do
    out=$work/$key/$(basename "$f")
    before=$(logins)
    t0=$(date +%s%N)
    if ! bash "$root/tools/sign.sh" "$f" "$out" "$work/certdir" 2> "$work/sign.log"; then
      cat "$work/sign.log"
      fail "$key: signing $(basename "$f")"
      continue
    fi
    ms=$(( ($(date +%s%N) - t0) / 1000000 ))
    what="$key: $(basename "$f") ($ms ms, $(( $(logins) - before )) login)"
    if ! osslsigncode verify -CAfile "$tok/root.pem" -TSA-CAfile "$tok/tsa-root.pem" -in "$out" > "$work/verify.log" 2>&1; then
      fail "$what does not verify against the test roots"; cat "$work/verify.log"; continue
    fi
    grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log" || { fail "$what: no verified time stamp"; continue; }
    osslsigncode extract-signature -pem -in "$out" -out "$work/sig.pem" > /dev/null 2>&1
    carried=$(openssl pkcs7 -in "$work/sig.pem" -print_certs -noout | grep -c '^subject=' || true)
    rm -f "$work/sig.pem"
    [ "$carried" = 2 ] || { fail "$what: the signature carries $carried certificates, not leaf and intermediate"; continue; }
    [ "$(( $(logins) - before ))" = 1 ] || { fail "$what: not exactly one login"; continue; }
    ok "$what: verifies with its time stamp, carries leaf and intermediate"
  done
done

# The key-file route: its password from an owner-only file, or (warned about) the environment;
# the time stamp from the second server when the first does not answer.
file_env=(-u KEYVANE_SIGN_PKCS11_MODULE -u KEYVANE_SIGN_PIN_FILE KEYVANE_SIGN_KEY="$tok/file-key.pem"
          KEYVANE_SIGN_CERT="$tok/file-chain.pem" KEYVANE_TIMESTAMP_URL="http://127.0.0.1:1/ $KEYVANE_TIMESTAMP_URL")
for route in "KEYVANE_SIGN_PASSWORD_FILE=$tok/file-key-password" "KEYVANE_SIGN_PASSWORD=file-key-password"; do
  rm -f "$work/file.exe"
  if env "${file_env[@]}" "$route" bash "$root/tools/sign.sh" "${images[0]}" "$work/file.exe" "$work/certdir" \
       > "$work/sign.log" 2>&1 &&
     osslsigncode verify -CAfile "$tok/root.pem" -TSA-CAfile "$tok/tsa-root.pem" -in "$work/file.exe" > "$work/verify.log" 2>&1 &&
     grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log"; then
    case $route in
      *_FILE=*) ! grep -q warning "$work/sign.log" || { fail "password file: a warning"; continue; } ;;
      *) grep -q 'KEYVANE_SIGN_PASSWORD is in the environment of every process' "$work/sign.log" \
           || { fail "password variable: no warning"; continue; } ;;
    esac
    ok "a PEM key with ${route%%=*}: verifies, time-stamped by the second server"
  else
    sed 's/^/    /' "$work/sign.log"; fail "a PEM key with ${route%%=*}"
  fi
done
cp "$tok/file-key-password" "$work/open-password" && chmod 640 "$work/open-password"
if env "${file_env[@]}" KEYVANE_SIGN_PASSWORD_FILE="$work/open-password" bash "$root/tools/sign.sh" "${images[0]}" \
     "$work/file.exe" "$work/certdir" > "$work/sign.log" 2>&1 || ! grep -q 'refused' "$work/sign.log"; then
  fail "a password file that the group can read is not refused"
else
  ok "a password file that the group can read: $(tail -n 1 "$work/sign.log")"
fi

# Mistakes. Each: the variables to change, what the message must say, the logins it may cost.
export KEYVANE_SIGN_KEY=$KEY_RSA KEYVANE_SIGN_CERT=$tok/rsa-chain.pem
cat "$tok/ca/rsa.pem" "$tok/root.pem" > "$work/out-of-order.pem"
cp "$tok/pin" "$work/open-pin" && chmod 644 "$work/open-pin"
cases=(
  "wrong PIN|KEYVANE_SIGN_PIN_FILE=$tok/wrong-pin|wrong PIN|1"
  "the same wrong PIN again|KEYVANE_SIGN_PIN_FILE=$tok/wrong-pin|not trying the token again|0"
  "a module that is none|KEYVANE_SIGN_PKCS11_MODULE=/usr/lib/x86_64-linux-gnu/libc.so.6|module wrong|0"
  "no such module|KEYVANE_SIGN_PKCS11_MODULE=$work/none.so|module wrong|0"
  "another token|KEYVANE_SIGN_KEY=pkcs11:token=other;id=%01;type=private|key URI wrong|0"
  "another key's certificate|KEYVANE_SIGN_CERT=$tok/ec-chain.pem|chain wrong|0"
  "a chain out of order|KEYVANE_SIGN_CERT=$work/out-of-order.pem|the chain must be the leaf|0"
  "a PIN file others can read|KEYVANE_SIGN_PIN_FILE=$work/open-pin|refused|0"
  "a PIN in the key URI|KEYVANE_SIGN_KEY=$KEY_RSA;pin-value=4711|put no PIN in the key URI|0"
  "a password variable with a token|KEYVANE_SIGN_PASSWORD=4711|KEYVANE_SIGN_PIN_FILE, not|0"
)
for c in "${cases[@]}"; do
  IFS='|' read -r what assignment expected cost <<< "$c"
  before=$(logins)
  if env "$assignment" bash "$root/tools/sign.sh" "${images[0]}" "$work/mistake.exe" "$work/certdir" \
       > "$work/mistake.log" 2>&1; then
    fail "$what: signed"
  elif ! grep -q -- "$expected" "$work/mistake.log"; then
    fail "$what: message lacks '$expected':"; sed 's/^/    /' "$work/mistake.log"
  elif [ "$(( $(logins) - before ))" != "$cost" ]; then
    fail "$what: $(( $(logins) - before )) logins, expected $cost"
  else
    ok "$what: $(grep '^sign.sh:' "$work/mistake.log" | tail -n 1) ($cost login)"
  fi
done
# No PIN file and no terminal to ask on (a new session has none): a clean failure, no login.
before=$(logins)
if env -u KEYVANE_SIGN_PIN_FILE setsid -w bash "$root/tools/sign.sh" "${images[0]}" "$work/mistake.exe" \
     "$work/certdir" > "$work/mistake.log" 2>&1 < /dev/null; then
  fail "no PIN, no terminal: signed"
elif ! grep -q 'no PIN' "$work/mistake.log" || [ "$(( $(logins) - before ))" != 0 ]; then
  fail "no PIN, no terminal: $(( $(logins) - before )) logins, or no 'no PIN' in:"; sed 's/^/    /' "$work/mistake.log"
else
  ok "no PIN, no terminal: $(grep '^sign.sh:' "$work/mistake.log" | tail -n 1) (0 login)"
fi
grep -A 12 '^[0-9]*: C_Login' "$work/spy.log" | grep -q 'CKR_PIN_INCORRECT' || fail "the spy saw no CKR_PIN_INCORRECT"

# The token is not locked: the right PIN still signs, and its success clears the refusal.
before=$(logins)
if bash "$root/tools/sign.sh" "${images[0]}" "$work/after.exe" "$work/certdir" 2> "$work/sign.log" &&
   osslsigncode verify -CAfile "$tok/root.pem" -TSA-CAfile "$tok/tsa-root.pem" -in "$work/after.exe" > /dev/null 2>&1; then
  ok "after the wrong PIN the right one signs ($(( $(logins) - before )) login)"
else
  cat "$work/sign.log"; fail "the right PIN no longer signs after a wrong one"
fi

echo "$failures failed, $((SECONDS - start)) s"
[ $failures -eq 0 ]
