#include "helperconnection.h"

#include "areahandover.h"
#include "renderoptions.h"
#include "contract.h"
#include "framing.h"
#include "sharedarea.h"

#include <QImageReader>
#include <QLocalSocket>
#include <QLoggingCategory>

#include <utility>

namespace pdfpreview {

namespace {

// QT_LOGGING_RULES="pdfpreview.connection.debug=true" shows what the probe
// found and what came unasked.
Q_LOGGING_CATEGORY(lcConnection, "pdfpreview.connection", QtWarningMsg)

// Probes' tokens count down from here, where no request's id is.
constexpr quint64 ProbeToken = ~quint64(0);
// The pages whose sizes the probe brings: more than a window shows at once.
constexpr int ProbedPageSizes = 64;

// A tiny request for a page that does not exist: every helper answers a
// render of it, with no image and at no cost (page 0 would have it decode
// the first page whole, a scanned one in tens of milliseconds), so its reply
// says that the helper has dealt with everything before it; and every
// helper that knows a question costs nothing for it.
PageRequest probePage(quint64 token, qint32 pageIndex = -1)
{
    PageRequest page = RenderOptions(0, false).request(pageIndex, QSize(1, 1));
    page.token = token;
    return page;
}

} // namespace

HelperConnection::HelperConnection(QLocalSocket *socket, AreaHandOver *handOver, Transport transport, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_handOver(handOver)
    , m_transport(transport)
{
    // Qt's reader refuses images over 128 MiB by default; the helper sends
    // up to its bound, and everything it sends must decode.
    if (QImageReader::allocationLimit() < MaxImageMegabytes)
        QImageReader::setAllocationLimit(MaxImageMegabytes);
    m_decoders.setMaxThreadCount(1);
    m_socket->setParent(this);
    connect(m_socket, &QLocalSocket::readyRead, this, &HelperConnection::onReadyRead);
    connect(m_socket, &QLocalSocket::disconnected, this, [this] {
        forgetPendingPieces();
        emit disconnected();
    });
    // Bytes may have come with the connection already.
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &HelperConnection::onReadyRead, Qt::QueuedConnection);
    if (isOpen())
        sendProbe();
}

quint64 HelperConnection::nextProbeToken()
{
    return ProbeToken - ++m_probesMade;
}

void HelperConnection::sendProbe()
{
    // Each question costs the helper nothing: no page (-1), an empty
    // search. The first pages' sizes are wanted by every user anyway; the
    // rest would keep the first page waiting while pdfium reads them all.
    // The area is found out by the first piece's offer, which is sized for
    // it.
    m_probe.pageToken = nextProbeToken();
    m_probe.stretchOut = true;
    sendRaw(buildPacket(PacketType::PageSizesRangeRequest, PageSizesRangeRecord{0, ProbedPageSizes}));
    m_probe.tileToken = nextProbeToken();
    sendRaw(buildPacket(PacketType::TileRequest, TileRecord{probePage(m_probe.tileToken, -1), QRect(0, 0, 1, 1)}));
    m_probe.searchToken = nextProbeToken();
    sendRaw(buildPacket(PacketType::SearchRequest, SearchRequestRecord{m_probe.searchToken, QString(), false, 0}));
    m_probe.linksOut = true;
    sendRaw(buildPacket(PacketType::LinksRequest, qint32(-1)));
    m_probe.textToken = nextProbeToken();
    sendRaw(buildPacket(PacketType::TextRequest,
                        TextRequestRecord{m_probe.textToken, -1, QPointF(), QPointF(), TextExtent::Word}));
    m_probe.coloursOut = true;
    sendRaw(buildPacket(PacketType::PageColoursRequest, quint8(PageColours::Normal)));
    m_probe.outlineOut = true;
    sendRaw(buildPacket(PacketType::OutlinePieceRequest, OutlinePieceRecord{0, 0}));
    sendRaw(buildPacket(PacketType::RenderRequest, probePage(m_probe.pageToken)));
}

void HelperConnection::onProbeAnswered()
{
    // A helper from before stretches is asked for every size, and drawn a
    // page again behind that question.
    if (std::exchange(m_probe.stretchOut, false)) {
        m_probe.sizesOut = true;
        sendRaw(buildPacket(PacketType::PageSizesRequest));
        m_probe.pageToken = nextProbeToken();
        sendRaw(buildPacket(PacketType::RenderRequest, probePage(m_probe.pageToken)));
        return;
    }
    // What has not come back by now was dropped.
    m_probe.answered = true;
    m_probe.sizesOut = false;
    m_probe.linksOut = false;
    m_probe.coloursOut = false;
    m_probe.outlineOut = false;
    qCDebug(lcConnection) << "the helper knows" << m_probe.found << "and has" << m_probe.sizes.size() << "pages";
    if (m_searchAsked && !m_probe.found.testFlag(Capability::Search))
        emit searchUnavailable();
    emit capabilitiesFound(m_probe.found);
}

HelperConnection::~HelperConnection()
{
    // A decoder posts its reply back to the connection: none may outlive it.
    m_decoders.waitForDone();
    m_socket->disconnect(this);
    // Not disconnectFromServer: with requests still unwritten it would wait
    // for an event loop that may not run again, and the helper would never
    // see the connection go.
    m_socket->abort();
}

bool HelperConnection::isOpen() const
{
    return m_socket->state() == QLocalSocket::ConnectedState;
}

void HelperConnection::close()
{
    m_socket->disconnectFromServer();
}

void HelperConnection::abort()
{
    m_socket->abort();
}

void HelperConnection::sendRaw(const QByteArray &bytes)
{
    if (isOpen())
        m_socket->write(bytes);
}

void HelperConnection::sendRequest(const QByteArray &packet)
{
    // Behind an offer still out, as the pieces that wait for it: the helper
    // answers in the order requests were made.
    if (m_offeredArea)
        m_afterOffer.append(Waiting{TileRecord{}, packet});
    else
        sendRaw(packet);
}

quint64 HelperConnection::sendPageRequest(PageRequest request, PageColours colours)
{
    return sendTileRequest(TileRecord{request, QRect()}, colours);
}

quint64 HelperConnection::sendTileRequest(TileRecord tile, PageColours colours)
{
    if (!isOpen())
        return 0;
    tile.page.token = m_nextId++;
    tile.page.image = QImage();
    // An inverted request draws its own colours: night and sepia are never
    // laid over it.
    if (appliedAfterDrawing(colours) && !tile.page.invert)
        m_pieceColours.insert(tile.page.token, colours);
    sendPiece(tile);
    return tile.page.token;
}

void HelperConnection::sendColoursFor(const TileRecord &piece)
{
    const PageColours wanted = m_pieceColours.value(piece.page.token, PageColours::Normal);
    if (wanted == m_helperColours || (m_probe.answered && !m_probe.found.testFlag(Capability::Colours)))
        return;
    m_helperColours = wanted;
    sendRaw(buildPacket(PacketType::PageColoursRequest, quint8(wanted)));
}

void HelperConnection::finishColours(PageRequest &page)
{
    const PageColours colours = m_pieceColours.take(page.token);
    if (appliedAfterDrawing(colours) && !m_probe.found.testFlag(Capability::Colours))
        applyPageColours(page.image, colours);
}

quint64 HelperConnection::sendAnsweredInOrder(QList<quint64> &waiting, const QByteArray &packet)
{
    if (!isOpen())
        return 0;
    waiting.append(m_nextId);
    sendRequest(packet);
    return m_nextId++;
}

quint64 HelperConnection::sendBookmarksRequest()
{
    return sendAnsweredInOrder(m_bookmarksWaiting, buildPacket(PacketType::BookmarksRequest));
}

quint64 HelperConnection::sendPageSizesRequest()
{
    return sendAnsweredInOrder(m_pageSizesWaiting, buildPacket(PacketType::PageSizesRequest));
}

quint64 HelperConnection::sendPageSizesRangeRequest(int first, int count)
{
    return sendAnsweredInOrder(m_sizeStretchesWaiting,
                               buildPacket(PacketType::PageSizesRangeRequest, StretchRecord{first, count}));
}

quint64 HelperConnection::sendOutlinePieceRequest(int first, int count)
{
    return sendAnsweredInOrder(m_outlinePiecesWaiting,
                               buildPacket(PacketType::OutlinePieceRequest, StretchRecord{first, count}));
}

quint64 HelperConnection::sendOutlineToolTipsRequest()
{
    return sendAnsweredInOrder(m_toolTipsWaiting, buildPacket(PacketType::OutlineToolTipsRequest));
}

quint64 HelperConnection::sendProbedQuestion(QList<quint64> &waiting, PacketType kind, const QByteArray &packet)
{
    if (!isOpen())
        return 0;
    const quint64 id = sendAnsweredInOrder(waiting, packet);
    const quint64 probe = nextProbeToken();
    m_questionProbes.insert(probe, {kind, id});
    sendRequest(buildPacket(PacketType::RenderRequest, probePage(probe)));
    return id;
}

template<typename Record>
void HelperConnection::answerQuestion(QDataStream &payload, QList<quint64> &waiting,
                                      void (HelperConnection::*replied)(quint64, const Record &),
                                      void (HelperConnection::*unavailable)(quint64))
{
    Record record;
    payload >> record;
    const quint64 id = answered(waiting);
    if (payload.status() == QDataStream::Ok)
        (this->*replied)(id, record);
    else
        (this->*unavailable)(id);
}

quint64 HelperConnection::sendPropertiesRequest()
{
    return sendProbedQuestion(m_propertiesWaiting, PacketType::PropertiesRequest,
                              buildPacket(PacketType::PropertiesRequest));
}

quint64 HelperConnection::sendSignaturesRequest()
{
    return sendProbedQuestion(m_signaturesWaiting, PacketType::SignaturesRequest,
                              buildPacket(PacketType::SignaturesRequest));
}

quint64 HelperConnection::sendAttachmentsRequest(int firstPage)
{
    const QByteArray packet = buildPacket(PacketType::AttachmentsRequest, qint32(firstPage));
    // A helper that answered the first piece knows the question.
    return firstPage == 0 ? sendProbedQuestion(m_attachmentsWaiting, PacketType::AttachmentsRequest, packet)
                          : sendAnsweredInOrder(m_attachmentsWaiting, packet);
}

void HelperConnection::sendAttachmentPieceRequest(const AttachmentPieceRequestRecord &request)
{
    if (isOpen())
        sendRequest(buildPacket(PacketType::AttachmentPieceRequest, request));
}

quint64 HelperConnection::sendSearchRequest(const QString &query, bool matchCase, int startPage)
{
    if (!isOpen())
        return 0;
    if (m_probe.answered && !m_probe.found.testFlag(Capability::Search)) {
        QMetaObject::invokeMethod(this, &HelperConnection::searchUnavailable, Qt::QueuedConnection);
        return 0;
    }
    m_searchAsked = m_searchAsked || !m_probe.answered;
    const quint64 id = m_nextId++;
    sendRequest(buildPacket(PacketType::SearchRequest, SearchRequestRecord{id, query, matchCase, startPage}));
    return id;
}

void HelperConnection::sendLinksRequest(int page)
{
    if (isOpen())
        sendRequest(buildPacket(PacketType::LinksRequest, qint32(page)));
}

void HelperConnection::sendPageTextRequest(int page)
{
    if (isOpen())
        sendRequest(buildPacket(PacketType::PageTextRequest, qint32(page)));
}

quint64 HelperConnection::sendTextRequest(int page, QPointF from, QPointF to, TextExtent extent)
{
    if (!isOpen())
        return 0;
    const quint64 id = m_nextId++;
    sendRequest(buildPacket(PacketType::TextRequest, TextRequestRecord{id, page, from, to, extent}));
    return id;
}

void HelperConnection::sendTextReadAhead()
{
    if (isOpen())
        sendRequest(buildPacket(PacketType::TextReadAhead));
}

void HelperConnection::sendSearchCancel(quint64 id)
{
    if (isOpen() && id != 0)
        sendRequest(buildPacket(PacketType::SearchCancel, id));
}

bool HelperConnection::isProbe(quint64 token) const
{
    return token >= ProbeToken - m_probesMade;
}

quint64 HelperConnection::answered(QList<quint64> &waiting)
{
    return waiting.isEmpty() ? 0 : waiting.takeFirst();
}

void HelperConnection::sendPiece(const TileRecord &piece)
{
    // While an area is offered everything waits, so that the helper gets
    // requests in the order they were made.
    if (m_offeredArea) {
        m_afterOffer.append(Waiting{piece, QByteArray()});
        return;
    }
    const QSize size = piece.tile.isNull() ? piece.page.size : piece.tile.size();
    // Sizes over the bound fail at the helper either way; PNG says so at once.
    if (m_transport != Transport::Shared || m_sharedUnsupported || !m_handOver || !fitsImageBound(size)) {
        sendPlainPiece(piece);
        return;
    }
    const qint64 bytes = qint64(size.width()) * size.height() * 4;
    const qint64 offset = m_area ? m_area->take(bytes) : -1;
    if (offset >= 0) {
        sendSharedPiece(piece, offset);
        return;
    }
    m_afterOffer.append(Waiting{piece, QByteArray()});
    offerArea(bytes);
}

void HelperConnection::sendPlainPiece(const TileRecord &piece)
{
    sendColoursFor(piece);
    if (piece.tile.isNull())
        sendRaw(buildPacket(PacketType::RenderRequest, piece.page));
    else
        sendRaw(buildPacket(PacketType::TileRequest, piece));
}

void HelperConnection::sendSharedPiece(TileRecord piece, qint64 offset)
{
    // The block is taken from now on, so that the next request does not draw
    // into it too.
    m_pendingPieces.insert(piece.page.token, PendingPiece{m_area, offset});
    sendColoursFor(piece);
    if (piece.tile.isNull()) {
        PacketWriter writer(PacketType::SharedRenderRequest);
        writer.stream() << piece.page << quint64(offset);
        sendRaw(writer.finish());
    } else {
        PacketWriter writer(PacketType::SharedTileRequest);
        writer.stream() << piece << quint64(offset);
        sendRaw(writer.finish());
    }
}

void HelperConnection::offerArea(qint64 bytes)
{
    // Room for a few pieces of this size, so that the caller may hold several
    // while the next ones are drawn.
    constexpr int Pieces = 4;
    const qint64 pieceBytes = AreaBlocks::blockBytes(bytes);
    const qint64 size = qMax<qint64>(1, qMin<qint64>(Pieces, MaxSharedAreaBytes / pieceBytes)) * pieceBytes;
    auto fresh = std::make_unique<SharedArea>();
    // The area has no name: its handle goes to the helper just before the
    // offer that announces it, and this side keeps only the mapping.
    const qint64 handle = fresh->createUnnamed(size) ? m_handOver->handOver(*fresh) : -1;
    fresh->dropHandle();
    if (handle < 0) {
        // The system gives no area this time: the pieces waiting for it come
        // as PNG, and the next piece tries again.
        onAreaAnswered(false, true);
        return;
    }
    m_offeredArea = std::move(fresh);
    // Every helper answers the page behind the offer, so one that ignored
    // the offer is found out without waiting long. A token of its own: the
    // page behind an earlier offer, answered after that offer's reply, must
    // not be taken for this one's.
    m_offerProbeToken = nextProbeToken();
    sendRaw(buildPacket(PacketType::SharedAreaOffer, SharedAreaOfferRecord{QString(), quint64(size), handle}));
    sendRaw(buildPacket(PacketType::RenderRequest, probePage(m_offerProbeToken)));
}

void HelperConnection::onAreaAnswered(bool accepted, bool known)
{
    if (accepted) {
        m_area = std::make_shared<AreaBlocks>(std::move(m_offeredArea));
        m_probe.found |= Capability::Area;
    }
    m_offeredArea.reset();
    if (!known)
        m_sharedUnsupported = true;
    const QList<Waiting> waiting = std::exchange(m_afterOffer, {});
    for (qsizetype i = 0; i < waiting.size(); ++i) {
        // A refused offer is not made again for the pieces that were waiting.
        if (!waiting[i].packet.isEmpty())
            sendRaw(waiting[i].packet);
        else if (accepted || !known)
            sendPiece(waiting[i].piece);
        else
            sendPlainPiece(waiting[i].piece);
        // A piece the new area has no room left for offers another: the
        // rest waits behind it, in order.
        if (m_offeredArea) {
            m_afterOffer.append(waiting.mid(i + 1));
            return;
        }
    }
}

std::optional<TileRecord> HelperConnection::sharedPieceReplied(const TileRecord &reply, const SharedImage &placed)
{
    const auto it = m_pendingPieces.find(reply.page.token);
    if (it == m_pendingPieces.end())
        return std::nullopt;
    const PendingPiece pending = *it;
    m_pendingPieces.erase(it);
    TileRecord piece = reply;
    piece.page.image = AreaBlocks::imageIn(pending.area, pending.offset, placed);
    return piece;
}

void HelperConnection::forgetPendingPieces()
{
    for (const PendingPiece &pending : std::as_const(m_pendingPieces))
        pending.area->give(pending.offset);
    m_pendingPieces.clear();
    m_pieceColours.clear();
    m_afterOffer.clear();
    m_offeredArea.reset();
}

void HelperConnection::onReadyRead()
{
    readPackets(m_socket, m_expectedSize, [this](PacketType type, QDataStream &payload) {
        auto packet = std::make_shared<ArrivedPacket>();
        packet->type = type;
        packet->payload = payload.device()->readAll();
        m_arrived.push_back(packet);
        if (type != PacketType::RenderReply && type != PacketType::TileReply)
            return;
        // Replies with an image come as PNG: decoded on a thread of the
        // connection's own, one at a time and so in order, never on the
        // caller's, which may be a window's.
        packet->ready = false;
        m_decoders.start([this, packet] {
            QDataStream in(packet->payload);
            in.setVersion(ProtocolStreamVersion);
            if (packet->type == PacketType::RenderReply)
                in >> packet->page;
            else
                in >> packet->tile;
            packet->payload.clear();
            QMetaObject::invokeMethod(this, [this, packet] {
                packet->ready = true;
                dispatchArrived();
            }, Qt::QueuedConnection);
        });
    });
    dispatchArrived();
}

void HelperConnection::dispatchArrived()
{
    // Every reply is handed on in the order it came, those behind one still
    // being decoded waiting for it.
    while (!m_arrived.empty() && m_arrived.front()->ready) {
        const std::shared_ptr<ArrivedPacket> packet = m_arrived.front();
        m_arrived.pop_front();
        handleArrived(*packet);
        emit packetHandled();
    }
}

void HelperConnection::handleArrived(const ArrivedPacket &packet)
{
    QDataStream payload(packet.payload);
    payload.setVersion(ProtocolStreamVersion);
    m_replyIsShared = packet.type == PacketType::SharedRenderReply || packet.type == PacketType::SharedTileReply;
    switch (packet.type) {
    case PacketType::RenderReply:
        // The probe behind an offer comes back first where the helper did
        // not know the offer.
        if (m_offeredArea && packet.page.token == m_offerProbeToken)
            onAreaAnswered(false, false);
        if (packet.page.token == m_probe.pageToken && !m_probe.answered)
            onProbeAnswered();
        if (const ProbedQuestion asked = m_questionProbes.take(packet.page.token); asked.id) {
            if (asked.kind == PacketType::PropertiesRequest && m_propertiesWaiting.removeOne(asked.id))
                emit propertiesUnavailable(asked.id);
            if (asked.kind == PacketType::AttachmentsRequest && m_attachmentsWaiting.removeOne(asked.id))
                emit attachmentsUnavailable(asked.id);
            if (asked.kind == PacketType::SignaturesRequest && m_signaturesWaiting.removeOne(asked.id))
                emit signaturesUnavailable(asked.id);
        }
        if (!isProbe(packet.page.token)) {
            PageRequest page = packet.page;
            finishColours(page);
            emit renderReplied(page);
        }
        break;
    case PacketType::BookmarksReply: {
        const QList<BookmarkNode> nodes = readBookmarkNodes(payload);
        emit bookmarksReplied(answered(m_bookmarksWaiting), nodes);
        break;
    }
    case PacketType::PageSizesReply: {
        const QList<QSize> sizes = readPageSizes(payload);
        if (m_probe.sizesOut) {
            m_probe.sizesOut = false;
            m_probe.sizes = sizes;
            m_probe.knownSizes = int(sizes.size());
            m_probe.found |= Capability::Sizes;
        } else {
            emit pageSizesReplied(answered(m_pageSizesWaiting), sizes);
        }
        break;
    }
    case PacketType::PageSizesRangeReply: {
        PageSizesRangeReplyRecord reply;
        payload >> reply;
        if (payload.status() != QDataStream::Ok)
            reply = PageSizesRangeReplyRecord();
        if (std::exchange(m_probe.stretchOut, false)) {
            m_probe.knownSizes = int(reply.sizes.size());
            m_probe.sizes = reply.sizes;
            // One entry a page: the rest shaped as the last page known.
            if (m_probe.knownSizes > 0)
                m_probe.sizes.resize(reply.pageCount, reply.sizes.constLast());
            m_probe.found |= Capability::Sizes | Capability::SizeStretches;
        } else {
            emit pageSizesRangeReplied(answered(m_sizeStretchesWaiting), reply.first, reply.sizes);
        }
        break;
    }
    case PacketType::OutlinePieceReply: {
        OutlinePieceReplyRecord reply;
        payload >> reply;
        // A piece that cannot be read ends the outline as one that could
        // not be read to its end.
        if (payload.status() != QDataStream::Ok)
            reply = OutlinePieceReplyRecord{0, {}, OutlineEnd::Broken};
        if (std::exchange(m_probe.outlineOut, false))
            m_probe.found |= Capability::OutlinePieces;
        else
            emit outlinePieceReplied(answered(m_outlinePiecesWaiting), reply);
        break;
    }
    case PacketType::PropertiesReply:
        answerQuestion(payload, m_propertiesWaiting, &HelperConnection::propertiesReplied,
                       &HelperConnection::propertiesUnavailable);
        break;
    case PacketType::AttachmentsReply:
        answerQuestion(payload, m_attachmentsWaiting, &HelperConnection::attachmentsReplied,
                       &HelperConnection::attachmentsUnavailable);
        break;
    case PacketType::SignaturesReply:
        answerQuestion(payload, m_signaturesWaiting, &HelperConnection::signaturesReplied,
                       &HelperConnection::signaturesUnavailable);
        break;
    case PacketType::AttachmentPieceReply: {
        AttachmentPieceReplyRecord piece;
        payload >> piece;
        if (payload.status() != QDataStream::Ok) {
            piece.size = -1;
            piece.bytes.clear();
        }
        emit attachmentPieceReplied(piece);
        break;
    }
    case PacketType::OutlineToolTipsReply: {
        const QStringList tips = readToolTips(payload);
        emit outlineToolTipsReplied(answered(m_toolTipsWaiting), tips);
        break;
    }
    case PacketType::TileReply:
        if (packet.tile.page.token == m_probe.tileToken)
            m_probe.found |= Capability::Tiles;
        else if (!isProbe(packet.tile.page.token)) {
            TileRecord tile = packet.tile;
            finishColours(tile.page);
            emit tileReplied(tile);
        }
        break;
    case PacketType::TextReply: {
        TextReplyRecord reply;
        payload >> reply;
        if (payload.status() != QDataStream::Ok)
            break;
        if (reply.token == m_probe.textToken)
            m_probe.found |= Capability::Text;
        else
            emit textReplied(reply);
        break;
    }
    case PacketType::PageTextReply: {
        PageTextRecord reply;
        payload >> reply;
        if (payload.status() == QDataStream::Ok)
            emit pageTextReplied(reply);
        break;
    }
    case PacketType::LinksReply: {
        LinksReplyRecord reply;
        payload >> reply;
        if (payload.status() != QDataStream::Ok)
            break;
        if (std::exchange(m_probe.linksOut, false))
            m_probe.found |= Capability::Links;
        else
            emit linksReplied(reply);
        break;
    }
    case PacketType::SearchReply: {
        SearchReplyRecord reply;
        payload >> reply;
        if (payload.status() != QDataStream::Ok)
            break;
        if (reply.token == m_probe.searchToken)
            m_probe.found |= Capability::Search;
        else
            emit searchReplied(reply);
        break;
    }
    case PacketType::SharedAreaReply: {
        bool accepted = false;
        payload >> accepted;
        if (m_offeredArea)
            onAreaAnswered(accepted, true);
        break;
    }
    case PacketType::SharedRenderReply: {
        PageRequest reply;
        SharedImage placed;
        payload >> reply >> placed;
        if (auto page = sharedPieceReplied(TileRecord{reply, QRect()}, placed)) {
            finishColours(page->page);
            emit renderReplied(page->page);
        }
        break;
    }
    case PacketType::SharedTileReply: {
        TileRecord reply;
        SharedImage placed;
        payload >> reply >> placed;
        if (auto tile = sharedPieceReplied(reply, placed)) {
            finishColours(tile->page);
            emit tileReplied(*tile);
        }
        break;
    }
    case PacketType::PageColoursReply:
        if (std::exchange(m_probe.coloursOut, false))
            m_probe.found |= Capability::Colours;
        break;
    default:
        // Nothing the preview side asks for: dropped.
        qCDebug(lcConnection) << "dropped a packet of type" << unsigned(packet.type);
        break;
    }
}

} // namespace pdfpreview
