#include "areahandover.h"

#include "childsocketpair.h"
#include "sharedarea.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#endif

AreaHandOver::~AreaHandOver()
{
#ifdef _WIN32
    if (m_helperProcess)
        CloseHandle(m_helperProcess);
#else
    if (m_channel >= 0)
        ::close(m_channel);
#endif
}

#ifdef _WIN32

bool AreaHandOver::prepare()
{
    return true;
}

void AreaHandOver::helperStarted(qint64 processId)
{
    if (!m_helperProcess)
        m_helperProcess = OpenProcess(PROCESS_DUP_HANDLE, FALSE, DWORD(processId));
}

qint64 AreaHandOver::handOver(const SharedArea &area)
{
    HANDLE remote = nullptr;
    if (!m_helperProcess
        || !DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(area.handle()), m_helperProcess, &remote,
                            0, FALSE, DUPLICATE_SAME_ACCESS))
        return -1;
    return qint64(reinterpret_cast<quintptr>(remote));
}

int AreaHandOver::inheritedChannel()
{
    return -1;
}

qintptr AreaHandOver::receive(qint64 offered)
{
    return offered > 0 ? qintptr(offered) : -1;
}

#else

bool AreaHandOver::prepare()
{
    if (!m_pair.make(ChildSocketPair::Kind::Packets))
        return false;
    m_channel = m_pair.takeOwnEnd();
    return true;
}

void AreaHandOver::helperStarted(qint64)
{
    m_pair.childStarted();
}

qint64 AreaHandOver::handOver(const SharedArea &area)
{
    const int descriptor = int(area.handle());
    if (m_channel < 0 || descriptor < 0)
        return -1;
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    // Sent before the offer is written: by the time the helper reads the
    // offer, the descriptor waits in its channel.
    ssize_t sent;
    do
        sent = ::sendmsg(m_channel, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    return sent == 1 ? 0 : -1;
}

int AreaHandOver::inheritedChannel()
{
    return inheritedSocket(AreaChannelVariable, SOCK_SEQPACKET);
}

qintptr AreaHandOver::receive(qint64 offered)
{
    if (m_channel < 0 || offered < 0)
        return -1;
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = ::recvmsg(m_channel, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    if (got != 1)
        return -1;
    // One descriptor is expected; any others that came along are closed.
    int taken = -1;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int descriptor;
            std::memcpy(&descriptor, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
            if (taken < 0)
                taken = descriptor;
            else
                ::close(descriptor);
        }
    }
    if (taken >= 0 && (message.msg_flags & MSG_CTRUNC)) {
        ::close(taken);
        return -1;
    }
    return taken;
}

#endif
