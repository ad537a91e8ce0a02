#!/usr/bin/env bash
# Builds the helper and runs it on the sample document shipped in samples/:
# renders its first page through the page server (mode 1), prints its outline,
# and lists its annotated pages with the annotation scan (mode 0).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
"$here/tools/build.sh"

doc="$here/samples/sample.pdf"
out="$here/out"
mkdir -p "$out"
client="$build/preview/pdfhelper-client"

echo "== render page 0 of $doc at 620x802 with annotations"
"$client" render "$doc" --page 0 --size 620x802 --annotations -o "$out/sample-page0.png"
echo "written: $out/sample-page0.png"
echo
echo "== outline"
"$client" outline "$doc"
echo
echo "== annotated pages (zero-based)"
"$client" annotations "$doc"
