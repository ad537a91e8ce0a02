#!/usr/bin/python3
"""Has GNOME's thumbnail factory make the large thumbnail of a PDF, the way
file managers do: it finds the thumbnailer through the .thumbnailer files and
runs it in its own sandbox, where only /usr, the input and its output folder
are visible. Our .thumbnailer is put first among the user's own, since the
factory keeps the first thumbnailer it finds for a type and evince's may be
installed too; the result must be, pixel for pixel, what our thumbnailer
draws when run by hand, which no other thumbnailer would give.

    gnome-thumbnail.py DOCUMENT.pdf OURS.png

Exit status 0 when the factory's thumbnail is ours, 1 when it is not or the
factory failed, 77 when GNOME's factory is not installed here."""

import os
import pathlib
import shutil
import sys
import tempfile

try:
    import gi
    gi.require_version("GnomeDesktop", "3.0")
    gi.require_version("GdkPixbuf", "2.0")
    from gi.repository import GdkPixbuf, Gio, GLib
except (ImportError, ValueError) as missing:
    print(f"gnome-thumbnail: GNOME's thumbnail factory is not available ({missing})")
    sys.exit(77)

THUMBNAILER = pathlib.Path("/usr/share/thumbnailers/pdfhelper.thumbnailer")



def rgb(pixbuf):
    """Width, height and the RGB bytes, whatever the channels stored."""
    width, height = pixbuf.get_width(), pixbuf.get_height()
    channels, stride = pixbuf.get_n_channels(), pixbuf.get_rowstride()
    data = pixbuf.get_pixels()
    rows = []
    for y in range(height):
        row = data[y * stride:y * stride + width * channels]
        rows.append(b"".join(row[x * channels:x * channels + 3] for x in range(width)))
    return width, height, b"".join(rows)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    document, ours = pathlib.Path(sys.argv[1]).resolve(), sys.argv[2]
    if not THUMBNAILER.is_file():
        print(f"gnome-thumbnail: {THUMBNAILER} is not installed")
        return 1
    with tempfile.TemporaryDirectory() as home:
        user_thumbnailers = pathlib.Path(home, "data", "thumbnailers")
        user_thumbnailers.mkdir(parents=True)
        shutil.copy(THUMBNAILER, user_thumbnailers)
        os.environ["XDG_DATA_HOME"] = str(pathlib.Path(home, "data"))
        os.environ["XDG_CACHE_HOME"] = str(pathlib.Path(home, "cache"))
        from gi.repository import GnomeDesktop
        factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.LARGE)
        uri = Gio.File.new_for_path(str(document)).get_uri()
        if not factory.can_thumbnail(uri, "application/pdf", 0):
            print("gnome-thumbnail: the factory finds no thumbnailer for application/pdf")
            return 1
        try:
            made = factory.generate_thumbnail(uri, "application/pdf")
        except GLib.Error as error:
            print(f"gnome-thumbnail: the factory failed: {error.message}")
            return 1
    expected = GdkPixbuf.Pixbuf.new_from_file(ours)
    got, want = rgb(made), rgb(expected)
    if got != want:
        print(f"gnome-thumbnail: the factory's thumbnail ({got[0]}x{got[1]}) is not pdfhelper-thumbnailer's "
              f"({want[0]}x{want[1]})")
        return 1
    print(f"gnome-thumbnail: GNOME's factory made {got[0]}x{got[1]} with pdfhelper-thumbnailer, in its sandbox")
    return 0


sys.exit(main())
