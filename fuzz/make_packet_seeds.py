#!/usr/bin/python3
"""Writes the seed inputs of fuzz_packets into a folder (by default
fuzz/corpus/packets). Each input is one byte of delivery piece size (0: all at
once) followed by a stream of request packets as the preview application
sends them."""

import struct
import sys
import zlib
from pathlib import Path

RENDER_REQUEST, RENDER_REPLY, BOOKMARKS_REQUEST, BOOKMARKS_REPLY = 1, 2, 3, 4
PAGE_SIZES_REQUEST, PAGE_SIZES_REPLY = 5, 6
AREA_OFFER, AREA_REPLY, SHARED_RENDER_REQUEST, SHARED_RENDER_REPLY = 7, 8, 9, 10
TOOL_TIPS_REQUEST, TOOL_TIPS_REPLY = 11, 12
TILE_REQUEST, TILE_REPLY = 13, 14
SHARED_TILE_REQUEST, SHARED_TILE_REPLY = 15, 16
SEARCH_REQUEST, SEARCH_REPLY, SEARCH_CANCEL = 17, 18, 19
LINKS_REQUEST, LINKS_REPLY = 20, 21
TEXT_REQUEST, TEXT_REPLY = 22, 23
PAGE_SIZES_RANGE_REQUEST, PAGE_SIZES_RANGE_REPLY = 27, 28
OUTLINE_PIECE_REQUEST, OUTLINE_PIECE_REPLY = 29, 30
PROPERTIES_REQUEST, PROPERTIES_REPLY = 31, 32
ATTACHMENTS_REQUEST, ATTACHMENTS_REPLY, ATTACHMENT_PIECE_REQUEST, ATTACHMENT_PIECE_REPLY = 33, 34, 35, 36
SIGNATURES_REQUEST, SIGNATURES_REPLY = 37, 38
PAGE_TEXT_REQUEST, PAGE_TEXT_REPLY = 39, 40


def packet(type_, payload=b""):
    body = bytes([type_]) + payload
    return struct.pack(">I", len(body)) + body


