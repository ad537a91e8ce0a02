#include "connectionhandover.h"

#include "childsocketpair.h"

#ifndef _WIN32
#include <sys/socket.h>
#endif

int inheritedConnection()
{
#ifdef _WIN32
    return -1;
#else
    const int descriptor = inheritedSocket(ConnectionVariable, SOCK_STREAM);
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    // Connected, and a local socket: a pair has a nameless peer.
    if (descriptor < 0 || ::getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) != 0
        || peer.ss_family != AF_UNIX)
        return -1;
    return descriptor;
#endif
}
