#include "pdfpageprovider.h"

#include "contract.h"
#include "framing.h"
#include "records.h"
#include "serverconnector.h"
#include "signaturecheck.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QLocalSocket>
#include <QStandardItem>
#include <QTimer>

#include "trace.h"
#include <algorithm>
#include <memory>

PDFPageProvider::PDFPageProvider(QObject *parent)
    : QObject(parent)
    , socket(nullptr)
    , engine(QLatin1String(""))
    , expectedSize(0)
{
    // A search reads pages of its own; the reading ahead waits for it.
    m_readAhead.setBusy([this] { return m_search.has_value(); });
}

PDFPageProvider::~PDFPageProvider() = default;

int PDFPageProvider::start(const QString &serverName, const QString &documentPath,
                           const QString &password)
{
    if (!socket) {
        socket = new QLocalSocket(this);
        connector = new ServerConnector(socket, this);
        connector->adopt(m_inheritedConnection);
        connect(connector, &ServerConnector::connected, this, [this] {
            everConnected = true;
            // Before the first packet is read: from here on, nothing connects.
            if (m_stages.connected)
                m_stages.connected();
            traceLine("connected ", connector->fullServerName().toStdString());
        });
        // Held by the application rather than the provider, so that a lost
        // connection still ends the event loop when the provider is deleted
        // (its socket closes as the provider's child goes).
        connect(socket, &QLocalSocket::disconnected, QCoreApplication::instance(), [] {
            traceLine("disconnected ");
            QCoreApplication::quit();
        });
        connect(socket, &QLocalSocket::readyRead, this, &PDFPageProvider::onReadyRead);
        // A server that is not there, or never accepts, would otherwise
        // leave the helper waiting for ever. Queued, because connecting may
        // fail inside start, before the event loop runs to end.
        connect(connector, &ServerConnector::failed, this, [this](const QString &why) {
            if (!everConnected)
                giveUpConnecting(why);
        }, Qt::QueuedConnection);
    }

    engine.prepare();
    // The socket and the open document are all the helper needs from the
    // file system and the network: both exist before the document's first
    // byte is parsed, and the sandbox closes everything else. The socket is
    // made inside the helper's own namespaces, so that it can reach nothing
    // but the server's socket file; a connection handed over needs neither.
    bool loaded = false;
    if (engine.openFile(documentPath)) {
        m_verifier.openTrustStore();
        if (m_stages.beforeSocket)
            m_stages.beforeSocket(connector->adopted() ? QString() : ServerConnector::fullServerNameFor(serverName));
        const int connectDescriptor = connector->prepare();
        if (m_stages.beforeParse)
            m_stages.beforeParse(connectDescriptor);
        loaded = engine.loadOpenedFile(password) == QPdfium::Success;
    }
    if (!loaded) {
        traceLine("load err");
        return HelperExit::ServerLoadFailed;
    }
    connector->connectTo(serverName);
    QTimer::singleShot(ServerConnectMsecs, this, [this] {
        if (!everConnected)
            giveUpConnecting(QStringLiteral("no connection within %1 ms").arg(ServerConnectMsecs));
    });
    return 0;
}

void PDFPageProvider::giveUpConnecting(const QString &why)
{
    if (gaveUp)
        return;
    gaveUp = true;
    traceLine("server not reached ", why.toStdString());
    QCoreApplication::exit(HelperExit::ServerUnreachable);
}

void PDFPageProvider::onReadyRead()
{
    serve(socket, socket);
}

void PDFPageProvider::serve(QIODevice *in, QIODevice *out)
{
    readPackets(in, expectedSize, [this, out](PacketType type, QDataStream &payload) {
        m_readAhead.requestArrived();
#ifndef PDFHELPER_WITHOUT_SHARED_AREA
        // The search's replies go on after this call: they need the device.
        const QByteArray reply = type == PacketType::SearchRequest ? serveSearch(payload, out) : handlePacket(type, payload);
#else
        const QByteArray reply = handlePacket(type, payload);
#endif
        if (!reply.isEmpty())
            out->write(reply);
    });
}

