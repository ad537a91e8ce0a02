#pragma once

// The preview application's end of a mode 1 conversation, kept byte-level on
// purpose: a local server, the real helper process started on it, raw bytes
// out and whole packets back.

#include <QByteArray>
#include <QLocalServer>
#include <QProcess>
#include <QStringList>

class QLocalSocket;

class HelperPeer
{
public:
    HelperPeer();
    ~HelperPeer();
    HelperPeer(const HelperPeer &) = delete;
    HelperPeer &operator=(const HelperPeer &) = delete;

    // Listens under a fresh name and starts the helper in mode 1 on it.
    void start(const QString &document, const QStringList &extraArguments = {});
    // True once the helper has connected; false if it exited or the time ran out.
    bool waitForConnection(int msecs = 30000);

    // Writes the bytes and waits until they have left this process.
    void send(const QByteArray &bytes);
    // The next whole packet, prefix included; empty on timeout or end.
    QByteArray nextPacket(int msecs = 60000);
    // Bytes that have arrived beyond the packets taken so far.
    qint64 pendingBytes();

    // The helper's standard output so far, line by line, line ends removed.
    QStringList trace();
    bool waitForTrace(const QString &line, int msecs = 30000);

    // Closes our end of the connection abruptly or politely.
    void abortConnection();
    void closeConnection();
    // The helper's exit code as main returned it; -1000 if it did not exit
    // normally within the time.
    int waitForExit(int msecs = 30000);

    QString serverFullName() const { return m_server.fullServerName(); }
    qint64 helperPid() const { return m_process.processId(); }
    bool hasConnection() const { return m_connection != nullptr; }

private:
    void readIncoming();

    QLocalServer m_server;
    QProcess m_process;
    QLocalSocket *m_connection = nullptr;
    QByteArray m_incoming;
    QByteArray m_stdout;
};
