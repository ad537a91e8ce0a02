#pragma once

// One pdfhelper process in mode 1 for one document, started on a local
// server under a fresh name that takes exactly one connection, the helper's,
// which it makes into a HelperConnection; and what the preview side knows of
// helpers beyond the packets.

#include "helperconnection.h"
#include "helperexit.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class AreaHandOver;
class ChildSocketPair;
class QLocalServer;
class QLocalSocket;

namespace pdfpreview {

// The pdfhelper executable beside the running program, or failing that the
// one this library was built with.
QString defaultHelperProgram();

// The helper's command line for a mode, its target (output file or server
// name), the document and, when not null, the password.
QStringList helperArguments(const QString &mode, const QString &target, const QString &documentPath,
                            const QString &password);

class HelperProcess : public QObject
{
    Q_OBJECT
public:
    enum class State {
        Idle,       // nothing started yet
        Starting,   // helper running, not connected yet
        Connected,  // requests can be sent
        Closing,    // connection closed, the helper has not exited yet
        Finished,   // the helper has exited, or never started
    };
    Q_ENUM(State)
    using Transport = HelperConnection::Transport;

    explicit HelperProcess(QObject *parent = nullptr);
    // Closes the connection and ends the helper: it is given a moment to
    // end by itself (its connection closed, it does), then killed.
    ~HelperProcess() override;

    void setProgram(const QString &path) { m_program = path; }
    QString program() const { return m_program; }
    // Sends the helper's debug log (its standard error) to ours instead of
    // dropping it.
    void setForwardLog(bool on) { m_forwardLog = on; }
    // How the connection, once made, gets pages: set before it connects.
    void setTransport(Transport transport) { m_transport = transport; }
    Transport transport() const { return m_transport; }

    // Listens on a fresh name, makes the channel areas are handed over on
    // and, where there is one, the connection handed to the helper as it
    // starts, and starts the helper. A helper that takes the connection
    // connects to nothing (its sandbox refuses connect from the start); one
    // that does not connects to the name. False when any of it fails;
    // errorString() says why.
    bool start(const QString &documentPath, const QString &password);
    // Nobody else connects: closing the server also ends a helper still
    // waiting in its queue.
    void stopListening();
    // Ends the helper at once.
    void kill();
    // Waits, without an event loop, for the helper to end; true when it has.
    bool waitForFinished(int msecs);

    State state() const { return m_state; }
    // The helper's connection from connected() on, closed once the helper
    // has gone; null before.
    HelperConnection *connection() const { return m_connection; }
    // Valid once the state is Finished: as main returned it, or -1 with
    // crashed() for a crash or a helper that never started.
    int exitCode() const { return m_exitCode; }
    bool crashed() const { return m_crashed; }

    QString serverName() const { return m_serverName; }
    // While the helper runs, else 0.
    qint64 processId() const;
    bool running() const;
    AreaHandOver *handOver() const { return m_handOver.get(); }
    QStringList trace() const { return m_trace; }
    QString errorString() const { return m_error; }

signals:
    // The connection is made, once; its probe is on its way.
    void connected();
    void traceLine(const QString &line);
    // exitCode as main returned it, -1 with crashed for a crash.
    void finished(int exitCode, bool crashed);

private:
    void onNewConnection();
    // The helper has said it is connected: through the server, or, when
    // nothing came there, through the connection handed over.
    void onHelperConnected();
    void accept(QLocalSocket *socket);
    void onFinished(int rawExitCode, QProcess::ExitStatus status);
    void onError(QProcess::ProcessError error);
    void end(int exitCode, bool crashed);
    void readTrace();

    QString m_program;
    bool m_forwardLog = false;
    Transport m_transport = Transport::Shared;
    State m_state = State::Idle;
    int m_exitCode = 0;
    bool m_crashed = false;
    QPointer<HelperConnection> m_connection;
    QLocalServer *m_server = nullptr;
    QProcess *m_process = nullptr;
    std::unique_ptr<AreaHandOver> m_handOver;
    // The connection handed to the helper, until it is taken or not needed.
    std::unique_ptr<ChildSocketPair> m_connectionPair;
    QString m_serverName;
    bool m_accepted = false;
    QString m_error;
    QStringList m_trace;
    QByteArray m_partialTraceLine;
};

} // namespace pdfpreview
