#!/bin/bash
# Prints dist/build-info.txt: what a rebuild needs in order to match this build.
#
#   tools/build-info.sh COMMIT TREE EPOCH EPOCH_SOURCE VERSION
#
# Tool versions are those whose output lands in the release: the compiler, the binutils and the
# MinGW-w64 runtime linked into the images, wixl and libmsi and libgcab that write the package,
# osslsigncode, and the Python and pefile that patch the images.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 COMMIT TREE EPOCH EPOCH_SOURCE VERSION" >&2; exit 2; }
commit=$1 tree=$2 epoch=$3 epoch_source=$4 version=$5

first_line() { "$@" 2>/dev/null | head -n 1 || true; }

# Exact Debian package versions: a tool's own --version leaves out Debian's patches.
package() {
  local version
  version=$(dpkg-query -W -f='${Version}' "$1" 2>/dev/null) || version="not installed as a Debian package"
  printf '  %-36s %s\n' "$1" "${version:-not installed as a Debian package}"
}

cat <<EOF
# Keyvane build information
#
# A build of this commit with this SOURCE_DATE_EPOCH and these tool versions (Debian 12 set up by
# tools/setup.sh) has the same unsigned images, the same signed content (Authenticode digest) of
# every image and of the package, and the same policy files. Signatures and their time stamps
# differ. Check with: bash tools/verify-reproducible.sh
commit: $commit
work tree: $tree
version: $version
SOURCE_DATE_EPOCH: $epoch ($epoch_source)

tools:
  gcc: $(first_line x86_64-w64-mingw32-gcc-posix --version)
  ld: $(first_line x86_64-w64-mingw32-ld --version)
  windres: $(first_line x86_64-w64-mingw32-windres --version)
  wixl: $(first_line wixl --version)
  osslsigncode: $(first_line osslsigncode --version | sed "s/, using:$//")
  python: $(first_line /usr/bin/python3 --version)

packages:
EOF
for p in gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix-runtime \
         binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev wixl msitools libmsi0 libgcab-1.0-0 \
         gir1.2-libmsi-1.0 osslsigncode python3 python3-pefile; do
  package "$p"
done
