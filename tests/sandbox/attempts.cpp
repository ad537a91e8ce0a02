#include "attempts.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/bpf.h>
#include <linux/io_uring.h>
#include <linux/perf_event.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What an attempt that only has to make a descriptor reports: whether it did.
bool madeAndClosed(int fd)
{
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool readPrivateFile(const AttemptTargets &t)
{
    const int fd = ::open(t.privateFile.c_str(), O_RDONLY | O_CLOEXEC);
    char byte;
    const bool read = fd >= 0 && ::read(fd, &byte, 1) == 1;
    if (fd >= 0)
        ::close(fd);
    return read;
}

bool createInHome(const AttemptTargets &t)
{
    const std::string path = t.homeFolder + "/made-by-the-helper";
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(path.c_str());
    return true;
}

bool writeBesideOutput(const AttemptTargets &t)
{
    const int fd = ::open(t.besideOutput.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, "x", 1) == 1;
    if (fd >= 0)
        ::close(fd);
    return written;
}

bool truncatePrivateFile(const AttemptTargets &t)
{
    return ::truncate(t.privateFile.c_str(), 1) == 0;
}

bool connectTo(int domain, const sockaddr *address, socklen_t length)
{
    const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = fd >= 0 && ::connect(fd, address, length) == 0;
    if (fd >= 0)
        ::close(fd);
    return connected;
}

bool connectTcp(const AttemptTargets &t)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(t.tcpPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connectTo(AF_INET, reinterpret_cast<sockaddr *>(&address), sizeof address);
}

bool connectUnixPath(const AttemptTargets &t)
{
    const LocalAddress local = localAddress(t.unixSocket, false);
    return connectTo(AF_UNIX, local.data(), local.length);
}

bool connectUnixAbstract(const AttemptTargets &t)
{
    const LocalAddress local = localAddress(t.abstractSocket, true);
    return connectTo(AF_UNIX, local.data(), local.length);
}

// The helper's own socket, made before the connection, or, where there is
// none (mode 0, or no sandbox), a new one: connected somewhere else, it would
// carry the attacker's messages to a session bus or a display.
int unconnectedLocalSocket()
{
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_un peer{};
        socklen_t length = sizeof peer;
        int type = 0;
        socklen_t typeLength = sizeof type;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
            continue;
        int listening = 0;
        socklen_t flagLength = sizeof listening;
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagLength);
        if (!listening && ::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 && errno == ENOTCONN
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&peer), &(length = sizeof peer)) == 0
            && peer.sun_family == AF_UNIX)
            return fd;
    }
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool connectMadeSocket(const std::string &name, bool abstract)
{
    const LocalAddress local = localAddress(name, abstract);
    const int fd = unconnectedLocalSocket();
    return fd >= 0 && ::connect(fd, local.data(), local.length) == 0;
}

bool connectMadeSocketByPath(const AttemptTargets &t)
{
    return connectMadeSocket(t.unixSocket, false);
}

bool connectMadeSocketAbstract(const AttemptTargets &t)
{
    return connectMadeSocket(t.abstractSocket, true);
}

// A private key made readable by everyone, without writing a byte of it.
bool chmodPrivateFile(const AttemptTargets &t)
{
    if (::chmod(t.privateFile.c_str(), 0644) != 0)
        return false;
    ::chmod(t.privateFile.c_str(), 0600);
    return true;
}

bool setXattrOnPrivateFile(const AttemptTargets &t)
{
    if (::setxattr(t.privateFile.c_str(), "user.pdfhelper-attempt", "x", 1, 0) != 0)
        return false;
    ::removexattr(t.privateFile.c_str(), "user.pdfhelper-attempt");
    return true;
}

bool touchPrivateFile(const AttemptTargets &t)
{
    const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    return ::utimensat(AT_FDCWD, t.privateFile.c_str(), times, 0) == 0;
}

// With a descriptor owned by another process, O_ASYNC sends that process a
// signal of the attacker's choosing, around any rule on kill.
bool ownDescriptorForOtherProcess(const AttemptTargets &t)
{
    const bool owned = ::fcntl(STDERR_FILENO, F_SETOWN, t.processId) == 0;
    if (owned)
        ::fcntl(STDERR_FILENO, F_SETOWN, 0);
    f_owner_ex owner{F_OWNER_PID, t.processId};
    const bool ownedEx = ::fcntl(STDERR_FILENO, F_SETOWN_EX, &owner) == 0;
    if (ownedEx) {
        owner.pid = 0;
        ::fcntl(STDERR_FILENO, F_SETOWN_EX, &owner);
    }
    return owned || ownedEx;
}

// The other half of the same: a descriptor that signals its owner when it
// can be read or written.
bool signalOnInput(const AttemptTargets &)
{
    const int flags = ::fcntl(STDERR_FILENO, F_GETFL);
    if (flags < 0 || ::fcntl(STDERR_FILENO, F_SETFL, flags | O_ASYNC) != 0)
        return false;
    ::fcntl(STDERR_FILENO, F_SETFL, flags);
    return true;
}

