#!/usr/bin/env bash
# Builds pdfpreview and shows it in a real X window under Xvfb on the sample
# document, then saves that window as a PNG (by default docs/pdfpreview.png).
#
#   tools/screenshot-preview.sh [OUT.png] [DOCUMENT.pdf]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
out="${1:-$here/docs/pdfpreview.png}"
doc="${2:-$here/samples/sample.pdf}"
"$here/tools/build.sh"
if ! command -v xvfb-run >/dev/null 2>&1; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends xvfb xauth
fi
mkdir -p "$(dirname "$out")"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x900x24" \
    "$build/pdfpreview/pdfpreview" --size 1000x760 --screenshot "$out" "$doc" 2>/dev/null
