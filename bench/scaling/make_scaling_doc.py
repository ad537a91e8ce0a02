#!/usr/bin/python3
"""Writes the scaling benchmark's documents, straight as PDF objects (a
library would take minutes over 100,000 pages):
  make_scaling_doc.py OUTPUT PAGES [outline]
Each page holds one line of text; the last one also the word "quincunx".
With "outline", one outline entry leads to each page. Pages hang in a tree
of at most 100 kids a node, as writers make them."""

import sys


def build(pages, outline):
    objects = {}  # number -> bytes

    font = 3
    objects[font] = b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"
    next_number = 4
    page_numbers = []
    for index in range(pages):
        text = f"Page {index + 1} of a generated document, one line"
        if index == pages - 1:
            text += " and the word quincunx"
        content = f"BT /F1 12 Tf 72 720 Td ({text}) Tj ET".encode("latin-1")
        objects[next_number] = b"<< /Length %d >>\nstream\n%s\nendstream" % (len(content), content)
        page_numbers.append((next_number + 1, next_number))
        next_number += 2

    # The page tree, bottom up: leaves of 100 pages, then nodes of 100 kids.
    level = [(number, 1) for number, _ in page_numbers]
    parents = {}
    while len(level) > 1 or not parents:
        grouped = []
        for start in range(0, len(level), 100):
            kids = level[start:start + 100]
            number = next_number
            next_number += 1
            count = sum(c for _, c in kids)
            objects[number] = (b"<< /Type /Pages /Kids [" + b" ".join(b"%d 0 R" % k for k, _ in kids)
                               + b"] /Count %d /PARENT >>" % count)
            for kid, _ in kids:
                parents[kid] = number
            grouped.append((number, count))
        level = grouped
        if len(level) == 1:
            break
    root_pages = level[0][0]
    for number, parent in parents.items():
        if number in objects:
            objects[number] = objects[number].replace(b"/PARENT", b"/Parent %d 0 R" % parent)
    objects[root_pages] = objects[root_pages].replace(b" /PARENT", b"")
    for page, content in page_numbers:
        objects[page] = (b"<< /Type /Page /Parent %d 0 R /MediaBox [0 0 595 842] /Contents %d 0 R "
                         b"/Resources << /Font << /F1 %d 0 R >> >> >>" % (parents[page], content, font))

    catalog_extra = b""
    if outline:
        outlines = next_number
        first = next_number + 1
        entries = [first + i for i in range(pages)]
        for i, (page, _) in enumerate(page_numbers):
            fields = [b"/Title (Chapter %d)" % (i + 1), b"/Parent %d 0 R" % outlines,
                      b"/Dest [%d 0 R /XYZ 0 842 0]" % page]
            if i > 0:
                fields.append(b"/Prev %d 0 R" % entries[i - 1])
            if i + 1 < pages:
                fields.append(b"/Next %d 0 R" % entries[i + 1])
            objects[entries[i]] = b"<< " + b" ".join(fields) + b" >>"
        objects[outlines] = b"<< /Type /Outlines /First %d 0 R /Last %d 0 R /Count %d >>" % (
            entries[0], entries[-1], pages)
        next_number = first + pages
        catalog_extra = b" /Outlines %d 0 R /PageMode /UseOutlines" % outlines
    objects[1] = b"<< /Type /Catalog /Pages %d 0 R%s >>" % (root_pages, catalog_extra)
    objects[2] = b"<< /Producer (pdfhelper scaling benchmark) >>"

    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    offsets = {}
    for number in sorted(objects):
        offsets[number] = len(out)
        out += b"%d 0 obj\n" % number + objects[number] + b"\nendobj\n"
    size = max(objects) + 1
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % size
    for number in range(1, size):
        out += (b"%010d 00000 n \n" % offsets[number]) if number in offsets else b"0000000000 65535 f \n"
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info 2 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (size, xref)
    return bytes(out)


def main():
    pages = int(sys.argv[2])
    with open(sys.argv[1], "wb") as f:
        f.write(build(pages, len(sys.argv) > 3 and sys.argv[3] == "outline"))


if __name__ == "__main__":
    main()
