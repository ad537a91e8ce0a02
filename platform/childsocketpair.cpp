#include "childsocketpair.h"

#ifndef _WIN32
#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

ChildSocketPair::~ChildSocketPair()
{
#ifndef _WIN32
    if (m_ownEnd >= 0)
        ::close(m_ownEnd);
#endif
    childStarted();
}

int ChildSocketPair::takeOwnEnd()
{
    const int end = m_ownEnd;
    m_ownEnd = -1;
    return end;
}

#ifdef _WIN32

bool ChildSocketPair::make(Kind)
{
    return false;
}

void ChildSocketPair::childStarted()
{
}

int inheritedSocket(const char *, int)
{
    return -1;
}

#else

bool ChildSocketPair::make(Kind kind)
{
    int ends[2];
    const int type = kind == Kind::Stream ? SOCK_STREAM : SOCK_SEQPACKET;
    if (m_ownEnd >= 0 || ::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    m_ownEnd = ends[0];
    m_childEnd = ends[1];
    return true;
}

void ChildSocketPair::childStarted()
{
    if (m_childEnd >= 0)
        ::close(m_childEnd);
    m_childEnd = -1;
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
