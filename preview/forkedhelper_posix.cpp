#include "forkedhelper.h"

#include "connectionhandover.h"
#include "contract.h"
#include "framing.h"
#include "helpermain.h"
#include "helperexit.h"

#include <QBuffer>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pdfpreview {

namespace {

// The largest reply asked for: a page's PNG at the image bound, or the page
// sizes of a document with millions of pages, and the record around either.
constexpr qint64 MaxReplyBytes = MaxImageBytes + qint64(1024) * 1024;
constexpr int ReadChunk = 256 * 1024;

int pollMsecs(const QDeadlineTimer &deadline)
{
    return int(qBound(qint64(0), deadline.remainingTime(), qint64(24) * 3600 * 1000));
}

// The child's side, up to the helper's own start or the program's. It may
// allocate and set the environment: the thumbnailer has no other thread
// that could have held a lock across the fork. Never returns.
[[noreturn]] void becomeHelper(pid_t parent, int connection, int areaChannel, const QByteArray &documentPath,
                               bool forwardLog, const QByteArray &program)
{
    // A thumbnailer killed by its caller takes its helper with it.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
        ::_exit(127);
    ::prctl(PR_SET_NAME, "pdfhelper");
    const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nothing < 0)
        ::_exit(127);
    ::dup2(nothing, STDIN_FILENO);
    // The trace is for a preview side that reads it; here nobody does.
    ::dup2(nothing, STDOUT_FILENO);
    if (!forwardLog)
        ::dup2(nothing, STDERR_FILENO);
    ::close(nothing);
    char number[16];
    std::snprintf(number, sizeof number, "%d", connection);
    ::setenv(ConnectionVariable, number, 1);
    if (areaChannel >= 0) {
        std::snprintf(number, sizeof number, "%d", areaChannel);
        ::setenv(AreaChannelVariable, number, 1);
    }
    // The server name is never used: the connection is handed over.
    char mode[] = "1";
    char server[] = "thumbnail";
    QByteArray path = documentPath;
    if (program.isEmpty()) {
        char name[] = "pdfhelper";
        char *argv[] = {name, mode, server, path.data(), nullptr};
        const int code = runHelper(4, argv);
        // The exit handlers are this program's, registered before the fork:
        // none of them is the helper's business.
        std::fflush(nullptr);
        ::_exit(code);
    }
    QByteArray executable = program;
    char *argv[] = {executable.data(), mode, server, path.data(), nullptr};
    // The connection and the areas' channel are all the program inherits.
    ::fcntl(connection, F_SETFD, 0);
    if (areaChannel >= 0)
        ::fcntl(areaChannel, F_SETFD, 0);
    ::execv(executable.constData(), argv);
    ::_exit(127);
}

} // namespace

ForkedHelper::~ForkedHelper()
{
    closeConnection();
    if (m_child > 0)
        kill();
}

