#pragma once

// The preview application's side of mode 1 for callers that may wait: one
// helper process (HelperProcess) and blocking forms of the requests on its
// connection (HelperConnection), for the command line, the thumbnailer,
// benchmarks and tests. The window drives the process and the connection
// themselves, and never waits.

#include "helperconnection.h"
#include "helperprocess.h"
#include "records.h"

#include <QList>
#include <QObject>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QEventLoop;

namespace pdfpreview {

class HelperSession : public QObject
{
    Q_OBJECT
public:
    using State = HelperProcess::State;
    using Transport = HelperConnection::Transport;

    explicit HelperSession(QObject *parent = nullptr);
    // Waits on a helper started elsewhere (a helper started ahead), in
    // whatever state it is.
    explicit HelperSession(std::unique_ptr<HelperProcess> process, QObject *parent = nullptr);
    // Ends the helper as HelperProcess does; any wait still running returns.
    ~HelperSession() override;

    // The process, to set it up before start() and to read its state, trace
    // and exit after.
    HelperProcess &process() { return *m_process; }
    const HelperProcess &process() const { return *m_process; }
    // The connection once connected, for requests that do not wait; null
    // before.
    HelperConnection *connection() const { return m_process->connection(); }
    State state() const { return m_process->state(); }

    // Listens on a fresh name and starts the helper for the document. False
    // when either fails; process().errorString() says why.
    bool start(const QString &documentPath, const QString &password = QString());
    // Runs the event loop until the helper has connected and its connection
    // knows what it can do (true), or it exited or the time is up (false).
    bool waitForConnected(int msecs = 30000);

    // Blocking forms: send, then run the event loop until the reply is in.
    // Empty when the helper went away or the time ran out. The reply's token
    // is the request's id.
    std::optional<PageRequest> render(PageRequest request, int msecs = 60000);
    std::optional<QList<BookmarkNode>> outline(int msecs = 60000);
    // Every page's size in points; empty when the helper does not tell them.
    std::optional<QList<QSize>> pageSizes(int msecs = 60000);
    // Whether the last page render() gave came through shared memory.
    bool lastRenderShared() const { return m_lastRenderShared; }

    // Closes the connection, which makes the helper end, and waits for its
    // exit. True when it exited by itself within the time.
    bool finish(int msecs = 30000);
    // Closes the connection without waiting: the helper ends while the
    // caller gets on with its own work, then waits with waitForFinished().
    void close();
    bool waitForFinished(int msecs = 30000);

private:
    void watchConnection();
    void wake();
    bool waitFor(const std::function<bool()> &done, int msecs);
    // Waits for the reply that mine() takes; empty when none came in time.
    template <typename Reply, typename... Args>
    std::optional<Reply> waitForReply(void (HelperConnection::*signal)(Args...),
                                      const std::function<std::optional<Reply>(Args...)> &mine, int msecs);

    std::unique_ptr<HelperProcess> m_process;
    bool m_lastRenderShared = false;
    QList<QEventLoop *> m_waitLoops;
};

} // namespace pdfpreview
