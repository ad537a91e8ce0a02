#!/usr/bin/python3
"""Writes hostile seed documents for fuzz_pdf into a folder (by default
fuzz/corpus/pdf), each carrying one structure that real documents break in:
page boxes, page trees, cross-reference tables, forms, outlines, annotations
and encryption. Same output on every run.

Most documents are written byte by byte, since no library writes a broken
file on purpose. The large ones (10,000 levels, 10,000 annotations, a 100 kB
field value) keep their objects in one compressed object stream, so that each
file stays far below the fuzzers' maximum input length. The two encrypted
documents come from pikepdf (RC4, fixed document ID: deterministic).
"""

import sys
import zlib
from pathlib import Path

MAX_SEED_BYTES = 262144

PAGE_CONTENT = b"0 0 1 rg 10 10 80 80 re f BT /F1 12 Tf 20 50 Td (Hostile) Tj ET"
FONT = b"<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>"


def stream(dictionary, data, compress=False):
    """A stream object: dictionary entries (without << >>) and its data."""
    if compress:
        data = zlib.compress(data, 9)
        dictionary += b"/Filter/FlateDecode"
    return b"<<" + dictionary + b"/Length %d>>\nstream\n" % len(data) + data + b"\nendstream"


def classic(objects, trailer=b"/Root 1 0 R", xref=True, header=b"%PDF-1.7"):
    """objects: list of (number, body bytes). A plain file with an xref table
    that points at each object, unless xref is False."""
    out = bytearray(header + b"\n%\xe2\xe3\xcf\xd3\n")
    offsets = {}
    for number, body in objects:
        offsets[number] = len(out)
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    if not xref:
        out += b"trailer\n<<" + trailer + b">>\n%%EOF\n"
        return bytes(out)
    size = max(offsets) + 1
    start = len(out)
    out += b"xref\n0 %d\n" % size
    out += b"0000000000 65535 f \n"
    for number in range(1, size):
        if number in offsets:
            out += b"%010d 00000 n \n" % offsets[number]
        else:
            out += b"0000000000 65535 f \n"
    out += b"trailer\n<</Size %d " % size + trailer + b">>\nstartxref\n%d\n%%%%EOF\n" % start
    return bytes(out)


def compressed(objects, root=1):
    """objects: list of (number, body) without streams. All of them go into
    one compressed object stream, found through a cross-reference stream."""
    numbers = [number for number, _ in objects]
    header = bytearray()
    bodies = bytearray()
    for number, body in objects:
        header += b"%d %d " % (number, len(bodies))
        bodies += body + b"\n"
    objstm_number = max(numbers) + 1
    xref_number = objstm_number + 1
    data = bytes(header) + bytes(bodies)
    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    objstm_offset = len(out)
    out += b"%d 0 obj\n" % objstm_number
    out += stream(b"/Type/ObjStm/N %d/First %d" % (len(objects), len(header)), data, compress=True)
    out += b"\nendobj\n"
    xref_offset = len(out)
    size = xref_number + 1
    index = {number: position for position, number in enumerate(numbers)}
    rows = bytearray()
    for number in range(size):
        if number in index:
            rows += bytes([2]) + objstm_number.to_bytes(4, "big") + index[number].to_bytes(4, "big")
        elif number == objstm_number:
            rows += bytes([1]) + objstm_offset.to_bytes(4, "big") + bytes(4)
        elif number == xref_number:
            rows += bytes([1]) + xref_offset.to_bytes(4, "big") + bytes(4)
        else:
            rows += bytes([0]) + bytes(4) + (65535).to_bytes(4, "big")
    out += b"%d 0 obj\n" % xref_number
    out += stream(b"/Type/XRef/Size %d/W[1 4 4]/Root %d 0 R" % (size, root), bytes(rows), compress=True)
    out += b"\nendobj\nstartxref\n%d\n%%%%EOF\n" % xref_offset
    return bytes(out)


def one_page(page_entries=b"/MediaBox[0 0 200 200]", catalog_entries=b"", extra=()):
    """Catalog 1, pages 2, page 3, content 4, font 5, then extra objects."""
    return [
        (1, b"<</Type/Catalog/Pages 2 0 R" + catalog_entries + b">>"),
        (2, b"<</Type/Pages/Kids[3 0 R]/Count 1>>"),
        (3, b"<</Type/Page/Parent 2 0 R/Resources<</Font<</F1 5 0 R>>>>/Contents 4 0 R"
            + page_entries + b">>"),
        (4, stream(b"", PAGE_CONTENT)),
        (5, FONT),
        *extra,
    ]