bool ForkedHelper::start(const QString &documentPath, bool forwardLog, const QString &program)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        m_error = QStringLiteral("cannot make the helper's connection: %1")
                      .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const QByteArray path = QFile::encodeName(documentPath);
    const QByteArray executable = QFile::encodeName(program);
    // Without the channel pages come as PNG.
    const int areaChannel = m_areas.prepare() ? m_areas.childDescriptor() : -1;
    const pid_t parent = ::getpid();
    // What is buffered here would otherwise be written twice.
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        becomeHelper(parent, ends[1], areaChannel, path, forwardLog, executable);
    }
    ::close(ends[1]);
    if (child < 0) {
        ::close(ends[0]);
        m_error = QStringLiteral("cannot start the helper: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_child = child;
    m_connection = ends[0];
    m_areas.helperStarted(child);
    return true;
}

ForkedHelper::Answer ForkedHelper::ask(const QByteArray &packet, PacketType replyType,
                                       const std::function<void(QDataStream &)> &read, const QDeadlineTimer &deadline)
{
    const Answer sent = send(packet, deadline);
    return sent == Answer::Read ? receive(replyType, read, deadline) : sent;
}

ForkedHelper::Answer ForkedHelper::send(const QByteArray &packet, const QDeadlineTimer &deadline)
{
    m_timedOut = false;
    if (sendAll(packet, deadline))
        return Answer::Read;
    return m_timedOut ? Answer::TimedOut : Answer::Closed;
}

ForkedHelper::Answer ForkedHelper::receive(PacketType replyType, const std::function<void(QDataStream &)> &read,
                                           const QDeadlineTimer &deadline)
{
    m_timedOut = false;
    for (;;) {
        // Replies come in the order of the questions: whatever comes before
        // the one awaited answers nothing that is still awaited.
        while (!m_arrived.empty()) {
            const Arrived packet = std::move(m_arrived.front());
            m_arrived.pop_front();
            if (packet.type == replyType) {
                QDataStream in(packet.payload);
                in.setVersion(ProtocolStreamVersion);
                read(in);
                return Answer::Read;
            }
        }
        QBuffer buffered(&m_incoming);
        buffered.open(QIODevice::ReadOnly);
        readPackets(&buffered, m_expectedSize, [this](PacketType type, QDataStream &payload) {
            m_arrived.push_back({type, payload.device()->readAll()});
        });
        m_incoming.remove(0, buffered.pos());
        if (!m_arrived.empty())
            continue;
        if (m_expectedSize > MaxReplyBytes) {
            closeConnection();
            return Answer::Closed;
        }
        if (!readSome(deadline))
            return m_timedOut ? Answer::TimedOut : Answer::Closed;
    }
}

bool ForkedHelper::sendAll(const QByteArray &packet, const QDeadlineTimer &deadline)
{
    qsizetype sent = 0;
    while (m_connection >= 0 && sent < packet.size()) {
        const ssize_t n = ::send(m_connection, packet.constData() + sent, size_t(packet.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd writable{m_connection, POLLOUT, 0};
            const int ready = ::poll(&writable, 1, pollMsecs(deadline));
            if (ready == 0 && deadline.hasExpired()) {
                m_timedOut = true;
                return false;
            }
            continue;
        }
        return false;
    }
    return m_connection >= 0;
}

bool ForkedHelper::readSome(const QDeadlineTimer &deadline)
{
    if (m_connection < 0)
        return false;
    pollfd readable{m_connection, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&readable, 1, pollMsecs(deadline));
        if (ready > 0)
            break;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0 && !deadline.hasExpired())
            continue;
        m_timedOut = ready == 0;
        return false;
    }
    const qsizetype at = m_incoming.size();
    m_incoming.resize(at + ReadChunk);
    ssize_t n;
    do
        n = ::recv(m_connection, m_incoming.data() + at, ReadChunk, 0);
    while (n < 0 && errno == EINTR);
    m_incoming.resize(at + qMax<qsizetype>(n, 0));
    return n > 0;
}

void ForkedHelper::closeConnection()
{
    if (m_connection >= 0)
        ::close(m_connection);
    m_connection = -1;
}

bool ForkedHelper::reap(int options)
{
    if (m_child <= 0)
        return true;
    int status = 0;
    pid_t got;
    do
        got = ::waitpid(m_child, &status, options);
    while (got < 0 && errno == EINTR);
    if (got == 0)
        return false;
    m_child = -1;
    if (got > 0) {
        m_end.crashed = WIFSIGNALED(status);
        m_end.exitCode = WIFEXITED(status) ? signedExitCode(WEXITSTATUS(status)) : 0;
    }
    return true;
}

bool ForkedHelper::waitForEnd(const QDeadlineTimer &deadline)
{
    if (reap(WNOHANG))
        return true;
    // Woken the moment the child ends. Where the system has no process
    // descriptors (before Linux 5.3, or a filter that refuses them), it is
    // looked at again and again, ever less often.
    const int process = int(::syscall(SYS_pidfd_open, m_child, 0));
    if (process >= 0) {
        pollfd ended{process, POLLIN, 0};
        while (::poll(&ended, 1, pollMsecs(deadline)) < 0 && errno == EINTR) { }
        ::close(process);
        return reap(WNOHANG);
    }
    for (int pause = 1;; pause = qMin(pause * 2, 20)) {
        if (deadline.hasExpired())
            return false;
        ::usleep(useconds_t(qMin<qint64>(pause, qMax<qint64>(deadline.remainingTime(), 1)) * 1000));
        if (reap(WNOHANG))
            return true;
    }
}

void ForkedHelper::kill()
{
    if (m_child > 0)
        ::kill(m_child, SIGKILL);
    reap(0);
}

} // namespace pdfpreview
