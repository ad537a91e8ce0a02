#include "serverconnector.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTimer>

#ifndef _WIN32
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {
// How often a server whose queue is full is tried again.
constexpr int RetryMsecs = 50;
} // namespace

ServerConnector::ServerConnector(QLocalSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
{
#ifdef _WIN32
    connect(m_socket, &QLocalSocket::connected, this, &ServerConnector::connected);
    connect(m_socket, &QLocalSocket::errorOccurred, this, [this] {
        if (m_socket->state() != QLocalSocket::ConnectedState)
            emit failed(m_socket->errorString());
    });
#endif
}

ServerConnector::~ServerConnector()
{
#ifndef _WIN32
    // Not handed over yet: still ours.
    if (m_descriptor >= 0 && !m_handedOver)
        ::close(m_descriptor);
#endif
}

#ifdef _WIN32

void ServerConnector::adopt(int)
{
}

int ServerConnector::prepare()
{
    return -1;
}

QString ServerConnector::fullServerNameFor(const QString &serverName)
{
    return serverName;
}

void ServerConnector::connectTo(const QString &serverName)
{
    if (m_started)
        return;
    m_started = true;
    m_socket->connectToServer(serverName, QIODevice::ReadWrite);
    m_fullServerName = m_socket->fullServerName();
}

void ServerConnector::tryConnect()
{
}

void ServerConnector::handOver()
{
}

#else

void ServerConnector::adopt(int descriptor)
{
    if (descriptor < 0 || m_started || m_descriptor >= 0)
        return;
    m_descriptor = descriptor;
    m_adopted = true;
}

int ServerConnector::prepare()
{
    if (m_adopted)
        return -1;
    if (m_descriptor < 0)
        m_descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return m_descriptor;
}

QString ServerConnector::fullServerNameFor(const QString &serverName)
{
    // A name without a folder lives in the temporary folder, as QLocalServer
    // puts it there.
    return serverName.startsWith(QLatin1Char('/')) ? serverName : QDir::tempPath() + QLatin1Char('/') + serverName;
}

void ServerConnector::connectTo(const QString &serverName)
{
    if (m_started)
        return;
    m_started = true;
    m_fullServerName = fullServerNameFor(serverName);
    if (m_adopted)
        handOver();
    else
        tryConnect();
}

void ServerConnector::handOver()
{
    // The QLocalSocket reads nothing before the event loop runs, so whoever
    // hears connected() acts before the first packet is read.
    m_handedOver = true;
    m_socket->setSocketDescriptor(m_descriptor, QLocalSocket::ConnectedState, QIODevice::ReadWrite);
    emit connected();
}

void ServerConnector::tryConnect()
{
    const QByteArray path = QFile::encodeName(m_fullServerName);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_descriptor < 0 || path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path) {
        emit failed(m_descriptor < 0 ? QStringLiteral("no socket could be made")
                                     : QStringLiteral("%1: the name does not fit a local socket").arg(m_fullServerName));
        return;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    int result;
    do
        result = ::connect(m_descriptor, reinterpret_cast<const sockaddr *>(&address), socklen_t(sizeof address));
    while (result != 0 && errno == EINTR);
    if (result == 0) {
        handOver();
        return;
    }
    if (errno == EISCONN) {
        emit failed(QStringLiteral("%1: the socket was connected elsewhere before").arg(m_fullServerName));
        return;
    }
    // A local stream socket connects at once or finds the server's queue full.
    if (errno == EAGAIN) {
        if (!m_retry) {
            m_retry = new QTimer(this);
            m_retry->setSingleShot(true);
            m_retry->setInterval(RetryMsecs);
            connect(m_retry, &QTimer::timeout, this, &ServerConnector::tryConnect);
        }
        m_retry->start();
        return;
    }
    emit failed(QStringLiteral("%1: %2").arg(m_fullServerName, QString::fromLocal8Bit(std::strerror(errno))));
}

#endif
