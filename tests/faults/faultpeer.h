#pragma once

// The preview application's end of a mode 1 conversation for tests that do
// harm on purpose: a local server, the real helper started on it (optionally
// with a hook that runs in the child before the helper starts, to limit or
// drop what it may do), raw bytes out, whole packets back, and everything the
// helper printed.

#include "pagerequest.h"

#include <QLocalServer>
#include <QProcess>

#include <functional>
#include <optional>

class QLocalSocket;

namespace faults {

// A render request for one page; the tag comes back in the reply.
QByteArray renderRequest(qint32 page, QSize size, qint32 tag = 0);
QByteArray outlineRequest();
// The record of a render reply, or the top-level entries of an outline
// reply; nothing if the packet is not one.
std::optional<PageRequest> decodeRenderReply(const QByteArray &packet);
std::optional<QList<BookmarkNode>> decodeOutlineReply(const QByteArray &packet);

// Exit code, as main returned it, that stands for "did not exit normally".
constexpr int NoNormalExit = -1000;

class FaultPeer
{
public:
    using ChildSetup = std::function<void()>;

    FaultPeer() = default;
    ~FaultPeer();
    FaultPeer(const FaultPeer &) = delete;
    FaultPeer &operator=(const FaultPeer &) = delete;

    // Runs in the child between fork and exec.
    void setChildSetup(ChildSetup setup) { m_process.setChildProcessModifier(std::move(setup)); }
    // Starts the helper in mode 1 on the document and waits for it to
    // connect. False if it exited instead or the time ran out.
    bool start(const QString &document, int msecs = 30000);

    void send(const QByteArray &bytes);
    // The next whole packet, prefix included; empty on timeout or end.
    QByteArray nextPacket(int msecs = 60000);
    QByteArray ask(const QByteArray &request, int msecs = 60000) { send(request); return nextPacket(msecs); }
    // Bytes that have arrived and were not taken as packets yet.
    qint64 pendingBytes();

    void abortConnection();
    void closeConnection();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_process.processId(); }
    // True when the helper ended with 0 after saying that the connection
    // was gone.
    bool endedCleanly(int msecs = 30000);

    // Standard output lines so far, and the whole debug/error log.
    QStringList trace();
    QString log() { return QString::fromUtf8(m_stderr += m_process.readAllStandardError()); }

private:
    QLocalServer m_server;
    QProcess m_process;
    QLocalSocket *m_connection = nullptr;
    QByteArray m_incoming;
    QByteArray m_stdout;
    QByteArray m_stderr;
};

// Mode 0 of the helper, run to its end; returns the exit code as main
// returned it, or NoNormalExit.
int runScan(const QString &outputPath, const QString &document, const FaultPeer::ChildSetup &childSetup = {});

} // namespace faults
