#pragma once

// The packets of one connection to a helper: each request sent gets an id of
// its own, which its reply carries back; replies are handed on in the order
// they came. Pages and tiles are drawn into a shared area where the helper
// takes one, else they come as PNG, decoded away from the caller's thread.
// What the helper knows is found out once, by a probe sent as the
// connection begins. Nothing here waits: the blocking forms are
// HelperSession's.

#include "areablocks.h"
#include "pagecolours.h"
#include "records.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QThreadPool>

#include <deque>
#include <memory>

class AreaHandOver;
class QLocalSocket;
class SharedArea;

namespace pdfpreview {

class HelperConnection : public QObject
{
    Q_OBJECT
public:
    // How pages and tiles come: drawn by the helper straight into memory both
    // share (the default; a helper that does not know it is found out at the
    // first page and answered with PNG from then on), or as PNG.
    enum class Transport { Shared, Png };
    Q_ENUM(Transport)

    // What a helper may know beyond the application's four packets. Each is
    // found out by the probe: a request of its kind that costs the helper
    // nothing, then a page every helper draws; a helper that does not know a
    // kind drops it, so what has not come back by that page's reply is
    // unknown. The area alone is found out by the first piece's offer.
    enum class Capability {
        Area = 0x01, // drew into a shared area (offered only with Transport::Shared)
        Tiles = 0x02,
        Sizes = 0x04,         // the page sizes, which the probe keeps: pageSizes()
        SizeStretches = 0x80, // the sizes of a stretch of pages (sendPageSizesRangeRequest)
        Search = 0x08,
        Links = 0x10,
        Text = 0x20,
        Colours = 0x40,        // night and sepia drawn by the helper, images kept
        OutlinePieces = 0x100, // the outline in pieces (sendOutlinePieceRequest)
    };
    Q_DECLARE_FLAGS(Capabilities, Capability)
    Q_FLAG(Capabilities)

    // Takes the socket over and sends the probe. Areas go to the helper
    // through handOver, which must outlive the connection; without one,
    // pages come as PNG.
    HelperConnection(QLocalSocket *socket, AreaHandOver *handOver, Transport transport = Transport::Shared,
                     QObject *parent = nullptr);
    ~HelperConnection() override;

    Transport transport() const { return m_transport; }
    bool isOpen() const;
    // Whether the probe has been answered, and what it found; nothing is
    // known before. Requests may be sent before: those of a kind the helper
    // turns out not to know stay unanswered (a search says so).
    bool capabilitiesKnown() const { return m_probe.answered; }
    Capabilities capabilities() const { return m_probe.found; }
    // Every page's size in points as the probe brought it; empty without
    // Sizes. From a helper that knows stretches the probe brings the first
    // pages' alone: the list has one entry a page, and from knownPageSizes()
    // on each is the last known size, until the caller asks for the rest.
    QList<QSize> pageSizes() const { return m_probe.sizes; }
    int knownPageSizes() const { return m_probe.knownSizes; }
    // While a reply is being handed on: whether it came through the area.
    bool replyIsShared() const { return m_replyIsShared; }

