#pragma once

// The records that travel between the preview application and the helper in
// mode 1, and their QDataStream forms. Every stream that carries them must be
// set to QDataStream::Qt_6_0 (version 20) before use.

#include <QDataStream>
#include <QDateTime>
#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QTransform>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// The stream version both sides agree on.
constexpr QDataStream::Version ProtocolStreamVersion = QDataStream::Qt_6_0;

// First byte of every packet after the length prefix.
enum class PacketType : quint8 {
    RenderRequest = 1,    // preview -> helper, one PageRequest
    RenderReply = 2,      // helper -> preview, the PageRequest with image filled
    BookmarksRequest = 3, // preview -> helper, no payload
    BookmarksReply = 4,   // helper -> preview, QList<BookmarkNode>
    // Our own preview side's questions beyond the four above. A helper that
    // does not know them reports and drops them, as it does any other type,
    // so the preview side must not wait for their answers for ever.
    PageSizesRequest = 5, // preview -> helper, no payload
    PageSizesReply = 6,   // helper -> preview, QList<QSize>: every page in points
    // Pages drawn straight into memory both sides share, instead of PNG.
    SharedAreaOffer = 7,     // preview -> helper, SharedAreaOfferRecord
    SharedAreaReply = 8,     // helper -> preview, bool: the area is in use
    SharedRenderRequest = 9, // preview -> helper, PageRequest (null image), quint64 offset
    SharedRenderReply = 10,  // helper -> preview, PageRequest (null image), SharedImage
    // The outline entries' tool tips ("URI: ...", "REMOTE GOTO: ..."), which
    // the outline reply does not carry: one string per entry, in the order
    // the outline reply lists its entries, empty where an entry has none.
    OutlineToolTipsRequest = 11, // preview -> helper, no payload
    OutlineToolTipsReply = 12,   // helper -> preview, QStringList
    // A rectangle of a page laid out at a size too large for one image, for
    // viewing at high zoom.
    TileRequest = 13, // preview -> helper, TileRecord (null image)
    TileReply = 14,   // helper -> preview, TileRecord with the tile's image, null when refused or failed
    // A tile drawn into the shared area, as pages are; a helper knows these
    // when it knows both the area and tiles.
    SharedTileRequest = 15, // preview -> helper, TileRecord (null image), quint64 offset
    SharedTileReply = 16,   // helper -> preview, TileRecord (null image), SharedImage
    // A search through the document's text. The helper acknowledges it at
    // once (a reply for no page), then searches from the start page on,
    // wrapping, going back to its event loop every few milliseconds; it
    // replies for each page with hits and with its progress before each
    // return, and answers other requests in between. A new search, or a cancel with its token, ends the one before:
    // nothing more comes for it.
    SearchRequest = 17, // preview -> helper, SearchRequestRecord
    SearchReply = 18,   // helper -> preview, SearchReplyRecord
    SearchCancel = 19,  // preview -> helper, quint64 token; no reply
    // The links of a page: link annotations and addresses written as text.
    LinksRequest = 20, // preview -> helper, qint32 page
    LinksReply = 21,   // helper -> preview, LinksReplyRecord
    // The text between two points of a page, or the word at one, for a
    // selection and for copying it.
    TextRequest = 22, // preview -> helper, TextRequestRecord
    TextReply = 23,   // helper -> preview, TextReplyRecord
    // Night or sepia colours (pagecolours.h) for every page and tile drawn
    // after the request, until the next one; normal ends them. The reply
    // says what is in effect.
    PageColoursRequest = 24, // preview -> helper, quint8 PageColours
    PageColoursReply = 25,   // helper -> preview, quint8 PageColours
    // From now on, once no request has come for a moment, the helper reads
    // the text of the pages ahead of any search, giving way to every request.
    TextReadAhead = 26, // preview -> helper, nothing; no reply
    // The sizes of a stretch of pages, for a preview side that need not wait
    // for every page's: the first pages at once, the rest in pieces.
    PageSizesRangeRequest = 27, // preview -> helper, PageSizesRangeRecord
    PageSizesRangeReply = 28,   // helper -> preview, PageSizesRangeReplyRecord
    // The outline in pieces, for a preview side that shows its first entries
    // while the rest are read and draws pages in between: each piece is what
    // the helper reads in a few milliseconds from the entry asked for on. A
    // count of 0 reads nothing.
    OutlinePieceRequest = 29, // preview -> helper, OutlinePieceRecord
    OutlinePieceReply = 30,   // helper -> preview, OutlinePieceReplyRecord
    // What a properties window shows of the document.
    PropertiesRequest = 31, // preview -> helper, nothing
    PropertiesReply = 32,   // helper -> preview, PropertiesRecord
    // The files a document carries, and one file's bytes in pieces from an
    // offset on. The preview side writes the file; the helper never writes
    // one, and opens and runs nothing of one.
    // The list comes in pieces, as the outline does: a document's files are
    // found page by page, and a piece is what the helper finds in a few
    // milliseconds from the page asked for on.
    AttachmentsRequest = 33,     // preview -> helper, qint32 first page (0 adds the name tree's)
    AttachmentsReply = 34,       // helper -> preview, AttachmentsReplyRecord
    AttachmentPieceRequest = 35, // preview -> helper, AttachmentPieceRequestRecord
    AttachmentPieceReply = 36,   // helper -> preview, AttachmentPieceReplyRecord
    // What the helper found of each signature the document carries.
    SignaturesRequest = 37, // preview -> helper, nothing
    SignaturesReply = 38,   // helper -> preview, SignaturesReplyRecord
    // A page's characters in pdfium's order, the line breaks it puts
    // between lines included, and the box of each: what a screen reader is
    // told of the page.
    PageTextRequest = 39, // preview -> helper, qint32 page
    PageTextReply = 40,   // helper -> preview, PageTextRecord
};

