#pragma once

// What the helper and the programs that start it agree on beyond the packet
// format: the exit codes of the helper process and the largest image it
// renders. Both sides take them from here.

#include <QSize>
#include <QtGlobal>

namespace HelperExit {
enum Code : int {
    Success = 0,            // mode 0: list written; mode 1: the connection closed
    BadCommandLine = -1,    // too few entries, or no such mode
    ServerLoadFailed = -2,  // mode 1: the document could not be loaded
    NoAnnotatedPage = -3,   // mode 0: nothing to write, output untouched
    OutputFailed = -4,      // mode 0: the output could not be opened or written
    ScanLoadFailed = -5,    // mode 0: the document could not be loaded
    ServerUnreachable = -6, // mode 1: no server to connect to, or none in time
};
}

// The most bytes a rendered page may take as a 32-bit image. A request over
// it is answered with a failed render before anything is allocated, which
// bounds the helper's memory whatever a request asks for, and the preview
// side lets its image reader allocate this much, so that everything the
// helper sends can be decoded. 256 MiB holds Letter and A4 at 600 dpi
// (5100 x 6600 and 4961 x 7016 pixels, 129 and 133 MiB) and 8192 x 8192.
constexpr qint64 MaxImageBytes = qint64(256) * 1024 * 1024;
constexpr int MaxImageMegabytes = int(MaxImageBytes / (1024 * 1024));

// The largest side in pixels of a page laid out for tiles: 48 pixels a
// point on a 14,400-point page side fits at a pixel ratio of about 0.3, a
// Letter page at any ratio up to 5.
constexpr int MaxTilePageSide = 200000;

// Bounds of the text our own preview side asks for. A page's text is read
// no further than its first MaxPageChars characters; a search keeps at most
// MaxSearchHits hits and MaxSearchRects rectangles in all; a query has at
// most MaxQueryUnits UTF-16 units.
constexpr int MaxPageChars = 200000;
constexpr int MaxSearchHits = 10000;
constexpr int MaxSearchRects = 100000;
constexpr int MaxQueryUnits = 1000;
// Selected text is sent at most MaxCopiedUnits UTF-16 units long.
constexpr int MaxCopiedUnits = 1048576;
// A page's links: at most MaxPageLinks, each with at most MaxLinkRects
// rectangles and a target of at most MaxLinkTargetUnits UTF-16 units.
constexpr int MaxPageLinks = 10000;
constexpr int MaxLinkRects = 64;
constexpr int MaxLinkTargetUnits = 8192;

// A stretch of page sizes asked at once holds at most this many pages:
// pdfium reads a page's size in some 20 us, so a full stretch keeps the
// helper from other requests for no more than about 0.2 s.
constexpr int MaxPageSizesPerRange = 10000;
// Real outlines nest a handful of levels; this only stops a malformed one
// from running a walk's recursion out of stack (1 MiB on Windows).
constexpr int MaxOutlineDepth = 256;
// An outline piece holds at most this many entries, of at most
// MaxOutlinePieceUnits UTF-16 units of titles and tool tips together, each
// of those cut to MaxOutlineTextUnits: 2 MiB of text, however the document
// fills its outline.
constexpr int MaxOutlinePieceEntries = 2000;
constexpr int MaxOutlineTextUnits = 8192;
constexpr int MaxOutlinePieceUnits = 1024 * 1024;
// A piece is what the helper reads in this long, so that a page asked
// meanwhile waits no longer.
constexpr int OutlinePieceMsecs = 8;

// A document's information texts are sent at most this long, and its first
// page's sides at most this many points (pdfium's own limit is far below).
constexpr int MaxPropertyUnits = 4096;
constexpr double MaxPropertyPageSide = 1.0e7;

// A document's files: at most MaxAttachments listed, names and
// descriptions cut to MaxAttachmentTextUnits, a file sent only when it
// decodes to at most MaxAttachmentBytes, in pieces of MaxAttachmentPieceBytes.
constexpr int MaxAttachments = 1000;
constexpr int MaxAttachmentTextUnits = 1024;
constexpr qint64 MaxAttachmentBytes = qint64(512) * 1024 * 1024;
constexpr int MaxAttachmentPieceBytes = 1024 * 1024;
// A piece of the list is what the helper finds in this long, pages being
// loaded to find annotations' files, so that a page asked meanwhile waits no
// longer.
constexpr int AttachmentListMsecs = 8;
// A document's signatures: at most MaxSignatures checked and sent, each
// with contents of at most MaxSignatureContentsBytes (larger ones are not
// read) and a chain of at most MaxSignatureCertificates; its texts cut to
// MaxSignatureTextUnits. The trust store is read only up to
// MaxTrustStoreBytes. Each signature digests the bytes it covers, most of
// the file: at most MaxSignedBytesChecked are digested for one document, so
// that many signatures over a large file cannot hold the helper for long.
constexpr int MaxSignatures = 32;
constexpr qint64 MaxSignatureContentsBytes = 256 * 1024;
constexpr int MaxSignatureCertificates = 16;
constexpr int MaxSignatureTextUnits = 512;
constexpr qint64 MaxTrustStoreBytes = qint64(16) * 1024 * 1024;
constexpr qint64 MaxSignedBytesChecked = qint64(1024) * 1024 * 1024;
// The most pages a stretch's reply may say the document has, so that a
// preview side can hold a size for every page it has not read yet: 64 MiB
// of sizes.
constexpr int MaxPageCount = 8 * 1024 * 1024;

// Where a page's images lie, for colours that leave them as drawn: found
// among the page's first MaxPageObjects objects, at most MaxImageRects.
constexpr int MaxPageObjects = 100000;
constexpr int MaxImageRects = 256;

// The most bytes a shared area for rendered pages may have: two pages at
// the image bound and a little more. The helper maps nothing larger.
constexpr qint64 MaxSharedAreaBytes = 2 * MaxImageBytes + qint64(64) * 1024 * 1024;
// pdfium decodes a file whole before it tells its size, and a few kilobytes
// of nested compression inflate to gigabytes. The helper's address space is
// held to this, so that such a file ends the helper, not the machine: an
// image at its bound, the largest shared area, an attachment at its bound
// twice over (pdfium's copy and ours) and room for pdfium's own work.
constexpr qint64 HelperAddressSpaceBytes = MaxSharedAreaBytes + MaxImageBytes + 2 * MaxAttachmentBytes
    + qint64(1536) * 1024 * 1024;

// True when an image of this size, 4 bytes a pixel, is not empty and stays
// within MaxImageBytes. Computed in 64 bits: no product of two ints overflows.
constexpr bool fitsImageBound(const QSize &size)
{
    return size.width() > 0 && size.height() > 0
        && qint64(size.width()) * size.height() <= MaxImageBytes / 4;
}

// How long the helper waits for the preview application's server to accept
// it, in milliseconds, before it gives up and ends with ServerUnreachable.
// The application listens before it starts the helper, so a connection that
// takes longer than this will not come.
constexpr int ServerConnectMsecs = 10000;
