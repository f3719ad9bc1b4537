#!/bin/bash
# tools/verify-release.sh on packages signed with the test token. One clone of HEAD is built once
# (as the real check rebuilds), then configured with release variables to make the "release",
# then tampered packages are made from it, and the clone, back in development signing, serves
# as the rebuild (--rebuilt-tree): what is not exercised here is only the check's own clone and
# first build, which are tools/rebuild-common.sh's, the same that verify-reproducible runs in CI.
#
#   tests/release/verify_release.sh WORK_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 WORK_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
rm -rf "$1"
mkdir -p "$1"
work=$(cd "$1" && pwd)
start=$SECONDS
die() { echo "verify_release: $*" >&2; exit 1; }
. "$root/tools/rebuild-common.sh"

# A time of the build's own, so the package must name it and the check must hand it on.
export SOURCE_DATE_EPOCH=1767225600
for v in $(compgen -v KEYVANE_SIGN_) KEYVANE_TIMESTAMP_URL; do unset "$v"; done
commit=$(git -C "$root" rev-parse HEAD)
rebuild_commit "$commit"
echo "built $commit in $rebuild: $((SECONDS - start)) s"

bash "$here/make_token.sh" "$work/token" > /dev/null
tok=$work/token
. "$tok/token.env"
export SOFTHSM2_CONF
python3 "$here/tsa_server.py" "$tok/tsa.cnf" "$work/tsa-port" 100 2> "$work/tsa.log" &
tsa_pid=$!
trap 'kill $tsa_pid 2>/dev/null || true; wait $tsa_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$work/tsa-port" ] && break; sleep 0.1; done
[ -s "$work/tsa-port" ] || die "the test TSA did not start"
release_env=(KEYVANE_SIGN_KEY="$KEY_RSA" KEYVANE_SIGN_PKCS11_MODULE="$MODULE" KEYVANE_SIGN_CERT="$tok/rsa-chain.pem"
             KEYVANE_SIGN_PIN_FILE="$tok/pin" KEYVANE_TIMESTAMP_URL="http://127.0.0.1:$(< "$work/tsa-port")/")
in_tree() { (cd "$rebuild" && env "${release_env[@]}" "$@") >> "$log" 2>&1 || { tail -n 20 "$log" >&2; die "$* failed"; }; }

# A wrong PIN stops the build after one login: the signing steps run one at a time, and the
# first failure ends the build before another step tries the token (the spy counts the logins).
spy=/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so
: > "$work/spy.log"
wrong_env=(PKCS11SPY="$MODULE" PKCS11SPY_OUTPUT="$work/spy.log" KEYVANE_SIGN_KEY="$KEY_RSA"
           KEYVANE_SIGN_PKCS11_MODULE="$spy" KEYVANE_SIGN_CERT="$tok/rsa-chain.pem" KEYVANE_SIGN_PIN_FILE="$tok/wrong-pin"
           KEYVANE_TIMESTAMP_URL="${release_env[4]#*=}")
(cd "$rebuild" && env "${wrong_env[@]}" cmake --preset default > /dev/null &&
 env "${wrong_env[@]}" cmake --build --preset default --target shipped -j 4) > "$work/wrong-pin.log" 2>&1 \
  && die "the build signed with a wrong PIN"
logins=$(grep -c '^[0-9]*: C_Login' "$work/spy.log" || true)
grep -q 'wrong PIN' "$work/wrong-pin.log" || { cat "$work/wrong-pin.log" >&2; die "the failed build does not say 'wrong PIN'"; }
[ "$logins" = 1 ] || die "a build with a wrong PIN logged in $logins times"
echo "ok   a build with a wrong PIN stops after 1 login: $(grep -m 1 'sign.sh: osslsigncode sign failed' "$work/wrong-pin.log")"

# The release: everything signed with the token by the build itself.
in_tree cmake --preset default
in_tree cmake --build --preset default --target shipped
cp "$rebuild/dist/Keyvane.msi" "$work/release.msi"
cat "$tok/root.pem" "$tok/tsa-root.pem" > "$work/roots.pem"
echo "release signed with the token: $((SECONDS - start)) s"

