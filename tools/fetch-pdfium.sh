#!/usr/bin/env bash
# Fetches the prebuilt pdfium shared library from its npm package into
# third_party/pdfium (git-ignored) and refuses it unless the checksum matches.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest="$here/third_party/pdfium"
pkg="@craftlions/pdfium-rs-linux-x64-gnu"
ver="0.0.15"
want="246872bdd5e05843b70051e6378216cc584535a1f4a7248b9f88059715d70f7c"
lib="$dest/package/libpdfium.so"

if [ -f "$lib" ] && echo "$want  $lib" | sha256sum --check --status; then
    exit 0
fi
rm -rf "$dest"
mkdir -p "$dest"
(cd "$dest" && npm pack --silent "$pkg@$ver" >/dev/null)
tar -xzf "$dest"/*.tgz -C "$dest" package/libpdfium.so
rm -f "$dest"/*.tgz
if ! echo "$want  $lib" | sha256sum --check --status; then
    echo "fetch-pdfium: checksum mismatch for $lib" >&2
    rm -rf "$dest"
    exit 1
fi
echo "fetch-pdfium: $pkg@$ver ready in $dest/package"
