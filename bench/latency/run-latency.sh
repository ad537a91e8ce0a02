#!/usr/bin/env bash
# Runs the latency benchmark, installing the two reference renderers from
# Debian first when they are missing.
# Usage: run-latency.sh BENCH_BINARY DOCUMENT [ITERATIONS]
set -euo pipefail
if ! command -v mutool >/dev/null 2>&1 || ! command -v pdftoppm >/dev/null 2>&1; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
        mupdf-tools poppler-utils
fi
exec "$@"
