#include "helpersession.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace pdfpreview {

HelperSession::HelperSession(QObject *parent)
    : HelperSession(std::make_unique<HelperProcess>(), parent)
{
}

HelperSession::HelperSession(std::unique_ptr<HelperProcess> process, QObject *parent)
    : QObject(parent)
    , m_process(std::move(process))
{
    m_process->setParent(nullptr);
    connect(m_process.get(), &HelperProcess::connected, this, [this] {
        watchConnection();
        wake();
    });
    connect(m_process.get(), &HelperProcess::finished, this, &HelperSession::wake);
    if (connection())
        watchConnection();
}

void HelperSession::watchConnection()
{
    connect(connection(), &HelperConnection::packetHandled, this, &HelperSession::wake);
    connect(connection(), &HelperConnection::disconnected, this, &HelperSession::wake);
}

HelperSession::~HelperSession()
{
    for (QEventLoop *loop : std::as_const(m_waitLoops))
        loop->quit();
    m_process->disconnect(this);
}

bool HelperSession::start(const QString &documentPath, const QString &password)
{
    return m_process->start(documentPath, password);
}

bool HelperSession::waitForConnected(int msecs)
{
    waitFor([this] {
        return state() != State::Starting && (state() != State::Connected || connection()->capabilitiesKnown());
    }, msecs);
    return state() == State::Connected && connection()->capabilitiesKnown();
}

template <typename Reply, typename... Args>
std::optional<Reply> HelperSession::waitForReply(void (HelperConnection::*signal)(Args...),
                                                 const std::function<std::optional<Reply>(Args...)> &mine, int msecs)
{
    std::optional<Reply> reply;
    const auto connection = connect(m_process->connection(), signal, this, [&reply, &mine](Args... args) {
        if (!reply)
            reply = mine(args...);
    });
    waitFor([&] { return reply.has_value() || state() != State::Connected; }, msecs);
    disconnect(connection);
    return reply;
}

std::optional<PageRequest> HelperSession::render(PageRequest request, int msecs)
{
    m_lastRenderShared = false;
    const quint64 id = state() == State::Connected ? connection()->sendPageRequest(request) : 0;
    if (id == 0)
        return std::nullopt;
    return waitForReply(&HelperConnection::renderReplied,
                        std::function<std::optional<PageRequest>(const PageRequest &)>([this, id](const PageRequest &r) {
                            if (r.token != id)
                                return std::optional<PageRequest>();
                            m_lastRenderShared = connection()->replyIsShared();
                            return std::optional(r);
                        }),
                        msecs);
}

std::optional<QList<BookmarkNode>> HelperSession::outline(int msecs)
{
    if (state() != State::Connected)
        return std::nullopt;
    const quint64 id = connection()->sendBookmarksRequest();
    using Nodes = QList<BookmarkNode>;
    return waitForReply(&HelperConnection::bookmarksReplied,
                        std::function<std::optional<Nodes>(quint64, const Nodes &)>(
                            [id](quint64 got, const Nodes &nodes) { return got == id ? std::optional(nodes) : std::nullopt; }),
                        msecs);
}

std::optional<QList<QSize>> HelperSession::pageSizes(int msecs)
{
    // The connection's probe brings them, or the first pages' of them.
    QDeadlineTimer deadline(msecs);
    if (!waitForConnected(msecs) || !connection()->capabilities().testFlag(HelperConnection::Capability::Sizes))
        return std::nullopt;
    const QList<QSize> probed = connection()->pageSizes();
    if (connection()->knownPageSizes() == probed.size())
        return probed;
    const quint64 id = connection()->sendPageSizesRequest();
    using Sizes = QList<QSize>;
    return waitForReply(
        &HelperConnection::pageSizesReplied,
        std::function<std::optional<Sizes>(quint64, const Sizes &)>(
            [id](quint64 got, const Sizes &sizes) { return got == id ? std::optional(sizes) : std::nullopt; }),
        deadline.isForever() ? msecs : int(qMax<qint64>(1, deadline.remainingTime())));
}

bool HelperSession::finish(int msecs)
{
    if (state() == State::Idle)
        return false;
    close();
    if (waitForFinished(msecs))
        return !m_process->crashed();
    m_process->kill();
    return false;
}

void HelperSession::close()
{
    if (connection())
        connection()->close();
}

bool HelperSession::waitForFinished(int msecs)
{
    return waitFor([this] { return state() == State::Finished; }, msecs);
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
