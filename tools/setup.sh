#!/bin/bash
# Installs the Debian packages that building and testing need; does nothing when all are there.
set -euo pipefail

packages=(
  cmake ninja-build python3 python3-pefile openssl
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  googletest
  wine wine64 wine64-preloader xvfb xauth
  osslsigncode wixl msitools gir1.2-libmsi-1.0 python3-gi git
  # Release signing with a token, and its test: the engine, a software token, p11tool to make
  # keys on it, and the PKCS#11 spy that counts the test's logins.
  libengine-pkcs11-openssl softhsm2 gnutls-bin opensc-pkcs11
  # The winget manifest test reads YAML.
  python3-yaml
)
# Oldest versions relied on: the presets' schema, sign.sh's offline time stamp, -ignore-crl and
# -readpass, and the Wine and wixl behaviour that tests and packaging were made with.
# The trailing "~" lets Debian's "8.0~repack" count as 8.0.
declare -A minimum=([cmake]=3.25~ [osslsigncode]=2.9~ [wine]=8.0~ [wixl]=0.101~)

# Sets "missing" and "too_old" (package names) and "found" (installed versions) in one dpkg call.
check() {
  missing=() too_old=()
  declare -gA found=()
  local package status version
  while read -r package status version; do
    [ "$status" = installed ] && found[$package]=$version
  done < <(dpkg-query -W -f='${Package} ${db:Status-Status} ${Version}\n' "${packages[@]}" 2>/dev/null || true)
  for package in "${packages[@]}"; do
    if [ -z "${found[$package]:-}" ]; then
      missing+=("$package")
    elif [ -n "${minimum[$package]:-}" ] && dpkg --compare-versions "${found[$package]}" lt "${minimum[$package]}"; then
      too_old+=("$package")
    fi
  done
}

needed() {
  local package
  for package in "${missing[@]}" "${too_old[@]}"; do
    echo "  $package${minimum[$package]:+ ${minimum[$package]%\~} or later}${found[$package]:+ (found ${found[$package]})}"
  done
}

# The system's own Debian mirror: from a deb822 .sources stanza, else from a one-line entry.
debian_mirror() {
  local uri
  uri=$(awk 'FNR == 1 || /^[ \t]*$/ { if (ok && uri) { print uri; exit } ok = 0; uri = "" }
             tolower($1) == "uris:" { uri = $2 }
             tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i == "bookworm") ok = 1 }
             END { if (ok && uri) print uri }' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$uri" ] || uri=$(sed 's/\[[^]]*\]//' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
    | awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }')
  echo "${uri:-http://deb.debian.org/debian}"
}

# Without its preloader, Wine now and then cannot map a new process's shared user data
# ("c0000018") and the process start fails (1359): tests that start many programs would flake.
wine_preloader=/usr/lib/wine/wine64-preloader
check_wine_preloader() {
  if [ ! -x "$wine_preloader" ]; then
    echo "setup: $wine_preloader is missing: Wine would start processes without its preloader." >&2
    return 1
  fi
  local prefix pid exe="" seen="" i image
  # Debian's is a link to a static build.
  image=$(readlink -f "$wine_preloader")
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/keyvane-setup-wine.XXXXXX")
  # A server of our own, started first: ending it ends the check's processes however far they
  # got (a process killed while it starts a server could leave that server running).
  WINEPREFIX=$prefix wineserver -p
  # Wine execs its preloader first thing; the new prefix keeps the process alive long enough
  # to see which image it runs.
  WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d" \
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 &
  pid=$!
  for i in $(seq 100); do
    exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || break
    seen=$exe
    [ "$exe" = "$image" ] && break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  rm -rf "$prefix"
  if [ "$seen" != "$image" ]; then
    echo "setup: Wine does not start its processes through $wine_preloader (its process ran ${seen:-nothing we could see})." >&2
    return 1
  fi
}

check
if [ ${#missing[@]} -eq 0 ] && [ ${#too_old[@]} -eq 0 ]; then
  # A tenth of a second: worth it at every build.
  check_wine_preloader
  exit 0
fi

. /etc/os-release 2>/dev/null || true
if [ "${ID:-}" != debian ] || [ "${VERSION_CODENAME:-}" != bookworm ]; then
  echo "setup: installs packages on Debian 12 (bookworm) only, not on ${PRETTY_NAME:-this system}." >&2
  echo "setup: install these, then build again:" >&2
  needed >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: run as root, or install these first:" >&2
  needed >&2
  exit 1
fi

echo "setup: installing $(needed | awk '{ print $1 }' | paste -sd ' ')"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
stock=()
for package in "${missing[@]}" "${too_old[@]}"; do [ "$package" = osslsigncode ] || stock+=("$package"); done
[ ${#stock[@]} -eq 0 ] || apt-get install -y -q --no-install-recommends "${stock[@]}"

if [ ${#stock[@]} -ne $((${#missing[@]} + ${#too_old[@]})) ]; then
  candidate=$(apt-cache policy osslsigncode | awk '$1 == "Candidate:" && $2 != "(none)" { print $2 }')
  if dpkg --compare-versions "${candidate:-0}" ge "${minimum[osslsigncode]}"; then
    apt-get install -y -q --no-install-recommends osslsigncode
  else
    # Bookworm's own osslsigncode (2.5) lacks options that sign.sh uses; bookworm-backports has them.
    if ! grep -Eqs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources; then
      mirror=$(debian_mirror)
      echo "setup: osslsigncode ${candidate:-none} is too old; enabling bookworm-backports from $mirror"
      echo "deb $mirror bookworm-backports main" > /etc/apt/sources.list.d/bookworm-backports.list
      apt-get update -q
    fi
    # Only osslsigncode from backports: its dependencies stay bookworm's own where they can.
    apt-get install -y -q --no-install-recommends osslsigncode/bookworm-backports
  fi
fi

check
if [ ${#missing[@]} -ne 0 ] || [ ${#too_old[@]} -ne 0 ]; then
  echo "setup: still missing or too old after installing:" >&2
  needed >&2
  exit 1
fi
check_wine_preloader
echo "setup: osslsigncode ${found[osslsigncode]}, cmake ${found[cmake]}, wine ${found[wine]} (with its preloader), wixl ${found[wixl]}"
