#pragma once

// The preview application's side of mode 1 for callers that may wait: one
// helper process for one document (HelperProcess), its connection
// (HelperConnection), and blocking forms of the requests on top, for the
// command line, the thumbnailer and tests. The window drives the same
// pieces without ever waiting.

#include "areablocks.h"
#include "helperconnection.h"
#include "helperprocess.h"
#include "records.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QEventLoop;
class QLocalSocket;

namespace pdfpreview {

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

    // How pages come: through memory both share (the default), or as PNG.
    // A shared page comes in memory of its own that no later page touches
    // while the image, or a copy of it, lives.
    using Transport = HelperConnection::Transport;

    explicit HelperSession(QObject *parent = nullptr);
    // Closes the connection and waits briefly for the helper; kills it if it
    // does not end by itself.
    ~HelperSession() override;

    void setHelperProgram(const QString &path) { m_process.setProgram(path); }
    QString helperProgram() const { return m_process.program(); }
    void setForwardHelperLog(bool on) { m_process.setForwardLog(on); }
    void setTransport(Transport transport);
    Transport transport() const { return m_transport; }
    // Whether the last page render() gave came through shared memory.
    bool lastRenderShared() const { return m_lastRenderShared; }

    // Listens on a fresh name and starts the helper for the document. False
    // when either fails; errorString() says why. Call once per session.
    bool start(const QString &documentPath, const QString &password = QString());
    // Runs the event loop until the helper has connected (true) or exited or
    // the time is up (false).
    bool waitForConnected(int msecs = 30000);

    // Requests that do not wait, as HelperConnection sends them: each
    // returns the request's id (0 when not connected), which a page's or
    // tile's reply carries as its token; replies come as signals.
    quint64 sendPageRequest(const PageRequest &request);
    quint64 sendTileRequest(const TileRecord &tile);
    void sendBookmarksRequest();
    void sendPageSizesRequest();
    void sendOutlineToolTipsRequest();
    void sendRaw(const QByteArray &bytes);
    // As HelperConnection searches.
    quint64 sendSearchRequest(const QString &query, bool matchCase, int startPage);
    void sendSearchCancel(quint64 id);
    void sendLinksRequest(int page);
    quint64 sendTextRequest(int page, QPointF from, QPointF to, bool word);

    // Blocking forms: send, then run the event loop until the reply is in.
    // Empty when the helper went away or the time ran out. The reply's token
    // is the request's id.
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
    QString serverName() const { return m_process.serverName(); }
    // The helper's process id while it runs, else 0.
    qint64 helperProcessId() const { return m_process.processId(); }
    QStringList trace() const { return m_process.trace(); }
    QString errorString() const;

signals:
    void connected();
    void renderReplied(const PageRequest &reply);
    void tileReplied(const TileRecord &reply);
    void bookmarksReplied(const QList<BookmarkNode> &nodes);
    void pageSizesReplied(const QList<QSize> &sizes);
    void outlineToolTipsReplied(const QStringList &toolTips);
    void searchReplied(const SearchReplyRecord &reply);
    void searchUnavailable();
    void linksReplied(const LinksReplyRecord &reply);
    void textReplied(const TextReplyRecord &reply);
    void traceLine(const QString &line);
    void finished(int exitCode);

private:
    void onConnected(QLocalSocket *socket);
    void onFinished(int exitCode, bool crashed);
    void wake();
    bool waitFor(const std::function<bool()> &done, int msecs);
    // Waits for the reply that mine() takes; empty when none came in time.
    template <typename Reply, typename... Args>
    std::optional<Reply> waitForReply(void (HelperConnection::*signal)(Args...),
                                      const std::function<std::optional<Reply>(Args...)> &mine, int msecs);

    HelperProcess m_process;
    QPointer<HelperConnection> m_connection;
    Transport m_transport = Transport::Shared;
    bool m_lastRenderShared = false;
    QList<QEventLoop *> m_waitLoops;
    State m_state = State::Idle;
    int m_exitCode = 0;
    bool m_crashed = false;
};

} // namespace pdfpreview
