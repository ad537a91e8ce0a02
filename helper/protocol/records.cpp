#include "records.h"

#include "contract.h"
#include "pngwriter.h"

#include <QIODevice>

#include <algorithm>
#include <initializer_list>

namespace {

// Deeper nesting than this in a received outline is taken as corrupt data
// rather than recursed into.
constexpr int MaxReadDepth = 1024;

void readNodes(QDataStream &in, QList<BookmarkNode> &nodes, int depth);

void readNode(QDataStream &in, BookmarkNode &node, int depth)
{
    node = BookmarkNode();
    if (depth > MaxReadDepth) {
        in.setStatus(QDataStream::ReadCorruptData);
        return;
    }
    in >> node.title >> node.pageIndex;
    readNodes(in, node.children, depth + 1);
}

void readNodes(QDataStream &in, QList<BookmarkNode> &nodes, int depth)
{
    nodes.clear();
    quint32 count = 0;
    in >> count;
    // The count is not trusted for a reservation: a damaged packet must not
    // make the reader allocate for entries that are not there.
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        BookmarkNode node;
        readNode(in, node, depth);
        if (in.status() != QDataStream::Ok)
            break;
        nodes.append(std::move(node));
    }
}

} // namespace

QDataStream &operator<<(QDataStream &out, PacketType type)
{
    return out << static_cast<quint8>(type);
}

QDataStream &operator>>(QDataStream &in, PacketType &type)
{
    quint8 value = 0;
    in >> value;
    type = static_cast<PacketType>(value);
    return in;
}

void writeReplyImage(QDataStream &out, const QImage &image)
{
    // The form of out << image (marker, then a PNG file that Qt reads back
    // to an equal image), written several times faster for rendered pages.
    PngWriter::writeImageField(out, image);
}

QDataStream &operator<<(QDataStream &out, const PageRequest &request)
{
    out << request.pageIndex << request.tag << request.token << request.annotations
        << request.invert << request.rotation << request.size;
    writeReplyImage(out, request.image);
    return out;
}

QDataStream &operator>>(QDataStream &in, PageRequest &request)
{
    // A short packet is not rejected: what cannot be read comes out as the
    // stream's past-the-end values (0, false, a null image).
    return readPageRequestHead(in, request) >> request.image;
}

QDataStream &readPageRequestHead(QDataStream &in, PageRequest &request)
{
    return in >> request.pageIndex >> request.tag >> request.token >> request.annotations >> request.invert
        >> request.rotation >> request.size;
}

QDataStream &operator<<(QDataStream &out, const TileRecord &record)
{
    return out << record.page << record.tile;
}

QDataStream &operator>>(QDataStream &in, TileRecord &record)
{
    return in >> record.page >> record.tile;
}

QDataStream &operator<<(QDataStream &out, const SharedAreaOfferRecord &offer)
{
    return out << offer.name << offer.size << offer.handle;
}

QDataStream &operator>>(QDataStream &in, SharedAreaOfferRecord &offer)
{
    in >> offer.name >> offer.size;
    // An offer from before handles were handed over ends here: it names its area.
    qint64 handle = -1;
    if (!in.atEnd())
        in >> handle;
    offer.handle = in.status() == QDataStream::Ok ? handle : -1;
    return in;
}

QDataStream &operator<<(QDataStream &out, const SharedImage &image)
{
    return out << image.offset << image.width << image.height << image.bytesPerLine << image.format;
}

QDataStream &operator>>(QDataStream &in, SharedImage &image)
{
    return in >> image.offset >> image.width >> image.height >> image.bytesPerLine >> image.format;
}

QDataStream &operator<<(QDataStream &out, const BookmarkNode &node)
{
    return out << node.title << node.pageIndex << node.children;
}

QDataStream &operator>>(QDataStream &in, BookmarkNode &node)
{
    readNode(in, node, 0);
    return in;
}

QList<BookmarkNode> readBookmarkNodes(QDataStream &in)
{
    QList<BookmarkNode> nodes;
    readNodes(in, nodes, 0);
    return nodes;
}