QByteArray PDFPageProvider::handlePacket(PacketType type, QDataStream &payload)
{
    switch (type) {
    case PacketType::RenderRequest:
        return serveRender(payload);
    case PacketType::BookmarksRequest:
        return serveBookmarks();
    case PacketType::PageSizesRequest:
        return servePageSizes();
#ifndef PDFHELPER_WITHOUT_SHARED_AREA
    case PacketType::PageSizesRangeRequest:
        return servePageSizesRange(payload);
    case PacketType::OutlinePieceRequest:
        return serveOutlinePiece(payload);
    case PacketType::PropertiesRequest:
        return serveProperties();
    case PacketType::SignaturesRequest:
        return serveSignatures();
    case PacketType::AttachmentsRequest:
        return serveAttachments(payload);
    case PacketType::AttachmentPieceRequest:
        return serveAttachmentPiece(payload);
#endif
    case PacketType::OutlineToolTipsRequest:
        return serveBookmarks(true);
#ifndef PDFHELPER_WITHOUT_SHARED_AREA
    case PacketType::SearchCancel:
        serveSearchCancel(payload);
        return QByteArray();
    case PacketType::LinksRequest:
        return serveLinks(payload);
    case PacketType::PageTextRequest:
        return servePageText(payload);
    case PacketType::TextRequest:
        return serveText(payload);
    case PacketType::PageColoursRequest:
        return servePageColours(payload);
    case PacketType::TextReadAhead:
        traceLine("reading text ahead");
        m_readAhead.start();
        return QByteArray();
    case PacketType::SharedAreaOffer:
        return serveAreaOffer(payload);
    case PacketType::SharedRenderRequest:
        return serveSharedRender(payload);
    case PacketType::TileRequest:
        return serveTile(payload);
    case PacketType::SharedTileRequest:
        return serveSharedTile(payload);
#else
    // Built as helpers were before the shared area (and tiles and search),
    // for the preview side's tests of its fall-back.
    case PacketType::SearchCancel:
    case PacketType::LinksRequest:
    case PacketType::TextRequest:
    case PacketType::PageColoursRequest:
    case PacketType::TextReadAhead:
    case PacketType::SharedAreaOffer:
    case PacketType::SharedRenderRequest:
    case PacketType::TileRequest:
    case PacketType::SharedTileRequest:
    case PacketType::PageSizesRangeRequest:
    case PacketType::OutlinePieceRequest:
    case PacketType::PropertiesRequest:
    case PacketType::AttachmentsRequest:
    case PacketType::AttachmentPieceRequest:
    case PacketType::SignaturesRequest:
    case PacketType::PageTextRequest:
#endif
    case PacketType::RenderReply:
    case PacketType::BookmarksReply:
    case PacketType::PageSizesReply:
    case PacketType::SharedAreaReply:
    case PacketType::SharedRenderReply:
    case PacketType::OutlineToolTipsReply:
    case PacketType::TileReply:
    case PacketType::SharedTileReply:
    case PacketType::SearchRequest: // served by serve(), which knows where replies go
    case PacketType::SearchReply:
    case PacketType::LinksReply:
    case PacketType::TextReply:
    case PacketType::PageColoursReply:
    case PacketType::PageSizesRangeReply:
    case PacketType::OutlinePieceReply:
    case PacketType::PropertiesReply:
    case PacketType::AttachmentsReply:
    case PacketType::AttachmentPieceReply:
    case PacketType::SignaturesReply:
    case PacketType::PageTextReply:
        break;
    }
    traceLine("unexpected packet type ", static_cast<unsigned>(type));
    return QByteArray();
}

QByteArray PDFPageProvider::serveRender(QDataStream &payload)
{
    PageRequest request;
    payload >> request;
    traceLine("rendering page ", request.pageIndex);
    request.image = renderPage(request, nullptr);

    QByteArray packet;
    try {
        packet = buildPacket(PacketType::RenderReply, request);
    } catch (...) {
        // An image that could be rendered but whose reply does not fit into
        // the memory left is answered like a failed render, rather than
        // ending the helper with an uncaught allocation failure.
        request.image = QImage();
        packet = buildPacket(PacketType::RenderReply, request);
    }
    traceLine("sending back ", packet.size());
    return packet;
}