QDataStream &operator<<(QDataStream &out, PacketType type);
QDataStream &operator>>(QDataStream &in, PacketType &type);

// A render request, and in the reply the same record with the image filled.
// The helper hands tag and token back untouched so the requester can match
// replies to requests.
struct PageRequest {
    qint32 pageIndex = -1;
    qint32 tag = -1;
    quint64 token = 0;
    bool annotations = false;
    bool invert = false;
    qint32 rotation = 0; // degrees
    QSize size;          // pixels; invalid (-1 x -1) when fresh
    QImage image;        // null in requests
};

QDataStream &operator<<(QDataStream &out, const PageRequest &request);
QDataStream &operator>>(QDataStream &in, PageRequest &request);
// Every field but the image, which is left unread for a reader that takes the
// field apart itself (pngfield.h).
QDataStream &readPageRequestHead(QDataStream &in, PageRequest &request);

// A tile: page.size is the whole page's size in pixels, which may be far
// past the image bound (up to 200,000 on a side), and tile the part of it
// wanted, which must lie inside the page and within the bound. The reply
// carries the tile's pixels in page.image, exactly those of the same
// rectangle of the whole page.
struct TileRecord {
    PageRequest page;
    QRect tile;
};
QDataStream &operator<<(QDataStream &out, const TileRecord &record);
QDataStream &operator>>(QDataStream &in, TileRecord &record);

// A shared area the preview side offers: its size in bytes, and either its
// name or, for a helper that opens nothing by name, a handle handed over:
// on Windows the section handle's value in the helper's process, elsewhere
// any value from 0 up, standing for the next descriptor on the area channel
// (areahandover.h). A helper from before handles knows only name and size,
// finds no area under an empty name and refuses the offer.
struct SharedAreaOfferRecord {
    QString name;
    quint64 size = 0;
    qint64 handle = -1; // -1: open the area by its name
};
QDataStream &operator<<(QDataStream &out, const SharedAreaOfferRecord &offer);
QDataStream &operator>>(QDataStream &in, SharedAreaOfferRecord &offer);

// The query is at most MaxQueryUnits UTF-16 units (contract.h); a
// longer one is answered at once as done and cut, with no hits.
struct SearchRequestRecord {
    quint64 token = 0;
    QString query;
    bool matchCase = false;
    qint32 startPage = 0; // taken modulo the page count
};
QDataStream &operator<<(QDataStream &out, const SearchRequestRecord &request);
QDataStream &operator>>(QDataStream &in, SearchRequestRecord &request);

