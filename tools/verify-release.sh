#!/bin/bash
# Checks a released package against the commit it names, from the package alone.
#
#   tools/verify-release.sh PATH/Keyvane.msi [--ca ROOTS.pem] [--rebuilt-tree DIR]
#
# Reads the commit (and SOURCE_DATE_EPOCH, if the release was given one) from the package's
# Property table, rebuilds that commit in a fresh clone of this repository (as
# tools/verify-reproducible.sh does), and compares every signed image that the package carries
# (its cabinet's files, the PE images in its Binary table) by Authenticode digest with the
# rebuild's. Then it packs the rebuild's package around the release's own images and compares the
# package's digest ("Calculated DigitalSignature"). It prints the signer, issuer and time stamp of
# every signature, and, with --ca, whether each signature and its time stamp verify against the
# roots in ROOTS.pem. Exits 0 only when everything compared is the same (and, with --ca, verifies);
# 1 when something differs or does not verify; 2 when it cannot check.
#
# --rebuilt-tree DIR uses DIR, a clone of that commit in which `cmake --preset default && cmake
# --build --preset default --target shipped` already ran, instead of a fresh rebuild; its packages
# are made again (the tests use it to spare a second build). A real check leaves it out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
start=$SECONDS

die() {
  echo "verify-release: $*" >&2
  exit 2
}
usage() { die "usage: tools/verify-release.sh PACKAGE.msi [--ca ROOTS.pem] [--rebuilt-tree DIR]"; }

package= ca= reuse=
while [ $# -gt 0 ]; do
  case $1 in
    --ca) [ $# -ge 2 ] || usage; ca=$(realpath -- "$2"); shift 2 ;;
    --rebuilt-tree) [ $# -ge 2 ] || usage; reuse=$(realpath -- "$2"); shift 2 ;;
    -*) usage ;;
    *) [ -z "$package" ] || usage; package=$(realpath -- "$1"); shift ;;
  esac
done
[ -n "$package" ] || usage
[ -f "$package" ] || die "no package '$package'"
[ -z "$ca" ] || [ -r "$ca" ] || die "cannot read --ca '$ca'"

