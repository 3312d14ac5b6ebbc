#!/usr/bin/env bash
# Writes the release's winget manifest (multi-file, schema 1.12.0) into a folder: the version, the
# installer and the default locale. Its values come from where the package takes them: the
# version from CMakeLists.txt, the Apps & features entry from the package's script.
#   scripts/winget-manifest.sh OUT_DIR SETUP_EXE INSTALLER_URL [PLATFORMS [LOWEST_WINDOWS]]
# PLATFORMS are those the driver packages install on ("x86,amd64" by default): the 32-bit package
# serves both; for "amd64" alone the manifest offers it to 64-bit machines only. LOWEST_WINDOWS is
# the lowest Windows release the product supports (10 by default), the manifest's MinimumOSVersion.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$1 setup=$2 url=$3 platforms=${4:-x86,amd64} lowest=${5:-10}
case "$lowest" in
7) minimum_os=6.1.7600.0 ;;
8) minimum_os=6.2.9200.0 ;;
8.1) minimum_os=6.3.9600.0 ;;
10) minimum_os=10.0.0.0 ;;
11) minimum_os=10.0.22000.0 ;;
*) echo "winget-manifest: LOWEST_WINDOWS=$lowest: name 7, 8, 8.1, 10 or 11" >&2; exit 1 ;;
esac
case "$platforms" in
*x86*) architecture=x86 ;;
*) architecture=x64 ;;
esac
nsi=$root/installer/BrellanFlashwrightSetup.nsi
define() { sed -n "s/^!define $1 \"\\(.*\\)\"\$/\\1/p" "$nsi"; }
version=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
product_code=$(define UNINSTALL_KEY | sed 's/.*\\//')
name=$(define DISPLAY_NAME)
publisher=$(define PUBLISHER)
id=Quillmere.BrellanFlashwright
sha=$(sha256sum "$setup" | cut -d' ' -f1)
[ -n "$version" ] && [ -n "$product_code" ] && [ -n "$name" ] && [ -n "$publisher" ] || {
  echo "winget-manifest: could not read the version or the entry's values" >&2
  exit 1
}
mkdir -p "$out"
head() { printf 'PackageIdentifier: %s\nPackageVersion: %s\n' "$id" "$version"; }

{ head; printf 'DefaultLocale: en-US\nManifestType: version\nManifestVersion: 1.12.0\n'; } >"$out/$id.yaml"

{
  head
  cat <<YAML
InstallerType: nullsoft
Scope: machine
InstallModes:
  - interactive
  - silent
InstallerSwitches:
  Silent: /S
  SilentWithProgress: /S
  Log: '"/LOG=<LOGPATH>"'
ExpectedReturnCodes:
  - InstallerReturnCode: 4
    ReturnResponse: contactSupport
  - InstallerReturnCode: 5
    ReturnResponse: contactSupport
  - InstallerReturnCode: 1618
    ReturnResponse: installInProgress
  - InstallerReturnCode: 1633
    ReturnResponse: systemNotSupported
  - InstallerReturnCode: 1638
    ReturnResponse: downgrade
  - InstallerReturnCode: 1639
    ReturnResponse: invalidParameter
  - InstallerReturnCode: 3
    ReturnResponse: custom
    ReturnResponseUrl: ${BRELLAN_WINGET_DEVICE_URL:-https://quillmere.example/brellan-flashwright/uninstall-the-device}
UpgradeBehavior: install
MinimumOSVersion: $minimum_os
ElevationRequirement: elevatesSelf
ProductCode: $product_code
AppsAndFeaturesEntries:
  - DisplayName: $name
    Publisher: $publisher
    DisplayVersion: $version
    ProductCode: $product_code
    InstallerType: nullsoft
Installers:
  - Architecture: $architecture
    InstallerUrl: $url
    InstallerSha256: $sha
ManifestType: installer
ManifestVersion: 1.12.0
YAML
} >"$out/$id.installer.yaml"

{
  head
  cat <<YAML
PackageLocale: en-US
Publisher: $publisher
PackageName: $name
License: Proprietary
ShortDescription: The Brellan Flashwright tool's driver packages and the USB device driver for the Brellan device.
ManifestType: defaultLocale
ManifestVersion: 1.12.0
YAML
} >"$out/$id.locale.en-US.yaml"
