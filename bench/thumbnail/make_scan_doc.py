#!/usr/bin/python3
"""Writes a one-page PDF that is a scanned A4 page: a 300 dpi greyscale JPEG
(2480 x 3508) of paper with lines of text-like strokes and scanner noise,
drawn over the whole page, as scanners and copiers make them.

    make_scan_doc.py OUT.pdf"""

import io
import random
import sys

import pikepdf
from PIL import Image, ImageDraw, ImageFilter

WIDTH, HEIGHT = 2480, 3508


def scan():
    rng = random.Random(7)
    page = Image.new("L", (WIDTH, HEIGHT), 238)
    draw = ImageDraw.Draw(page)
    y = 300
    while y < HEIGHT - 300:
        x = 250
        while x < WIDTH - 300:
            word = rng.randint(40, 220)
            draw.rectangle((x, y, x + word, y + 34), fill=rng.randint(20, 70))
            x += word + rng.randint(25, 45)
        y += rng.choice((70, 70, 70, 140))
    noise = Image.effect_noise((WIDTH, HEIGHT), 18)
    page = Image.blend(page.filter(ImageFilter.GaussianBlur(1.2)), noise, 0.12)
    out = io.BytesIO()
    page.save(out, "JPEG", quality=80)
    return out.getvalue()


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pdf = pikepdf.new()
    image = pikepdf.Stream(pdf, scan(), Type=pikepdf.Name.XObject, Subtype=pikepdf.Name.Image,
                           Width=WIDTH, Height=HEIGHT, ColorSpace=pikepdf.Name.DeviceGray,
                           BitsPerComponent=8, Filter=pikepdf.Name.DCTDecode)
    content = pdf.make_stream(b"q 595 0 0 842 0 0 cm /Scan Do Q\n")
    pdf.pages.append(pikepdf.Page(pikepdf.Dictionary(
        Type=pikepdf.Name.Page, MediaBox=pikepdf.Array([0, 0, 595, 842]),
        Resources=pikepdf.Dictionary(XObject=pikepdf.Dictionary(Scan=image)), Contents=content)))
    pdf.save(sys.argv[1], static_id=True)


main()
