#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses what was installed, as a
# person would, with the build tree's pdfium out of reach and from another
# working folder: the helper's annotation scan on the sample, a render through
# the client, and the window (offscreen) saving itself once its first page is
# shown, and a thumbnail. Then builds the Debian package, checks its contents
# and dependencies and has lintian check it; as root, installs it and has
# GNOME's thumbnail factory use the installed thumbnailer. Fails on any file
# outside the prefix, any library resolved into the build tree, a desktop
# entry or metainfo file their validators refuse, and any lintian error or
# warning.
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
programs=(pdfhelper pdfhelper-client pdfhelper-thumbnailer pdfpreview)
for program in "${programs[@]}"; do
    resolved=$(ldd "$prefix/bin/$program")
    if grep -qE "not found|$build|$here/third_party" <<<"$resolved"; then
        fail "$program resolves libraries outside the installed tree:
$resolved"
    fi
done
# Only the helper opens documents; the preview side never links pdfium. The
# thumbnailer carries the helper's code for the helper it forks, and only
# that fork calls pdfium (its tests kill whatever process loads a document
# or a page).
# (ldd's output is taken whole first: grep -q stops reading early, and under
# pipefail the writer's broken pipe would count as a failure.)
helper_libs=$(ldd "$prefix/bin/pdfhelper")
installed_pdfium=$(cd "$prefix" && find lib -name libpdfium.so)
grep -qF "$prefix/bin/../$installed_pdfium" <<<"$helper_libs" \
    || fail "the helper does not find the installed pdfium"
for program in pdfhelper-client pdfpreview; do
    ! ldd "$prefix/bin/$program" | grep -q libpdfium || fail "$program links pdfium"
done

mkdir -p "$scratch/work"
cd "$scratch/work"
"$prefix/bin/pdfhelper" 0 annotated.txt "$sample" 2>/dev/null || fail "the installed helper's scan ended with $?"
[ "$(cat annotated.txt)" = "$(printf '0\n2')" ] || fail "the installed helper listed: $(cat annotated.txt)"
"$prefix/bin/pdfhelper-client" render "$sample" --page 0 --size 300x400 -o page.png >/dev/null \
    || fail "the installed client could not render"
QT_QPA_PLATFORM=offscreen "$prefix/bin/pdfpreview" --size 800x600 --screenshot window.png "$sample" \
    >/dev/null 2>&1 || fail "the installed window showed no page"
[ -s page.png ] && [ -s window.png ] || fail "no picture was written"
mkdir "with space"
cp "$sample" "with space/sample copy.pdf"
"$prefix/bin/pdfhelper-thumbnailer" -s 128 "file://$PWD/with%20space/sample%20copy.pdf" thumb.png \
    || fail "the installed thumbnailer ended with $?"
[[ $(file -b thumb.png) == "PNG image data, 99 x 128,"* ]] || fail "the thumbnail is $(file -b thumb.png)"
desktop-file-validate "$prefix/share/applications/pdfpreview.desktop" || fail "the desktop entry is not valid"
appstreamcli validate --no-net "$prefix"/share/metainfo/*.metainfo.xml >/dev/null \
    || fail "the metainfo file is not valid: $(appstreamcli validate --no-net "$prefix"/share/metainfo/*.metainfo.xml)"
# File managers' thumbnail services look in share/thumbnailers of every data
# folder and run Exec with the program looked up in PATH.
thumbnailer="$prefix/share/thumbnailers/pdfhelper.thumbnailer"
[ -f "$thumbnailer" ] || fail "no .thumbnailer in share/thumbnailers"
grep -qx 'Exec=pdfhelper-thumbnailer -s %s %u %o' "$thumbnailer" || fail "the .thumbnailer runs something else"
grep -qx 'MimeType=application/pdf;application/x-pdf;' "$thumbnailer" || fail "the .thumbnailer's types are wrong"
for page in "${programs[@]}"; do
    man -l "$prefix/share/man/man1/$page.1.gz" >/dev/null 2>&1 || fail "the manual page of $page does not format"
done
echo "install-test: the installed helper, client and window work without the build tree"
mv "$hidden" "$pdfium"

cd "$here"
deb=$("$here/tools/build-deb.sh")
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
stray=$(echo "$contents" | grep -vE '^\./(usr/.*)?$' || true)
[ -z "$stray" ] || fail "the package installs outside /usr: $stray"
for file in usr/bin/pdfhelper usr/bin/pdfhelper-client usr/bin/pdfhelper-thumbnailer usr/bin/pdfpreview \
            "usr/$installed_pdfium" usr/share/doc/pdfhelper/copyright usr/share/applications/pdfpreview.desktop \
            usr/share/thumbnailers/pdfhelper.thumbnailer; do
    grep -qx "./$file" <<<"$contents" || fail "the package lacks $file"
done
echo "install-test: $(basename "$deb"), $(stat -c %s "$deb") bytes"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends"
[[ $depends == *libseccomp2* ]] || fail "the package does not depend on libseccomp2, which the helper's sandbox needs"
echo "$contents"
# Debian's own checks: no error and no warning (lintian warns when run as root).
lintian_report=$(lintian --tag-display-limit 0 --fail-on error,warning "$deb" 2>&1 | { grep -v '^running with root privileges' || true; }) \
    || fail "lintian finds fault with the package:
$lintian_report"
echo "install-test: lintian passes the package${lintian_report:+ ($lintian_report)}"

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
    # A desktop's own thumbnail service, which finds the .thumbnailer itself
    # and runs the thumbnailer in its sandbox.
    /usr/bin/pdfhelper-thumbnailer -s 256 "$sample" system-thumb.png || fail "the packaged thumbnailer ended with $?"
    if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            gir1.2-gnomedesktop-3.0 python3-gi bubblewrap >/dev/null 2>&1; then
        /usr/bin/python3 "$here/tools/gnome-thumbnail.py" "$sample" system-thumb.png \
            || fail "GNOME's thumbnail factory did not make the thumbnail with the packaged thumbnailer"
    else
        echo "install-test: skipped GNOME's thumbnail factory: its packages could not be installed"
    fi
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq pdfhelper >/dev/null
    for file in $contents; do
        path="/${file#./}"
        [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left after the package was purged"
    done
    [ ! -e "/usr/$(dirname "$installed_pdfium")" ] && [ ! -e /usr/share/doc/pdfhelper ] || fail "package folders are left behind"
    echo "install-test: the package installs, works and purges without a trace"
fi
