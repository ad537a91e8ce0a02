#include "connectionhandover.h"

#ifndef _WIN32
#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

ConnectionHandOver::~ConnectionHandOver()
{
#ifndef _WIN32
    if (m_ownEnd >= 0)
        ::close(m_ownEnd);
    if (m_childEnd >= 0)
        ::close(m_childEnd);
#endif
}

#ifdef _WIN32

bool ConnectionHandOver::prepare()
{
    return false;
}

void ConnectionHandOver::helperStarted()
{
}

int ConnectionHandOver::takeOwnEnd()
{
    return -1;
}

int ConnectionHandOver::inheritedConnection()
{
    return -1;
}

int inheritedSocket(const char *, int)
{
    return -1;
}

#else

bool ConnectionHandOver::prepare()
{
    int ends[2];
    // Close-on-exec on both; the helper's end is made inheritable for the
    // helper alone as it starts.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    m_ownEnd = ends[0];
    m_childEnd = ends[1];
    return true;
}

void ConnectionHandOver::helperStarted()
{
    if (m_childEnd >= 0)
        ::close(m_childEnd);
    m_childEnd = -1;
}

int ConnectionHandOver::takeOwnEnd()
{
    const int end = m_ownEnd;
    m_ownEnd = -1;
    return end;
}

int ConnectionHandOver::inheritedConnection()
{
    const int descriptor = inheritedSocket(ConnectionVariable, SOCK_STREAM);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    // Connected, and a local socket: a pair has a nameless peer.
    if (descriptor < 0 || ::getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) != 0
        || peer.ss_family != AF_UNIX)
        return -1;
    return descriptor;
}

int inheritedSocket(const char *variable, int type)
{
    const char *value = std::getenv(variable);
    if (!value)
        return -1;
    char *end = nullptr;
    const long descriptor = std::strtol(value, &end, 10);
    ::unsetenv(variable);
    if (end == value || *end != '\0' || descriptor <= 2 || descriptor > 65535)
        return -1;
    struct stat st;
    int actual = 0;
    socklen_t length = sizeof actual;
    if (::fstat(int(descriptor), &st) != 0 || !S_ISSOCK(st.st_mode)
        || ::getsockopt(int(descriptor), SOL_SOCKET, SO_TYPE, &actual, &length) != 0 || actual != type)
        return -1;
    return int(descriptor);
}

#endif
