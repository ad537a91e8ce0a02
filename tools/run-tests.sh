#!/usr/bin/env bash
# Builds everything and runs the whole test suite through CTest.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
"$here/tools/build.sh"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
