#!/usr/bin/python3
"""Times whole runs of pdfhelper-thumbnailer and of evince-thumbnailer at the
size file managers ask for most (256), alternating one run of each, on the
same documents: the README sample, libtasn1's manual (36 pages, Debian's
libtasn1-doc), gnuplot's manual (311 pages, gnuplot-doc) and a scanned page
(a 300 dpi JPEG over an A4 page, made here). Prints each one's median wall
time, the median of the paired ratios and the spread, and with --picture
writes the two thumbnails of each document side by side.

    bench/thumbnail/bench-thumbnailer.py BUILD_DIR [RUNS] [--picture OUT.png]

Installs evince and gnuplot-doc with apt-get when they are missing (as root)."""

import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
SIZE = 256


def ensure_packages():
    missing = [p for p, probe in (("evince", "/usr/bin/evince-thumbnailer"),
                                  ("gnuplot-doc", "/usr/share/doc/gnuplot/gnuplot.pdf"),
                                  ("libtasn1-doc", "/usr/share/doc/libtasn1-doc/libtasn1.pdf"))
               if not os.path.exists(probe)]
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit(f"bench-thumbnailer: install {' '.join(missing)} first (apt-get install)")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], check=True,
                   env=env, stdout=subprocess.DEVNULL)


def run_once(command):
    start = time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"bench-thumbnailer: {' '.join(command)} failed ({done.returncode}): {done.stderr.decode()}")
    return elapsed


def side_by_side(rows, out):
    from PIL import Image, ImageDraw
    gap, label = 24, 28
    width = sum(max(a.width, b.width) for _, a, b in rows) + gap * (len(rows) + 1)
    height = 2 * (SIZE + label) + 3 * gap
    picture = Image.new("RGB", (width, height), (200, 200, 200))
    draw = ImageDraw.Draw(picture)
    x = gap
    for name, ours, theirs in rows:
        column = max(ours.width, theirs.width)
        for row, (who, image) in enumerate((("pdfhelper", ours), ("evince", theirs))):
            y = gap + row * (SIZE + label + gap)
            draw.text((x, y), f"{name}: {who}", fill=(0, 0, 0))
            picture.paste(image.convert("RGB"), (x, y + label))
        x += column + gap
    picture.save(out)


def main():
    args = sys.argv[1:]
    picture = None
    if "--picture" in args:
        at = args.index("--picture")
        picture = args[at + 1]
        del args[at:at + 2]
    if not args:
        sys.exit(__doc__)
    build = pathlib.Path(args[0]).resolve()
    runs = int(args[1]) if len(args) > 1 else 15
    ours_program = build / "preview" / "pdfhelper-thumbnailer"
    ensure_packages()
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        scan = scratch / "scanned-page.pdf"
        subprocess.run(["/usr/bin/python3", str(HERE / "make_scan_doc.py"), str(scan)], check=True)
        documents = [("sample", ROOT / "samples" / "sample.pdf"),
                     ("libtasn1.pdf", pathlib.Path("/usr/share/doc/libtasn1-doc/libtasn1.pdf")),
                     ("gnuplot.pdf", pathlib.Path("/usr/share/doc/gnuplot/gnuplot.pdf")),
                     ("scanned page", scan)]
        print(f"thumbnails at -s {SIZE}, whole processes, {runs} runs each, alternating (ms)")
        print(f"{'document':<14} {'pdfhelper':>10} {'evince':>8} {'ratio':>7}   ratio spread")
        rows = []
        for name, document in documents:
            ours_out, theirs_out = scratch / "ours.png", scratch / "evince.png"
            ours_cmd = [str(ours_program), "-s", str(SIZE), str(document), str(ours_out)]
            theirs_cmd = ["evince-thumbnailer", "-s", str(SIZE), str(document), str(theirs_out)]
            run_once(ours_cmd), run_once(theirs_cmd)  # caches warm, as in a file manager
            ours, theirs, ratios = [], [], []
            for _ in range(runs):
                a, b = run_once(ours_cmd), run_once(theirs_cmd)
                ours.append(a), theirs.append(b), ratios.append(a / b)
            ratios.sort()
            print(f"{name:<14} {statistics.median(ours) * 1000:>10.1f} {statistics.median(theirs) * 1000:>8.1f}"
                  f" {statistics.median(ratios):>7.2f}   {ratios[0]:.2f}..{ratios[-1]:.2f}")
            if picture:
                from PIL import Image
                rows.append((name, Image.open(ours_out).copy(), Image.open(theirs_out).copy()))
        if picture:
            side_by_side(rows, picture)
            print(f"picture: {picture}")


main()