QByteArray PDFPageProvider::serveTile(QDataStream &payload)
{
    TileRecord record;
    payload >> record;
    record.page.image = QImage();
    traceLine("rendering tile of page ", record.page.pageIndex);
    m_readAhead.lookedAt(record.page.pageIndex);
    // Every number is the engine's to check: the tile inside the page, the
    // page within its side bound, the tile within the image bound; anything
    // else is a null image.
    QImage image = engine.tile(static_cast<unsigned int>(record.page.pageIndex), record.page.size, record.tile,
                               record.page.annotations, record.page.rotation / 90);
    if (record.page.invert)
        image.invertPixels(QImage::InvertRgb);
    applyColours(image, record.page, record.tile);
    record.page.image = std::move(image);
    QByteArray packet;
    try {
        packet = buildPacket(PacketType::TileReply, record);
    } catch (...) {
        record.page.image = QImage();
        packet = buildPacket(PacketType::TileReply, record);
    }
    traceLine("sending back ", packet.size());
    return packet;
}

QByteArray PDFPageProvider::serveSearch(QDataStream &payload, QIODevice *out)
{
    SearchRequestRecord request;
    payload >> request;
    // A new search ends the one before, which gets nothing more.
    m_search.reset();
    SearchReplyRecord ack{request.token, -1, 0, qMax(0, engine.pageCount()), QTransform(), {}, false, false};
    traceLine("searching ", ack.pageCount, " pages");
    if (request.query.isEmpty() || request.query.size() > MaxQueryUnits || ack.pageCount == 0) {
        ack.done = true;
        ack.cut = request.query.size() > MaxQueryUnits;
        return buildPacket(PacketType::SearchReply, ack);
    }
    // The start page is hostile like every number: taken modulo the count.
    request.startPage = int((qint64(request.startPage) % ack.pageCount + ack.pageCount) % ack.pageCount);
    m_search = Search{request, out, ack.pageCount, 0, 0, 0};
    QTimer::singleShot(0, this, &PDFPageProvider::searchNextPage);
    return buildPacket(PacketType::SearchReply, ack);
}

void PDFPageProvider::serveSearchCancel(QDataStream &payload)
{
    quint64 token = 0;
    payload >> token;
    if (m_search && m_search->request.token == token) {
        traceLine("search cancelled");
        m_search.reset();
    }
}

void PDFPageProvider::searchNextPage()
{
    if (!m_search || !m_search->out)
        return;
    Search &search = *m_search;
    // Pages for a few milliseconds, then back to the event loop: pages whose
    // text is known go by in microseconds, and a reply for each would cost
    // more than the search.
    constexpr int SliceMsecs = 4;
    QElapsedTimer slice;
    slice.start();
    bool told = false;
    bool done = false;
    int page = 0;
    do {
        page = (search.request.startPage + search.searched) % search.pageCount;
        const QPdfium::TextHits found = engine.findOnPage(unsigned(page), search.request.query,
                                                          search.request.matchCase, MaxSearchHits - search.hits,
                                                          MaxSearchRects - search.rects);
        ++search.searched;
        search.hits += int(found.hits.size());
        for (const QList<QRectF> &hit : found.hits)
            search.rects += int(hit.size());
        done = found.cut || search.searched == search.pageCount;
        told = !found.hits.isEmpty() || done;
        if (told) {
            SearchReplyRecord reply{search.request.token, page, search.searched, search.pageCount, {}, found.hits,
                                    done, found.cut};
            reply.frame = found.frame;
            search.out->write(buildPacket(PacketType::SearchReply, reply));
        }
    } while (!done && slice.elapsed() < SliceMsecs);
    if (done) {
        traceLine("searched ", search.searched, " pages, ", search.hits, " hits");
        m_search.reset();
        return;
    }
    // How far it has come, for the window's progress.
    if (!told)
        search.out->write(buildPacket(PacketType::SearchReply,
                                      SearchReplyRecord{search.request.token, page, search.searched, search.pageCount,
                                                        {}, {}, false, false}));
    QTimer::singleShot(0, this, &PDFPageProvider::searchNextPage);
}

QByteArray PDFPageProvider::servePageText(QDataStream &payload)
{
    qint32 page = -1;
    payload >> page;
    PageTextRecord reply;
    QPdfium::PageCharacters read = page >= 0 ? engine.pageCharacters(unsigned(page), MaxPageChars)
                                             : QPdfium::PageCharacters();
    if (read.frame) {
        reply.page = page;
        reply.frame = *read.frame;
        reply.text = std::move(read.text);
        reply.boxes = std::move(read.boxes);
        reply.cut = read.cut;
    }
    traceLine("sending the characters of page ", page);
    return buildPacket(PacketType::PageTextReply, reply);
}