work=$(mktemp -d "${TMPDIR:-/tmp}/keyvane-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
. tools/rebuild-common.sh

property() { # NAME: its value in the release's Property table, or nothing
  (cd "$work" && msiinfo export "$package" Property) | awk -F '\t' -v n="$1" 'NR > 3 && $1 == n { sub(/\r$/, "", $2); print $2; exit }'
}
(cd "$work" && msiinfo export "$package" Property > /dev/null 2>&1) || die "'$package' is not a package msitools can read"
commit=$(property KeyvaneCommit)
[[ $commit =~ ^[0-9a-f]{40}$ ]] || die "the package names no commit (KeyvaneCommit: '${commit:-none}'): it was not built from a git work tree, or before packages named their commit"
[ -z "$(property KeyvaneWorkTree)" ] || die "the package was built from a modified work tree of $commit: no commit holds what it was built from"
epoch=$(property KeyvaneSourceDateEpoch)
if [ -n "$epoch" ]; then
  [[ $epoch =~ ^[0-9]+$ ]] || die "KeyvaneSourceDateEpoch '$epoch' is not a unix time"
  export SOURCE_DATE_EPOCH=$epoch
else
  unset SOURCE_DATE_EPOCH
fi
echo "verify-release: $package: commit $commit, SOURCE_DATE_EPOCH ${epoch:-none (the commit time)}"

# --- signatures ------------------------------------------------------------------------------

mkdir "$work/release" "$work/rebuilt"
mapfile -t release_images < <("$python" tools/repro_diff.py images "$package" "$work/release") \
  || die "cannot read the images in '$package'"
[ ${#release_images[@]} -gt 0 ] || die "'$package' carries no PE image"

trusted=0
untrusted=0
signature() { # WHAT FILE
  local out what=$1 file=$2 signer issuer stamp verdict
  out=$(osslsigncode verify -in "$file" 2>&1 || true)
  signer=$(awk '/^Signer.s certificate:/ { on = 1 } on && $1 == "Subject:" { sub(/^[ \t]*Subject: /, ""); print; exit }' <<< "$out")
  issuer=$(awk '/^Signer.s certificate:/ { on = 1 } on && $1 == "Issuer" { sub(/^[ \t]*Issuer : /, ""); print; exit }' <<< "$out")
  stamp=$(awk '$1 == "Timestamp" && $2 == "time:" { sub(/^[ \t]*Timestamp time: /, ""); print; exit }' <<< "$out")
  printf '%s\n    signer: %s\n    issuer: %s\n    time stamp: %s\n' "$what" "${signer:-none (not signed)}" \
    "${issuer:--}" "${stamp:-none}"
  [ -n "$ca" ] || return 0
  out=$(osslsigncode verify -CAfile "$ca" -TSA-CAfile "$ca" -in "$file" 2>&1) && verdict=0 || verdict=1
  local sig ts
  sig=$(awk '/^Signature verification:/ { print $3; exit }' <<< "$out")
  ts=$(awk '/^Timestamp Server Signature verification:/ { print $5; exit }' <<< "$out")
  [ -n "$stamp" ] || ts=absent
  printf '    against %s: signature %s, time stamp %s\n' "$ca" "${sig:-failed}" "${ts:-failed}"
  if [ $verdict = 0 ] && [ "$sig" = ok ] && [ "$ts" = ok ]; then
    trusted=$((trusted + 1))
  else
    untrusted=$((untrusted + 1))
  fi
}

echo
signature "the package" "$package"
for line in "${release_images[@]}"; do
  IFS=$'\t' read -r _ label file <<< "$line"
  signature "$label" "$file"
done
if [ -z "$ca" ]; then
  echo "  not checked: whether these signatures and time stamps chain to roots you trust (give --ca ROOTS.pem)"
fi

# --- rebuild and compare -----------------------------------------------------------------------

if [ -n "$reuse" ]; then
  rebuild=$reuse
  log=$work/build.log
  [ "$(git -C "$rebuild" rev-parse HEAD 2>/dev/null)" = "$commit" ] || die "--rebuilt-tree $rebuild is not a checkout of $commit"
  [ -z "$(git -C "$rebuild" status --porcelain --untracked-files=no)" ] || die "--rebuilt-tree $rebuild has changes"
  [ -f "$rebuild/build/signed-images.txt" ] || die "--rebuilt-tree $rebuild was not built"
  echo
  echo "verify-release: comparing with the build in $rebuild (not rebuilt)"
else
  git -C "$root" cat-file -e "$commit^{commit}" 2>/dev/null \
    || die "commit $commit is not in this repository ($root): fetch it, then check again"
  echo
  echo "verify-release: rebuilding $commit in $rebuild"
  rebuild_commit "$commit"
fi
build_seconds=$((SECONDS - start))

rebuilt_packages=("$rebuild"/dist/*.msi)
[ ${#rebuilt_packages[@]} = 1 ] && [ -f "${rebuilt_packages[0]}" ] || die "the rebuild made ${#rebuilt_packages[@]} packages in dist/, not one"
rebuilt_package=${rebuilt_packages[0]}
declare -A rebuilt_file=()
while IFS=$'\t' read -r id _ file; do
  rebuilt_file[$id]=$file
done < <("$python" tools/repro_diff.py images "$rebuilt_package" "$work/rebuilt")

echo
images_same=1
declare -A seen=()
pairs=()
for line in "${release_images[@]}"; do
  IFS=$'\t' read -r id label file <<< "$line"
  seen[$id]=1
  if [ -z "${rebuilt_file[$id]:-}" ]; then
    report differs "$label" "not in the rebuild's package"
    images_same=0
    continue
  fi
  if compare_signed "$label" "$file" "${rebuilt_file[$id]}"; then
    # Where the rebuild took this image from when it packed it: the signed file with its bytes.
    dest=$(cut -f 1 "$rebuild/build/signed-images.txt" | while read -r f; do
             if cmp -s "$f" "${rebuilt_file[$id]}"; then echo "$f"; break; fi
           done)
    [ -n "$dest" ] || die "cannot find the rebuild's file that it packed as $label"
    pairs+=("$file" "$dest")
  else
    images_same=0
  fi
done
for id in "${!rebuilt_file[@]}"; do
  [ -n "${seen[$id]:-}" ] || { report differs "$id" "in the rebuild's package only"; images_same=0; }
done

name=$(basename "$package")
if [ $images_same = 1 ]; then
  repack "${pairs[@]}"
  compare_signed "$name" "$package" "$rebuilt_package" ", packed with the release's images" || true
else
  report differs "$name" "not compared: an image that it carries differs"
fi

echo
if [ -n "$ca" ]; then
  echo "verify-release: signatures: $trusted verify against $ca, $untrusted do not"
fi
echo "verify-release: $same same, $differ differ; rebuild ${build_seconds} s, all $((SECONDS - start)) s"
if [ $differ -gt 0 ]; then
  joined=$(printf '%s; ' "${differing[@]}")
  echo "verify-release: DIFFERS from commit $commit: ${joined%; }"
elif [ $untrusted -gt 0 ]; then
  echo "verify-release: matches commit $commit, but $untrusted signatures do not verify against $ca"
else
  echo "verify-release: matches commit $commit${ca:+, every signature verifies against $ca}"
fi
[ $differ -eq 0 ] && [ $untrusted -eq 0 ]