    // Each returns the request's id; its reply carries it (a page's or
    // tile's as its token, whatever token the caller set). 0 when the
    // connection is closed and nothing was sent.
    // Night and sepia colours (pagecolours.h) go to a helper that knows
    // them ahead of the piece; for one that does not, they are applied here
    // to the whole image before it is handed on. Inverted colours are the
    // request's own flag.
    quint64 sendPageRequest(PageRequest request, PageColours colours = PageColours::Normal);
    // A helper that does not know tiles drops the request: replies come in
    // request order, so a reply to anything sent after it, arriving first,
    // says so.
    quint64 sendTileRequest(TileRecord tile, PageColours colours = PageColours::Normal);
    quint64 sendBookmarksRequest();
    // A helper too old to know these stays silent, and its next reply to
    // another request comes first.
    quint64 sendPageSizesRequest();
    // At most MaxPageSizesPerRange pages (contract.h); only to a helper that
    // knows SizeStretches.
    quint64 sendPageSizesRangeRequest(int first, int count);
    quint64 sendOutlineToolTipsRequest();
    // At most count entries from first on (at most MaxOutlinePieceEntries,
    // contract.h), as many as the helper reads in a few milliseconds; only
    // to a helper that knows OutlinePieces.
    quint64 sendOutlinePieceRequest(int first, int count);
    // The document's properties, as propertiesReplied(); from a helper that
    // does not know the question, or sends what cannot be read,
    // propertiesUnavailable() instead.
    quint64 sendPropertiesRequest();
    // The files the document carries from firstPage on, a piece of the list
    // as attachmentsReplied(); from a helper that does not know the question,
    // attachmentsUnavailable() instead.
    quint64 sendAttachmentsRequest(int firstPage);
    // A piece of one file listed there from offset on, as
    // attachmentPieceReplied(); only to a helper that listed it.
    void sendAttachmentPieceRequest(const AttachmentPieceRequestRecord &request);
    // What the helper found of the document's signatures, as
    // signaturesReplied(); from a helper that does not know the question,
    // signaturesUnavailable() instead.
    quint64 sendSignaturesRequest();
    // Searches the document from startPage on, wrapping; replies come as
    // searchReplied() with the returned id as their token. The first search
    // is followed by a probe: a helper that does not search is found out by
    // its answer, and searchUnavailable() is emitted (for every search from
    // then on too, which return 0).
    quint64 sendSearchRequest(const QString &query, bool matchCase, int startPage);
    // Ends the search; nothing more comes for it.
    void sendSearchCancel(quint64 id);
    // Asks for a page's links; the reply comes as linksReplied(). A helper
    // that does not know the question stays silent.
    void sendLinksRequest(int page);
    // Asks for a page's characters and their boxes, for a screen reader; the
    // reply comes as pageTextReplied(). A helper that does not know the
    // question stays silent.
    void sendPageTextRequest(int page);
    // Asks for the text of a page between two points (page space), the word
    // at the first, or to or from the page's edge (TextExtent); the reply
    // comes as textReplied() with the id as its token. A helper that does
    // not know the question stays silent.
    quint64 sendTextRequest(int page, QPointF from, QPointF to, TextExtent extent);
    // Asks the helper to read the document's text ahead of searches once it
    // is idle; nothing comes back. Only for the document a person looks at.
    void sendTextReadAhead();
    // Writes bytes as they are, for callers that speak the protocol themselves.
    void sendRaw(const QByteArray &bytes);

    // Closes the connection once what was written has gone; abort() at once.
    void close();
    void abort();

signals:
    void capabilitiesFound(HelperConnection::Capabilities capabilities);
    void renderReplied(const PageRequest &reply);
    void tileReplied(const TileRecord &reply);
    void bookmarksReplied(quint64 id, const QList<BookmarkNode> &nodes);
    void pageSizesReplied(quint64 id, const QList<QSize> &sizes);
    // sizes[i] is page first + i's.
    void pageSizesRangeReplied(quint64 id, int first, const QList<QSize> &sizes);
    void outlineToolTipsReplied(quint64 id, const QStringList &toolTips);
    // A piece that could not be read comes as a broken end.
    void outlinePieceReplied(quint64 id, const OutlinePieceReplyRecord &piece);
    void propertiesReplied(quint64 id, const PropertiesRecord &properties);
    void propertiesUnavailable(quint64 id);
    void attachmentsReplied(quint64 id, const AttachmentsReplyRecord &piece);
    void attachmentsUnavailable(quint64 id);
    // A piece that cannot be read comes as one of a file that could not be.
    void attachmentPieceReplied(const AttachmentPieceReplyRecord &piece);
    void signaturesReplied(quint64 id, const SignaturesReplyRecord &signatures);
    void signaturesUnavailable(quint64 id);
    void searchReplied(const SearchReplyRecord &reply);
    void searchUnavailable();
    void linksReplied(const LinksReplyRecord &reply);
    void pageTextReplied(const PageTextRecord &reply);
    void textReplied(const TextReplyRecord &reply);
    // Any packet at all came and was handed on.
    void packetHandled();
    void disconnected();

private:
    // A page (a null tile) or a tile: drawn into the area where it can be,
    // else as PNG.
    void sendPiece(const TileRecord &piece);
    void sendPlainPiece(const TileRecord &piece);
    void sendSharedPiece(TileRecord piece, qint64 offset);
    // Tells the helper the colours of the piece about to go out, where they
    // differ from the last it was told and it may know them.
    void sendColoursFor(const TileRecord &piece);
    // The colours a piece was asked with, applied here where the helper
    // did not draw them; forgets the piece's colours.
    void finishColours(PageRequest &page);
    // Sends a request now, or behind the area offer that is out.
    void sendRequest(const QByteArray &packet);
    void offerArea(qint64 bytes);
    void onAreaAnswered(bool accepted, bool known);
    // The piece of a shared reply, its image on the area; empty when no
    // request of ours is behind it.
    std::optional<TileRecord> sharedPieceReplied(const TileRecord &reply, const SharedImage &placed);
    void forgetPendingPieces();
    void sendProbe();
    void onProbeAnswered();
    quint64 nextProbeToken();
    bool isProbe(quint64 token) const;

