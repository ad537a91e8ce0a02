#include "faultpeer.h"

#include "packetframing.h"
#include "testsupport.h"

#include <QLocalSocket>
#include <QUuid>
#include <QtEndian>
#include <QtTest>

namespace faults {

QByteArray renderRequest(qint32 page, QSize size, qint32 tag)
{
    PageRequest request;
    request.pageIndex = page;
    request.size = size;
    request.tag = tag;
    request.annotations = true;
    return buildPacket(PacketType::RenderRequest, request);
}

QByteArray outlineRequest()
{
    return buildPacket(PacketType::BookmarksRequest);
}

namespace {

// The payload of a packet of the given type, on a stream set up as the
// protocol wants it; nothing if the packet is of another type.
template <typename Read>
auto decode(const QByteArray &packet, PacketType type, Read read)
    -> std::optional<decltype(read(std::declval<QDataStream &>()))>
{
    if (packet.size() < 5 || quint8(packet.at(4)) != quint8(type))
        return std::nullopt;
    QDataStream in(packet.mid(5));
    in.setVersion(ProtocolStreamVersion);
    auto value = read(in);
    if (in.status() != QDataStream::Ok)
        return std::nullopt;
    return value;
}

// Exit statuses are 8 bits wide here; the helper's codes are small and signed.
int signedExit(const QProcess &process)
{
    if (process.exitStatus() != QProcess::NormalExit)
        return NoNormalExit;
    return qint8(process.exitCode());
}

} // namespace

std::optional<PageRequest> decodeRenderReply(const QByteArray &packet)
{
    return decode(packet, PacketType::RenderReply, [](QDataStream &in) {
        PageRequest reply;
        in >> reply;
        return reply;
    });
}

std::optional<QList<BookmarkNode>> decodeOutlineReply(const QByteArray &packet)
{
    return decode(packet, PacketType::BookmarksReply,
                  [](QDataStream &in) { return readBookmarkNodes(in); });
}

FaultPeer::FaultPeer() = default;

FaultPeer::~FaultPeer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool FaultPeer::start(const QString &document, int msecs)
{
    const QString name = QStringLiteral("tst-faults-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    if (!m_server.listen(name))
        qFatal("cannot listen: %s", qPrintable(m_server.errorString()));
    if (m_childSetup)
        m_process.setChildProcessModifier(m_childSetup);
    m_process.start(testsupport::helperBinary(), QStringList{QStringLiteral("1"), name, document});
    if (!m_process.waitForStarted())
        qFatal("cannot start the helper: %s", qPrintable(m_process.errorString()));
    const bool settled = QTest::qWaitFor([this] {
        return m_server.hasPendingConnections() || !isRunning();
    }, msecs);
    if (!settled || !m_server.hasPendingConnections())
        return false;
    m_connection = m_server.nextPendingConnection();
    return true;
}

void FaultPeer::send(const QByteArray &bytes)
{
    m_connection->write(bytes);
    while (m_connection->bytesToWrite() > 0 && m_connection->waitForBytesWritten(10000)) {
    }
}

void FaultPeer::readIncoming()
{
    if (m_connection)
        m_incoming += m_connection->readAll();
}

QByteArray FaultPeer::nextPacket(int msecs)
{
    auto complete = [this] {
        readIncoming();
        if (m_incoming.size() < 4)
            return false;
        const quint32 length = qFromBigEndian<quint32>(m_incoming.constData());
        return m_incoming.size() - 4 >= qint64(length);
    };
    if (!QTest::qWaitFor(complete, msecs))
        return QByteArray();
    const quint32 length = qFromBigEndian<quint32>(m_incoming.constData());
    const QByteArray packet = m_incoming.left(4 + qsizetype(length));
    m_incoming.remove(0, packet.size());
    return packet;
}

QByteArray FaultPeer::ask(const QByteArray &request, int msecs)
{
    send(request);
    return nextPacket(msecs);
}

qint64 FaultPeer::pendingBytes()
{
    readIncoming();
    return m_incoming.size();
}

void FaultPeer::abortConnection()
{
    m_connection->abort();
}

void FaultPeer::closeConnection()
{
    m_connection->disconnectFromServer();
}

int FaultPeer::waitForExit(int msecs)
{
    if (!QTest::qWaitFor([this] { return !isRunning(); }, msecs))
        return NoNormalExit;
    return signedExit(m_process);
}

QStringList FaultPeer::trace()
{
    m_stdout += m_process.readAllStandardOutput();
    QStringList lines = QString::fromUtf8(m_stdout).split(QLatin1Char('\n'));
    lines.removeLast(); // the unfinished line, or the empty rest after the last '\n'
    return lines;
}

QString FaultPeer::log()
{
    m_stderr += m_process.readAllStandardError();
    return QString::fromUtf8(m_stderr);
}

int runScan(const QString &outputPath, const QString &document,
            const FaultPeer::ChildSetup &childSetup, int msecs)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (childSetup)
        process.setChildProcessModifier(childSetup);
    process.start(testsupport::helperBinary(), QStringList{QStringLiteral("0"), outputPath, document});
    if (!process.waitForFinished(msecs)) {
        process.kill();
        process.waitForFinished(5000);
        return NoNormalExit;
    }
    return signedExit(process);
}

} // namespace faults