QByteArray PDFPageProvider::serveLinks(QDataStream &payload)
{
    qint32 page = -1;
    payload >> page;
    LinksReplyRecord reply;
    // The page number is the engine's to check; a page it cannot load has
    // no frame, and is answered as no page.
    const QPdfium::PageLinks found =
        page >= 0 ? engine.pageLinks(unsigned(page), MaxPageLinks, MaxLinkTargetUnits) : QPdfium::PageLinks();
    if (found.frame) {
        reply.page = page;
        reply.frame = *found.frame;
        reply.cut = found.cut;
        // Many links lead to the same few pages: each frame is read once.
        QHash<int, QTransform> frames;
        for (const QPdfium::PageLink &link : found.links) {
            LinkRecord record;
            record.kind = link.kind == QPdfium::PageLink::Kind::Page  ? LinkRecord::Page
                : link.kind == QPdfium::PageLink::Kind::Web           ? LinkRecord::Web
                : link.kind == QPdfium::PageLink::Kind::File          ? LinkRecord::File
                                                                      : LinkRecord::Elsewhere;
            record.rects = link.rects.mid(0, MaxLinkRects);
            record.page = link.page;
            record.hasX = link.hasX;
            record.hasY = link.hasY;
            record.at = link.at;
            if (record.kind == LinkRecord::Page) {
                if (!frames.contains(link.page))
                    frames.insert(link.page, engine.pageFrame(unsigned(link.page)).value_or(QTransform()));
                record.targetFrame = frames.value(link.page);
            }
            record.target = link.target;
            record.written = link.written;
            reply.links.append(record);
        }
    }
    traceLine("sending links ", reply.links.size());
    return buildPacket(PacketType::LinksReply, reply);
}

QByteArray PDFPageProvider::serveText(QDataStream &payload)
{
    TextRequestRecord request;
    payload >> request;
    TextReplyRecord reply;
    reply.token = request.token;
    const bool fromStart = request.extent == TextExtent::FromStart || request.extent == TextExtent::Whole;
    const bool toEnd = request.extent == TextExtent::ToEnd || request.extent == TextExtent::Whole;
    const QPdfium::TextSpan span = request.page >= 0
        ? engine.textBetween(unsigned(request.page), fromStart ? std::nullopt : std::optional<QPointF>(request.from),
                             toEnd ? std::nullopt : std::optional<QPointF>(request.to),
                             request.extent == TextExtent::Word, MaxCopiedUnits)
        : QPdfium::TextSpan();
    if (span.frame) {
        reply.page = request.page;
        reply.frame = *span.frame;
        reply.first = span.first;
        reply.count = span.count;
        reply.rects = span.rects;
        reply.text = span.text;
        reply.cut = span.cut;
    }
    traceLine("sending text ", reply.count);
    return buildPacket(PacketType::TextReply, reply);
}

QByteArray PDFPageProvider::serveBookmarks(bool toolTips)
{
    QList<BookmarkNode> nodes;
    QStringList tips;
    {
        const std::unique_ptr<QStandardItem> root(new QStandardItem);
        // An outline that was not read to its end is sent as no outline at all.
        if (engine.readBookmarks(root.get())) {
            if (toolTips)
                tips = outlineToolTips(root.get());
            else
                nodes = toBookmarkNodes(root.get());
        }
    }
    if (toolTips) {
        QByteArray packet = buildPacket(PacketType::OutlineToolTipsReply, tips);
        traceLine("sending outline tool tips ", tips.size());
        return packet;
    }
    QByteArray packet = buildPacket(PacketType::BookmarksReply, nodes);
    traceLine("sending bookmarks ", nodes.size());
    return packet;
}

QByteArray PDFPageProvider::servePageSizes()
{
    const QList<QSize> sizes = engine.pageSizeAll();
    QByteArray packet = buildPacket(PacketType::PageSizesReply, sizes);
    traceLine("sending page sizes ", sizes.size());
    return packet;
}

