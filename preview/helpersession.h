#pragma once

// The preview application's side of mode 1: a local server under a name of
// its own, one pdfhelper process started on it for one document, requests
// out and decoded replies back.

#include "areablocks.h"
#include "pagerequest.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QThreadPool>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class AreaHandOver;
class SharedArea;

class QEventLoop;
class QLocalServer;
class QLocalSocket;

namespace pdfpreview {

// The exit code as the helper's main returned it. Where exit statuses are
// 8 bits wide, -2 arrives as 254; this gives -2 back on every platform.
int signedExitCode(int rawExitCode);

// Whether the file names an encryption dictionary near its start or end:
// the helper cannot tell a wrong password from a damaged file, but an
// encrypted document says so in the clear. Only bytes are looked at; the
// document is never opened as a PDF here.
bool looksEncrypted(const QString &path);

// The pdfhelper executable beside the running program, or failing that the
// one this library was built with.
QString defaultHelperProgram();

class HelperSession : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Idle,       // nothing started yet
        Starting,   // helper running, not connected yet
        Connected,  // requests can be sent
        Closing,    // connection closed, the helper has not exited yet
        Finished,   // the helper has exited
    };
    Q_ENUM(State)

    // How render() receives pages: drawn by the helper straight into memory
    // both share (the default, and a helper that does not know it is found
    // out at the first render and answered with PNG from then on), or as PNG
    // in the reply packet. A shared page comes in memory of its own that no
    // later render touches while the image, or a copy of it, lives.
    enum class Transport { Shared, Png };
    Q_ENUM(Transport)

    explicit HelperSession(QObject *parent = nullptr);
    // Closes the connection and waits briefly for the helper; kills it if it
    // does not end by itself.
    ~HelperSession() override;

    void setHelperProgram(const QString &path) { m_program = path; }
    QString helperProgram() const { return m_program; }
    // Sends the helper's debug log (its standard error) to ours instead of
    // dropping it.
    void setForwardHelperLog(bool on) { m_forwardLog = on; }
    void setTransport(Transport transport) { m_transport = transport; }
    Transport transport() const { return m_transport; }
    // Whether the last page render() gave came through shared memory.
    bool lastRenderShared() const { return m_lastRenderShared; }

    // Listens on a fresh name and starts the helper for the document. False
    // when either fails; errorString() says why. Call once per session.
    bool start(const QString &documentPath, const QString &password = QString());
    // Runs the event loop until the helper has connected (true) or exited or
    // the time is up (false).
    bool waitForConnected(int msecs = 30000);

    // Requests are answered one at a time, in order; the replies arrive as
    // signals. Nothing is sent unless connected.
    void sendRenderRequest(const PageRequest &request);
    void sendBookmarksRequest();
    // Asks for every page's size in points; a helper too old to know the
    // question stays silent, and its next reply to another request comes
    // first.
    void sendPageSizesRequest();
    // Asks for the tool tips of the outline's entries, in the order the
    // outline reply lists them; an older helper stays silent.
    void sendOutlineToolTipsRequest();
    // The non-blocking form of render(), for callers that must not wait: the
    // reply comes as renderReplied() with the request's token, its image in
    // shared memory under the same slot rules as render() where the helper
    // knows the area, else decoded from PNG. An area is offered without
    // waiting; requests made meanwhile follow once the helper has answered.
    void sendPageRequest(const PageRequest &request);
    // Asks for a tile of a page laid out larger than one image may be; the
    // reply comes as tileReplied() with the request's token, its image in
    // shared memory as sendPageRequest() gives pages. A helper that does not
    // know tiles drops the request: replies come in request order, so a
    // reply to anything sent after it, arriving first, says so.
    void sendTileRequest(const TileRecord &tile);
    // Writes bytes as they are, for callers that speak the protocol themselves.
    void sendRaw(const QByteArray &bytes);

    // Blocking forms: send, then run the event loop until the reply is in.
    // Empty when the helper went away or the time ran out. The token of the
    // request is replaced by one that identifies it.
    std::optional<PageRequest> render(PageRequest request, int msecs = 60000);
    std::optional<QList<BookmarkNode>> outline(int msecs = 60000);
    // Every page's size in points; empty when the helper does not answer.
    std::optional<QList<QSize>> pageSizes(int msecs = 60000);

    // Closes the connection, which makes the helper end, and waits for its
    // exit. True when it exited by itself within the time.
    bool finish(int msecs = 30000);
    // Closes the connection without waiting: the helper ends while the
    // caller gets on with its own work, then waits with waitForFinished().
    void close();
    bool waitForFinished(int msecs = 30000);
    // Ends the helper at once, whatever it is doing: for a caller whose time
    // is up. The session is Finished afterwards.
    void kill();

    State state() const { return m_state; }
    // Valid once the state is Finished. A crash gives crashed() true.
    int exitCode() const { return m_exitCode; }
    bool crashed() const { return m_crashed; }
    QString serverName() const;
    // The helper's process id while it runs, else 0.
    qint64 helperProcessId() const;
    QStringList trace() const { return m_trace; }
    QString errorString() const { return m_error; }