def tiny_png(width=2, height=2):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    rows = b"".join(b"\x00" + b"\xff\x00\x00" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def render(page=0, tag=-1, token=0, annotations=False, invert=False, rotation=0,
           width=64, height=80, image=None, offset=None):
    """A render request; with an offset, one drawn into the shared area (the
    fuzz target offers its area before every input)."""
    payload = struct.pack(">iiQ??iii", page, tag, token, annotations, invert, rotation,
                          width, height)
    payload += struct.pack(">i", 0) if image is None else struct.pack(">i", 1) + image
    if offset is None:
        return packet(RENDER_REQUEST, payload)
    return packet(SHARED_RENDER_REQUEST, payload + struct.pack(">Q", offset))


def tile(page=0, token=0, rotation=0, page_width=600, page_height=800, x=0, y=0, width=64, height=64,
         annotations=False, invert=False, offset=None):
    """A tile request: a page laid out at page_width by page_height, and the
    rectangle of it wanted (streamed as its left, top, right and bottom); with
    an offset, one drawn into the shared area."""
    payload = struct.pack(">iiQ??iii", page, -1, token, annotations, invert, rotation, page_width, page_height)
    payload += struct.pack(">i", 0)
    payload += struct.pack(">iiii", x, y, x + width - 1, y + height - 1)
    if offset is None:
        return packet(TILE_REQUEST, payload)
    return packet(SHARED_TILE_REQUEST, payload + struct.pack(">Q", offset))


def search(token, query, match_case=False, start=0):
    return packet(SEARCH_REQUEST, struct.pack(">Q", token) + qstring(query) + struct.pack(">?i", match_case, start))


def qstring(text):
    data = text.encode("utf-16-be")
    return struct.pack(">I", len(data)) + data


SEEDS = {
    "outline": (0, packet(BOOKMARKS_REQUEST)),
    "outline-extra-bytes": (0, packet(BOOKMARKS_REQUEST, b"\x00\x01\x02\x03")),
    "render-example": (0, render(3, 7, 1, True, False, 90, 800, 600)),
    "render-page0": (0, render(0, 5, 0xFFFFFFFFFFFFFFFF, True, True, 270, 48, 64)),
    "render-type-only": (0, packet(RENDER_REQUEST)),
    "render-odd-values": (0, render(-1, 0, 0, False, False, -90, -5, 10)
                          + render(2, 1, 2, False, True, 450, 0, 0)
                          + render(1, 1, 3, True, False, 45, 1, 1)),
    "render-with-image": (0, render(1, 9, 9, image=tiny_png())),
    "empty-packet-then-outline": (0, struct.pack(">I", 0) + packet(BOOKMARKS_REQUEST)),
    "unexpected-types": (0, packet(RENDER_REPLY, b"\x00" * 30) + packet(BOOKMARKS_REPLY)
                         + packet(200) + render(0)),
    "byte-by-byte": (1, render(2, 4, 4, width=30, height=40) + packet(BOOKMARKS_REQUEST)),
    "pieces-of-3": (3, packet(BOOKMARKS_REQUEST) + render(0, invert=True) + packet(BOOKMARKS_REQUEST)),
    "announced-never-sent": (0, render(0) + struct.pack(">I", 0xFFFFFFF0) + b"\x01\x00"),
    "page-sizes": (0, packet(PAGE_SIZES_REQUEST) + packet(PAGE_SIZES_REPLY, b"\x00\x00\x00\x01")
                   + render(0, rotation=-90) + packet(PAGE_SIZES_REQUEST, b"\xff")),
    # Stretches inside, past either end, overflowing, short, and a reply
    # sent the wrong way.
    "page-size-stretches": (0, packet(PAGE_SIZES_RANGE_REQUEST, struct.pack(">ii", 0, 1))
                            + packet(PAGE_SIZES_RANGE_REQUEST, struct.pack(">ii", -5, 2))
                            + packet(PAGE_SIZES_RANGE_REQUEST, struct.pack(">ii", 2, 2147483647))
                            + packet(PAGE_SIZES_RANGE_REQUEST, struct.pack(">ii", 2147483647, -2147483648))
                            + packet(PAGE_SIZES_RANGE_REQUEST, b"\x00")
                            + packet(PAGE_SIZES_RANGE_REPLY, b"\x00" * 12) + render(0)),
    # Pieces in order, one that loses its place, past either end, of no
    # entries, overflowing, short, and a reply sent the wrong way.
    "outline-pieces": (0, packet(OUTLINE_PIECE_REQUEST, struct.pack(">ii", 0, 1))
                       + packet(OUTLINE_PIECE_REQUEST, struct.pack(">ii", 1, 2000))
                       + packet(OUTLINE_PIECE_REQUEST, struct.pack(">ii", 0, 0))
                       + packet(OUTLINE_PIECE_REQUEST, struct.pack(">ii", -5, 3))
                       + packet(OUTLINE_PIECE_REQUEST, struct.pack(">ii", 2147483647, -2147483648))
                       + packet(OUTLINE_PIECE_REQUEST, b"\x01")
                       + packet(OUTLINE_PIECE_REPLY, b"\x00" * 9) + render(0)),
    # Asked plainly, with bytes after the type, and a reply sent the wrong way.
    "properties": (0, packet(PROPERTIES_REQUEST) + packet(PROPERTIES_REQUEST, b"\xff\x00")
                   + packet(PROPERTIES_REPLY, b"\x00" * 7) + render(0)),
    # The list from the start, past the end, before it and short; pieces of
    # the tree's first file and of an annotation's,
    # at the start, past either end and far out, short, and a reply sent the
    # wrong way.
    "attachments": (0, packet(ATTACHMENTS_REQUEST, struct.pack(">i", 0))
                    + packet(ATTACHMENTS_REQUEST, struct.pack(">i", 2147483647))
                    + packet(ATTACHMENTS_REQUEST, struct.pack(">i", -3)) + packet(ATTACHMENTS_REQUEST, b"\x07")
                    + packet(ATTACHMENT_PIECE_REQUEST, struct.pack(">iiq", -1, 0, 0))
                    + packet(ATTACHMENT_PIECE_REQUEST, struct.pack(">iiq", 0, 0, 1 << 40))
                    + packet(ATTACHMENT_PIECE_REQUEST, struct.pack(">iiq", -1, 0, -1))
                    + packet(ATTACHMENT_PIECE_REQUEST, struct.pack(">iiq", 2147483647, -2147483648, 0))
                    + packet(ATTACHMENT_PIECE_REQUEST, struct.pack(">iiq", -7, 3, (1 << 63) - 1))
                    + packet(ATTACHMENT_PIECE_REQUEST, b"\x00\x01")
                    + packet(ATTACHMENT_PIECE_REPLY, b"\x00" * 20) + render(0)),
    # Signatures asked plainly and with bytes the question does not take,
    # and a reply sent the wrong way.
    "signatures": (0, packet(SIGNATURES_REQUEST) + packet(SIGNATURES_REQUEST, b"\xff" * 9)
                   + packet(SIGNATURES_REPLY, b"\x00\x00\x00\x01") + render(0)),
    # A page's characters: the first, past the end, negative, short, and a
    # reply sent the wrong way.
    "page-text": (0, packet(PAGE_TEXT_REQUEST, struct.pack(">i", 0))
                  + packet(PAGE_TEXT_REQUEST, struct.pack(">i", 2147483647))
                  + packet(PAGE_TEXT_REQUEST, struct.pack(">i", -2147483648)) + packet(PAGE_TEXT_REQUEST, b"\x01")
                  + packet(PAGE_TEXT_REPLY, b"\x00" * 12) + render(0)),
    "over-the-bound": (0, render(0, width=8192, height=8193)),
    # 256 by 256 fills the fuzz target's area exactly; one row more, or any
    # offset past 0, does not fit.
    "shared-edges": (0, render(0, width=256, height=256, offset=0) + render(1, width=256, height=256, offset=4)
                     + render(2, width=256, height=257, offset=0) + render(0, width=16, height=16, offset=2)
                     + render(0, invert=True, width=8, height=8, offset=262144 - 256)
                     + render(0, offset=(1 << 64) - 4)),
    "outline-tool-tips": (0, packet(TOOL_TIPS_REQUEST) + packet(BOOKMARKS_REQUEST) + packet(TOOL_TIPS_REPLY, b"\x00")),
    "tiles": (0, tile(0, 1, 90, 905, 700, 300, 120, 256, 256, True, True)
              + tile(1, 2, 0, 29376, 38016, 20000, 30000, 512, 512)
              + tile(0, 3, 0, 600, 800, 590, 790, 64, 64)
              + tile(0, 4, 0, 200001, 800, 0, 0, 16, 16)
              + tile(0, 5, 0, 600, 800, -8, 0, 16, 16)
              + tile(0, 6, 0, 30000, 30000, 0, 0, 9000, 9000)
              + tile(-1, 7, -450, -600, 800, 0, 0, 16, 16)
              + packet(TILE_REQUEST, b"\x00\x01") + packet(TILE_REPLY) + render(0)),
    # As the shared pages: 256 by 256 fills the area, anything more or
    # further on does not fit.
    "shared-tiles": (0, tile(0, 1, 90, 905, 700, 300, 120, 256, 256, True, True, offset=0)
                     + tile(0, 2, 0, 29376, 38016, 20000, 30000, 256, 257, offset=0)
                     + tile(0, 3, 0, 600, 800, 0, 0, 16, 16, offset=262144 - 256)
                     + tile(0, 4, 0, 600, 800, 0, 0, 16, 16, offset=6)
                     + tile(0, 5, 0, 600, 800, 590, 790, 64, 64, offset=0)
                     + tile(0, 6, 0, 600, 800, 0, 0, 8, 8, offset=(1 << 64) - 4)
                     + packet(SHARED_TILE_REQUEST, b"\x00") + packet(SHARED_TILE_REPLY) + render(0)),
    # An empty query, one past the bound, a start page far out, a cancel of
    # one and of nothing, a short packet, and a reply sent the wrong way.
    "search": (0, search(1, "Page") + search(2, "") + search(3, "x" * 1001) + search(4, "e", True, -2147483648)
               + packet(SEARCH_CANCEL, struct.pack(">Q", 4)) + packet(SEARCH_CANCEL, b"\x01")
               + packet(SEARCH_REQUEST, b"\x00\x00") + packet(SEARCH_REPLY, b"\x00" * 12) + render(0)),
    "links": (0, packet(LINKS_REQUEST, struct.pack(">i", 1)) + packet(LINKS_REQUEST, struct.pack(">i", -1))
              + packet(LINKS_REQUEST, struct.pack(">i", 2147483647)) + packet(LINKS_REQUEST)
              + packet(LINKS_REPLY, b"\xff" * 16) + render(0)),
    # Points on and off the text, not numbers, a page that is not, a word.
    "text": (0, packet(TEXT_REQUEST, struct.pack(">Qiddddb", 1, 0, 73, 725, 262, 689, 0))
             + packet(TEXT_REQUEST, struct.pack(">Qiddddb", 2, 0, float("nan"), 1e308, float("-inf"), 0, 0))
             + packet(TEXT_REQUEST, struct.pack(">Qiddddb", 3, -5, 0, 0, 0, 0, 1))
             + packet(TEXT_REQUEST, struct.pack(">Qiddddb", 4, 0, 150, 727, 0, 0, 1))
             + packet(TEXT_REQUEST, b"\x00\x01") + packet(TEXT_REPLY, b"\x00" * 40) + render(0)),
    "shared-offers": (0, packet(AREA_OFFER, qstring("/pdfhelper-area-nosuch") + struct.pack(">Q", 4096))
                      + packet(AREA_OFFER, qstring("/etc/passwd") + struct.pack(">Q", 1))
                      + render(0, width=8, height=8, offset=0)),
}


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "corpus" / "packets"
    out.mkdir(parents=True, exist_ok=True)
    for name, (piece, stream) in SEEDS.items():
        (out / name).write_bytes(bytes([piece]) + stream)


if __name__ == "__main__":
    main()
