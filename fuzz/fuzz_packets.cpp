// Feeds arbitrary bytes to the page provider as the stream of packets that
// the preview application sends, with the engine serving a small real
// document: framing, record decoding, dispatch, rendering, outline and reply
// building all run as in the helper, only the socket is replaced by two
// in-memory devices.
//
// Input: the first byte is the delivery piece size (0: everything arrives at
// once, n: the stream arrives in pieces of n bytes, each followed by a call
// of the provider, as a slow peer would deliver it); the rest is the stream.
//
// Besides crashes, sanitizer reports and leaks, these count as findings:
// - a reply whose length prefix does not match its size, or of a type the
//   helper must not send;
// - a number of replies other than the number of complete render and outline
//   requests in the stream;
// - a render reply that does not echo its request's fields (tag, token and the
//   rest, as the record decoder reads them from the request);
// - an outline or page-size reply that differs from the one to a clean
//   request.

#include "fuzzapp.h"
#include "contract.h"
#include "framing.h"
#include "records.h"
#include "pdfpageprovider.h"
#include "sharedarea.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QHash>
#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#ifndef PDFHELPER_FUZZ_DOCUMENT
#error "PDFHELPER_FUZZ_DOCUMENT must name the document the provider serves"
#endif

namespace {

// Requested images are cut down to this many pixels a side before the
// provider sees them. The helper renders whatever size it is asked for; a fuzz
// run should find faults, not spend its time and memory on huge pages.
constexpr qint32 MaxSide = 256;

// Only this many packets of an input are delivered: a long input of small
// render requests would otherwise run into the fuzzer's time limit without
// exercising anything that a shorter one does not.
constexpr int MaxPackets = 64;

// Offsets in a render request, counted from the type byte.
constexpr int WidthOffset = 1 + 4 + 4 + 8 + 1 + 1 + 4;
constexpr int EchoedSize = 4 + 4 + 8 + 1 + 1 + 4 + 8; // every field before the image

[[noreturn]] void finding(const char *what)
{
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

// A pipe end as the socket looks to the provider: sequential, with only what
// has been delivered so far available.
class Delivery : public QIODevice
{
public:
    Delivery() { open(QIODevice::ReadOnly); }
    void deliver(const QByteArray &bytes) { m_pending += bytes; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_pending.size() + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_pending.size());
        if (n == 0)
            return 0; // an empty packet is read with read(0), which passes no buffer
        std::memcpy(data, m_pending.constData(), size_t(n));
        m_pending.remove(0, qsizetype(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_pending;
};

struct Packet {
    quint8 type = 0;
    QByteArray body; // after the type byte
};

// The complete packets of a stream, walked independently of the provider.
// Render requests get their size cut down in place, and the stream is cut
// after MaxPackets packets.
QList<Packet> walkAndCap(QByteArray &stream)
{
    QList<Packet> packets;
    qsizetype at = 0;
    while (stream.size() - at >= 4) {
        if (packets.size() == MaxPackets) {
            stream.truncate(at);
            break;
        }
        const quint32 length = qFromBigEndian<quint32>(stream.constData() + at);
        if (quint64(stream.size() - at - 4) < length)
            break;
        char *packet = stream.data() + at + 4;
        Packet p;
        if (length > 0) {
            p.type = quint8(packet[0]);
            if (p.type == quint8(PacketType::RenderRequest) || p.type == quint8(PacketType::SharedRenderRequest)) {
                for (int offset = WidthOffset; offset + 4 <= qint64(length) && offset <= WidthOffset + 4; offset += 4) {
                    if (qFromBigEndian<qint32>(packet + offset) > MaxSide)
                        qToBigEndian<qint32>(MaxSide, packet + offset);
                }
            }
            p.body = QByteArray(packet + 1, qsizetype(length) - 1);
        }
        packets.append(p);
        at += 4 + qsizetype(length);
    }
    return packets;
}

// The fields a render reply must echo, as the record decoder reads them from
// a request body: a field that is not complete reads as 0, and so does every
// field after it; flags come back as 0 or 1.
QByteArray expectedEcho(const QByteArray &body)
{
    static const int widths[] = {4, 4, 8, 1, 1, 4, 4, 4};
    QByteArray echo(EchoedSize, '\0');
    int at = 0;
    for (int i = 0; i < 8; ++i) {
        if (at + widths[i] > body.size())
            break;
        std::memcpy(echo.data() + at, body.constData() + at, size_t(widths[i]));
        if (widths[i] == 1)
            echo[at] = echo[at] != 0 ? 1 : 0;
        at += widths[i];
    }
    return echo;
}

QList<Packet> splitReplies(const QByteArray &bytes)
{
    QList<Packet> replies;
    qsizetype at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 5)
            finding("a reply shorter than a prefix and a type");
        const quint32 length = qFromBigEndian<quint32>(bytes.constData() + at);
        if (length == 0 || quint64(bytes.size() - at - 4) < length)
            finding("a reply length prefix that does not match the bytes written");
        replies.append({quint8(bytes.at(at + 4)), bytes.mid(at + 5, qsizetype(length) - 1)});
        at += 4 + qsizetype(length);
    }
    return replies;
}

// Bytes at the end of the fuzz run's shared block that are never offered.
constexpr qint64 AreaGuard = 64;

// Fresh for every input, so that no framing state reaches from one input into
// the next.
struct Served {
    Served()
    {
        // No server: the provider gets its bytes through serve() instead.
        if (provider.start(QString(), QStringLiteral(PDFHELPER_FUZZ_DOCUMENT), QString()) != 0)
            finding("the fuzz document does not load");
        replies.open(QIODevice::WriteOnly);
    }
    // Hands the provider a real shared area before the input's own packets,
    // so that the input's shared renders meet the area's bounds checks. The
    // last bytes of the block are not offered: no render may touch them.
    // Each input gets a block of its own, whose name is gone once the
    // provider holds it, so that no run leaves one behind, however it ends.
    void offer()
    {
        if (!area.create(qint64(MaxSide) * MaxSide * 4 + AreaGuard))
            finding("no shared area for the input");
        std::memset(area.data() + area.size() - AreaGuard, 0xA5, AreaGuard);
        requests.deliver(buildPacket(PacketType::SharedAreaOffer,
                                     SharedAreaOfferRecord{area.name(), quint64(area.size() - AreaGuard)}));
        provider.serve(&requests, &replies);
        area.removeName();
        if (replies.data() != QByteArray::fromHex("000000020801"))
            finding("the provider refused a proper shared area");
        replies.buffer().clear();
        replies.seek(0);
    }
    SharedArea area;
    PDFPageProvider provider;
    Delivery requests;
    QBuffer replies;
};

// Whether a reply is of the type expected and holds one record that its
// reader takes, with nothing after it.
template<typename Record>
bool readsWhole(const Packet &reply, PacketType expected, Record &record)
{
    QDataStream in(reply.body);
    in.setVersion(ProtocolStreamVersion);
    in >> record;
    return reply.type == quint8(expected) && in.status() == QDataStream::Ok && in.atEnd();
}

// The reply body to a clean request of a type whose answer does not depend
// on the request's payload.
QByteArray cleanReply(PacketType request, PacketType reply)
{
    Served served;
    served.requests.deliver(buildPacket(request));
    served.provider.serve(&served.requests, &served.replies);
    const QList<Packet> replies = splitReplies(served.replies.data());
    if (replies.size() != 1 || replies.first().type != quint8(reply))
        finding("no reply of the right type to a clean request");
    if (replies.first().body.size() <= 4)
        finding("the fuzz document has no outline or no pages");
    return replies.first().body;
}

struct Environment {
    Environment()
    {
        qInstallMessageHandler(silenceQtMessages);
        // The provider's trace is of no interest here, and printing it would
        // cost more than many of the requests.
        std::cout.rdbuf(nullptr);
        fixedReplies.insert(quint8(PacketType::BookmarksRequest),
                            {quint8(PacketType::BookmarksReply),
                             cleanReply(PacketType::BookmarksRequest, PacketType::BookmarksReply)});
        fixedReplies.insert(quint8(PacketType::OutlineToolTipsRequest),
                            {quint8(PacketType::OutlineToolTipsReply),
                             cleanReply(PacketType::OutlineToolTipsRequest, PacketType::OutlineToolTipsReply)});
        fixedReplies.insert(quint8(PacketType::PageSizesRequest),
                            {quint8(PacketType::PageSizesReply),
                             cleanReply(PacketType::PageSizesRequest, PacketType::PageSizesReply)});
    }
    // Request type -> reply type and the reply's body, for the requests
    // whose answer is always the same.
    QHash<quint8, Packet> fixedReplies;
};


} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Environment &env = fuzzEnvironment<Environment>("fuzz_packets");
    if (size == 0)
        return 0;
    const int piece = data[0];
    QByteArray stream(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const QList<Packet> requests = walkAndCap(stream);

    Served served;
    served.offer();
    if (piece == 0) {
        served.requests.deliver(stream);
        served.provider.serve(&served.requests, &served.replies);
    } else {
        for (qsizetype at = 0; at < stream.size(); at += piece) {
            served.requests.deliver(stream.mid(at, piece));
            served.provider.serve(&served.requests, &served.replies);
        }
    }

    const QList<Packet> replies = splitReplies(served.replies.data());
    qsizetype next = 0;
    for (const Packet &request : requests) {
        const bool render = request.type == quint8(PacketType::RenderRequest);
        const bool sharedRender = request.type == quint8(PacketType::SharedRenderRequest);
        const bool tile = request.type == quint8(PacketType::TileRequest);
        const bool sharedTile = request.type == quint8(PacketType::SharedTileRequest);
        const bool offer = request.type == quint8(PacketType::SharedAreaOffer);
        // Acknowledged at once; the pages follow from the event loop, which
        // does not run here.
        const bool search = request.type == quint8(PacketType::SearchRequest);
        const bool links = request.type == quint8(PacketType::LinksRequest);
        const bool text = request.type == quint8(PacketType::TextRequest);
        const bool colours = request.type == quint8(PacketType::PageColoursRequest);
        const bool sizes = request.type == quint8(PacketType::PageSizesRangeRequest);
        const bool outline = request.type == quint8(PacketType::OutlinePieceRequest);
        const bool properties = request.type == quint8(PacketType::PropertiesRequest);
        const bool attachments = request.type == quint8(PacketType::AttachmentsRequest);
        const bool attachmentPiece = request.type == quint8(PacketType::AttachmentPieceRequest);
        const bool signatures = request.type == quint8(PacketType::SignaturesRequest);
        const bool pageText = request.type == quint8(PacketType::PageTextRequest);
        const auto fixed = env.fixedReplies.constFind(request.type);
        if (!render && !sharedRender && !tile && !sharedTile && !offer && !search && !links && !text && !colours
            && !sizes && !outline && !properties && !attachments && !attachmentPiece && !signatures && !pageText
            && fixed == env.fixedReplies.cend())
            continue;
        if (next == replies.size())
            finding("a request without a reply");
        const Packet &reply = replies.at(next++);
        if (render || sharedRender || tile || sharedTile) {
            const auto expected = render ? PacketType::RenderReply
                : sharedRender           ? PacketType::SharedRenderReply
                : tile                   ? PacketType::TileReply
                                         : PacketType::SharedTileReply;
            if (reply.type != quint8(expected))
                finding("a render request answered with another packet type");
            if (reply.body.left(EchoedSize) != expectedEcho(request.body))
                finding("a render reply that does not echo its request");
        } else if (links || text) {
            if (reply.type != quint8(links ? PacketType::LinksReply : PacketType::TextReply))
                finding("a links or text request answered with another packet type");
        } else if (search) {
            // A token cut short reads as 0.
            const QByteArray token = request.body.size() >= 8 ? request.body.left(8) : QByteArray(8, '\0');
            if (reply.type != quint8(PacketType::SearchReply) || reply.body.left(8) != token)
                finding("a search answered with something else than its acknowledgement");
        } else if (colours) {
            // Whatever was asked, what is in effect is night, sepia or normal.
            if (reply.type != quint8(PacketType::PageColoursReply) || reply.body.size() != 1
                || !(reply.body.at(0) == 0 || reply.body.at(0) == 2 || reply.body.at(0) == 3))
                finding("page colours answered with something else than colours in effect");
        } else if (sizes) {
            // The record reader refuses a stretch past the page count or the
            // bound.
            PageSizesRangeReplyRecord record;
            if (!readsWhole(reply, PacketType::PageSizesRangeReply, record))
                finding("a stretch of page sizes answered with something else than a stretch of the pages");
        } else if (outline) {
            // The record reader refuses a piece past its bounds and an entry
            // too deep; the outline opens at the top and goes down one level
            // at a time.
            OutlinePieceReplyRecord record;
            bool nests = readsWhole(reply, PacketType::OutlinePieceReply, record);
            qint32 depth = record.first == 0 ? -1 : MaxOutlineDepth;
            for (const OutlineEntryRecord &entry : std::as_const(record.entries)) {
                nests = nests && entry.depth <= depth + 1;
                depth = entry.depth;
            }
            if (!nests)
                finding("an outline piece answered with something else than a piece of the outline");
        } else if (properties) {
            // Whatever the request carried, the record reads back whole.
            PropertiesRecord record;
            if (!readsWhole(reply, PacketType::PropertiesReply, record))
                finding("properties answered with something else than the document's properties");
        } else if (attachments) {
            AttachmentsReplyRecord record;
            if (!readsWhole(reply, PacketType::AttachmentsReply, record))
                finding("attachments answered with something else than the document's files");
        } else if (attachmentPiece) {
            // The reader refuses a piece past its bound or past the file's end.
            AttachmentPieceReplyRecord record;
            if (!readsWhole(reply, PacketType::AttachmentPieceReply, record))
                finding("an attachment piece answered with something else than a piece of the file");
        } else if (signatures) {
            SignaturesReplyRecord record;
            if (!readsWhole(reply, PacketType::SignaturesReply, record))
                finding("signatures answered with something else than what was found of them");
        } else if (pageText) {
            // One box a character, whatever page was asked for.
            PageTextRecord record;
            if (!readsWhole(reply, PacketType::PageTextReply, record))
                finding("a page's characters answered with something else than its characters and their boxes");
        } else if (offer) {
            if (reply.type != quint8(PacketType::SharedAreaReply) || reply.body.size() != 1)
                finding("an offer answered with something else than yes or no");
        } else {
            if (reply.type != fixed->type)
                finding("a request answered with another packet type");
            if (reply.body != fixed->body)
                finding("a reply that differs from the one to a clean request");
        }
    }
    if (next != replies.size())
        finding("a reply nobody asked for");
    const uchar *guard = served.area.data() + served.area.size() - AreaGuard;
    for (qint64 i = 0; i < AreaGuard; ++i) {
        if (guard[i] != 0xA5)
            finding("a shared render wrote past the page it was given");
    }
    return 0;
}
