#!/usr/bin/python3
"""Writes a large document for the annotation scan benchmark:
PAGES pages of text, every seventh carrying a highlight after a link."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools" / "fixtures"))
import pikepdf  # noqa: E402
from pikepdf import Dictionary, Name  # noqa: E402

import pdfgen  # noqa: E402


def main():
    out = pathlib.Path(sys.argv[1])
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    pdf = pdfgen.new_pdf()
    lines = [f"Line {n} of a page of ordinary running text for the scan benchmark." for n in range(30)]
    for index in range(pages):
        page = pdfgen.add_page(pdf, [f"Page {index}"] + lines, font_size=10)
        pdfgen.add_annotation(pdf, page, "Link", (72, 72, 200, 90), with_appearance=False,
                              A=Dictionary(S=Name.URI, URI=pikepdf.String("https://example.org/")))
        if index % 7 == 0:
            pdfgen.add_annotation(pdf, page, "Highlight", (72, 700, 300, 720))
    pdfgen.save(pdf, out)


if __name__ == "__main__":
    main()
