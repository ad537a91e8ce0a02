#include "helperpeer.h"

#include "testsupport.h"

#include <QLocalSocket>
#include <QUuid>
#include <QtEndian>
#include <QtTest>

HelperPeer::HelperPeer()
{
    m_process.setStandardErrorFile(QProcess::nullDevice());
}

HelperPeer::~HelperPeer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void HelperPeer::start(const QString &document, const QStringList &extraArguments)
{
    const QString name = QStringLiteral("tst-provider-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    if (!m_server.listen(name))
        qFatal("cannot listen: %s", qPrintable(m_server.errorString()));
    m_process.start(testsupport::helperBinary(),
                    QStringList{QStringLiteral("1"), name, document} + extraArguments);
    if (!m_process.waitForStarted())
        qFatal("cannot start the helper: %s", qPrintable(m_process.errorString()));
}

bool HelperPeer::waitForConnection(int msecs)
{
    const bool settled = QTest::qWaitFor([this] {
        return m_server.hasPendingConnections() || m_process.state() == QProcess::NotRunning;
    }, msecs);
    if (!settled || !m_server.hasPendingConnections())
        return false;
    m_connection = m_server.nextPendingConnection();
    return true;
}

void HelperPeer::send(const QByteArray &bytes)
{
    m_connection->write(bytes);
    while (m_connection->bytesToWrite() > 0 && m_connection->waitForBytesWritten(10000)) {
    }
}

void HelperPeer::readIncoming()
{
    if (m_connection)
        m_incoming += m_connection->readAll();
}

QByteArray HelperPeer::nextPacket(int msecs)
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

qint64 HelperPeer::pendingBytes()
{
    readIncoming();
    return m_incoming.size();
}

QStringList HelperPeer::trace()
{
    m_stdout += m_process.readAllStandardOutput();
    QStringList lines = QString::fromUtf8(m_stdout).split(QLatin1Char('\n'));
    lines.removeLast(); // the unfinished line, or the empty rest after the last '\n'
    return lines;
}

bool HelperPeer::waitForTrace(const QString &line, int msecs)
{
    return QTest::qWaitFor([&] { return trace().contains(line); }, msecs);
}

void HelperPeer::abortConnection()
{
    m_connection->abort();
}

void HelperPeer::closeConnection()
{
    m_connection->disconnectFromServer();
}

int HelperPeer::waitForExit(int msecs)
{
    if (!QTest::qWaitFor([this] { return m_process.state() == QProcess::NotRunning; }, msecs))
        return -1000;
    if (m_process.exitStatus() != QProcess::NormalExit)
        return -1000;
    // Exit statuses are 8 bits wide here; the helper's codes are small and signed.
    return qint8(m_process.exitCode());
}
