#!/usr/bin/python3
"""Writes the search benchmark's document: PAGES pages of running text, the
word searched for only on the last one."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools" / "fixtures"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import benchdocs  # noqa: E402
import pdfgen  # noqa: E402

SENTENCE = ("the helper reads each page of the document in turn and the window shows what it finds "
            "while the person goes on reading the pages that are already there")


def main():
    out = pathlib.Path(sys.argv[1])
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    pdf = pdfgen.new_pdf()
    font = None
    for index in range(pages):
        lines = benchdocs.running_text(SENTENCE, index, 40, 12)
        if index == pages - 1:
            lines.append("and at the very end the word quincunx")
        page = pdfgen.add_page(pdf, lines, font_size=9)
        # One font for the whole document, as real documents have it.
        if font is None:
            font = page.obj.Resources.Font.F1
        else:
            page.obj.Resources.Font.F1 = font
    pdfgen.save(pdf, out)


if __name__ == "__main__":
    main()
