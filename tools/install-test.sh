#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses what was installed, as a
# person would, with the build tree's pdfium out of reach and from another
# working folder: the helper's annotation scan on the sample, a render through
# the client, and the window (offscreen) saving itself once its first page is
# shown. Then builds the Debian package and checks its contents and
# dependencies. Fails on any file outside the prefix, any library resolved
# into the build tree, and a desktop entry the freedesktop validator refuses.
#
#   tools/install-test.sh        (after tools/build.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
sample="$here/samples/sample.pdf"
scratch=$(mktemp -d)
pdfium="$here/third_party/pdfium/package/libpdfium.so"
hidden="$pdfium.hidden-by-install-test"
restore() {
    [ -f "$hidden" ] && mv "$hidden" "$pdfium"
    rm -rf "$scratch"
}
trap restore EXIT

fail() { echo "install-test: $*" >&2; exit 1; }

prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
outside=$(find "$prefix" -mindepth 1 -maxdepth 1 ! -name bin ! -name lib ! -name share)
[ -z "$outside" ] || fail "installed outside bin/, lib/ and share/: $outside"

# The build tree's pdfium goes out of reach while the installed programs run.
mv "$pdfium" "$hidden"
for program in pdfhelper pdfhelper-client pdfpreview; do
    resolved=$(ldd "$prefix/bin/$program")
    if grep -qE "not found|$build|$here/third_party" <<<"$resolved"; then
        fail "$program resolves libraries outside the installed tree:
$resolved"
    fi
done
# Only the helper opens documents; the preview side never links pdfium.
# (ldd's output is taken whole first: grep -q stops reading early, and under
# pipefail the writer's broken pipe would count as a failure.)
helper_libs=$(ldd "$prefix/bin/pdfhelper")
grep -qF "$prefix/bin/../lib/pdfhelper/libpdfium.so" <<<"$helper_libs" \
    || fail "the helper does not find the installed pdfium"

mkdir -p "$scratch/work"
cd "$scratch/work"
"$prefix/bin/pdfhelper" 0 annotated.txt "$sample" 2>/dev/null || fail "the installed helper's scan ended with $?"
[ "$(cat annotated.txt)" = "$(printf '0\n2')" ] || fail "the installed helper listed: $(cat annotated.txt)"
"$prefix/bin/pdfhelper-client" render "$sample" --page 0 --size 300x400 -o page.png >/dev/null \
    || fail "the installed client could not render"
QT_QPA_PLATFORM=offscreen "$prefix/bin/pdfpreview" --size 800x600 --screenshot window.png "$sample" \
    >/dev/null 2>&1 || fail "the installed window showed no page"
[ -s page.png ] && [ -s window.png ] || fail "no picture was written"
desktop-file-validate "$prefix/share/applications/pdfpreview.desktop" || fail "the desktop entry is not valid"
for page in pdfhelper pdfhelper-client pdfpreview; do
    man -l "$prefix/share/man/man1/$page.1" >/dev/null 2>&1 || fail "the manual page of $page does not format"
done
echo "install-test: the installed helper, client and window work without the build tree"
mv "$hidden" "$pdfium"

cd "$here"
deb=$("$here/tools/build-deb.sh")
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
stray=$(echo "$contents" | grep -vE '^\./(usr/.*)?$' || true)
[ -z "$stray" ] || fail "the package installs outside /usr: $stray"
for file in usr/bin/pdfhelper usr/bin/pdfhelper-client usr/bin/pdfpreview usr/lib/pdfhelper/libpdfium.so \
            usr/share/doc/pdfhelper/copyright usr/share/applications/pdfpreview.desktop; do
    grep -qx "./$file" <<<"$contents" || fail "the package lacks $file"
done
echo "install-test: $(basename "$deb"), $(stat -c %s "$deb") bytes"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends"
[[ $depends == *libseccomp2* ]] || fail "the package does not depend on libseccomp2, which the helper's sandbox needs"
echo "$contents"

# As root, the package itself: installed with apt (which brings what it
# depends on), used, and purged, after which none of its files is left.
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
    cd "$scratch/work"
    /usr/bin/pdfhelper 0 system.txt "$sample" 2>/dev/null || fail "the packaged helper's scan ended with $?"
    /usr/bin/pdfhelper-client render "$sample" --page 2 --size 200x260 -o system.png >/dev/null \
        || fail "the packaged client could not render"
    QT_QPA_PLATFORM=offscreen /usr/bin/pdfpreview --screenshot system-window.png "$sample" >/dev/null 2>&1 \
        || fail "the packaged window showed no page"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq pdfhelper >/dev/null
    for file in $contents; do
        path="/${file#./}"
        [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left after the package was purged"
    done
    [ ! -e /usr/lib/pdfhelper ] && [ ! -e /usr/share/doc/pdfhelper ] || fail "package folders are left behind"
    echo "install-test: the package installs, works and purges without a trace"
fi
