#!/usr/bin/env bash
# Installs what building the Debian package needs (apt-get), builds it with the standard
# tools, checks it with lintian and leaves the package in dist/:
#   sudo apt install ./dist/vobblix_*.deb
# DEB_BUILD_OPTIONS=nocheck skips the tests the build runs.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
tools=(build-essential dpkg-dev debhelper lintian appstream desktop-file-utils)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# apt-get update only when something is missing, as scripts/install-deps.sh does.
if [ ${#missing[@]} -gt 0 ] || ! dpkg-checkbuilddeps >/dev/null 2>&1; then
  $sudo apt-get update -q
  [ ${#missing[@]} -eq 0 ] ||
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  # Exactly the Build-Depends of debian/control.
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -q --no-install-recommends ./
fi

appstreamcli validate --no-net docs/org.drenmarq.vobblix.metainfo.xml
desktop-file-validate docs/vobblix.desktop

dpkg-buildpackage -us -uc -b -J"$(nproc)" --post-clean

# dpkg-buildpackage writes beside the source tree; what this build made moves to dist/.
version=$(dpkg-parsechangelog -S Version)
changes="../vobblix_${version}_$(dpkg --print-architecture).changes"
mkdir -p dist
rm -f dist/vobblix*
built=("$changes")
while read -r _ _ _ _ file; do built+=("../$file"); done < <(sed -n '/^Files:/,/^[^ ]/{/^ /p}' "$changes")
mv "${built[@]}" dist/

lintian --fail-on error,warning --display-info --pedantic dist/"$(basename "$changes")"
ls -1 dist/