namespace {

// Whether every text read is within its bound.
bool allWithin(std::initializer_list<const QString *> texts, qsizetype bound)
{
    return std::all_of(texts.begin(), texts.end(), [bound](const QString *text) { return text->size() <= bound; });
}

// A list as QDataStream writes it (a count, then each item), read without
// believing the count: nothing is reserved beyond what the bytes left could
// hold, and reading stops where the bytes do.
template <typename T>
QList<T> readBoundedList(QDataStream &in, qint64 smallestItem)
{
    quint32 count = 0;
    in >> count;
    QList<T> items;
    const qint64 left = in.device() ? in.device()->bytesAvailable() : 0;
    items.reserve(qsizetype(qMin<qint64>(count, left / smallestItem)));
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        T item;
        in >> item;
        if (in.status() == QDataStream::Ok)
            items.append(item);
    }
    return items;
}

} // namespace

QDataStream &operator<<(QDataStream &out, const SearchRequestRecord &request)
{
    return out << request.token << request.query << request.matchCase << request.startPage;
}

QDataStream &operator>>(QDataStream &in, SearchRequestRecord &request)
{
    return in >> request.token >> request.query >> request.matchCase >> request.startPage;
}

QDataStream &operator<<(QDataStream &out, const SearchReplyRecord &reply)
{
    return out << reply.token << reply.page << reply.pagesSearched << reply.pageCount << reply.frame << reply.hits
               << reply.done << reply.cut;
}

QDataStream &operator>>(QDataStream &in, SearchReplyRecord &reply)
{
    in >> reply.token >> reply.page >> reply.pagesSearched >> reply.pageCount >> reply.frame;
    reply.hits.clear();
    quint32 hits = 0;
    in >> hits;
    qint64 rects = 0;
    for (quint32 i = 0; i < hits && in.status() == QDataStream::Ok; ++i) {
        if (i >= quint32(MaxSearchHits)) {
            in.setStatus(QDataStream::ReadCorruptData);
            break;
        }
        QList<QRectF> hit = readBoundedList<QRectF>(in, 32);
        rects += hit.size();
        if (rects > MaxSearchRects)
            in.setStatus(QDataStream::ReadCorruptData);
        if (in.status() == QDataStream::Ok)
            reply.hits.append(hit);
    }
    return in >> reply.done >> reply.cut;
}

QDataStream &operator<<(QDataStream &out, const LinksReplyRecord &reply)
{
    out << reply.page << reply.frame << quint32(reply.links.size());
    for (const LinkRecord &link : reply.links)
        out << link.kind << link.rects << link.page << link.hasX << link.hasY << link.at << link.targetFrame
            << link.target << link.written;
    return out << reply.cut;
}

QDataStream &operator>>(QDataStream &in, LinksReplyRecord &reply)
{
    in >> reply.page >> reply.frame;
    reply.links.clear();
    quint32 count = 0;
    in >> count;
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        if (i >= quint32(MaxPageLinks)) {
            in.setStatus(QDataStream::ReadCorruptData);
            break;
        }
        LinkRecord link;
        in >> link.kind;
        link.rects = readBoundedList<QRectF>(in, 32);
        in >> link.page >> link.hasX >> link.hasY >> link.at >> link.targetFrame >> link.target >> link.written;
        if (link.rects.size() > MaxLinkRects || link.target.size() > MaxLinkTargetUnits)
            in.setStatus(QDataStream::ReadCorruptData);
        if (in.status() == QDataStream::Ok)
            reply.links.append(link);
    }
    return in >> reply.cut;
}

QDataStream &operator<<(QDataStream &out, const TextRequestRecord &request)
{
    return out << request.token << request.page << request.from << request.to << quint8(request.extent);
}

QDataStream &operator>>(QDataStream &in, TextRequestRecord &request)
{
    quint8 extent = 0;
    in >> request.token >> request.page >> request.from >> request.to >> extent;
    request.extent = extent <= quint8(TextExtent::Whole) ? TextExtent(extent) : TextExtent::Between;
    return in;
}

