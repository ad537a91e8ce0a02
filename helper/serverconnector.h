#pragma once

#include <QObject>
#include <QString>

class QLocalSocket;
class QTimer;

// Mode 1's way to the preview application's server. Elsewhere than Windows
// the socket is made by prepare(), inside the helper's own namespaces and
// before the sandbox, which then lets that one descriptor connect and no
// other; once connected it is handed to the QLocalSocket, which serves the
// connection from there. On Windows the QLocalSocket connects by itself.
class ServerConnector : public QObject
{
    Q_OBJECT
public:
    ServerConnector(QLocalSocket *socket, QObject *parent);
    ~ServerConnector() override;

    // A connection our own preview side handed over (connectionhandover.h),
    // or -1 for none: nothing is made and nothing connects, connectTo()
    // takes it as it is.
    void adopt(int descriptor);
    bool adopted() const { return m_adopted; }
    // Makes the socket that will connect and returns its descriptor; -1
    // where the QLocalSocket makes its own, or where a connection was
    // adopted. Calling it again returns the same.
    int prepare();
    // Connects to the server by its name. connected() or failed() follows,
    // possibly before this returns; a server that is there but busy is tried
    // again until the caller gives up. A second call while connecting or
    // connected does nothing. A socket that something else connected before
    // (code run by the document, for one) is not the connection asked for:
    // that fails.
    void connectTo(const QString &serverName);
    // The server's name as a path, the way QLocalSocket reports it.
    QString fullServerName() const { return m_fullServerName; }
    // The path a server name is connected at: the socket file the helper's
    // own root must hold.
    static QString fullServerNameFor(const QString &serverName);

signals:
    // The socket is connected; nothing has been read from it yet.
    void connected();
    void failed(const QString &why);

private:
    void tryConnect();
    void handOver();

    QLocalSocket *m_socket;
    QTimer *m_retry = nullptr;
    QString m_fullServerName;
    int m_descriptor = -1;
    bool m_started = false;
    bool m_handedOver = false;
    bool m_adopted = false;
};