QByteArray PDFPageProvider::servePageSizesRange(QDataStream &payload)
{
    PageSizesRangeRecord range;
    payload >> range;
    PageSizesRangeReplyRecord reply;
    reply.pageCount = qBound(0, engine.pageCount(), MaxPageCount);
    // Cut to the pages there are and to the bound, in 64 bits: no sum of
    // two numbers from the packet overflows.
    reply.first = qBound(0, range.first, reply.pageCount);
    const qint64 end = std::min({qint64(reply.first) + qMax(range.count, 0), qint64(reply.first) + MaxPageSizesPerRange,
                                 qint64(reply.pageCount)});
    reply.sizes.reserve(qsizetype(end - reply.first));
    for (qint64 index = reply.first; index < end; ++index) {
        const QSize size = engine.pageSize(int(index));
        // As the whole list has it: one entry a page, whatever pdfium says.
        reply.sizes.append(size.isValid() ? size : QSize(1, 1));
    }
    traceLine("sending page sizes ", reply.first, " to ", end);
    return buildPacket(PacketType::PageSizesRangeReply, reply);
}

QByteArray PDFPageProvider::serveOutlinePiece(QDataStream &payload)
{
    OutlinePieceRecord piece;
    payload >> piece;
    OutlinePieceReplyRecord reply;
    reply.first = qMax(piece.first, 0);
    QList<QPdfium::OutlineEntry> entries;
    const QPdfium::OutlineEnd end = engine.readOutlinePiece(
        reply.first, qBound(0, piece.count, MaxOutlinePieceEntries), MaxOutlinePieceUnits,
        QDeadlineTimer(OutlinePieceMsecs, Qt::PreciseTimer), entries);
    reply.end = end == QPdfium::OutlineEnd::More ? OutlineEnd::More
        : end == QPdfium::OutlineEnd::End        ? OutlineEnd::End
                                                 : OutlineEnd::Broken;
    reply.entries.reserve(entries.size());
    for (const QPdfium::OutlineEntry &entry : std::as_const(entries))
        reply.entries.append(OutlineEntryRecord{entry.depth, entry.title.left(MaxOutlineTextUnits),
                                                qMax(entry.pageIndex, -1), entry.toolTip.left(MaxOutlineTextUnits)});
    traceLine("sending outline entries ", reply.first, " to ", reply.first + reply.entries.size());
    return buildPacket(PacketType::OutlinePieceReply, reply);
}

QByteArray PDFPageProvider::serveProperties()
{
    PropertiesRecord record = engine.documentProperties();
    for (QString *text :
         {&record.title, &record.author, &record.subject, &record.keywords, &record.creator, &record.producer})
        text->truncate(MaxPropertyUnits);
    if (record.version < 0 || record.version > 99)
        record.version = 0;
    record.pageCount = qBound(0, record.pageCount, MaxPageCount);
    // NaN fails both comparisons and leaves the size empty.
    const QSizeF size = record.firstPageSize;
    record.firstPageSize = size.width() > 0 && size.height() > 0
        ? QSizeF(qMin(size.width(), MaxPropertyPageSide), qMin(size.height(), MaxPropertyPageSide))
        : QSizeF();
    record.fileSize = qMax<qint64>(record.fileSize, 0);
    record.securityRevision = qMax(record.securityRevision, -1);
    if (record.formType < 0 || record.formType > 3)
        record.formType = 0;
    traceLine("sending properties");
    return buildPacket(PacketType::PropertiesReply, record);
}

QByteArray PDFPageProvider::serveSignatures()
{
    const SignaturesReplyRecord reply = checkSignatures(engine, m_verifier);
    traceLine("sending signatures ", reply.signatures.size());
    return buildPacket(PacketType::SignaturesReply, reply);
}

QByteArray PDFPageProvider::serveAttachments(QDataStream &payload)
{
    qint32 firstPage = 0;
    payload >> firstPage;
    // An unreadable request asks nothing; a page past the end finds nothing.
    AttachmentsReplyRecord reply;
    if (payload.status() == QDataStream::Ok && firstPage >= 0)
        reply.nextPage = engine.attachments(firstPage, MaxAttachments,
                                            QDeadlineTimer(AttachmentListMsecs, Qt::PreciseTimer), reply.files);
    for (AttachmentRecord &file : reply.files) {
        file.name.truncate(MaxAttachmentTextUnits);
        file.description.truncate(MaxAttachmentTextUnits);
        file.declaredSize = qMax<qint64>(file.declaredSize, -1);
    }
    reply.nextPage = qBound(-1, reply.nextPage, MaxPageCount - 1);
    traceLine("sending ", reply.files.size(), " attachments from page ", firstPage);
    return buildPacket(PacketType::AttachmentsReply, reply);
}

