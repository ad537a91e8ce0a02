#!/usr/bin/env bash
# Shows pdfpreview in a real X window under Xvfb, opens File → Properties
# with Alt+Enter as a person would, and saves the screen as a PNG (by default
# docs/properties.png, of the generated encrypted and tagged test document;
# KEYS=ctrl+p shows the print dialog instead, and KEYS="alt+f Down Down
# Down Down Down Return" the attachments, and KEYS="" the window as it opens).
#
#   tools/screenshot-properties.sh [OUT.png] [DOCUMENT.pdf]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
out="${1:-$here/docs/properties.png}"
"$here/tools/build.sh"
doc="${2:-$build/fixtures/properties-locked.pdf}"
missing=()
command -v xvfb-run >/dev/null 2>&1 || missing+=(xvfb xauth)
command -v xdotool >/dev/null 2>&1 || missing+=(xdotool)
command -v xwd >/dev/null 2>&1 || missing+=(x11-apps)
command -v xwdtopnm >/dev/null 2>&1 || missing+=(netpbm)
if [ "${#missing[@]}" -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
mkdir -p "$(dirname "$out")"
export PREVIEW="$build/pdfpreview/pdfpreview" DOC="$doc" OUT="$out"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1000x720x24" bash -c '
    "$PREVIEW" --size 1000x720 "$DOC" 2>/dev/null &
    preview=$!
    window=""
    for _ in $(seq 50); do
        window=$(xdotool search --onlyvisible --name "pdfpreview" 2>/dev/null | head -1) && [ -n "$window" ] && break
        sleep 0.2
    done
    sleep 1.5
    [ -z "${KEYS-alt+Return}" ] || xdotool windowfocus --sync "$window" key --delay 400 ${KEYS-alt+Return}
    sleep 1.5
    xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > "$OUT"
    kill "$preview"'
echo "wrote $out"
