#!/bin/bash
# Authenticode-sign a .exe, .dll or .msi.
#
#   tools/sign.sh IN OUT CERTDIR
#
# Development (default): signs with a chain generated once in CERTDIR (build
# tree) and an offline time stamp from osslsigncode's built-in TSA. Signing
# and time-stamp times are the build's (CERTDIR/source-date-epoch, which
# CMake writes), else SOURCE_DATE_EPOCH, else a fixed date, so they do not
# depend on when the build ran. The chain is trusted nowhere.
#
# Release: any of these variables set means release signing (README, "Signing
# for release"):
#   KEYVANE_SIGN_CERT + KEYVANE_SIGN_KEY  the chain (PEM: leaf, then its
#                          intermediates) and the key: a pkcs11: URI of a key
#                          on a token, or a PEM key file
#   KEYVANE_SIGN_PKCS11_MODULE            the token's PKCS#11 module
#   KEYVANE_SIGN_PIN_FILE                 the token's PIN; without it the
#                          token's engine asks on the terminal
#   KEYVANE_SIGN_PKCS12                   PKCS#12 with key and chain, instead
#                          of CERT + KEY
#   KEYVANE_SIGN_PASSWORD_FILE            a PEM or PKCS#12 key's password
#   KEYVANE_SIGN_PASSWORD                 the same, from the environment
#                          (warned about: every build process sees it)
#   KEYVANE_TIMESTAMP_URL                 RFC 3161 server(s), blank-separated,
#                          tried in turn
# PIN and password files must belong to the caller, unreadable by others.
# A token is tried once per file, one file at a time (CERTDIR/.release-lock),
# and never again with a PIN file that was refused, until that file changes.
# CERTDIR holds only that lock and record then.
#
# IN is never modified; OUT is replaced atomically. For a PE image the
# checksum is refreshed after signing, with tools/pe_fixup.py run by
# KEYVANE_PYTHON (default /usr/bin/python3, which has pefile).
set -euo pipefail

usage() {
    echo "usage: $0 IN OUT CERTDIR" >&2
    exit 2
}
die() {
    echo "sign.sh: $*" >&2
    exit 1
}

[ $# -eq 3 ] || usage
in=$1
out=$2
certdir=$3

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# cmake/Signing.cmake keeps the same list.
release_variables=(KEYVANE_SIGN_PKCS12 KEYVANE_SIGN_CERT KEYVANE_SIGN_KEY KEYVANE_SIGN_PKCS11_MODULE
                   KEYVANE_SIGN_PIN_FILE KEYVANE_SIGN_PASSWORD KEYVANE_SIGN_PASSWORD_FILE KEYVANE_TIMESTAMP_URL)
python=${KEYVANE_PYTHON:-/usr/bin/python3}

# Development chain validity, wide enough for any plausible build time.
dev_not_before=20000101000000Z
dev_not_after=20491231235959Z
dev_not_before_epoch=946684800
dev_not_after_epoch=2524607999
# 2025-01-01T00:00:00Z, used when SOURCE_DATE_EPOCH is unset.
dev_default_time=1735689600

[ -f "$in" ] || die "input '$in' not found"
[ ! -e "$out" ] || ! [ "$in" -ef "$out" ] || die "OUT must differ from IN (IN is never modified)"
[ ! -d "$out" ] || die "OUT '$out' is a folder"

magic=$(od -An -tx1 -N8 "$in" | tr -d ' \n')
case $magic in
    4d5a*) kind=pe ;;
    d0cf11e0a1b11ae1) kind=msi ;;
    *) die "'$in' is neither a PE image nor an MSI package" ;;
esac

# --- mode selection ------------------------------------------------------

is_set() { [ -n "${!1:-}" ]; }

release=0
for v in "${release_variables[@]}"; do
    if is_set "$v"; then release=1; fi
done