# Tampered releases: one image altered (one code byte) and signed again with the token, the
# package made around it and signed with the token too.
mkdir "$work/images"
tree_file() { # ID: the file of the build tree that the package carries as ID
  local extracted
  extracted=$(/usr/bin/python3 "$root/tools/repro_diff.py" images "$rebuild/dist/Keyvane.msi" "$work/images" \
              | awk -F '\t' -v id="$1" '$1 == id { print $3 }')
  cut -f 1 "$rebuild/build/signed-images.txt" | while read -r f; do
    if cmp -s "$f" "$extracted"; then echo "$f"; break; fi
  done
}
tamper() { # ID OUTPUT
  local f
  f=$(tree_file "$1")
  [ -n "$f" ] || die "no build file for $1"
  cp "$f" "$work/original"
  /usr/bin/python3 -c '
import sys, pefile
data = bytearray(open(sys.argv[1], "rb").read())
data[pefile.PE(data=bytes(data)).sections[0].PointerToRawData + 64] ^= 1
open(sys.argv[2], "wb").write(data)' "$f" "$work/altered"
  env "${release_env[@]}" bash "$root/tools/sign.sh" "$work/altered" "$f" "$rebuild/build/signing" 2>> "$log"
  rm -f "$rebuild/dist/Keyvane.msi"
  in_tree cmake --build --preset default --target shipped
  cp "$rebuild/dist/Keyvane.msi" "$2"
  cp "$work/original" "$f"
}
tamper cabinet:KeyvaneCheckExe "$work/altered-tool.msi"
binary=$(/usr/bin/python3 "$root/tools/repro_diff.py" images "$work/release.msi" "$work/images" | grep '^binary:' | head -n 1)
[ -n "$binary" ] || die "the release carries no PE image in its Binary table"
tamper "${binary%%$'\t'*}" "$work/altered-dll.msi"
binary_label=$(cut -f 2 <<< "$binary")
# The package itself edited outside its images, and signed again with the token.
cp "$work/release.msi" "$work/altered-table.msi"
msibuild "$work/altered-table.msi" -q "UPDATE Property SET Value='0' WHERE Property='ARPNOMODIFY'"
env "${release_env[@]}" bash "$root/tools/sign.sh" "$work/altered-table.msi" "$work/altered-package.msi" \
  "$rebuild/build/signing" 2>> "$log"
echo "tampered packages made: $((SECONDS - start)) s"

# Back to a development build, which the check compares with.
(cd "$rebuild" && cmake --preset default && cmake --build --preset default --target shipped) >> "$log" 2>&1 \
  || die "development build of the clone failed"
echo "rebuild tree in development signing again: $((SECONDS - start)) s"

failures=0
# package, options, expected exit status, text the output must hold
cases=(
  "release.msi|--ca $work/roots.pem|0|every signature verifies against $work/roots.pem"
  "release.msi||0|not checked: whether these signatures"
  "release.msi|--ca $rebuild/build/signing/root.pem|1|0 verify against"
  "altered-tool.msi|--ca $work/roots.pem|1|DIFFERS from commit $commit: KeyvaneCheck.exe (cabinet"
  "altered-dll.msi|--ca $work/roots.pem|1|DIFFERS from commit $commit: $binary_label; altered-dll.msi"
  "altered-package.msi|--ca $work/roots.pem|1|DIFFERS from commit $commit: altered-package.msi"
)
for c in "${cases[@]}"; do
  IFS='|' read -r pkg options expected text <<< "$c"
  t0=$SECONDS
  # shellcheck disable=SC2086
  bash "$root/tools/verify-release.sh" "$work/$pkg" $options --rebuilt-tree "$rebuild" > "$work/out.log" 2>&1 && status=0 || status=$?
  what="$pkg ${options:+${options%% *} }($((SECONDS - t0)) s)"
  if [ $status != "$expected" ] || ! grep -qF -- "$text" "$work/out.log"; then
    echo "FAIL $what: exit $status (expected $expected), or no '$text' in:"
    sed 's/^/    /' "$work/out.log"
    failures=$((failures + 1))
  else
    echo "ok   $what: exit $status; $(grep -F -- "$text" "$work/out.log" | head -n 1)"
  fi
done
grep -q "SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH" "$work/out.log" || { echo "FAIL the check did not read the package's SOURCE_DATE_EPOCH"; failures=$((failures + 1)); }
echo "$failures failed, $((SECONDS - start)) s"
[ $failures -eq 0 ]