def page_boxes():
    boxes = {
        "box-huge": b"/MediaBox[0 0 1e30 1e30]",
        "box-int-max": b"/MediaBox[0 0 595 2147483647]",
        "box-negative": b"/MediaBox[0 0 -595 -842]",
        "box-zero": b"/MediaBox[0 0 0 0]",
        "box-reversed": b"/MediaBox[595 842 0 0]",
        "box-missing": b"",
        "box-40-digits": b"/MediaBox[0 0 1234567890123456789012345678901234567890 842]",
        "box-not-numbers": b"/MediaBox[0 0 /Wide (tall)]",
        "box-crop-outside": b"/MediaBox[0 0 200 200]/CropBox[-1e9 -1e9 1e9 1e9]",
        "userunit-huge": b"/MediaBox[0 0 200 200]/UserUnit 1e20",
        "userunit-tiny": b"/MediaBox[0 0 200 200]/UserUnit 1e-20",
        "rotate-45": b"/MediaBox[0 0 200 300]/Rotate 45",
        "rotate-minus-90": b"/MediaBox[0 0 200 300]/Rotate -90",
        "rotate-ten-billion": b"/MediaBox[0 0 200 300]/Rotate 10000000000",
    }
    return {name: classic(one_page(entries)) for name, entries in boxes.items()}


def page_trees():
    seeds = {}
    # The root's kid is the root itself.
    seeds["tree-loop"] = classic([
        (1, b"<</Type/Catalog/Pages 2 0 R>>"),
        (2, b"<</Type/Pages/Kids[2 0 R 3 0 R]/Count 2>>"),
        (3, b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]>>"),
    ])
    seeds["tree-page-own-parent"] = classic([
        (1, b"<</Type/Catalog/Pages 2 0 R>>"),
        (2, b"<</Type/Pages/Kids[3 0 R]/Count 1>>"),
        (3, b"<</Type/Page/Parent 3 0 R/Kids[3 0 R]/MediaBox[0 0 200 200]>>"),
    ])
    seeds["tree-count-too-high"] = classic(one_page()[:1] + [
        (2, b"<</Type/Pages/Kids[3 0 R]/Count 213804087>>")] + one_page()[2:])
    seeds["tree-count-too-low"] = classic([
        (1, b"<</Type/Catalog/Pages 2 0 R>>"),
        (2, b"<</Type/Pages/Kids[3 0 R 4 0 R 5 0 R]/Count 0>>"),
        (3, b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]>>"),
        (4, b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 300 200]>>"),
        (5, b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 300]>>"),
    ])
    # 10,000 page-tree nodes, each the only kid of the one before.
    depth = 10000
    objects = [(1, b"<</Type/Catalog/Pages 2 0 R>>")]
    for level in range(depth):
        number = 2 + level
        parent = b"/Parent %d 0 R" % (number - 1) if level else b""
        objects.append((number, b"<</Type/Pages/Kids[%d 0 R]/Count 1%s>>" % (number + 1, parent)))
    objects.append((2 + depth, b"<</Type/Page/Parent %d 0 R/MediaBox[0 0 200 200]>>" % (1 + depth)))
    seeds["tree-10000-deep"] = compressed(objects)
    return seeds


def cross_references():
    seeds = {}
    good = classic(one_page())
    seeds["xref-missing"] = classic(one_page(), xref=False)
    seeds["xref-and-trailer-missing"] = good[:good.index(b"xref")]
    # Every offset off by 7, and startxref past the end.
    broken = bytearray(good)
    broken[broken.index(b"startxref") + 10:] = b"999999999\n%%EOF\n"
    seeds["xref-startxref-past-end"] = bytes(broken)
    seeds["xref-garbage"] = good.replace(b"0000000000 65535 f", b"zzzzzzzzzz 65535 f")
    long_stream = b"<</Length 1000000>>\nstream\n" + PAGE_CONTENT + b"\nendstream"
    seeds["stream-length-past-end"] = classic(one_page()[:3] + [(4, long_stream)] + one_page()[4:])
    seeds["object-number-past-2-31"] = classic(one_page()).replace(b"\n5 0 obj", b"\n2147483648 0 obj")
    seeds["object-number-past-2-64"] = classic(one_page()).replace(
        b"\n5 0 obj", b"\n18446744073709551616 0 obj").replace(b"/F1 5 0 R", b"/F1 18446744073709551616 0 R")
    return seeds


def form():
    value = b"(" + b"A" * 100000 + b")"
    catalog = b"/AcroForm<</Fields[6 0 R 7 0 R 8 0 R 9 0 R]/NeedAppearances true/DA(/Helv 12 Tf 0 g)" \
              b"/DR<</Font<</Helv 5 0 R>>>>>>"
    page = b"/MediaBox[0 0 300 300]/Annots[6 0 R 7 0 R 8 0 R 9 0 R]"
    fields = (
        (6, b"<</Type/Annot/Subtype/Widget/FT/Tx/T(name)/V(Filled in)/Rect[10 250 290 280]/P 3 0 R>>"),
        (7, b"<</Type/Annot/Subtype/Widget/FT/Btn/T(agree)/V/Yes/AS/Yes/Rect[10 200 40 230]/P 3 0 R>>"),
        (8, b"<</Type/Annot/Subtype/Widget/FT/Ch/Ff 131072/T(pick)/V(two)/Opt[(one)(two)]"
            b"/Rect[10 150 290 180]/P 3 0 R>>"),
        (9, b"<</Type/Annot/Subtype/Widget/FT/Tx/T(long)/V" + value + b"/Rect[10 10 290 140]/P 3 0 R>>"),
    )
    objects = [(n, body) for n, body in one_page(page, catalog, fields) if n != 4]
    objects.append((4, b"<<>>"))  # content as an empty dictionary: no stream in an object stream
    return {"form-filled": compressed(sorted(objects))}


