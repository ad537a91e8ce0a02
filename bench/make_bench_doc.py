#!/usr/bin/python3
"""Writes one of the documents only the benchmarks read:
  make_bench_doc.py OUTPUT page      an A4 page of running text, a few shapes
                                     and one annotation, like a typical page
  make_bench_doc.py OUTPUT outline   100 chapters of 99 sections: 10,000
                                     outline entries over ten pages"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools" / "fixtures"))
from pikepdf import Array  # noqa: E402

import fx_outline  # noqa: E402
import pdfgen  # noqa: E402


def make_page():
    pdf = pdfgen.new_pdf()
    words = ("the quick brown fox jumps over the lazy dog while a helper "
             "process renders pages of a document for a preview").split()
    lines = [" ".join((words * 2)[(i * 7) % len(words):(i * 7) % len(words) + 12]) for i in range(44)]
    shapes = (b"0.2 0.4 0.8 rg 72 60 451 8 re f\n"
              b"0.9 0.3 0.1 RG 2 w 72 40 m 523 40 l S\n"
              b"0.8 0.8 0.8 rg 400 500 120 160 re f\n")
    page = pdfgen.add_page(pdf, lines, size=pdfgen.A4, extra_content=shapes, font_size=11)
    pdfgen.add_annotation(pdf, page, "Square", (80, 700, 200, 780), C=Array([0, 0.5, 0]))
    return pdf


def make_outline(chapters=100, per_chapter=99):
    pdf, root, fit = fx_outline.outline_document(10)
    fx_outline.add_tree(pdf, root, [
        (f"Chapter {c + 1}", fit[c % 10], None,
         [(f"Section {c + 1}.{s + 1}", fit[(c + s) % 10], None, []) for s in range(per_chapter)])
        for c in range(chapters)])
    return pdf


if __name__ == "__main__":
    output = pathlib.Path(sys.argv[1])
    output.parent.mkdir(parents=True, exist_ok=True)
    pdfgen.save({"page": make_page, "outline": make_outline}[sys.argv[2]](), output)