bool reprioritiseOtherProcess(const AttemptTargets &t)
{
    errno = 0;
    const int now = ::getpriority(PRIO_PROCESS, id_t(t.processId));
    return errno == 0 && ::setpriority(PRIO_PROCESS, id_t(t.processId), now) == 0;
}

bool removeOtherSysVSegment(const AttemptTargets &t)
{
    return t.sysvSegment >= 0 && ::shmctl(t.sysvSegment, IPC_RMID, nullptr) == 0;
}

bool attachWithPtrace(const AttemptTargets &t)
{
    if (::ptrace(PTRACE_ATTACH, t.processId, nullptr, nullptr) != 0)
        return false;
    int status;
    ::waitpid(t.processId, &status, __WALL);
    ::ptrace(PTRACE_DETACH, t.processId, nullptr, nullptr);
    return true;
}

bool readOtherProcessMemory(const AttemptTargets &t)
{
    unsigned long value = 0;
    iovec local{&value, sizeof value};
    iovec remote{reinterpret_cast<void *>(t.remoteAddress), sizeof value};
    return ::process_vm_readv(t.processId, &local, 1, &remote, 1, 0) == ssize_t(sizeof value);
}

bool signalOtherProcess(const AttemptTargets &t)
{
    return ::kill(t.processId, 0) == 0;
}

bool createPosixSharedMemory(const AttemptTargets &)
{
    const std::string name = "/pdfhelper-attempt-" + std::to_string(::getpid());
    const int fd = ::shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::shm_unlink(name.c_str());
    return true;
}

bool createMemoryFile(const AttemptTargets &)
{
    return madeAndClosed(int(::syscall(SYS_memfd_create, "attempt", 0)));
}

bool createSysVSharedMemory(const AttemptTargets &)
{
    const int id = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    if (id < 0)
        return false;
    ::shmctl(id, IPC_RMID, nullptr);
    return true;
}

bool mapWritableExecutable(const AttemptTargets &)
{
    void *memory = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    ::munmap(memory, 4096);
    return true;
}

bool protectExecutable(const AttemptTargets &)
{
    void *memory = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    const bool turned = ::mprotect(memory, 4096, PROT_READ | PROT_EXEC) == 0;
    ::munmap(memory, 4096);
    return turned;
}

bool addKey(const AttemptTargets &)
{
    const long serial = ::syscall(SYS_add_key, "user", "pdfhelper-attempt", "x", 1, -2 /* process keyring */);
    return serial > 0;
}

bool setUpIoUring(const AttemptTargets &)
{
    io_uring_params params{};
    return madeAndClosed(int(::syscall(SYS_io_uring_setup, 1, &params)));
}

bool createBpfMap(const AttemptTargets &)
{
    bpf_attr attr{};
    attr.map_type = BPF_MAP_TYPE_ARRAY;
    attr.key_size = 4;
    attr.value_size = 4;
    attr.max_entries = 1;
    return madeAndClosed(int(::syscall(SYS_bpf, BPF_MAP_CREATE, &attr, sizeof attr)));
}

bool openPerfEvent(const AttemptTargets &)
{
    perf_event_attr attr{};
    attr.type = PERF_TYPE_SOFTWARE;
    attr.size = sizeof attr;
    attr.config = PERF_COUNT_SW_TASK_CLOCK;
    attr.disabled = 1;
    attr.exclude_kernel = 1;
    return madeAndClosed(int(::syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0)));
}

bool changePersonality(const AttemptTargets &)
{
    const int before = ::personality(0xffffffff);
    if (before < 0 || ::personality(unsigned(before) | ADDR_NO_RANDOMIZE) < 0)
        return false;
    const bool changed = ::personality(0xffffffff) == (before | ADDR_NO_RANDOMIZE);
    ::personality(unsigned(before));
    return changed;
}

bool enterNamespace(const AttemptTargets &t)
{
    return t.namespaceDescriptor >= 0 && ::setns(t.namespaceDescriptor, 0) == 0;
}

bool mountSomething(const AttemptTargets &t)
{
    if (::syscall(SYS_mount, "none", t.homeFolder.c_str(), "tmpfs", 0, nullptr) != 0)
        return false;
    ::syscall(SYS_umount2, t.homeFolder.c_str(), 0);
    return true;
}

bool unshareUserNamespace(const AttemptTargets &)
{
    return ::unshare(CLONE_NEWUSER) == 0;
}

bool forkProcess(const AttemptTargets &)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    if (child < 0)
        return false;
    int status;
    ::waitpid(child, &status, 0);
    return true;
}

// clone3 must not create a process; it must answer ENOSYS, so that the C
// library falls back to clone, which a filter can inspect.
bool cloneThree(const AttemptTargets &)
{
    struct {
        unsigned long long flags, pidfd, childTid, parentTid, exitSignal, stack, stackSize, tls;
    } args{};
    args.exitSignal = SIGCHLD;
    const long child = ::syscall(SYS_clone3, &args, sizeof args);
    if (child == 0)
        ::_exit(0);
    if (child > 0) {
        int status;
        ::waitpid(pid_t(child), &status, 0);
        return true;
    }
    return errno != ENOSYS;
}