# A file that holds a PIN or a password: a regular file of the caller's that nobody else may read
# or replace.
secret_file() { # VARIABLE
    local var=$1 f=${!1} owner mode
    [ -f "$f" ] || die "$var: '$f' is not a file"
    [ -r "$f" ] || die "$var: cannot read '$f'"
    read -r owner mode < <(stat -L -c '%u %a' -- "$f")
    [ "$owner" = "$(id -u)" ] || die "$var: '$f' belongs to uid $owner, not to the signing user ($(id -u)): refused"
    (( (8#$mode & 8#066) == 0 )) || die "$var: group or others may read or write '$f' (mode $mode): refused; chmod 600 it"
}

# Subjects and issuers of a PEM chain, one "subject<TAB>issuer" line per certificate, in order.
names() { awk '/^subject=/ { s = substr($0, 9) } /^issuer=/ { print s "\t" substr($0, 8) }'; }
chain_names() {
    openssl crl2pkcs7 -nocrl -certfile "$1" 2>/dev/null | openssl pkcs7 -print_certs -noout 2>/dev/null | names
}

# Leaf first, each certificate issued by the next: what Windows needs to build the path to a
# root from the signature alone.
check_chain() {
    local lines i
    [ -r "$KEYVANE_SIGN_CERT" ] || die "KEYVANE_SIGN_CERT: cannot read '$KEYVANE_SIGN_CERT'"
    mapfile -t lines < <(chain_names "$KEYVANE_SIGN_CERT")
    [ ${#lines[@]} -gt 0 ] || die "KEYVANE_SIGN_CERT: '$KEYVANE_SIGN_CERT' holds no PEM certificate (chain wrong)"
    for ((i = 0; i + 1 < ${#lines[@]}; i++)); do
        [ "${lines[i]#*$'\t'}" = "${lines[i + 1]%%$'\t'*}" ] \
            || die "KEYVANE_SIGN_CERT: certificate $((i + 2)) ('${lines[i + 1]%%$'\t'*}') did not issue certificate $((i + 1)) (issuer '${lines[i]#*$'\t'}'): the chain must be the leaf, then its intermediates in order"
    done
    if [ ${#lines[@]} = 1 ] && [ "${lines[0]%%$'\t'*}" != "${lines[0]#*$'\t'}" ]; then
        echo "sign.sh: note: KEYVANE_SIGN_CERT holds the leaf only; a signature without its intermediates verifies only where the issuer '${lines[0]#*$'\t'}' is installed" >&2
    fi
}

leaf_public_key() { openssl x509 -in "$KEYVANE_SIGN_CERT" -noout -pubkey 2>/dev/null | openssl pkey -pubin -outform DER 2>/dev/null | sha256sum; }

# p11tool without a PIN and without asking: it sees the token's public objects only.
p11() { env -u GNUTLS_PIN -u GNUTLS_SO_PIN p11tool --batch --provider "$KEYVANE_SIGN_PKCS11_MODULE" "$@" 2>&1 < /dev/null; }
uri_decode() { local s=${1//+/ }; printf '%b' "${s//%/\\x}"; }
# One attribute of a pkcs11: URI's path, decoded.
uri_attr() { # URI NAME
    local path=${1#pkcs11:} part
    path=${path%%\?*}
    local IFS=';'
    for part in $path; do
        [ "${part%%=*}" = "$2" ] && { uri_decode "${part#*=}"; return 0; }
    done
    return 1
}
with_type() { # URI TYPE: the URI's path with its type= replaced
    local path=${1#pkcs11:} part out=() IFS=';'
    path=${path%%\?*}
    for part in $path; do [ "${part%%=*}" = type ] || out+=("$part"); done
    out+=("type=$2")
    echo "pkcs11:${out[*]}"
}

# What can be found wrong before a login: the module, the token, the key's object, the key's
# match with the certificate. Each failure names the variable that is wrong.
diagnose_token() {
    local module=$KEYVANE_SIGN_PKCS11_MODULE key=$KEYVANE_SIGN_KEY out urls url attr want found flags pub
    [ -f "$module" ] || die "KEYVANE_SIGN_PKCS11_MODULE: '$module' is not a file (module wrong)"
    case $key in
        *pin-value=*|*pin-source=*)
            die "KEYVANE_SIGN_KEY: put no PIN in the key URI (a pin-value is on every command line; a pin-source file is read with its newline); use KEYVANE_SIGN_PIN_FILE" ;;
    esac
    if ! command -v p11tool > /dev/null; then
        echo "sign.sh: note: p11tool (gnutls-bin) not found: module, token and key are not checked before signing" >&2
        return 0
    fi
    out=$(p11 --list-token-urls) || die "KEYVANE_SIGN_PKCS11_MODULE: '$module' does not load as a PKCS#11 module (module wrong): $out"
    mapfile -t urls <<< "$out"
    found=
    for url in "${urls[@]}"; do
        [ -n "$url" ] || continue
        found=$url
        for attr in token manufacturer model serial; do
            if want=$(uri_attr "$key" $attr); then
                [ "$(uri_attr "$url" $attr)" = "$want" ] || { found=; break; }
            fi
        done
        [ -z "$found" ] || break
    done
    [ -n "$found" ] || die "KEYVANE_SIGN_KEY: no token of module '$module' matches '$key' (key URI wrong, or the token is not plugged in); tokens seen: ${urls[*]:-none}"
    flags=$(p11 --list-tokens | awk -v u="$found" '$1 == "URL:" { on = ($2 == u) } on && $1 == "Flags:"')
    case $flags in
        *"uPIN locked"*) die "the token '$(uri_attr "$found" token)' has locked its user PIN: unlock it with the SO PIN first" ;;
        *"final try"*) die "the token '$(uri_attr "$found" token)' allows one more PIN try only: not risking it (check the PIN, then sign by hand)" ;;
        *"low count"*) echo "sign.sh: warning: the token reports that few PIN tries are left" >&2 ;;
    esac
    # The key's public half, or its certificate, is readable without a login on most tokens.
    for type in public cert; do
        if pub=$(p11 --export "$(with_type "$key" $type)") && [ -n "$pub" ] && [[ $pub == *BEGIN* ]]; then
            if [ $type = cert ]; then
                pub=$(openssl x509 -noout -pubkey <<< "$pub" 2>/dev/null)
            fi
            pub=$(openssl pkey -pubin -outform DER <<< "$pub" 2>/dev/null | sha256sum)
            [ "$pub" = "$(leaf_public_key)" ] \
                || die "KEYVANE_SIGN_CERT: its first certificate is not for the token's key '$key' (chain wrong, or key URI names another key)"
            return 0
        fi
    done
    if ! p11 --list-all --only-urls "$(with_type "$key" public)" | grep -q '^pkcs11:' \
       && ! p11 --list-all --only-urls "$(with_type "$key" cert)" | grep -q '^pkcs11:'; then
        echo "sign.sh: note: the token shows no public key or certificate for '$key' without a login: the key URI is checked only when signing" >&2
    fi
}

cred_args=()
ts_args=()
pass_file=
pass_source=()
token=0
if [ $release = 1 ]; then
    if is_set KEYVANE_SIGN_PKCS12; then
        if is_set KEYVANE_SIGN_CERT || is_set KEYVANE_SIGN_KEY; then
            die "set either KEYVANE_SIGN_PKCS12 or KEYVANE_SIGN_CERT+KEYVANE_SIGN_KEY, not both"
        fi
        [ -r "$KEYVANE_SIGN_PKCS12" ] || die "KEYVANE_SIGN_PKCS12: cannot read '$KEYVANE_SIGN_PKCS12'"
        cred_args=(-pkcs12 "$KEYVANE_SIGN_PKCS12")
    elif is_set KEYVANE_SIGN_CERT && is_set KEYVANE_SIGN_KEY; then
        check_chain
        if [[ $KEYVANE_SIGN_KEY == pkcs11:* ]]; then
            token=1
            is_set KEYVANE_SIGN_PKCS11_MODULE || die "KEYVANE_SIGN_KEY is a pkcs11: URI: set KEYVANE_SIGN_PKCS11_MODULE to the token's PKCS#11 module"
            cred_args=(-pkcs11module "$KEYVANE_SIGN_PKCS11_MODULE" -key "$KEYVANE_SIGN_KEY" -certs "$KEYVANE_SIGN_CERT")
        else
            [ -r "$KEYVANE_SIGN_KEY" ] || die "KEYVANE_SIGN_KEY: cannot read '$KEYVANE_SIGN_KEY'"
            cred_args=(-certs "$KEYVANE_SIGN_CERT" -key "$KEYVANE_SIGN_KEY")
        fi
    elif is_set KEYVANE_SIGN_CERT; then
        die "KEYVANE_SIGN_CERT is set but KEYVANE_SIGN_KEY is not"
    elif is_set KEYVANE_SIGN_KEY; then
        die "KEYVANE_SIGN_KEY is set but KEYVANE_SIGN_CERT is not"
    else
        die "release signing needs KEYVANE_SIGN_PKCS12 or KEYVANE_SIGN_CERT+KEYVANE_SIGN_KEY"
    fi
    if [ $token = 1 ]; then
        if is_set KEYVANE_SIGN_PASSWORD || is_set KEYVANE_SIGN_PASSWORD_FILE; then
            die "a token key takes its PIN from KEYVANE_SIGN_PIN_FILE, not KEYVANE_SIGN_PASSWORD(_FILE)"
        fi
        if is_set KEYVANE_SIGN_PIN_FILE; then
            secret_file KEYVANE_SIGN_PIN_FILE
            pass_file=$KEYVANE_SIGN_PIN_FILE
        fi
    else
        is_set KEYVANE_SIGN_PKCS11_MODULE && die "KEYVANE_SIGN_PKCS11_MODULE is set, but KEYVANE_SIGN_KEY is not a pkcs11: URI"
        is_set KEYVANE_SIGN_PIN_FILE && die "KEYVANE_SIGN_PIN_FILE is for a token key (pkcs11: URI); a key file's password goes in KEYVANE_SIGN_PASSWORD_FILE"
        if is_set KEYVANE_SIGN_PASSWORD_FILE; then
            is_set KEYVANE_SIGN_PASSWORD && die "set KEYVANE_SIGN_PASSWORD_FILE or KEYVANE_SIGN_PASSWORD, not both"
            secret_file KEYVANE_SIGN_PASSWORD_FILE
            pass_file=$KEYVANE_SIGN_PASSWORD_FILE
        elif is_set KEYVANE_SIGN_PASSWORD; then
            echo "sign.sh: warning: KEYVANE_SIGN_PASSWORD is in the environment of every process of the build (compilers, scripts, Wine): use KEYVANE_SIGN_PASSWORD_FILE" >&2
            # Through stdin, so the password never shows in a process listing.
            pass_source=(printf '%s\n' "$KEYVANE_SIGN_PASSWORD")
        fi
    fi
    is_set KEYVANE_TIMESTAMP_URL || die "release signing needs KEYVANE_TIMESTAMP_URL (RFC 3161 server)"
    # Split on blanks only: no pattern in a URL is ever expanded against file names.
    read -r -a urls <<< "$KEYVANE_TIMESTAMP_URL"
    for url in "${urls[@]}"; do
        [[ $url == http://* || $url == https://* ]] || die "KEYVANE_TIMESTAMP_URL: '$url' is not an http(s) URL"
        ts_args+=(-ts "$url")
    done
fi

# --- development chain ---------------------------------------------------

# The CA keys are deleted once the chain is issued: a developer may trust the
# development root on a test machine, and a lingering root key would let
# anyone with the build tree sign for it.
dev_files=(root.pem intermediate.pem signer.key signer-chain.pem
           tsa-root.pem tsa.pem tsa.key)

dev_chain_complete() {
    local f
    [ -f "$certdir/chain.stamp" ] || return 1
    for f in "${dev_files[@]}"; do
        [ -s "$certdir/$f" ] || return 1
    done
}

issue() { # CONF EXTENSIONS CSR CERT [openssl ca args]; fixed validity dates
    local conf=$1 ext=$2 csr=$3 cert=$4
    shift 4
    openssl ca -batch -config "$conf" -extensions "$ext" -notext -rand_serial \
        -startdate "$dev_not_before" -enddate "$dev_not_after" \
        -in "$csr" -out "$cert" "$@" 2> ca.log \
        || { cat ca.log >&2; echo "sign.sh: issuing $cert failed" >&2; return 1; }
}
newkey() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -quiet -out "$1"; }
newcsr() { openssl req -new -config ca.cnf -key "$1" -subj "$2" -out "$3"; }

# Runs in a subshell with errexit in force; the work folder goes either way.
generate_dev_chain() {
    local f o="/O=Keyvane Development (untrusted)"
    rm -f "$certdir/chain.stamp"
    gen_dir=$(mktemp -d "$certdir/.gen.XXXXXX")
    trap 'rm -rf "$gen_dir"' EXIT
    cd "$gen_dir"
    mkdir newcerts
    : > index.txt
    echo 01 > serial
    cat > ca.cnf <<'EOF'
[ ca ]
default_ca = dev
[ dev ]
dir = .
database = ./index.txt
new_certs_dir = ./newcerts
serial = ./serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
email_in_dn = no
[ any ]
commonName = supplied
organizationName = optional
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ v3_root ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ v3_intermediate ]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ v3_signer ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ v3_tsa ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF

    newkey root.key
    newcsr root.key "/CN=Keyvane Development Root$o" root.csr
    issue ca.cnf v3_root root.csr root.pem -selfsign -keyfile root.key

    newkey intermediate.key
    newcsr intermediate.key "/CN=Keyvane Development Intermediate$o" intermediate.csr
    issue ca.cnf v3_intermediate intermediate.csr intermediate.pem \
        -cert root.pem -keyfile root.key

    newkey signer.key
    newcsr signer.key "/CN=Keyvane Development Code Signing$o" signer.csr
    issue ca.cnf v3_signer signer.csr signer.pem \
        -cert intermediate.pem -keyfile intermediate.key
    cat signer.pem intermediate.pem > signer-chain.pem

    newkey tsa-root.key
    newcsr tsa-root.key "/CN=Keyvane Development Timestamp Root$o" tsa-root.csr
    issue ca.cnf v3_root tsa-root.csr tsa-root.pem -selfsign -keyfile tsa-root.key

    newkey tsa.key
    newcsr tsa.key "/CN=Keyvane Development Timestamp$o" tsa.csr
    issue ca.cnf v3_tsa tsa.csr tsa.pem -cert tsa-root.pem -keyfile tsa-root.key

    chmod 644 ./*.pem  # certificates are public; keys stay private
    for f in "${dev_files[@]}" signer.pem; do
        mv -f "$f" "$certdir/$f"
    done
    # Written last: its presence means the set above is complete.
    date -u +%Y-%m-%dT%H:%M:%SZ > "$certdir/chain.stamp"
    echo "sign.sh: generated development signing chain in $certdir" >&2
}

dev_time=
if [ $release = 0 ]; then
    # One time for every file of a build, whatever the environment of a single step.
    if [ -f "$certdir/source-date-epoch" ]; then
        dev_time=$(< "$certdir/source-date-epoch")
    else
        dev_time=${SOURCE_DATE_EPOCH:-$dev_default_time}
    fi
    [[ $dev_time =~ ^[0-9]+$ ]] || die "signing time '$dev_time' is not a unix time"
    if [ "$dev_time" -lt $dev_not_before_epoch ] || [ "$dev_time" -gt $dev_not_after_epoch ]; then
        die "time stamp $dev_time lies outside the development chain's validity"
    fi

    mkdir -p "$certdir"
    certdir=$(cd "$certdir" && pwd)
    # Parallel signing steps must not race to create the chain.
    exec 9> "$certdir/.lock"
    flock 9
    if ! dev_chain_complete; then
        # Not "( ... ) || die": that would switch errexit off inside.
        set +e
        (set -e; umask 077; generate_dev_chain)
        rc=$?
        set -e
        [ $rc = 0 ] || die "generating the development chain in $certdir failed"
    fi
    flock -u 9
    exec 9>&-

    cred_args=(-certs "$certdir/signer-chain.pem" -key "$certdir/signer.key")
    ts_args=(-TSA-certs "$certdir/tsa.pem" -TSA-key "$certdir/tsa.key"
             -TSA-time "$dev_time" -time "$dev_time")
fi

# --- sign ----------------------------------------------------------------

out_dir=$(dirname "$out")
[ -d "$out_dir" ] || die "output folder '$out_dir' does not exist"
# Beside OUT so the final rename stays on one file system; a fresh folder
# because osslsigncode will not write over an existing file.
tmp_dir=$(mktemp -d "$out_dir/.sign.XXXXXX")
trap 'rm -rf "$tmp_dir"' EXIT
tmp=$tmp_dir/$(basename "$out")
log=$tmp_dir/log
run_sign() {
    osslsigncode sign -h sha256 -n Keyvane "${cred_args[@]}" "${ts_args[@]}" "$@" \
        -in "$in" -out "$tmp"
}

# Why a release signing failed, from what osslsigncode and the engine printed.
explain_failure() {
    if [ $token = 1 ]; then
        if grep -Eq 'PIN incorrect|PIN len range|CKR_PIN_INCORRECT|CKR_PIN_LEN_RANGE' "$log"; then
            echo "wrong PIN (KEYVANE_SIGN_PIN_FILE${pass_file:+ '$pass_file'}): the token refused it, one try used"
        elif grep -Eq 'PIN locked|CKR_PIN_LOCKED' "$log"; then
            echo "the token's user PIN is locked"
        elif grep -q 'No PIN code was entered' "$log"; then
            echo "no PIN: set KEYVANE_SIGN_PIN_FILE, or sign where the token can ask on a terminal"
        elif grep -Eq 'Failed to load module|Unable to load module|initialization error' "$log"; then
            echo "the module KEYVANE_SIGN_PKCS11_MODULE ('$KEYVANE_SIGN_PKCS11_MODULE') could not be loaded"
        elif grep -q 'private key was not found' "$log"; then
            echo "no private key at KEYVANE_SIGN_KEY ('$KEYVANE_SIGN_KEY') on the token (key URI wrong)"
        fi
    fi
    if [ $token = 0 ] && grep -Eq 'bad password read|bad decrypt|mac verify failure' "$log"; then
        echo "wrong password for the key (KEYVANE_SIGN_PASSWORD_FILE or KEYVANE_SIGN_PASSWORD)"
    elif grep -Eq 'key values mismatch|does not match|Failed to read certificate' "$log"; then
        echo "the chain KEYVANE_SIGN_CERT does not fit the key"
    elif grep -Eiq 'timestamp|Connecting to' "$log" && grep -Eq 'Failed to|Timestamp|TSA' "$log"; then
        echo "possibly the time-stamp server(s) in KEYVANE_TIMESTAMP_URL (see above)"
    fi
}

if [ $release = 1 ]; then
    # One signing at a time across the build (packages are made outside the build's signing job
    # pool), and none after a PIN that the token refused.
    mkdir -p "$certdir"
    exec 9> "$certdir/.release-lock"
    flock 9
    refused=$certdir/.refused-pin
    if [ -n "$pass_file" ]; then
        pin_id=$(stat -L -c '%d:%i:%Y:%s' -- "$pass_file")
        if [ -f "$refused" ] && [ "$(< "$refused")" = "$pin_id" ]; then
            die "not trying the token again: it refused the PIN in '$pass_file', which has not changed since (wrong PIN)"
        fi
    fi
    [ $token = 0 ] || diagnose_token
fi
status=0
if [ -n "$pass_file" ]; then
    run_sign -readpass "$pass_file" > "$log" 2>&1 < /dev/null || status=$?
elif [ ${#pass_source[@]} -gt 0 ]; then
    "${pass_source[@]}" | run_sign -readpass - > "$log" 2>&1 || status=$?
else
    # A token without a PIN file asks through the terminal itself (its engine opens /dev/tty).
    run_sign > "$log" 2>&1 < /dev/null || status=$?
fi
if [ $status != 0 ]; then
    cat "$log" >&2
    why=$(explain_failure | head -n 1)
    case $why in
        "wrong PIN"*) [ -z "$pass_file" ] || echo "$pin_id" > "$refused" ;;
    esac
    die "osslsigncode sign failed for $in${why:+: $why}"
fi
[ $release = 0 ] || rm -f "$certdir/.refused-pin"

if [ $release = 1 ] && is_set KEYVANE_SIGN_CERT; then
    # The signature must carry the whole chain given, or Windows may find no path to a root.
    carried=$(osslsigncode extract-signature -pem -in "$tmp" -out "$tmp_dir/sig.pem" > /dev/null 2>&1 &&
              openssl pkcs7 -in "$tmp_dir/sig.pem" -print_certs -noout | names | cut -f 1)
    while IFS=$'\t' read -r subject _; do
        grep -Fxq -- "$subject" <<< "$carried" || die "the signature of $in does not carry '$subject' of KEYVANE_SIGN_CERT"
    done < <(chain_names "$KEYVANE_SIGN_CERT")
fi

if [ $kind = pe ]; then
    "$python" "$here/pe_fixup.py" checksum "$tmp" > /dev/null
fi

if [ $release = 0 ]; then
    # Cheap, and catches a broken chain before anything ships with it.
    osslsigncode verify -CAfile "$certdir/root.pem" -TSA-CAfile "$certdir/tsa-root.pem" \
        -ignore-crl -in "$tmp" > "$log" 2>&1 \
        || { cat "$log" >&2; die "signed file does not verify against the development chain"; }
fi

chmod --reference="$in" "$tmp"
mv -f "$tmp" "$out"
echo "sign.sh: signed $out ($( [ $release = 1 ] && echo release || echo development ))" >&2
