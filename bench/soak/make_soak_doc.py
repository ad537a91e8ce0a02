#!/usr/bin/python3
"""Writes the soak document: PAGES A4 pages of text and shapes with the
annotation kinds the helper meets (highlight, square, note, link) and a
nested outline, so that every request kind has work to do."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools" / "fixtures"))
import pikepdf  # noqa: E402
from pikepdf import Array, Dictionary, Name, OutlineItem  # noqa: E402

import pdfgen  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
import benchdocs  # noqa: E402

SENTENCE = ("the helper answers render and outline requests one after the other for "
            "as long as the preview window stays open on the document")


def main():
    out = pathlib.Path(sys.argv[1])
    pages = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    pdf = pdfgen.new_pdf()
    for index in range(pages):
        lines = benchdocs.running_text(SENTENCE, index, 45, 12)
        shapes = benchdocs.REPORT_SHAPES
        page = pdfgen.add_page(pdf, lines, size=pdfgen.A4, font_size=11, extra_content=shapes)
        kind = index % 4
        if kind == 0:
            pdfgen.add_annotation(pdf, page, "Highlight", (70, 740, 300, 755), C=Array([1, 1, 0]))
        elif kind == 1:
            pdfgen.add_annotation(pdf, page, "Square", (100, 300, 300, 500), C=Array([0, 0, 1]))
        elif kind == 2:
            pdfgen.add_annotation(pdf, page, "Text", (400, 600, 420, 620),
                                  Contents=pikepdf.String("A note"))
        pdfgen.add_annotation(pdf, page, "Link", (70, 100, 330, 130), with_appearance=False,
                              A=Dictionary(S=Name.URI, URI=pikepdf.String("https://example.org/")))
    with pdf.open_outline() as outline:
        for index in range(0, pages, 2):
            chapter = OutlineItem(f"Chapter {index // 2 + 1}", index)
            chapter.children.append(OutlineItem(f"Section {index // 2 + 1}.1", index))
            if index + 1 < pages:
                chapter.children.append(OutlineItem(f"Section {index // 2 + 1}.2", index + 1))
            outline.root.append(chapter)
    pdfgen.save(pdf, out)


if __name__ == "__main__":
    main()
