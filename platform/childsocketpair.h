#pragma once

// A local socket pair made before a child process starts: one end stays
// here, the other is inherited by that child alone (the caller clears its
// close-on-exec in the child and names it in the child's environment), and
// is closed here once the child runs. What travels over the pair is the
// users' business: areas' descriptors, or the connection itself. Elsewhere
// than Windows only; on Windows nothing is made.

class ChildSocketPair
{
public:
    ChildSocketPair() = default;
    ~ChildSocketPair();
    ChildSocketPair(const ChildSocketPair &) = delete;
    ChildSocketPair &operator=(const ChildSocketPair &) = delete;

    enum class Kind {
        Stream,  // a connection
        Packets, // one message each, as descriptors travel apart
    };
    // Makes the pair, close-on-exec on both ends. False where the system
    // refuses or there are no such sockets.
    bool make(Kind kind);
    // The end the child must inherit, -1 when there is none.
    int childEnd() const { return m_childEnd; }
    // The child runs: its end is no longer ours to hold.
    void childStarted();
    // The end that stays here; the caller owns it from here on. -1 when
    // there is none or it was taken.
    int takeOwnEnd();

private:
    int m_ownEnd = -1;
    int m_childEnd = -1;
};

// Child side: the descriptor named in the environment variable when it is a
// local socket of that type; -1 otherwise, and always on Windows. The
// variable is removed, so that nothing the child runs sees it.
int inheritedSocket(const char *variable, int type);