QDataStream &operator<<(QDataStream &out, const TextReplyRecord &reply)
{
    return out << reply.token << reply.page << reply.frame << reply.first << reply.count << reply.rects << reply.text
               << reply.cut;
}

QDataStream &operator>>(QDataStream &in, TextReplyRecord &reply)
{
    in >> reply.token >> reply.page >> reply.frame >> reply.first >> reply.count;
    reply.rects = readBoundedList<QRectF>(in, 32);
    in >> reply.text >> reply.cut;
    if (reply.rects.size() > MaxSearchRects || reply.text.size() > MaxCopiedUnits)
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const StretchRecord &stretch)
{
    return out << stretch.first << stretch.count;
}

QDataStream &operator>>(QDataStream &in, StretchRecord &stretch)
{
    return in >> stretch.first >> stretch.count;
}

QDataStream &operator<<(QDataStream &out, const PageSizesRangeReplyRecord &reply)
{
    return out << reply.pageCount << reply.first << reply.sizes;
}

QDataStream &operator>>(QDataStream &in, PageSizesRangeReplyRecord &reply)
{
    in >> reply.pageCount >> reply.first;
    reply.sizes = readBoundedList<QSize>(in, 8);
    if (reply.pageCount < 0 || reply.pageCount > MaxPageCount || reply.first < 0
        || reply.sizes.size() > MaxPageSizesPerRange || qint64(reply.first) + reply.sizes.size() > reply.pageCount)
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const OutlineEntryRecord &entry)
{
    return out << entry.depth << entry.title << entry.pageIndex << entry.toolTip;
}

QDataStream &operator>>(QDataStream &in, OutlineEntryRecord &entry)
{
    in >> entry.depth >> entry.title >> entry.pageIndex >> entry.toolTip;
    if (entry.depth < 0 || entry.depth >= MaxOutlineDepth || entry.pageIndex < -1
        || entry.title.size() > MaxOutlineTextUnits || entry.toolTip.size() > MaxOutlineTextUnits)
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const OutlinePieceReplyRecord &reply)
{
    return out << reply.first << reply.entries << static_cast<quint8>(reply.end);
}

QDataStream &operator>>(QDataStream &in, OutlinePieceReplyRecord &reply)
{
    in >> reply.first;
    // An entry is at least its two numbers and two empty strings' lengths.
    reply.entries = readBoundedList<OutlineEntryRecord>(in, 16);
    quint8 end = 0;
    in >> end;
    reply.end = static_cast<OutlineEnd>(end);
    qsizetype units = 0;
    for (const OutlineEntryRecord &entry : std::as_const(reply.entries))
        units += entry.title.size() + entry.toolTip.size();
    if (reply.first < 0 || reply.entries.size() > MaxOutlinePieceEntries
        || units > MaxOutlinePieceUnits + 2 * MaxOutlineTextUnits || end > static_cast<quint8>(OutlineEnd::Broken))
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const PropertiesRecord &p)
{
    return out << p.title << p.author << p.subject << p.keywords << p.creator << p.producer << p.created << p.modified
               << p.version << p.pageCount << p.firstPageSize << p.fileSize << p.securityRevision << p.permissions
               << p.formType << p.tagged;
}

QDataStream &operator>>(QDataStream &in, PropertiesRecord &p)
{
    in >> p.title >> p.author >> p.subject >> p.keywords >> p.creator >> p.producer >> p.created >> p.modified
        >> p.version >> p.pageCount >> p.firstPageSize >> p.fileSize >> p.securityRevision >> p.permissions
        >> p.formType >> p.tagged;
    const bool textsFit = allWithin({&p.title, &p.author, &p.subject, &p.keywords, &p.creator, &p.producer},
                                    MaxPropertyUnits);
    const bool sizeFits = p.firstPageSize.isEmpty()
        || (p.firstPageSize.width() > 0 && p.firstPageSize.width() <= MaxPropertyPageSide
            && p.firstPageSize.height() > 0 && p.firstPageSize.height() <= MaxPropertyPageSide);
    if (!textsFit || !sizeFits || p.version < 0 || p.version > 99 || p.pageCount < 0 || p.pageCount > MaxPageCount
        || p.fileSize < 0 || p.securityRevision < -1 || p.formType < 0 || p.formType > 3)
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const AttachmentRecord &a)
{
    return out << a.page << a.index << a.name << a.description << a.declaredSize << a.modified;
}

