#pragma once

#include "areahandover.h"
#include "pagecolours.h"
#include "records.h"
#include "qpdfium.h"
#include "sharedarea.h"
#include "signatureverifier.h"
#include "textreadahead.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class QDataStream;
class QIODevice;
class QLocalSocket;
class ServerConnector;

class QStandardItem;

// Converts an outline item (title, page and children as the engine's outline
// reader stores them) with its subtree. A null item gives a fresh node.
BookmarkNode toBookmarkNode(const QStandardItem *item);

// The tool tips of an outline tree's entries, depth-first as the outline
// reply lists them; empty strings where there is none.
QStringList outlineToolTips(const QStandardItem *root);

// The top-level entries of an outline tree: the root's children in row order.
// The root itself carries nothing that is sent.
QList<BookmarkNode> toBookmarkNodes(const QStandardItem *root);

// What the helper's entry does at the points where the provider's work
// narrows: the document open but no socket made yet, with the path of the
// server's socket file; the document still not parsed, with the descriptor
// that will connect (-1 where there is none); and the connection up but not
// read. Empty in tests that run a provider inside their own process.
struct ProviderStages {
    std::function<void(const QString &serverPath)> beforeSocket;
    std::function<void(int connectDescriptor)> beforeParse;
    std::function<void()> connected;
};

// Mode 1 of the helper: loads one document, connects to the preview
// application's local server and answers its render and outline requests
// until the connection closes, which ends the event loop.
class PDFPageProvider : public QObject
{
    Q_OBJECT
public:
    explicit PDFPageProvider(QObject *parent = nullptr);
    ~PDFPageProvider() override;

    // Loads the document and asks the socket to connect. Returns 0, or -2
    // (after printing "load err") when the document cannot be loaded; then no
    // connection is attempted. Calling it again reuses the socket and its
    // connections.
    int start(const QString &serverName, const QString &documentPath, const QString &password);

    void setStages(ProviderStages stages) { m_stages = std::move(stages); }
    // The channel shared areas arrive on as handles (areahandover.h).
    void setAreaChannel(int descriptor) { m_areaHandOver.adoptChannel(descriptor); }
    // A connection our own preview side handed over (connectionhandover.h),
    // -1 for none: then start() connects to the server by its name.
    void setInheritedConnection(int descriptor) { m_inheritedConnection = descriptor; }

    void onReadyRead();

    // What onReadyRead does with the socket, on any pair of devices: takes
    // every complete packet that `in` has buffered and writes each reply to
    // `out` in one write. A packet still arriving is carried over to the next
    // call. Lets the whole request path run without a connection.
    void serve(QIODevice *in, QIODevice *out);

private:
    // The reply packet to one request, or nothing for a packet that gets none.
    QByteArray handlePacket(PacketType type, QDataStream &payload);
    QByteArray serveRender(QDataStream &payload);
    // The outline, or with toolTips the tool tips of its entries, which only
    // our own preview side asks for.
    QByteArray serveBookmarks(bool toolTips = false);
    // Our own preview side lays its pages out before they are drawn.
    QByteArray servePageSizes();
    QByteArray servePageSizesRange(QDataStream &payload);
    // Our own preview side's outline in pieces, read where the last one
    // stopped.
    QByteArray serveOutlinePiece(QDataStream &payload);
    // What our own preview side's properties window shows.
    QByteArray serveProperties();
    // The files the document carries, and one's bytes a piece at a time: the
    // file last asked for is kept decoded, so that its pieces cost one decode.
    QByteArray serveAttachments(QDataStream &payload);
    // Every signature the document carries, checked.
    QByteArray serveSignatures();
    QByteArray serveAttachmentPiece(QDataStream &payload);
    // Our own preview side's pages drawn into memory both share.
    QByteArray serveAreaOffer(QDataStream &payload);
    QByteArray serveSharedRender(QDataStream &payload);
    QByteArray serveTile(QDataStream &payload);
    QByteArray serveSharedTile(QDataStream &payload);
    // An image on the shared area at offset, or null where the area does
    // not hold one of that size there.
    QImage areaImage(quint64 offset, const QSize &size);
    static SharedImage placement(quint64 offset, const QImage &image);
    // Our own preview side's search: acknowledged at once, then a few
    // milliseconds of pages a turn of the event loop, its replies written to
    // the device the request came from.
    QByteArray serveSearch(QDataStream &payload, QIODevice *out);
    void serveSearchCancel(QDataStream &payload);
    void searchNextPage();
    QByteArray serveLinks(QDataStream &payload);
    // A page's characters and their boxes, for a screen reader.
    QByteArray servePageText(QDataStream &payload);
    QByteArray serveText(QDataStream &payload);
    QByteArray servePageColours(QDataStream &payload);
    // Night or sepia as last asked for, on a page or tile just drawn of a
    // page laid out as request asks; tile is where the image lies on the
    // page. The page's images keep their pixels. An inverted request is
    // left as drawn.
    void applyColours(QImage &image, const PageRequest &request, const QRect &tile);
    // Renders what the record asks for, inverted if asked: into target when
    // there is one, else into a new image that is returned.
    QImage renderPage(const PageRequest &request, QImage *target);
    // Ends the event loop with ServerUnreachable, once.
    void giveUpConnecting(const QString &why);

    QLocalSocket *socket;
    ServerConnector *connector = nullptr;
    ProviderStages m_stages;
    AreaHandOver m_areaHandOver;
    QPdfium engine;
    quint32 expectedSize;
    SharedArea area;
    int m_inheritedConnection = -1;
    PageColours m_colours = PageColours::Normal;
    // Where the images of the page last coloured lie, as it was laid out:
    // its tiles, and the page drawn again, ask pdfium once.
    struct ImageAreas {
        qint32 page = -1;
        QSize size;
        qint32 rotation = 0;
        QList<QRect> rects;
    };
    ImageAreas m_imageAreas;
    struct DecodedAttachment {
        qint32 page = -1;
        qint32 index = -1;
        std::optional<QByteArray> bytes;
    };
    DecodedAttachment m_attachment;
    // Its trust store is opened before the sandbox closes.
    SignatureVerifier m_verifier;
    TextReadAhead m_readAhead{engine};
    bool everConnected = false;
    bool gaveUp = false;

    // The search under way, if any.
    struct Search {
        SearchRequestRecord request;
        QPointer<QIODevice> out;
        int pageCount = 0;
        int searched = 0;
        int hits = 0;
        int rects = 0;
    };
    std::optional<Search> m_search;
};