// One page searched. Hits are in page space (points, y upwards, the origin
// where the document puts it: a rectangle's x and y are its lower left
// corner), each the rectangles that cover it line by line; frame maps page
// space onto the page as a render lays it out unturned, in points from its
// top left corner.
struct SearchReplyRecord {
    quint64 token = 0;
    qint32 page = -1;          // -1: the acknowledgement, or a reply that ends the search
    qint32 pagesSearched = 0;  // so far
    qint32 pageCount = 0;
    QTransform frame;
    QList<QList<QRectF>> hits;
    bool done = false;         // the last reply of this search
    bool cut = false;          // a bound left hits out
};
QDataStream &operator<<(QDataStream &out, const SearchReplyRecord &reply);
// Reads no more hits and rectangles than the search bounds allow, and no
// count the bytes that follow could not hold.
QDataStream &operator>>(QDataStream &in, SearchReplyRecord &reply);

// One link of a page. Rectangles are in page space as search hits are;
// a link to a page of this document carries the point it names there, where
// the document names one (hasX, hasY), in that page's space, and that page's
// frame to map it.
struct LinkRecord {
    enum Kind : qint32 { Page = 0, Web = 1, File = 2, Elsewhere = 3 };
    qint32 kind = Elsewhere;
    QList<QRectF> rects;
    qint32 page = -1;
    bool hasX = false;
    bool hasY = false;
    QPointF at;
    QTransform targetFrame;
    QString target;       // a web address or a file
    bool written = false; // an address written as text on the page
};
struct LinksReplyRecord {
    qint32 page = -1; // -1 when the page asked for does not exist
    QTransform frame;
    QList<LinkRecord> links;
    bool cut = false; // a bound left links or text out
};
QDataStream &operator<<(QDataStream &out, const LinksReplyRecord &reply);
// Reads no more links, rectangles and text than the bounds allow.
QDataStream &operator>>(QDataStream &in, LinksReplyRecord &reply);

// What of a page's text is asked for: the characters between from and to,
// the word at from, from `from` to the page's end, from its start to `to`,
// or all of it. One byte on the wire, where 0 and 1 are the "no word" and
// "word" an older helper reads; a value not known here reads as Between.
enum class TextExtent : quint8 { Between = 0, Word = 1, ToEnd = 2, FromStart = 3, Whole = 4 };

// Points in page space, as search hits are.
struct TextRequestRecord {
    quint64 token = 0;
    qint32 page = -1;
    QPointF from;
    QPointF to;
    TextExtent extent = TextExtent::Between;
};
QDataStream &operator<<(QDataStream &out, const TextRequestRecord &request);
QDataStream &operator>>(QDataStream &in, TextRequestRecord &request);

// The characters first .. first + count - 1 of the page (count 0: none
// there), the rectangles that cover them line by line in page space, the
// page's frame, and their text, at most MaxCopiedUnits long (cut says a
// bound left some out).
struct TextReplyRecord {
    quint64 token = 0;
    qint32 page = -1;
    QTransform frame;
    qint32 first = -1;
    qint32 count = 0;
    QList<QRectF> rects;
    QString text;
    bool cut = false;
};
QDataStream &operator<<(QDataStream &out, const TextReplyRecord &reply);
// Reads no more rectangles and text than the bounds allow.
QDataStream &operator>>(QDataStream &in, TextReplyRecord &reply);

// Where in the shared area a rendered page lies; a width of 0 means the
// render failed or did not fit, and nothing was written.
struct SharedImage {
    quint64 offset = 0;
    qint32 width = 0;
    qint32 height = 0;
    qint32 bytesPerLine = 0;
    qint32 format = 0; // QImage::Format
};
QDataStream &operator<<(QDataStream &out, const SharedImage &image);
QDataStream &operator>>(QDataStream &in, SharedImage &image);

// The one place where the image of a reply is encoded.
void writeReplyImage(QDataStream &out, const QImage &image);

// One outline entry with its whole subtree.
struct BookmarkNode {
    QString title;      // null when fresh
    qint32 pageIndex = -1;
    QList<BookmarkNode> children;
};

QDataStream &operator<<(QDataStream &out, const BookmarkNode &node);
// Only the preview side reads nodes; the helper only writes them.
QDataStream &operator>>(QDataStream &in, BookmarkNode &node);
// Reads a list as operator<< of QList<BookmarkNode> writes it. Stops at the
// first entry that cannot be read and sets the stream status.
QList<BookmarkNode> readBookmarkNodes(QDataStream &in);

