#!/usr/bin/env bash
# Writes the package's copyright file: our own notice, pdfium's licence, and
# the licences of the libraries built into the prebuilt libpdfium.so. Each
# bundled library's text is taken from the copyright file of its Debian
# package where that is installed, else from Debian's common licences, and the
# file says which it used.
#
#   packaging/make-copyright.sh OUT
set -euo pipefail
out="$1"
here=$(cd "$(dirname "$0")" && pwd)
{
    cat "$here/copyright.head"
    echo
    # Library built into libpdfium.so | Debian package whose copyright file has its licence | common licence
    while IFS='|' read -r name package common; do
        [ -n "$name" ] || continue
        echo "Files: */pdfhelper/libpdfium.so (the $name inside it)"
        if [ -f "/usr/share/doc/$package/copyright" ]; then
            echo "Comment: $name is built into the prebuilt pdfium. Its licence follows as"
            echo " Debian's $package package states it (/usr/share/doc/$package/copyright)."
            echo "License: see below"
            sed -e 's/^$/./' -e 's/^/ /' "/usr/share/doc/$package/copyright"
        else
            echo "Comment: $name is built into the prebuilt pdfium. Debian's $package is not"
            echo " installed here, so its licence, $common, follows from /usr/share/common-licenses."
            echo "License: $common"
            sed -e 's/^$/./' -e 's/^/ /' "/usr/share/common-licenses/$common"
        fi
        echo
    done <<'LIBS'
FreeType|libfreetype6|GPL-2
libjpeg-turbo|libjpeg62-turbo|Apache-2.0
zlib|zlib1g|Apache-2.0
OpenJPEG|libopenjp2-7|Apache-2.0
ICU|libicu72|Apache-2.0
Abseil|libabsl20220623|Apache-2.0
libc++ (LLVM)|libc++1-14|Apache-2.0
LIBS
} >"$out"
