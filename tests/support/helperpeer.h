#pragma once

// The preview application's end of a mode 1 conversation, kept byte-level on
// purpose: a local server, the real helper started on it, raw bytes out,
// whole packets back, and everything the helper printed.

#include "framing.h"
#include "records.h"
#include "testsupport.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

#include <functional>
#include <optional>

inline QByteArray renderRequest(qint32 page, QSize size, qint32 tag = 0, bool invert = false, quint64 token = 0)
{
    return buildPacket(PacketType::RenderRequest, PageRequest{page, tag, token, true, invert, 180, size, QImage()});
}

// The record of a render reply; nothing if the packet is not one.
inline std::optional<PageRequest> renderReply(const QByteArray &packet)
{
    if (packet.size() < 5 || packet.at(4) != char(PacketType::RenderReply))
        return std::nullopt;
    QDataStream in(packet.mid(5));
    in.setVersion(ProtocolStreamVersion);
    PageRequest reply;
    in >> reply;
    return in.status() == QDataStream::Ok ? std::optional(reply) : std::nullopt;
}

class HelperPeer
{
public:
    ~HelperPeer()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // True once the helper has connected and said so; false if it ended or
    // the time ran out first.
    bool start(const QString &document, const QStringList &extraArguments = {})
    {
        const QString name = "tst-peer-" + QUuid::createUuid().toString(QUuid::Id128);
        if (!m_server.listen(name))
            qFatal("cannot listen: %s", qPrintable(m_server.errorString()));
        m_process.start(testsupport::helperBinary(), QStringList{"1", name, document} + extraArguments);
        if (!m_process.waitForStarted())
            qFatal("cannot start the helper: %s", qPrintable(m_process.errorString()));
        static_cast<void>(QTest::qWaitFor([&] { return m_server.hasPendingConnections() || !running(); }, 30000));
        connection = m_server.nextPendingConnection();
        return connection && waitForTrace("connected " + serverName());
    }

    void send(const QByteArray &bytes)
    {
        connection->write(bytes);
        connection->flush();
    }
    // Bytes that have arrived and were not taken as packets yet.
    qint64 pending()
    {
        m_incoming += connection->readAll();
        return m_incoming.size();
    }
    // The next whole packet, prefix included; empty when none comes in time.
    QByteArray nextPacket(int msecs = 60000)
    {
        auto length = [&] { return 4 + qint64(qFromBigEndian<quint32>(m_incoming.constData())); };
        if (!QTest::qWaitFor([&] { return pending() >= 4 && pending() >= length(); }, msecs))
            return QByteArray();
        const QByteArray packet = m_incoming.left(length());
        m_incoming.remove(0, packet.size());
        return packet;
    }
    QByteArray ask(const QByteArray &request) { send(request); return nextPacket(); }

    // Standard output lines so far, and the whole debug/error log.
    QStringList trace()
    {
        m_stdout += m_process.readAllStandardOutput();
        QStringList lines = QString::fromUtf8(m_stdout).split('\n');
        lines.removeLast(); // the unfinished line, or nothing after the last '\n'
        return lines;
    }
    bool waitForTrace(const QString &line) { return QTest::qWaitFor([&] { return trace().contains(line); }, 30000); }
    QString log() { return QString::fromUtf8(m_stderr += m_process.readAllStandardError()); }

    // The exit code as main returned it; -1000 if the helper did not end by
    // itself in time.
    int exitCode()
    {
        if (!QTest::qWaitFor([&] { return !running(); }, 30000) || m_process.exitStatus() != QProcess::NormalExit)
            return -1000;
        return qint8(m_process.exitCode()); // 8 bits wide here; the helper's codes are small and signed
    }
    // Ended with 0 after saying that the connection was gone.
    bool endedCleanly() { return exitCode() == 0 && trace().value(trace().size() - 1) == "disconnected "; }

    bool running() const { return m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_process.processId(); }
    // For the helper about to be started.
    void setEnvironment(const QProcessEnvironment &environment) { m_process.setProcessEnvironment(environment); }
    // Run in the child before the helper's program replaces it.
    void setChildModifier(const std::function<void()> &modifier) { m_process.setChildProcessModifier(modifier); }
    QString serverName() const { return m_server.fullServerName(); }
    // Peak virtual memory (VmPeak) or peak resident memory (VmHWM) of the
    // helper as the kernel counts it, in kB; -1 where there is no such count.
    qint64 peakKb(const QByteArray &field = "VmPeak") const
    {
        return testsupport::procStatusKb(m_process.processId(), field);
    }

    QLocalSocket *connection = nullptr;

private:
    QLocalServer m_server;
    QProcess m_process;
    QByteArray m_incoming;
    QByteArray m_stdout;
    QByteArray m_stderr;
};
