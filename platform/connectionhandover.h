#pragma once

// The connection itself, handed to a helper our own preview side starts,
// so that a helper need not connect at all: elsewhere than Windows a stream
// socket pair made before the helper starts, one end inherited by the helper
// alone and named in its environment. A helper that takes it connects to
// nothing, and its sandbox refuses connect from the start. The preview side
// still listens on the server name it passes, for a helper that does not
// take the pair, and uses whichever connection the helper uses. On Windows
// there is no pair: the helper connects to the named pipe.

// The environment variable that names the helper's end of the connection.
constexpr char ConnectionVariable[] = "PDFHELPER_CONNECTION";

class ConnectionHandOver
{
public:
    ConnectionHandOver() = default;
    ~ConnectionHandOver();
    ConnectionHandOver(const ConnectionHandOver &) = delete;
    ConnectionHandOver &operator=(const ConnectionHandOver &) = delete;

    // Preview side, before the helper starts: makes the pair. False where
    // there is none; the helper then connects to the server.
    bool prepare();
    // The descriptor the helper must inherit, -1 when there is none.
    int childDescriptor() const { return m_childEnd; }
    // Once the helper runs, its end is no longer ours to hold.
    void helperStarted();
    // The preview side's end, for a QLocalSocket to serve; -1 when there is
    // none or it was taken. The caller owns it from here on.
    int takeOwnEnd();

    // Helper side: the connection named in the environment, when it is one
    // (a connected local stream socket); -1 otherwise. The variable is
    // removed, so that nothing the helper runs sees it.
    static int inheritedConnection();

private:
    int m_ownEnd = -1;
    int m_childEnd = -1;
};

// Helper side: the descriptor named in the environment variable when it is a
// local socket of that type (SOCK_STREAM, SOCK_SEQPACKET); -1 otherwise, and
// always on Windows. The variable is removed.
int inheritedSocket(const char *variable, int type);
