#!/usr/bin/python3
"""Writes the latency benchmark document: PAGES A4 pages of running text with
a few filled shapes and one highlight each, like an ordinary report."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools" / "fixtures"))
from pikepdf import Array  # noqa: E402

import pdfgen  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import benchdocs  # noqa: E402

SENTENCE = ("a preview shows the pages of a document while the helper renders each "
            "one into an image of the size the window asks for and sends it back")


def main():
    out = pathlib.Path(sys.argv[1])
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    pdf = pdfgen.new_pdf()
    for index in range(pages):
        lines = benchdocs.running_text(SENTENCE, index, 60, 14)
        shapes = benchdocs.REPORT_SHAPES + b"0.1 0.6 0.3 RG 3 w 72 30 m 523 30 l S\n"
        page = pdfgen.add_page(pdf, lines, size=pdfgen.A4, font_size=10, extra_content=shapes)
        pdfgen.add_annotation(pdf, page, "Highlight", (70, 740, 300, 755), C=Array([1, 1, 0]))
    pdfgen.save(pdf, out)


if __name__ == "__main__":
    main()
