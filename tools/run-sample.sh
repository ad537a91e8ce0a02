#!/usr/bin/env bash
# Builds the helper and runs it on the sample document shipped in samples/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
"$here/tools/build.sh"

doc="$here/samples/sample.pdf"
out="$here/out"
mkdir -p "$out"

echo "== annotation scan (mode 0) of $doc"
set +e
"$build/helper/pdfhelper" 0 "$out/sample-annotations.txt" "$doc" 2>/dev/null
code=$?
set -e
echo "exit code: $code"
[ "$code" -eq 0 ] && { echo "annotated pages (zero-based):"; cat "$out/sample-annotations.txt"; }
