#!/usr/bin/env bash
# Builds the Debian package pdfhelper_VERSION_amd64.deb into build/ (or
# $BUILD_DIR) and prints its path.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
"$here/tools/build.sh" >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/pdfhelper_*_*.deb