signals:
    void connected();
    void renderReplied(const PageRequest &reply);
    void bookmarksReplied(const QList<BookmarkNode> &nodes);
    void pageSizesReplied(const QList<QSize> &sizes);
    void outlineToolTipsReplied(const QStringList &toolTips);
    void sharedAreaReplied(const bool &accepted);
    void sharedRenderReplied(const PageRequest &reply, const SharedImage &image);
    void tileReplied(const TileRecord &reply);
    // A packet type the preview side does not expect from the helper.
    void unexpectedPacket(int type);
    void traceLine(const QString &line);
    void finished(int exitCode);

private:
    void onNewConnection();
    void onReadyRead();
    // A packet off the connection, its image decoded once ready.
    struct ArrivedPacket {
        PacketType type{};
        QByteArray payload;
        bool ready = true;
        PageRequest page; // a render reply, decoded
        TileRecord tile;  // a tile reply, decoded
    };
    void dispatchArrived();
    void handleArrived(const ArrivedPacket &packet);
    void onProcessFinished(int rawExitCode, QProcess::ExitStatus status);
    void onProcessError(QProcess::ProcessError error);
    void readTrace();
    void wake();
    bool waitFor(const std::function<bool()> &done, int msecs);
    std::optional<PageRequest> renderShared(PageRequest request, qint64 offset, int msecs);
    // Offers the helper a new area of at least bytes; false when the system
    // or the helper refuses it, or the helper does not know the offer.
    bool offerArea(qint64 bytes, int msecs);
    // The non-blocking area offer and what follows from its answer.
    void offerAreaWithoutWaiting(qint64 bytes);
    void onAreaAnswered(bool accepted, bool known);
    // A page (a null tile) or a tile asked for without waiting: drawn into
    // the area where it can be, else as PNG.
    void sendPiece(const TileRecord &piece);
    void sendPlainPiece(const TileRecord &piece);
    void sendSharedPiece(TileRecord piece, qint64 offset);
    // The piece of a shared reply, its image on the area; empty when no
    // request that did not wait is behind it.
    std::optional<TileRecord> sharedPieceReplied(const TileRecord &reply, const SharedImage &placed);
    void forgetPendingPieces();
    // Sends a request now, or behind the area offer that is out.
    void sendRequest(const QByteArray &packet);
    // Sends one packet and waits for the first reply that mine() accepts.
    template <typename Reply>
    std::optional<Reply> ask(const QByteArray &packet, void (HelperSession::*signal)(const Reply &),
                             const std::function<bool(const Reply &)> &mine, int msecs);

    QString m_program;
    bool m_forwardLog = false;
    Transport m_transport = Transport::Shared;
    std::shared_ptr<AreaBlocks> m_area;
    // How areas reach the helper, which opens nothing by name.
    std::unique_ptr<AreaHandOver> m_handOver;
    bool m_sharedUnsupported = false;
    // Requests that do not wait, drawn into a block, by token, until replied.
    struct PendingPiece {
        std::shared_ptr<AreaBlocks> area;
        qint64 offset = 0;
    };
    QHash<quint64, PendingPiece> m_pendingPieces;
    // An area offered without waiting, and the requests waiting for the answer.
    std::unique_ptr<SharedArea> m_offeredArea;
    quint64 m_offerProbeToken = 0;
    quint64 m_offersMade = 0;
    struct Waiting {
        TileRecord piece;
        QByteArray packet; // any other request, as it goes out
    };
    QList<Waiting> m_afterOffer;
    bool m_lastRenderShared = false;
    QLocalServer *m_server = nullptr;
    QLocalSocket *m_socket = nullptr;
    QProcess *m_process = nullptr;
    QString m_serverName;
    QList<QEventLoop *> m_waitLoops;
    State m_state = State::Idle;
    quint32 m_expectedSize = 0;
    quint64 m_nextToken = 1;
    quint64 m_bookmarksSent = 0;
    quint64 m_bookmarksReceived = 0;
    int m_exitCode = 0;
    bool m_crashed = false;
    QString m_error;
    QStringList m_trace;
    QByteArray m_partialTraceLine;
    std::deque<std::shared_ptr<ArrivedPacket>> m_arrived;
    QThreadPool m_decoders;
};

// Mode 0 run through the helper.
struct AnnotationScan {
    bool ran = false;    // the helper ran and exited normally
    int exitCode = 0;    // as main returned it: 0, -3, -4, -5 (or -1)
    QList<int> pages;    // the annotated pages when exitCode is 0
    QString error;       // why the helper did not run
};

AnnotationScan scanAnnotatedPages(const QString &helperProgram, const QString &documentPath,
                                  const QString &password = QString(), int msecs = 120000);

} // namespace pdfpreview
