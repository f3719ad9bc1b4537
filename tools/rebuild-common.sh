# Sourced by tools/verify-reproducible.sh and tools/verify-release.sh, which set root (the
# repository) and work (a scratch folder) and define die: the rebuild of one commit in a fresh
# clone, the packing of its packages around other signed images, and the comparisons they report.

python=/usr/bin/python3
same=0
differ=0
differing=()
rebuild=$work/src
log=$work/build.log

# In the rebuild, in another time zone (UTC+05:45, no tzdata needed) and locale than a build
# usually has, and with no release signing variable: it signs with its own development chain,
# never with a token or key of the caller's.
in_rebuild() {
  (cd "$rebuild" || exit 1
   for v in $(compgen -v KEYVANE_SIGN_) KEYVANE_TIMESTAMP_URL; do unset "$v"; done
   export TZ='<+0545>-5:45' LC_ALL=C.UTF-8 LANG=C.UTF-8
   "$@")
}

rebuild_commit() { # COMMIT: clones root into $rebuild and builds what ships there
  git clone -q --no-checkout --shared "$root" "$rebuild"
  git -C "$rebuild" checkout -q --detach "$1"
  if ! { in_rebuild cmake --preset default && in_rebuild cmake --build --preset default --target shipped; } \
       > "$log" 2>&1; then
    tail -n 30 "$log" >&2
    die "the rebuild failed (above: the end of its log)"
  fi
}

# Packs the rebuild's packages again, each SOURCE copied over the rebuild's DEST first (signed
# images that the packages carry); fails when the build signed a DEST again instead of packing it.
repack() { # SOURCE DEST [SOURCE DEST ...]
  local i
  for ((i = 1; i < $#; i += 2)); do cp "${!i}" "${@:i+1:1}"; done
  rm -f "$rebuild"/dist/*.msi
  if ! in_rebuild cmake --build --preset default --target shipped >> "$log" 2>&1; then
    tail -n 30 "$log" >&2
    die "packing the rebuild's packages again failed (above: the end of its log)"
  fi
  for ((i = 1; i < $#; i += 2)); do
    cmp -s "${!i}" "${@:i+1:1}" || die "the rebuild signed ${@:i+1:1} again instead of packing the one given"
  done
}

report() { # same|differs WHAT DETAIL
  printf '%-8s %-44s %s\n' "$1" "$2" "$3"
  if [ "$1" = same ]; then same=$((same + 1)); else differ=$((differ + 1)); differing+=("$2"); fi
}

# The Authenticode digest: everything a signature covers, without the signature (nor a PE's
# checksum). Empty for an unsigned file.
digest() {
  osslsigncode verify -in "$1" 2>/dev/null | awk '/^Calculated (DigitalSignature|message digest)/ { print $NF; exit }' || true
}

kind() { # FILE: pe or msi, from its first bytes
  case $(od -An -tx1 -N2 "$1" | tr -d ' \n') in
    d0cf) echo msi ;;
    *) echo pe ;;
  esac
}

compare_signed() { # WHAT A B [NOTE]: reports A against B by Authenticode digest (unsigned: bytes)
  local what=$1 a=$2 b=$3 note=${4:-} da db
  if [ ! -f "$b" ]; then
    report differs "$what" "missing from the rebuild"
    return 1
  fi
  da=$(digest "$a")
  db=$(digest "$b")
  if [ -z "$da" ] || [ -z "$db" ]; then
    if cmp -s "$a" "$b"; then
      report same "$what" "not signed; bytes"
      return 0
    fi
    if [ -n "$da$db" ]; then
      report differs "$what" "signed in one of the two only"
    else
      report differs "$what" "not signed: $("$python" "$root/tools/repro_diff.py" "$(kind "$a")" "$a" "$b")"
    fi
    return 1
  fi
  if [ "$da" = "$db" ]; then
    report same "$what" "digest $da$note"
    return 0
  fi
  report differs "$what" "$("$python" "$root/tools/repro_diff.py" "$(kind "$a")" "$a" "$b")"
  return 1
}