// A stretch of count items from first on, as questions for more of a list
// ask for it.
struct StretchRecord {
    qint32 first = 0;
    qint32 count = 0;
};
QDataStream &operator<<(QDataStream &out, const StretchRecord &stretch);
QDataStream &operator>>(QDataStream &in, StretchRecord &stretch);

// A stretch of at most MaxPageSizesPerRange pages (contract.h).
using PageSizesRangeRecord = StretchRecord;

// The document's page count and the sizes of the stretch asked for, cut to
// the pages there are and to the bound: sizes[i] is page first + i.
struct PageSizesRangeReplyRecord {
    qint32 pageCount = 0;
    qint32 first = 0;
    QList<QSize> sizes;
};
QDataStream &operator<<(QDataStream &out, const PageSizesRangeReplyRecord &reply);
// Reads no more sizes than the bound; a stretch past the page count is
// corrupt.
QDataStream &operator>>(QDataStream &in, PageSizesRangeReplyRecord &reply);

// At most count outline entries from the one at position first on, in the
// order the outline lists them (depth-first, as the bookmarks reply nests
// them).
using OutlinePieceRecord = StretchRecord;

// One entry: its depth (0 at the top, at most one more than the entry
// before), its title and page as a BookmarkNode holds them, and where it
// leads when that is no page here (empty otherwise).
struct OutlineEntryRecord {
    qint32 depth = 0;
    QString title;
    qint32 pageIndex = -1;
    QString toolTip;
};
QDataStream &operator<<(QDataStream &out, const OutlineEntryRecord &entry);
QDataStream &operator>>(QDataStream &in, OutlineEntryRecord &entry);

// What follows a piece: more entries, nothing, or nothing because an entry
// could not be read; then no outline is shown, as a bookmarks reply sends
// none.
enum class OutlineEnd : quint8 { More = 0, End = 1, Broken = 2 };

struct OutlinePieceReplyRecord {
    qint32 first = 0;
    QList<OutlineEntryRecord> entries;
    OutlineEnd end = OutlineEnd::End;
};
QDataStream &operator<<(QDataStream &out, const OutlinePieceReplyRecord &reply);
// A piece past its bounds (contract.h), an entry deeper than the bound or
// with a page below -1, or an end of no known kind is corrupt.
QDataStream &operator>>(QDataStream &in, OutlinePieceReplyRecord &reply);

// The document's information texts (each at most MaxPropertyUnits long),
// its dates (invalid where it has none that reads as a date), its PDF
// version times ten (0: unknown), its page count, the first page's size in
// points (empty without pages), the file's size in bytes; its security
// handler's revision (-1: not encrypted) and permission bits (the /P entry,
// all set when not encrypted); its form type (0 none, 1 AcroForm, 2 XFA, 3
// XFA foreground) and whether it is tagged.
struct PropertiesRecord {
    QString title, author, subject, keywords, creator, producer;
    QDateTime created, modified;
    qint32 version = 0;
    qint32 pageCount = 0;
    QSizeF firstPageSize;
    qint64 fileSize = 0;
    qint32 securityRevision = -1;
    quint32 permissions = 0xFFFFFFFFu;
    qint32 formType = 0;
    bool tagged = false;
};
QDataStream &operator<<(QDataStream &out, const PropertiesRecord &properties);
// A text past its bound, a count, size or version below zero or past its
// bound, or an unknown form type is corrupt.
QDataStream &operator>>(QDataStream &in, PropertiesRecord &properties);

// A file the document carries: in its name tree (page -1, index among the
// tree's files) or held by a file attachment annotation (its page, index
// among the page's annotations). The name and description are the
// document's, at most MaxAttachmentTextUnits long: a name is never a path.
// The declared size is what the document claims (-1: nothing), not a promise.
struct AttachmentRecord {
    qint32 page = -1;
    qint32 index = 0;
    QString name;
    QString description;
    qint64 declaredSize = -1;
    QDateTime modified;
};
QDataStream &operator<<(QDataStream &out, const AttachmentRecord &attachment);
QDataStream &operator>>(QDataStream &in, AttachmentRecord &attachment);