    // A packet off the connection, its image decoded once ready.
    struct ArrivedPacket {
        PacketType type{};
        QByteArray payload;
        bool ready = true;
        PageRequest page; // a render reply, decoded
        TileRecord tile;  // a tile reply, decoded
    };
    void onReadyRead();
    void dispatchArrived();
    void handleArrived(const ArrivedPacket &packet);
    // The id of the oldest request of a kind still unanswered: replies
    // without a token answer requests of their kind in order.
    quint64 answered(QList<quint64> &waiting);
    // Sends a request whose reply carries no id, keeping its id in waiting
    // for answered(); 0 when the connection is closed.
    quint64 sendAnsweredInOrder(QList<quint64> &waiting, const QByteArray &packet);

    QLocalSocket *m_socket;
    AreaHandOver *m_handOver;
    Transport m_transport;
    quint64 m_nextId = 1;
    // Probe tokens count down from the top of the range, where no request's
    // id is; each probe has one of its own.
    quint64 m_probesMade = 0;
    bool m_replyIsShared = false;
    quint32 m_expectedSize = 0;

    std::shared_ptr<AreaBlocks> m_area;
    bool m_sharedUnsupported = false;
    // Pieces drawn into a block, by id, until replied.
    struct PendingPiece {
        std::shared_ptr<AreaBlocks> area;
        qint64 offset = 0;
    };
    QHash<quint64, PendingPiece> m_pendingPieces;
    // An area offered, and what waits for the answer, in order.
    std::unique_ptr<SharedArea> m_offeredArea;
    quint64 m_offerProbeToken = 0;
    struct Waiting {
        TileRecord piece;
        QByteArray packet; // any other request, as it goes out
    };
    QList<Waiting> m_afterOffer;

    // The probe sent as the connection began, and what came back for it.
    struct Probe {
        quint64 tileToken = 0;
        quint64 searchToken = 0;
        quint64 textToken = 0;
        quint64 pageToken = 0; // the page every helper draws, last
        bool sizesOut = false;
        bool stretchOut = false;
        bool linksOut = false;
        bool coloursOut = false;
        bool outlineOut = false;
        bool answered = false;
        Capabilities found;
        QList<QSize> sizes;
        int knownSizes = 0;
    };
    Probe m_probe;
    // A search was sent before the probe was answered.
    bool m_searchAsked = false;

    // Pieces asked for with night or sepia, by id, until replied; and the
    // colours the helper was told last.
    QHash<quint64, PageColours> m_pieceColours;
    PageColours m_helperColours = PageColours::Normal;

    QList<quint64> m_bookmarksWaiting;
    QList<quint64> m_pageSizesWaiting;
    QList<quint64> m_sizeStretchesWaiting;
    QList<quint64> m_toolTipsWaiting;
    QList<quint64> m_outlinePiecesWaiting;
    QList<quint64> m_propertiesWaiting;
    QList<quint64> m_signaturesWaiting;
    QList<quint64> m_attachmentsWaiting;
    // Behind a question an older helper would not know goes a page every
    // helper draws: back before the answer, it says the question was not
    // known. By the page's token, the question's kind and id.
    struct ProbedQuestion {
        PacketType kind{};
        quint64 id = 0;
    };
    QHash<quint64, ProbedQuestion> m_questionProbes;
    quint64 sendProbedQuestion(QList<quint64> &waiting, PacketType kind, const QByteArray &packet);
    // The reply to such a question: its record to replied, or to
    // unavailable when it cannot be read.
    template<typename Record>
    void answerQuestion(QDataStream &payload, QList<quint64> &waiting,
                        void (HelperConnection::*replied)(quint64, const Record &),
                        void (HelperConnection::*unavailable)(quint64));

    std::deque<std::shared_ptr<ArrivedPacket>> m_arrived;
    QThreadPool m_decoders;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(HelperConnection::Capabilities)

} // namespace pdfpreview