QDataStream &operator>>(QDataStream &in, AttachmentRecord &a)
{
    in >> a.page >> a.index >> a.name >> a.description >> a.declaredSize >> a.modified;
    if (a.page < -1 || a.page >= MaxPageCount || a.index < 0 || a.name.size() > MaxAttachmentTextUnits
        || a.description.size() > MaxAttachmentTextUnits || a.declaredSize < -1)
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const AttachmentsReplyRecord &reply)
{
    return out << reply.files << reply.nextPage;
}

QDataStream &operator>>(QDataStream &in, AttachmentsReplyRecord &reply)
{
    reply.files = readBoundedList<AttachmentRecord>(in, 24);
    in >> reply.nextPage;
    if (reply.files.size() > MaxAttachments || reply.nextPage < -1 || reply.nextPage >= MaxPageCount)
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const AttachmentPieceRequestRecord &r)
{
    return out << r.page << r.index << r.offset;
}

QDataStream &operator>>(QDataStream &in, AttachmentPieceRequestRecord &r)
{
    return in >> r.page >> r.index >> r.offset;
}

QDataStream &operator<<(QDataStream &out, const AttachmentPieceReplyRecord &p)
{
    return out << p.at << p.size << p.bytes;
}

QDataStream &operator>>(QDataStream &in, AttachmentPieceReplyRecord &p)
{
    in >> p.at >> p.size >> p.bytes;
    const qint64 offset = p.at.offset;
    if (p.size < -1 || p.size > MaxAttachmentBytes || offset < 0 || p.bytes.size() > MaxAttachmentPieceBytes
        || (p.size >= 0 && offset > p.size - p.bytes.size()) || (p.size < 0 && !p.bytes.isEmpty()))
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const SignatureRecord &s)
{
    return out << s.subFilter << s.signer << s.signedAt << s.reason << quint8(s.range) << quint8(s.check) << s.detail;
}

QDataStream &operator>>(QDataStream &in, SignatureRecord &s)
{
    quint8 range = 0;
    quint8 check = 0;
    in >> s.subFilter >> s.signer >> s.signedAt >> s.reason >> range >> check >> s.detail;
    s.range = SignedRange(range);
    s.check = SignatureCheck(check);
    const bool textsFit = allWithin({&s.subFilter, &s.signer, &s.reason, &s.detail}, MaxSignatureTextUnits);
    if (!textsFit || range > quint8(SignedRange::Invalid) || check > quint8(SignatureCheck::Trusted))
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const SignaturesReplyRecord &reply)
{
    return out << reply.signatures << reply.total;
}

QDataStream &operator>>(QDataStream &in, SignaturesReplyRecord &reply)
{
    // A signature is at least its four empty strings, a date and two bytes.
    reply.signatures = readBoundedList<SignatureRecord>(in, 24);
    in >> reply.total;
    if (reply.signatures.size() > MaxSignatures || reply.total < reply.signatures.size())
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QDataStream &operator<<(QDataStream &out, const PageTextRecord &r)
{
    return out << r.page << r.frame << r.text << r.boxes << r.cut;
}

QDataStream &operator>>(QDataStream &in, PageTextRecord &r)
{
    in >> r.page >> r.frame >> r.text;
    if (r.text.size() > MaxPageChars) {
        in.setStatus(QDataStream::ReadCorruptData);
        return in;
    }
    r.boxes = readBoundedList<QRectF>(in, 32);
    in >> r.cut;
    if (r.page < -1 || r.boxes.size() != r.text.size())
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}

QList<QSize> readPageSizes(QDataStream &in)
{
    return readBoundedList<QSize>(in, 8);
}

QStringList readToolTips(QDataStream &in)
{
    return readBoundedList<QString>(in, 4);
}