def outlines():
    seeds = {}
    seeds["outline-loop"] = classic(one_page(catalog_entries=b"/Outlines 6 0 R", extra=(
        (6, b"<</Type/Outlines/First 7 0 R/Last 8 0 R/Count 2>>"),
        (7, b"<</Title(A)/Parent 6 0 R/Next 8 0 R/Dest[3 0 R/Fit]>>"),
        (8, b"<</Title(B)/Parent 6 0 R/Next 7 0 R/First 7 0 R/Dest[3 0 R/Fit]>>"),
    )))
    seeds["outline-other-file"] = classic(one_page(catalog_entries=b"/Outlines 6 0 R", extra=(
        (6, b"<</Type/Outlines/First 7 0 R/Last 8 0 R/Count 2>>"),
        (7, b"<</Title(Remote)/Parent 6 0 R/Next 8 0 R/A<</S/GoToR/F(other.pdf)/D[0/Fit]>>>>"),
        (8, b"<</Title(Launch)/Parent 6 0 R/A<</S/Launch/F(../../etc/passwd)>>>>"),
    )))
    depth = 10000
    objects = [(n, body) for n, body in one_page(catalog_entries=b"/Outlines 6 0 R") if n != 4]
    objects.append((4, b"<<>>"))
    objects.append((6, b"<</Type/Outlines/First 7 0 R/Last 7 0 R/Count 1>>"))
    for level in range(depth):
        number = 7 + level
        child = b"/First %d 0 R/Last %d 0 R" % (number + 1, number + 1) if level + 1 < depth else b""
        objects.append((number, b"<</Title(L%d)/Parent %d 0 R%s/Dest[3 0 R/Fit]>>" % (level, number - 1, child)))
    seeds["outline-10000-deep"] = compressed(objects)
    return seeds


def annotations():
    seeds = {}
    rects = {
        "annot-rect-huge": b"[-1e38 -1e38 1e38 1e38]",
        "annot-rect-inverted": b"[180 180 20 20]",
        "annot-rect-not-numbers": b"[/a (b) null true]",
    }
    for name, rect in rects.items():
        seeds[name] = classic(one_page(b"/MediaBox[0 0 200 200]/Annots[6 0 R]", extra=(
            (6, b"<</Type/Annot/Subtype/Square/Rect" + rect + b"/C[1 0 0]/Contents(note)>>"),)))
    count = 10000
    annots = b" ".join(b"%d 0 R" % (6 + n) for n in range(count))
    objects = [(n, body) for n, body in one_page(b"/MediaBox[0 0 200 200]/Annots[" + annots + b"]") if n != 4]
    objects.append((4, b"<<>>"))
    kinds = [b"Square", b"Highlight", b"Text", b"Link", b"Ink", b"Popup"]
    for n in range(count):
        x, y = n % 190, (n * 7) % 190
        objects.append((6 + n, b"<</Type/Annot/Subtype/%s/Rect[%d %d %d %d]/C[0 0 1]>>"
                        % (kinds[n % len(kinds)], x, y, x + 10, y + 10)))
    seeds["annot-10000"] = compressed(objects)
    return seeds


def encrypted():
    import pikepdf
    seeds = {}
    for name, user in (("encrypted-user-password", "secret"), ("encrypted-empty-user-password", "")):
        pdf = pikepdf.new()
        pdf.add_blank_page(page_size=(200, 200))
        pdf.pages[0].obj.Contents = pdf.make_stream(PAGE_CONTENT)
        path = Path("/dev/shm") / f"seed-{name}.pdf"
        pdf.save(str(path), static_id=True,
                 encryption=pikepdf.Encryption(user=user, owner="owner", R=3, metadata=False, aes=False))
        seeds[name] = path.read_bytes()
        path.unlink()
    return seeds


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent / "corpus" / "pdf"
    out.mkdir(parents=True, exist_ok=True)
    seeds = {}
    for family in (page_boxes, page_trees, cross_references, form, outlines, annotations, encrypted):
        seeds.update(family())
    for name, data in sorted(seeds.items()):
        if len(data) > MAX_SEED_BYTES:
            raise SystemExit(f"{name}: {len(data)} bytes, over the fuzzers' {MAX_SEED_BYTES}")
        (out / f"hostile-{name}.pdf").write_bytes(data)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    main()
