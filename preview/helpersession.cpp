#include "helpersession.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLocalSocket>
#include <QTimer>

namespace pdfpreview {

HelperSession::HelperSession(QObject *parent)
    : QObject(parent)
{
    connect(&m_process, &HelperProcess::connected, this, &HelperSession::onConnected);
    connect(&m_process, &HelperProcess::finished, this, &HelperSession::onFinished);
    connect(&m_process, &HelperProcess::traceLine, this, &HelperSession::traceLine);
}

HelperSession::~HelperSession()
{
    for (QEventLoop *loop : std::as_const(m_waitLoops))
        loop->quit();
    m_process.disconnect(this);
    // The connection goes first, so that the helper sees it closed and ends
    // while the process waits for it.
    delete m_connection;
}

void HelperSession::setTransport(Transport transport)
{
    m_transport = transport;
    if (m_connection)
        m_connection->setTransport(transport);
}

QString HelperSession::errorString() const
{
    return m_process.errorString();
}

bool HelperSession::start(const QString &documentPath, const QString &password)
{
    if (m_state != State::Idle)
        return false;
    m_state = State::Starting;
    if (!m_process.start(documentPath, password)) {
        m_state = State::Finished;
        m_crashed = true;
        return false;
    }
    return true;
}

void HelperSession::onConnected(QLocalSocket *socket)
{
    if (m_state != State::Starting) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    m_connection = new HelperConnection(socket, m_process.handOver(), this);
    m_connection->setTransport(m_transport);
    connect(m_connection, &HelperConnection::renderReplied, this, &HelperSession::renderReplied);
    connect(m_connection, &HelperConnection::tileReplied, this, &HelperSession::tileReplied);
    connect(m_connection, &HelperConnection::bookmarksReplied, this,
            [this](quint64, const QList<BookmarkNode> &nodes) { emit bookmarksReplied(nodes); });
    connect(m_connection, &HelperConnection::pageSizesReplied, this,
            [this](quint64, const QList<QSize> &sizes) { emit pageSizesReplied(sizes); });
    connect(m_connection, &HelperConnection::outlineToolTipsReplied, this,
            [this](quint64, const QStringList &tips) { emit outlineToolTipsReplied(tips); });
    connect(m_connection, &HelperConnection::searchReplied, this, &HelperSession::searchReplied);
    connect(m_connection, &HelperConnection::searchUnavailable, this, &HelperSession::searchUnavailable);
    connect(m_connection, &HelperConnection::linksReplied, this, &HelperSession::linksReplied);
    connect(m_connection, &HelperConnection::textReplied, this, &HelperSession::textReplied);
    connect(m_connection, &HelperConnection::packetHandled, this, &HelperSession::wake);
    connect(m_connection, &HelperConnection::disconnected, this, [this] {
        if (m_state == State::Connected)
            m_state = State::Closing;
        wake();
    });
    m_state = State::Connected;
    emit connected();
    wake();
}

void HelperSession::onFinished(int exitCode, bool crashed)
{
    m_crashed = crashed;
    m_exitCode = exitCode;
    m_state = State::Finished;
    emit finished(m_exitCode);
    wake();
}

bool HelperSession::waitForConnected(int msecs)
{
    waitFor([this] { return m_state != State::Starting; }, msecs);
    return m_state == State::Connected;
}

quint64 HelperSession::sendPageRequest(const PageRequest &request)
{
    return m_state == State::Connected ? m_connection->sendPageRequest(request) : 0;
}

quint64 HelperSession::sendTileRequest(const TileRecord &tile)
{
    return m_state == State::Connected ? m_connection->sendTileRequest(tile) : 0;
}

void HelperSession::sendBookmarksRequest()
{
    if (m_state == State::Connected)
        m_connection->sendBookmarksRequest();
}

void HelperSession::sendPageSizesRequest()
{
    if (m_state == State::Connected)
        m_connection->sendPageSizesRequest();
}

void HelperSession::sendOutlineToolTipsRequest()
{
    if (m_state == State::Connected)
        m_connection->sendOutlineToolTipsRequest();
}

quint64 HelperSession::sendSearchRequest(const QString &query, bool matchCase, int startPage)
{
    return m_state == State::Connected ? m_connection->sendSearchRequest(query, matchCase, startPage) : 0;
}

void HelperSession::sendSearchCancel(quint64 id)
{
    if (m_state == State::Connected)
        m_connection->sendSearchCancel(id);
}

void HelperSession::sendLinksRequest(int page)
{
    if (m_state == State::Connected)
        m_connection->sendLinksRequest(page);
}

quint64 HelperSession::sendTextRequest(int page, QPointF from, QPointF to, bool word)
{
    return m_state == State::Connected ? m_connection->sendTextRequest(page, from, to, word) : 0;
}

void HelperSession::sendRaw(const QByteArray &bytes)
{
    if (m_state == State::Connected)
        m_connection->sendRaw(bytes);
}

template <typename Reply, typename... Args>
std::optional<Reply> HelperSession::waitForReply(void (HelperConnection::*signal)(Args...),
                                                 const std::function<std::optional<Reply>(Args...)> &mine, int msecs)
{
    std::optional<Reply> reply;
    const auto connection = connect(m_connection, signal, this, [&reply, &mine](Args... args) {
        if (!reply)
            reply = mine(args...);
    });
    waitFor([&] { return reply.has_value() || m_state != State::Connected; }, msecs);
    disconnect(connection);
    return reply;
}

std::optional<PageRequest> HelperSession::render(PageRequest request, int msecs)
{
    m_lastRenderShared = false;
    const quint64 id = sendPageRequest(request);
    if (id == 0)
        return std::nullopt;
    return waitForReply(&HelperConnection::renderReplied,
                        std::function<std::optional<PageRequest>(const PageRequest &)>([this, id](const PageRequest &r) {
                            if (r.token != id)
                                return std::optional<PageRequest>();
                            m_lastRenderShared = m_connection->replyIsShared();
                            return std::optional(r);
                        }),
                        msecs);
}

std::optional<QList<BookmarkNode>> HelperSession::outline(int msecs)
{
    if (m_state != State::Connected)
        return std::nullopt;
    const quint64 id = m_connection->sendBookmarksRequest();
    using Nodes = QList<BookmarkNode>;
    return waitForReply(&HelperConnection::bookmarksReplied,
                        std::function<std::optional<Nodes>(quint64, const Nodes &)>(
                            [id](quint64 got, const Nodes &nodes) { return got == id ? std::optional(nodes) : std::nullopt; }),
                        msecs);
}

std::optional<QList<QSize>> HelperSession::pageSizes(int msecs)
{
    if (m_state != State::Connected)
        return std::nullopt;
    const quint64 id = m_connection->sendPageSizesRequest();
    using Sizes = QList<QSize>;
    return waitForReply(&HelperConnection::pageSizesReplied,
                        std::function<std::optional<Sizes>(quint64, const Sizes &)>(
                            [id](quint64 got, const Sizes &sizes) { return got == id ? std::optional(sizes) : std::nullopt; }),
                        msecs);
}

bool HelperSession::finish(int msecs)
{
    if (m_state == State::Idle)
        return false;
    close();
    if (waitForFinished(msecs))
        return !m_crashed;
    m_process.kill();
    return false;
}

void HelperSession::close()
{
    if (m_connection)
        m_connection->close();
}

void HelperSession::kill()
{
    m_process.kill();
}

bool HelperSession::waitForFinished(int msecs)
{
    return waitFor([this] { return m_state == State::Finished; }, msecs);
}

void HelperSession::wake()
{
    for (QEventLoop *loop : std::as_const(m_waitLoops))
        loop->quit();
}

bool HelperSession::waitFor(const std::function<bool()> &done, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    m_waitLoops.append(&loop);
    bool ok = true;
    while (!done()) {
        if (deadline.hasExpired()) {
            ok = false;
            break;
        }
        timer.start(std::chrono::milliseconds(deadline.remainingTime()));
        loop.exec();
    }
    m_waitLoops.removeOne(&loop);
    return ok;
}

} // namespace pdfpreview
