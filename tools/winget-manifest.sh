#!/bin/bash
# Writes the winget manifest of a release: manifest version 1.10.0, three files (version,
# installer, defaultLocale) in dist/winget/.
#
#   tools/winget-manifest.sh INSTALLER_URL [--release-notes-url URL] [--package PATH] [--out DIR]
#                            [--license TEXT]
#
# INSTALLER_URL is where the released package will be downloaded from; PATH (default
# dist/Keyvane.msi) must be that very file, signed for release: its SHA-256 goes into the manifest.
# Everything the package registers (product name, manufacturer, version, product and upgrade
# code, scope and architecture) is read from the package's own tables, never from the build's
# settings, so the manifest describes the file that users get.
set -euo pipefail
cd "$(dirname "$0")/.."

die() {
  echo "winget-manifest: $*" >&2
  exit 2
}
usage() { die "usage: tools/winget-manifest.sh INSTALLER_URL [--release-notes-url URL] [--package PATH] [--out DIR] [--license TEXT]"; }

identifier=Marvek.Keyvane
manifest_version=1.10.0
locale=en-US
url= notes= package=dist/Keyvane.msi out=dist/winget license=Proprietary
while [ $# -gt 0 ]; do
  case $1 in
    --release-notes-url) [ $# -ge 2 ] || usage; notes=$2; shift 2 ;;
    --package) [ $# -ge 2 ] || usage; package=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || usage; out=$2; shift 2 ;;
    --license) [ $# -ge 2 ] || usage; license=$2; shift 2 ;;
    -*) usage ;;
    *) [ -z "$url" ] || usage; url=$1; shift ;;
  esac
done
[ -n "$url" ] || usage
# The manifest schema's Url pattern and length.
url_ok() { [[ $1 =~ ^[Hh][Tt][Tt][Pp][Ss]?://.+$ ]] && [ ${#1} -le 2048 ] && [[ $1 != *[[:space:]]* ]]; }
url_ok "$url" || die "INSTALLER_URL '$url' is not an http(s) URL of at most 2048 characters"
[ -z "$notes" ] || url_ok "$notes" || die "--release-notes-url '$notes' is not an http(s) URL"
[ ${#license} -ge 3 ] || die "--license needs at least 3 characters"
[ -f "$package" ] || die "no package '$package': build it first"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
property() { # NAME
  (cd "$scratch" && msiinfo export "$package" Property) | awk -F '\t' -v n="$1" 'NR > 3 && $1 == n { sub(/\r$/, "", $2); print $2; exit }'
}
package=$(realpath "$package")
name=$(property ProductName)
publisher=$(property Manufacturer)
version=$(property ProductVersion)
product_code=$(property ProductCode)
upgrade_code=$(property UpgradeCode)
all_users=$(property ALLUSERS)
template=$(msiinfo suminfo "$package" | sed -n 's/^Template: //p' | tr -d '\r')
for v in name publisher version product_code upgrade_code; do
  [ -n "${!v}" ] || die "the package's Property table has no value for $v"
done
guid='^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$'
[[ $product_code =~ $guid && $upgrade_code =~ $guid ]] || die "product code '$product_code' or upgrade code '$upgrade_code' is not a braced GUID"
# The schema's PackageVersion pattern; winget compares the version with the installed one.
[[ $version =~ ^[0-9]+(\.[0-9]+){1,3}$ ]] || die "ProductVersion '$version' is not a dotted version"
[ "$all_users" = 1 ] || die "the package does not install per machine (ALLUSERS is '${all_users:-unset}'), as the manifest says"
[[ $template == x64\;* ]] || die "the package is not for x64 (summary Template '$template')"
{ osslsigncode verify -in "$package" 2>/dev/null || true; } | grep -q "^Signer's certificate:" \
  || die "the package '$package' is not signed: publish the signed release package"
sha256=$(sha256sum "$package" | awk '{ print toupper($1) }')

# Single-quoted YAML scalars: a braced GUID or a URL would mean something else unquoted.
q() { printf "'%s'" "${1//\'/\'\'}"; }
mkdir -p "$out"
header() { # TYPE
  printf '# Created by tools/winget-manifest.sh from %s\n' "$(basename "$package")"
  printf '# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json\n\n' "$1" "$manifest_version"
}

{
  header version
  cat <<EOF
PackageIdentifier: $identifier
PackageVersion: $(q "$version")
DefaultLocale: $locale
ManifestType: version
ManifestVersion: $manifest_version
EOF
} > "$out/$identifier.yaml"

{
  header installer
  cat <<EOF
PackageIdentifier: $identifier
PackageVersion: $(q "$version")
InstallerType: msi
Scope: machine
UpgradeBehavior: install
ProductCode: $(q "$product_code")
AppsAndFeaturesEntries:
  - DisplayName: $(q "$name")
    Publisher: $(q "$publisher")
    DisplayVersion: $(q "$version")
    ProductCode: $(q "$product_code")
    UpgradeCode: $(q "$upgrade_code")
ExpectedReturnCodes:
  # A later build is installed: the package refuses to replace it.
  - InstallerReturnCode: 1603
    ReturnResponse: downgrade
  - InstallerReturnCode: 1618
    ReturnResponse: installInProgress
  # Installed; an agent that could not be ended is replaced at the next restart.
  - InstallerReturnCode: 3010
    ReturnResponse: rebootRequiredToFinish
Installers:
  - Architecture: x64
    InstallerUrl: $(q "$url")
    InstallerSha256: $sha256
ManifestType: installer
ManifestVersion: $manifest_version
EOF
} > "$out/$identifier.installer.yaml"

{
  header defaultLocale
  cat <<EOF
PackageIdentifier: $identifier
PackageVersion: $(q "$version")
PackageLocale: $locale
Publisher: $(q "$publisher")
PackageName: $(q "$name")
License: $(q "$license")
ShortDescription: $(q "A small resident agent for 64-bit Windows that answers a keyboard's shortcut key by starting the configured application.")
EOF
  [ -z "$notes" ] || echo "ReleaseNotesUrl: $(q "$notes")"
  cat <<EOF
ManifestType: defaultLocale
ManifestVersion: $manifest_version
EOF
} > "$out/$identifier.locale.$locale.yaml"

echo "winget-manifest: wrote $out/$identifier.yaml, $identifier.installer.yaml, $identifier.locale.$locale.yaml ($name $version, SHA-256 $sha256)"
