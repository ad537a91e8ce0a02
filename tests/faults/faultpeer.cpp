#include "faultpeer.h"

#include "packetframing.h"
#include "testsupport.h"

#include <QLocalSocket>
#include <QUuid>
#include <QtEndian>
#include <QtTest>

namespace faults {

namespace {

// The payload of a packet of the given type read by `read`; nothing if the
// packet is of another type or does not decode.
template <typename T, typename Read>
std::optional<T> decode(const QByteArray &packet, PacketType type, Read read)
{
    if (packet.size() < 5 || quint8(packet.at(4)) != quint8(type))
        return std::nullopt;
    QDataStream in(packet.mid(5));
    in.setVersion(ProtocolStreamVersion);
    T value = read(in);
    return in.status() == QDataStream::Ok ? std::optional<T>(value) : std::nullopt;
}

// Exit statuses are 8 bits wide here; the helper's codes are small and signed.
int signedExit(const QProcess &process)
{
    return process.exitStatus() == QProcess::NormalExit ? qint8(process.exitCode()) : NoNormalExit;
}

} // namespace

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

std::optional<PageRequest> decodeRenderReply(const QByteArray &packet)
{
    return decode<PageRequest>(packet, PacketType::RenderReply, [](QDataStream &in) {
        PageRequest reply;
        in >> reply;
        return reply;
    });
}

std::optional<QList<BookmarkNode>> decodeOutlineReply(const QByteArray &packet)
{
    return decode<QList<BookmarkNode>>(packet, PacketType::BookmarksReply, readBookmarkNodes);
}

FaultPeer::~FaultPeer()
{
    if (isRunning()) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool FaultPeer::start(const QString &document, int msecs)
{
    const QString name = QStringLiteral("tst-faults-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    if (!m_server.listen(name))
        qFatal("cannot listen: %s", qPrintable(m_server.errorString()));
    m_process.start(testsupport::helperBinary(), QStringList{QStringLiteral("1"), name, document});
    if (!m_process.waitForStarted())
        qFatal("cannot start the helper: %s", qPrintable(m_process.errorString()));
    if (!QTest::qWaitFor([this] { return m_server.hasPendingConnections() || !isRunning(); }, msecs))
        return false;
    m_connection = m_server.nextPendingConnection();
    return m_connection != nullptr;
}

void FaultPeer::send(const QByteArray &bytes)
{
    m_connection->write(bytes);
    while (m_connection->bytesToWrite() > 0 && m_connection->waitForBytesWritten(10000)) {
    }
}

QByteArray FaultPeer::nextPacket(int msecs)
{
    const auto length = [this] { return qsizetype(qFromBigEndian<quint32>(m_incoming.constData())); };
    const bool complete = QTest::qWaitFor([&] {
        m_incoming += m_connection->readAll();
        return m_incoming.size() >= 4 && m_incoming.size() - 4 >= length();
    }, msecs);
    if (!complete)
        return QByteArray();
    const QByteArray packet = m_incoming.left(4 + length());
    m_incoming.remove(0, packet.size());
    return packet;
}

qint64 FaultPeer::pendingBytes()
{
    m_incoming += m_connection->readAll();
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

bool FaultPeer::endedCleanly(int msecs)
{
    const bool ended = QTest::qWaitFor([this] { return !isRunning(); }, msecs);
    const QStringList lines = trace();
    if (ended && signedExit(m_process) == 0 && !lines.isEmpty() && lines.constLast() == QLatin1String("disconnected "))
        return true;
    qWarning() << "ended" << ended << "exit" << signedExit(m_process) << "trace" << lines.mid(qMax(0, int(lines.size()) - 5));
    return false;
}

QStringList FaultPeer::trace()
{
    m_stdout += m_process.readAllStandardOutput();
    QStringList lines = QString::fromUtf8(m_stdout).split(QLatin1Char('\n'));
    lines.removeLast(); // the unfinished line, or the empty rest after the last '\n'
    return lines;
}

int runScan(const QString &outputPath, const QString &document, const FaultPeer::ChildSetup &childSetup)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (childSetup)
        process.setChildProcessModifier(childSetup);
    process.start(testsupport::helperBinary(), QStringList{QStringLiteral("0"), outputPath, document});
    if (process.waitForFinished(60000))
        return signedExit(process);
    process.kill();
    process.waitForFinished(5000);
    return NoNormalExit;
}

} // namespace faults