bool startProgram(const AttemptTargets &)
{
    // On success the process becomes the program, which says so and ends
    // with 0: whoever watches takes that as the attempt succeeding.
    const char *const argv[] = {"/bin/sh", "-c", "echo \"attempt ${ATTEMPT_PLACE}start-program: succeeded\" >&2; exit 0",
                                nullptr};
    ::execve(argv[0], const_cast<char *const *>(argv), environ);
    return false;
}

const std::vector<Attempt> attempts = {
    {"read-private-file", readPrivateFile},
    {"create-in-home", createInHome},
    {"write-beside-output", writeBesideOutput},
    {"truncate-private-file", truncatePrivateFile},
    {"connect-tcp", connectTcp},
    {"connect-unix-path", connectUnixPath},
    {"connect-unix-abstract", connectUnixAbstract},
    {"connect-made-socket-path", connectMadeSocketByPath},
    {"connect-made-socket-abstract", connectMadeSocketAbstract},
    {"chmod-private-file", chmodPrivateFile},
    {"setxattr-private-file", setXattrOnPrivateFile},
    {"utime-private-file", touchPrivateFile},
    {"setown-other-process", ownDescriptorForOtherProcess},
    {"async-descriptor", signalOnInput},
    {"setpriority-other-process", reprioritiseOtherProcess},
    {"remove-other-sysv-segment", removeOtherSysVSegment},
    {"ptrace-attach", attachWithPtrace},
    {"read-other-memory", readOtherProcessMemory},
    {"signal-other-process", signalOtherProcess},
    {"posix-shared-memory", createPosixSharedMemory},
    {"memory-file", createMemoryFile},
    {"sysv-shared-memory", createSysVSharedMemory},
    {"map-writable-executable", mapWritableExecutable},
    {"protect-executable", protectExecutable},
    {"add-key", addKey},
    {"io-uring", setUpIoUring},
    {"bpf", createBpfMap},
    {"perf-event", openPerfEvent},
    {"personality", changePersonality},
    {"setns", enterNamespace},
    {"mount", mountSomething},
    {"unshare", unshareUserNamespace},
    {"clone3", cloneThree},
    {"fork", forkProcess},
    {"start-program", startProgram},
};

const char *variable(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

} // namespace

LocalAddress localAddress(const std::string &name, bool abstract)
{
    LocalAddress local;
    local.address.sun_family = AF_UNIX;
    const size_t room = sizeof local.address.sun_path - 1;
    std::memcpy(local.address.sun_path + (abstract ? 1 : 0), name.data(), std::min(name.size(), room));
    local.length = abstract ? socklen_t(offsetof(sockaddr_un, sun_path) + 1 + std::min(name.size(), room))
                            : socklen_t(sizeof local.address);
    return local;
}

const std::vector<Attempt> &allAttempts()
{
    return attempts;
}

const Attempt *findAttempt(const std::string &name)
{
    for (const Attempt &attempt : attempts) {
        if (name == attempt.name)
            return &attempt;
    }
    return nullptr;
}

AttemptTargets targetsFromEnvironment()
{
    AttemptTargets t;
    t.privateFile = variable("ATTEMPT_PRIVATE_FILE");
    t.homeFolder = variable("ATTEMPT_HOME");
    t.besideOutput = variable("ATTEMPT_BESIDE_OUTPUT");
    t.tcpPort = std::atoi(variable("ATTEMPT_TCP_PORT"));
    t.unixSocket = variable("ATTEMPT_UNIX_SOCKET");
    t.abstractSocket = variable("ATTEMPT_ABSTRACT_SOCKET");
    t.processId = std::atoi(variable("ATTEMPT_PROCESS"));
    t.remoteAddress = std::strtoul(variable("ATTEMPT_REMOTE_ADDRESS"), nullptr, 16);
    t.sysvSegment = *variable("ATTEMPT_SYSV_SEGMENT") ? std::atoi(variable("ATTEMPT_SYSV_SEGMENT")) : -1;
    return t;
}

std::vector<std::pair<std::string, std::string>> targetsAsEnvironment(const AttemptTargets &t)
{
    char address[32];
    std::snprintf(address, sizeof address, "%lx", t.remoteAddress);
    return {{"ATTEMPT_PRIVATE_FILE", t.privateFile},   {"ATTEMPT_HOME", t.homeFolder},
            {"ATTEMPT_BESIDE_OUTPUT", t.besideOutput}, {"ATTEMPT_TCP_PORT", std::to_string(t.tcpPort)},
            {"ATTEMPT_UNIX_SOCKET", t.unixSocket},     {"ATTEMPT_ABSTRACT_SOCKET", t.abstractSocket},
            {"ATTEMPT_PROCESS", std::to_string(t.processId)}, {"ATTEMPT_REMOTE_ADDRESS", address},
            {"ATTEMPT_SYSV_SEGMENT", std::to_string(t.sysvSegment)}};
}
