#!/bin/bash
# Authenticode-sign a .exe or .msi.
#
#   tools/sign.sh IN OUT CERTDIR
#
# Development (default): signs with a chain generated once in CERTDIR (build
# tree) and an offline time stamp from osslsigncode's built-in TSA. Signing
# and time-stamp times are the build's (CERTDIR/source-date-epoch, which
# CMake writes), else SOURCE_DATE_EPOCH, else a fixed date, so they do not
# depend on when the build ran. The chain is trusted nowhere.
#
# Release: set either
#   KEYVANE_SIGN_PKCS12                    (PKCS#12 with key and chain)
# or
#   KEYVANE_SIGN_CERT + KEYVANE_SIGN_KEY   (PEM: leaf then intermediates; key)
# plus KEYVANE_SIGN_PASSWORD if the key is protected, and
#   KEYVANE_TIMESTAMP_URL                  (RFC 3161; several, space-separated,
#                                           are tried in turn)
# CERTDIR is then unused.
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
for v in KEYVANE_SIGN_PKCS12 KEYVANE_SIGN_CERT KEYVANE_SIGN_KEY \
         KEYVANE_SIGN_PASSWORD KEYVANE_TIMESTAMP_URL; do
    if is_set "$v"; then release=1; fi
done

cred_args=()
ts_args=()
pass_source=()
if [ $release = 1 ]; then
    if is_set KEYVANE_SIGN_PKCS12; then
        if is_set KEYVANE_SIGN_CERT || is_set KEYVANE_SIGN_KEY; then
            die "set either KEYVANE_SIGN_PKCS12 or KEYVANE_SIGN_CERT+KEYVANE_SIGN_KEY, not both"
        fi
        [ -r "$KEYVANE_SIGN_PKCS12" ] || die "KEYVANE_SIGN_PKCS12: cannot read '$KEYVANE_SIGN_PKCS12'"
        cred_args=(-pkcs12 "$KEYVANE_SIGN_PKCS12")
    elif is_set KEYVANE_SIGN_CERT && is_set KEYVANE_SIGN_KEY; then
        [ -r "$KEYVANE_SIGN_CERT" ] || die "KEYVANE_SIGN_CERT: cannot read '$KEYVANE_SIGN_CERT'"
        [ -r "$KEYVANE_SIGN_KEY" ] || die "KEYVANE_SIGN_KEY: cannot read '$KEYVANE_SIGN_KEY'"
        cred_args=(-certs "$KEYVANE_SIGN_CERT" -key "$KEYVANE_SIGN_KEY")
    elif is_set KEYVANE_SIGN_CERT; then
        die "KEYVANE_SIGN_CERT is set but KEYVANE_SIGN_KEY is not"
    elif is_set KEYVANE_SIGN_KEY; then
        die "KEYVANE_SIGN_KEY is set but KEYVANE_SIGN_CERT is not"
    else
        die "release signing needs KEYVANE_SIGN_PKCS12 or KEYVANE_SIGN_CERT+KEYVANE_SIGN_KEY"
    fi
    is_set KEYVANE_TIMESTAMP_URL || die "release signing needs KEYVANE_TIMESTAMP_URL (RFC 3161 server)"
    for url in $KEYVANE_TIMESTAMP_URL; do
        ts_args+=(-ts "$url")
    done
    if is_set KEYVANE_SIGN_PASSWORD; then
        # Through stdin, so the password never shows in a process listing.
        cred_args+=(-readpass -)
        pass_source=(printf '%s\n' "$KEYVANE_SIGN_PASSWORD")
    fi
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
    osslsigncode sign -h sha256 -n Keyvane "${cred_args[@]}" "${ts_args[@]}" \
        -in "$in" -out "$tmp"
}
if [ ${#pass_source[@]} -gt 0 ]; then
    "${pass_source[@]}" | run_sign > "$log" 2>&1 || { cat "$log" >&2; die "osslsigncode sign failed"; }
else
    run_sign > "$log" 2>&1 < /dev/null || { cat "$log" >&2; die "osslsigncode sign failed"; }
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
