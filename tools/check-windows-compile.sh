#!/usr/bin/env bash
# Compiles every source of the helper and its utilities for Windows x64, as far
# as a Linux machine can: MinGW-w64's g++ with its real <windows.h> and
# <shellscalingapi.h>, and Debian's Qt 6 headers (the Qt API is the same on
# both systems). It checks syntax and types only and links nothing, so it
# catches Windows-only code that no Linux build compiles and any place where
# the POSIX stand-in of the Windows API has drifted from the real one.
#
# Usage: tools/check-windows-compile.sh        (installs g++-mingw-w64 if missing)
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=x86_64-w64-mingw32-g++-posix
if ! command -v "$cxx" >/dev/null 2>&1; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
        g++-mingw-w64-x86-64-posix >/dev/null
fi

qt=$(dirname "$(find /usr/include -path '*/qt6/QtCore/qglobal.h' -print -quit)")
qt=${qt%/QtCore}
qt_version=$(sed -n 's/^#define QT_VERSION_STR "\(.*\)"/\1/p' "$qt/QtCore/qtcore-config.h" "$qt/QtCore/qconfig.h" 2>/dev/null | head -n 1)
[ -n "$qt_version" ] || qt_version=$(ls "$qt/QtCore" | grep -E '^[0-9]+\.[0-9]+\.[0-9]+$' | head -n 1)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Only libdeflate's own header, so that no Linux system header leaks into the
# Windows compile.
mkdir -p "$scratch/deflate"
ln -s /usr/include/libdeflate.h "$scratch/deflate/libdeflate.h"

# The monitor lookup uses Qt's private Windows screen interface, which Debian's
# Qt 6.4 headers do not declare (later Qt versions do, and a Windows build needs
# one of those). For headers without it, the declaration is supplied here.
extra=()
if ! grep -q 'QWindowsScreen' "$qt/QtGui/$qt_version/QtGui/qpa/qplatformscreen_p.h" 2>/dev/null; then
    cat >"$scratch/windowsscreen.h" <<'EOF'
#pragma once
#include <windows.h>
#include <QtCore/qnativeinterface.h>
class QScreen;
namespace QNativeInterface::Private {
struct QWindowsScreen
{
    QT_DECLARE_NATIVE_INTERFACE(QWindowsScreen, 1, QScreen)
    virtual HMONITOR handle() const = 0;
};
} // namespace QNativeInterface::Private
EOF
    extra+=(-DNOMINMAX -include "$scratch/windowsscreen.h")
fi

# Qt's headers are system headers here: GCC warns about their export macros
# on MinGW, which says nothing about our code.
includes=(-Iplatform -Iutilities -Ihelper -Ihelper/protocol -Iviewers/pdf/pdfium -Ipreview -Ipdfpreview -I"$scratch/deflate" -isystem "$qt")
for module in QtCore QtGui QtNetwork QtWidgets QtPrintSupport; do
    includes+=(-isystem "$qt/$module" -isystem "$qt/$module/$qt_version" -isystem "$qt/$module/$qt_version/$module")
done

# MinGW has no OpenSSL here: the check builds the helper that names
# signatures without checking them, as a Windows build without it would.
failed=0
count=0
for source in $(git ls-files 'helper/*.cpp' 'viewers/*.cpp' 'utilities/*.cpp' 'preview/*.cpp' 'pdfpreview/*.cpp' \
                  'platform/*.cpp' | grep -v -e '_posix\.cpp$' -e '_linux\.cpp$' -e '_openssl\.cpp$'); do
    count=$((count + 1))
    if ! "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Wshadow -Werror \
        -DUNICODE -D_UNICODE -DPDFHELPER_BUILT_HELPER='"pdfhelper.exe"' -DPDFHELPER_VERSION='"0"' \
        "${extra[@]}" "${includes[@]}" "$source"; then
        echo "FAILED: $source" >&2
        failed=$((failed + 1))
    fi
done
echo "Windows x64 compile check: $((count - failed)) of $count sources compile (Qt $qt_version headers, $($cxx -dumpversion))"
[ "$failed" -eq 0 ]
