#!/usr/bin/env bash
# Installs what building, testing and benchmarking need on Debian 12, then
# fetches pdfium. Safe to run again: it only installs what is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-base-private-dev libgl-dev
    libdeflate-dev libseccomp-dev libssl-dev openssl ca-certificates
    python3 python3-pikepdf qpdf help2man desktop-file-utils lintian appstream file
    clang libclang-rt-14-dev clang-format
    mupdf-tools poppler-utils libtasn1-doc fonts-cantarell fonts-ipafont-gothic strace
    nodejs npm
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# npm may come from outside Debian (for instance a nodesource install); any npm will do.
if command -v npm >/dev/null 2>&1; then
    missing=("${missing[@]/nodejs}"); missing=("${missing[@]/npm}")
fi
filtered=()
for p in "${missing[@]}"; do [ -n "$p" ] && filtered+=("$p"); done
if [ "${#filtered[@]}" -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${filtered[@]}"
fi
"$here/tools/fetch-pdfium.sh"