QByteArray PDFPageProvider::serveAttachmentPiece(QDataStream &payload)
{
    AttachmentPieceRequestRecord request;
    payload >> request;
    if (payload.status() != QDataStream::Ok) {
        // Answered as a file that cannot be read, so that no asker waits.
        traceLine("attachment piece request unreadable");
        return buildPacket(PacketType::AttachmentPieceReply, AttachmentPieceReplyRecord{});
    }
    if (request.page != m_attachment.page || request.index != m_attachment.index) {
        // The one kept goes first: two files at the bound would not fit.
        m_attachment = DecodedAttachment{};
        m_attachment = {request.page, request.index,
                        engine.attachmentFile(request.page, request.index, MaxAttachmentBytes)};
    }
    AttachmentPieceReplyRecord reply{request, -1, QByteArray()};
    if (m_attachment.bytes && request.offset >= 0 && request.offset <= m_attachment.bytes->size()) {
        reply.size = m_attachment.bytes->size();
        reply.bytes = m_attachment.bytes->mid(request.offset, MaxAttachmentPieceBytes);
    } else {
        reply.at.offset = qMax<qint64>(request.offset, 0);
    }
    traceLine("sending attachment piece at ", reply.at.offset, " of ", reply.size);
    return buildPacket(PacketType::AttachmentPieceReply, reply);
}

QImage PDFPageProvider::renderPage(const PageRequest &request, QImage *target)
{
    m_readAhead.lookedAt(request.pageIndex);
    // Integer division truncates toward zero: 270 is 3 quarter turns, 45 is
    // none, -90 is -1. The engine decides what it makes of the rest.
    const int quarterTurns = request.rotation / 90;
    const auto index = static_cast<unsigned int>(request.pageIndex);
    const QRect whole(QPoint(0, 0), request.size);
    if (target) {
        // Inverted before anything else holds the image, so that it happens
        // where the pixels are and is not done on a copy.
        if (!engine.renderInto(index, *target, request.annotations, quarterTurns))
            return QImage();
        if (request.invert)
            target->invertPixels(QImage::InvertRgb);
        applyColours(*target, request, whole);
        return *target;
    }
    QImage image = engine.page(index, request.size, request.annotations, quarterTurns);
    if (request.invert)
        image.invertPixels(QImage::InvertRgb);
    applyColours(image, request, whole);
    return image;
}

void PDFPageProvider::applyColours(QImage &image, const PageRequest &request, const QRect &tile)
{
    if (request.invert || !appliedAfterDrawing(m_colours) || image.isNull())
        return;
    if (m_imageAreas.page != request.pageIndex || m_imageAreas.size != request.size
        || m_imageAreas.rotation != request.rotation) {
        m_imageAreas = ImageAreas{request.pageIndex, request.size, request.rotation,
                                  engine.imageRects(static_cast<unsigned int>(request.pageIndex), request.size,
                                                    request.rotation / 90, MaxImageRects)};
    }
    QList<QRect> kept = m_imageAreas.rects;
    for (QRect &rect : kept)
        rect.translate(-tile.topLeft());
    applyPageColours(image, m_colours, kept);
}

QByteArray PDFPageProvider::servePageColours(QDataStream &payload)
{
    quint8 asked = 0;
    payload >> asked;
    // Inverted is the request's own flag; asked for here, it is no colours.
    m_colours = pageColoursFrom(asked);
    if (!appliedAfterDrawing(m_colours))
        m_colours = PageColours::Normal;
    traceLine("page colours ", static_cast<unsigned>(m_colours));
    return buildPacket(PacketType::PageColoursReply, quint8(m_colours));
}

