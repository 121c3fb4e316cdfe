#!/usr/bin/env bash
# Builds the Debian package build-package/plovern_<version>_<arch>.deb with
# CPack, then checks the desktop entry, the AppStream metainfo and the
# package itself (desktop-file-validate, appstreamcli, lintian). Fails when
# any of them reports an error.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh package
cmake --preset package >/dev/null
cmake --build --preset package
rm -f build-package/plovern_*.deb
(cd build-package && cpack -G DEB >/dev/null)
deb=$(ls build-package/plovern_*.deb)

desktop-file-validate assets/org.example.marrowfen.plovern.desktop
appstreamcli validate --no-net assets/org.example.marrowfen.plovern.metainfo.xml
# Warnings are shown, errors fail.
lintian --fail-on error --info "$deb"
echo "Package: $deb"
