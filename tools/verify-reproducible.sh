#!/bin/bash
# Rebuilds the commit that dist/ was built from, in a fresh clone in a temporary folder (another
# time zone and locale too), and compares the release with dist/: the Authenticode digest of every
# signed image in dist/ and of InstallerSteps.dll, their unsigned images, the digest of every package
# in dist/ (packed again around the signed images of dist/, see below), the policy files and
# build-info.txt. Prints each as same or differs, with the first differing field it can name;
# exits 1 when anything differs.
#
#   tools/verify-reproducible.sh
#
# Needs a build of the current commit in dist/ (tools/build.sh). Builds only what ships, not the
# test programs. Signatures are not compared: the rebuild signs with its own development chain.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
start=$SECONDS

die() {
  echo "verify-reproducible: $*" >&2
  exit 2
}

[ -f dist/build-info.txt ] || die "no dist/build-info.txt: build first (bash tools/build.sh)"
info() { sed -n "s/^$1: //p" dist/build-info.txt; }
commit=$(git rev-parse HEAD)
built=$(info commit)
[ "$built" = "$commit" ] || die "dist/ is a build of ${built:-an unknown commit}, not of HEAD ($commit): build first"
if [ "$(info 'work tree')" != clean ]; then
  echo "verify-reproducible: dist/ was built from a modified work tree: what differs may be that change"
fi
epoch_line=$(info SOURCE_DATE_EPOCH)
epoch=${epoch_line%% *}
# A time given to the first build must be given again; the commit's time the rebuild finds itself.
case $epoch_line in
  *"from the environment"*) export SOURCE_DATE_EPOCH=$epoch ;;
  *) unset SOURCE_DATE_EPOCH ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/keyvane-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT
. tools/rebuild-common.sh
echo "verify-reproducible: rebuilding $commit in $rebuild"
rebuild_commit "$commit"
build_seconds=$((SECONDS - start))

# The unsigned image of a signed file, from the build tree's list (CMake writes it).
unsigned_of() { # BUILD_ROOT SIGNED_RELATIVE
  awk -F '\t' -v signed="$1/$2" '$1 == signed { print $2; exit }' "$1/build/signed-images.txt"
}

compare_digests() { # RELATIVE_PATH [NOTE]: the signed file's Authenticode digest
  compare_signed "$1" "$root/$1" "$rebuild/$1" "${2:-}"
}

compare_unsigned() { # SIGNED_RELATIVE_PATH: its unsigned image, byte for byte
  local unsigned_a unsigned_b urel
  unsigned_a=$(unsigned_of "$root" "$1")
  unsigned_b=$(unsigned_of "$rebuild" "$1")
  [ -n "$unsigned_a" ] || return 0
  urel=${unsigned_a#"$root"/}
  if [ -z "$unsigned_b" ] || [ ! -f "$unsigned_b" ]; then
    report differs "$urel" "unsigned image missing from the rebuild"
  elif cmp -s "$unsigned_a" "$unsigned_b"; then
    report same "$urel" "unsigned image, bytes"
  else
    report differs "$urel" "unsigned image: $("$python" tools/repro_diff.py pe "$unsigned_a" "$unsigned_b")"
  fi
}

compare_bytes() { # RELATIVE_PATH
  local rel=$1
  if [ ! -f "$rebuild/$rel" ]; then
    report differs "$rel" "missing from the rebuild"
  elif cmp -s "$root/$rel" "$rebuild/$rel"; then
    report same "$rel" "bytes"
  else
    report differs "$rel" "$("$python" tools/repro_diff.py text "$root/$rel" "$rebuild/$rel")"
  fi
}

echo
# Names sorted in one locale, whatever the caller's.
list() { (cd "$1" && find "${@:2}" -type f 2>/dev/null | LC_ALL=C sort); }
mapfile -t images < <(list "$root" dist \( -name '*.exe' -o -name '*.dll' \))
images+=(build/packaging/signed/InstallerSteps.dll)
mapfile -t packages < <(list "$root" dist -name '*.msi')

images_same=1
for rel in "${images[@]}"; do
  compare_digests "$rel" || images_same=0
  compare_unsigned "$rel"
done

# A package carries signed images, and their signatures differ from one build tree to the next
# (each has its own development chain, and a time-stamp token holds a random serial and the
# signing's real time). So the rebuild's packages are made again around the images of dist/, once
# every image has been found to have the same digest; then the package's digest must match too.
if [ ${#packages[@]} -gt 0 ]; then
  if [ $images_same = 1 ]; then
    pairs=()
    for rel in "${images[@]}"; do pairs+=("$root/$rel" "$rebuild/$rel"); done
    repack "${pairs[@]}"
    for rel in "${packages[@]}"; do
      compare_digests "$rel" ", packed with the signed images of dist/" || true
    done
  else
    for rel in "${packages[@]}"; do
      report differs "$rel" "not compared: an image that it carries differs"
    done
  fi
fi

mapfile -t others < <(list "$root" dist/PolicyDefinitions dist/build-info.txt)
for rel in "${others[@]}"; do
  compare_bytes "$rel"
done
# A file that only the rebuild makes differs too.
while read -r rel; do
  [ -e "$root/$rel" ] || report differs "$rel" "only in the rebuild"
done < <(list "$rebuild" dist)

echo
echo "verify-reproducible: $same same, $differ differ; rebuild ${build_seconds} s, all $((SECONDS - start)) s"
[ $differ -eq 0 ]