QByteArray PDFPageProvider::serveAreaOffer(QDataStream &payload)
{
    SharedAreaOfferRecord offer;
    payload >> offer;
    area.close();
    // A handle handed over is taken even when the offer is refused, so that
    // none is left over for the next offer to find.
    const qintptr handle = offer.handle >= 0 ? m_areaHandOver.receive(offer.handle) : -1;
    const bool sized = offer.size > 0 && offer.size <= quint64(MaxSharedAreaBytes);
    bool accepted = false;
    if (offer.handle >= 0)
        accepted = handle >= 0 && area.adopt(handle, sized ? qint64(offer.size) : 0);
    else
        accepted = sized && area.open(offer.name, qint64(offer.size));
    traceLine((accepted ? "shared area " : "shared area refused "), offer.size);
    return buildPacket(PacketType::SharedAreaReply, accepted);
}

QImage PDFPageProvider::areaImage(quint64 offset, const QSize &size)
{
    // Every byte the image would take is checked against the area before one
    // is written; what does not fit is answered as a failed render.
    const quint64 bytes = fitsImageBound(size) ? quint64(size.width()) * quint64(size.height()) * 4 : 0;
    const bool fits = area.isOpen() && bytes > 0 && offset % 4 == 0 && offset <= quint64(area.size())
        && bytes <= quint64(area.size()) - offset;
    if (!fits)
        return QImage();
    return QImage(area.data() + offset, size.width(), size.height(), size.width() * 4, QImage::Format_ARGB32);
}

SharedImage PDFPageProvider::placement(quint64 offset, const QImage &image)
{
    return SharedImage{offset, image.width(), image.height(), qint32(image.bytesPerLine()), qint32(image.format())};
}

QByteArray PDFPageProvider::serveSharedTile(QDataStream &payload)
{
    TileRecord record;
    quint64 offset = 0;
    payload >> record >> offset;
    record.page.image = QImage();
    traceLine("rendering tile of page ", record.page.pageIndex);
    m_readAhead.lookedAt(record.page.pageIndex);
    // The engine checks the tile against the page and the page's bounds,
    // the area the tile against its room.
    SharedImage placed;
    QImage target = areaImage(offset, record.tile.size());
    if (!target.isNull()
        && engine.tileInto(static_cast<unsigned int>(record.page.pageIndex), record.page.size, record.tile, target,
                           record.page.annotations, record.page.rotation / 90)) {
        if (record.page.invert)
            target.invertPixels(QImage::InvertRgb);
        applyColours(target, record.page, record.tile);
        placed = placement(offset, target);
    }
    PacketWriter writer(PacketType::SharedTileReply);
    writer.stream() << record << placed;
    QByteArray packet = writer.finish();
    traceLine("sending back ", packet.size());
    return packet;
}

QByteArray PDFPageProvider::serveSharedRender(QDataStream &payload)
{
    PageRequest request;
    quint64 offset = 0;
    payload >> request >> offset;
    request.image = QImage();
    traceLine("rendering page ", request.pageIndex);

    SharedImage placed;
    QImage target = areaImage(offset, request.size);
    if (!target.isNull() && !renderPage(request, &target).isNull())
        placed = placement(offset, target);
    PacketWriter writer(PacketType::SharedRenderReply);
    writer.stream() << request << placed;
    QByteArray packet = writer.finish();
    traceLine("sending back ", packet.size());
    return packet;
}

BookmarkNode toBookmarkNode(const QStandardItem *item)
{
    BookmarkNode node;
    if (!item)
        return node;
    node.title = item->data(OutlineTitleRole).toString();
    node.pageIndex = item->data(OutlinePageRole).toInt();
    const int rows = item->rowCount();
    node.children.reserve(rows);
    for (int row = 0; row < rows; ++row)
        node.children.append(toBookmarkNode(item->child(row, 0)));
    return node;
}

QStringList outlineToolTips(const QStandardItem *root)
{
    QStringList tips;
    for (int row = 0; root && row < root->rowCount(); ++row) {
        const QStandardItem *item = root->child(row, 0);
        tips << item->toolTip() << outlineToolTips(item);
    }
    return tips;
}

QList<BookmarkNode> toBookmarkNodes(const QStandardItem *root)
{
    QList<BookmarkNode> nodes;
    if (!root)
        return nodes;
    for (int row = 0; row < root->rowCount(); ++row)
        nodes.append(toBookmarkNode(root->child(row, 0)));
    return nodes;
}