// A piece of the list: at most MaxAttachments files, and the page to go on
// from (-1: the list is whole).
struct AttachmentsReplyRecord {
    QList<AttachmentRecord> files;
    qint32 nextPage = -1;
};
QDataStream &operator<<(QDataStream &out, const AttachmentsReplyRecord &reply);
// More files than the bound, or a next page out of range, is corrupt.
QDataStream &operator>>(QDataStream &in, AttachmentsReplyRecord &reply);

// Which piece of which file: the file as the list gives it, and the offset
// the piece begins at. A request is this, and a reply begins with it.
struct AttachmentPieceRequestRecord {
    qint32 page = -1;
    qint32 index = 0;
    qint64 offset = 0;
};
QDataStream &operator<<(QDataStream &out, const AttachmentPieceRequestRecord &request);
QDataStream &operator>>(QDataStream &in, AttachmentPieceRequestRecord &request);

// The bytes of a file from the offset asked on, at most
// MaxAttachmentPieceBytes; the file's whole size, or -1 when it could not be
// read or exceeds MaxAttachmentBytes (no bytes then).
struct AttachmentPieceReplyRecord {
    AttachmentPieceRequestRecord at;
    qint64 size = -1;
    QByteArray bytes;
};
QDataStream &operator<<(QDataStream &out, const AttachmentPieceReplyRecord &piece);
// A piece longer than its bound or reaching past the file's size is corrupt.
QDataStream &operator>>(QDataStream &in, AttachmentPieceReplyRecord &piece);

// What the bytes a signature covers are: the whole file but the signature
// itself ([0, a, b, c] with the hole from a to b exactly its contents, and b
// + c the file's length), the same up to an earlier revision's end with
// later revisions after it, or anything else.
enum class SignedRange : quint8 { WholeFile = 0, EarlierRevision = 1, Invalid = 2 };
// What the signature itself came to: not checked (a subfilter not known,
// or a helper without the means), not matching the bytes it covers,
// matching but from a signer no trusted root vouches for, or trusted.
enum class SignatureCheck : quint8 { NotChecked = 0, Mismatch = 1, Untrusted = 2, Trusted = 3 };

// One signature. The signer is the name its certificate claims (empty
// where none could be read), the time the signing time it states, or the
// document's /M where it states none (invalid where neither reads). The
// detail says why it is not checked or not trusted, as far as known. Texts
// are at most MaxSignatureTextUnits.
struct SignatureRecord {
    QString subFilter;
    QString signer;
    QDateTime signedAt;
    QString reason;
    SignedRange range = SignedRange::Invalid;
    SignatureCheck check = SignatureCheck::NotChecked;
    QString detail;
};
QDataStream &operator<<(QDataStream &out, const SignatureRecord &signature);
QDataStream &operator>>(QDataStream &in, SignatureRecord &signature);

// At most MaxSignatures of them, and how many the document has.
struct SignaturesReplyRecord {
    QList<SignatureRecord> signatures;
    qint32 total = 0;
};
QDataStream &operator<<(QDataStream &out, const SignaturesReplyRecord &reply);
// More signatures than the bound or the total, a text past its bound, or a
// range or check of no known kind is corrupt.
QDataStream &operator>>(QDataStream &in, SignaturesReplyRecord &reply);

// At most MaxPageChars characters, one UTF-16 unit each (U+FFFD for one
// beyond the basic plane), and boxes[i] the box of text[i] in page space,
// empty for a character pdfium gives none (a line break it put there).
// frame is the page's; page is -1 when the page asked for does not exist.
struct PageTextRecord {
    qint32 page = -1;
    QTransform frame;
    QString text;
    QList<QRectF> boxes;
    bool cut = false;
};
QDataStream &operator<<(QDataStream &out, const PageTextRecord &record);
// More characters than the bound, or not one box a character, is corrupt.
QDataStream &operator>>(QDataStream &in, PageTextRecord &record);

// Reads the page sizes of a PageSizesReply. A count larger than the bytes
// that follow could hold is not believed: reading stops where the bytes do,
// with the stream status set.
QList<QSize> readPageSizes(QDataStream &in);
// Reads the strings of an OutlineToolTipsReply the same careful way.
QStringList readToolTips(QDataStream &in);
