// The Linux part of the sandbox's first and connected stages: no new
// privileges, Landlock for the file system (and, where the kernel offers
// them, TCP, abstract sockets and signals), and a seccomp filter that allows
// the calls the helper makes, with their arguments where they matter, and
// refuses every other one: processes, programs, memory made executable,
// sockets, metadata of files, System V, other processes' priorities and
// signals, terminal and device control. The namespaces that come before are
// in sandbox_namespaces_linux.cpp.

#include "sandbox.h"

#include "contract.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// Landlock's user interface beyond what the C library's headers may know:
// Debian 12's stop at ABI 2. The values are the kernel's.
constexpr __u64 AccessFsRefer = 1ULL << 13;     // ABI 2
constexpr __u64 AccessFsTruncate = 1ULL << 14;  // ABI 3
constexpr __u64 AccessFsIoctlDev = 1ULL << 15;  // ABI 5
constexpr __u64 AccessNetBindTcp = 1ULL << 0;   // ABI 4
constexpr __u64 AccessNetConnectTcp = 1ULL << 1;
constexpr __u64 ScopeAbstractUnixSocket = 1ULL << 0; // ABI 6
constexpr __u64 ScopeSignal = 1ULL << 1;

// The ruleset record as the newest ABI we use knows it; older kernels are
// given the prefix they know.
struct RulesetAttr {
    __u64 handledAccessFs;
    __u64 handledAccessNet;
    __u64 scoped;
};

constexpr __u64 AccessFsAbi1 = (1ULL << 13) - 1; // execute to make-symlink
constexpr __u64 ReadAccess = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
// Rights that a rule on a file, rather than a folder, may carry.
constexpr __u64 FileAccess = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE
    | LANDLOCK_ACCESS_FS_READ_FILE | AccessFsTruncate | AccessFsIoctlDev;

int landlockAbi()
{
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? int(abi) : 0;
}

struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
};

// A path that does not exist (a font folder this system lacks) needs no
// rule; one that exists but cannot take its rule fails the whole ruleset.
bool addPathRule(int ruleset, const QString &path, __u64 access, __u64 handled)
{
    if (path.isEmpty())
        return true;
    const Descriptor target(::open(QFile::encodeName(path).constData(), O_PATH | O_CLOEXEC));
    if (target.fd < 0)
        return errno == ENOENT || errno == ENOTDIR;
    if (!QFileInfo(path).isDir())
        access &= FileAccess;
    landlock_path_beneath_attr rule{};
    rule.allowed_access = access & handled;
    rule.parent_fd = target.fd;
    return rule.allowed_access == 0
        || ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

bool applyLandlock(const Sandbox::Allowance &allowance)
{
    int abi = landlockAbi();
    if (allowance.landlockAbiLimit > 0)
        abi = qMin(abi, allowance.landlockAbiLimit);
    if (abi < 1)
        return false;

    RulesetAttr attr{};
    attr.handledAccessFs = AccessFsAbi1;
    if (abi >= 2)
        attr.handledAccessFs |= AccessFsRefer;
    if (abi >= 3)
        attr.handledAccessFs |= AccessFsTruncate;
    if (abi >= 5)
        attr.handledAccessFs |= AccessFsIoctlDev;
    // No rule for TCP: handled and never allowed, neither bind nor connect.
    if (abi >= 4)
        attr.handledAccessNet = AccessNetBindTcp | AccessNetConnectTcp;
    if (abi >= 6)
        attr.scoped = ScopeAbstractUnixSocket | ScopeSignal;
    const size_t attrSize = abi >= 6 ? sizeof(RulesetAttr) : abi >= 4 ? 2 * sizeof(__u64) : sizeof(__u64);

    const Descriptor ruleset(int(::syscall(SYS_landlock_create_ruleset, &attr, attrSize, 0)));
    if (ruleset.fd < 0)
        return false;
    const __u64 handled = attr.handledAccessFs;
    bool ruled = addPathRule(ruleset.fd, allowance.documentPath, LANDLOCK_ACCESS_FS_READ_FILE, handled);
    QStringList readable = allowance.readableFolders;
#ifdef PDFHELPER_SANDBOX_LEAK_CHECKER
    // The leak checker reads the process's maps and threads at exit.
    readable << QStringLiteral("/proc");
#endif
    for (const QString &folder : qAsConst(readable))
        ruled = ruled && addPathRule(ruleset.fd, folder, ReadAccess, handled);
    // Linking the finished unnamed output file under its name is making a
    // regular file; nothing here may be opened for writing.
    ruled = ruled && addPathRule(ruleset.fd, allowance.creatableFolder, LANDLOCK_ACCESS_FS_MAKE_REG, handled);
    ruled = ruled && addPathRule(ruleset.fd, allowance.writableFolder,
                                 LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_WRITE_FILE | AccessFsTruncate,
                                 handled);
    return ruled && ::syscall(SYS_landlock_restrict_self, ruleset.fd, 0) == 0;
}

struct FilterDeleter {
    void operator()(void *filter) const { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterDeleter>;

// How a call's arguments are judged before it is allowed.
enum class Judged {
    Always,
    ThreadsOnly,        // clone: a thread of the helper, never a process
    NotExecutable,      // mmap, mprotect: never PROT_EXEC
    ToTheHelper,        // kill, tgkill: the first argument is the helper itself
    OnTheHelper,        // the first argument is 0, the caller itself
    OnTheHelperSecond,  // setpriority, ioprio_set: the target (second argument) is 0
    KnownCommand,       // fcntl: the commands of FcntlCommands, and F_SETFL without O_ASYNC
    KnownRequest,       // ioctl: the requests of IoctlRequests
    KnownOption,        // prctl: the options of PrctlOptions
    TheOneSocket,       // connect: only on the descriptor made before the stage
};

struct AllowedCall {
    const char *name;
    Judged judged;
};

// Every call a confined helper makes, found by running the test suite, the
// fuzz seeds, the sample, the thumbnailer and the project's documents through
// confined helpers (tools/syscall-sweep.py). Any other call fails with EPERM:
// one that a newer kernel adds is refused until it is named here.
const AllowedCall AllowedCalls[] = {
    // what is open: the document, fonts, the connection, the area channel
    {"read", Judged::Always},
    {"write", Judged::Always},
    {"lseek", Judged::Always},
    {"close", Judged::Always},
    {"fcntl", Judged::KnownCommand},
    {"ioctl", Judged::KnownRequest},
    {"ftruncate", Judged::Always}, // mode 0's existing output, opened before
    // names, within what the helper's root and Landlock leave
    {"openat", Judged::Always},
    {"newfstatat", Judged::Always},
    {"stat", Judged::Always},
    {"statx", Judged::Always},
    {"access", Judged::Always},
    {"readlink", Judged::Always},
    {"getdents64", Judged::Always},
    {"linkat", Judged::Always}, // mode 0's finished output given its name
    // memory
    {"brk", Judged::Always},
    {"mmap", Judged::NotExecutable},
    {"mprotect", Judged::NotExecutable},
    {"mremap", Judged::Always}, // growing a large image's buffer
    {"munmap", Judged::Always},
    {"madvise", Judged::Always},
    // threads, which Qt's image conversions may start
    {"clone", Judged::ThreadsOnly},
    {"futex", Judged::Always},
    {"set_robust_list", Judged::Always},
    {"rseq", Judged::Always},
    {"sched_getaffinity", Judged::Always}, // how many threads Qt's pool may start
    {"gettid", Judged::Always},
    {"exit", Judged::Always},
    // signals, to the helper alone
    {"rt_sigaction", Judged::Always},
    {"rt_sigprocmask", Judged::Always},
    {"rt_sigreturn", Judged::Always},
    {"tgkill", Judged::ToTheHelper}, // the C library's raise and abort
    // the event loop
    {"poll", Judged::Always},
    {"restart_syscall", Judged::Always}, // a wait a signal interrupted
    // the connection
    {"connect", Judged::TheOneSocket},
    {"getsockname", Judged::Always},
    {"getpeername", Judged::Always},
    {"getsockopt", Judged::Always},
    {"recvmsg", Judged::Always}, // the area channel's descriptors
    // the process itself
    {"getpid", Judged::Always},
    {"geteuid", Judged::Always},
    {"getrandom", Judged::Always}, // Qt's hash seeds, taken when first needed
    {"sysinfo", Judged::Always}, // the C library's sort asks for the memory size
    // none of these is made today; if one is, it is on the helper alone
    {"setpriority", Judged::OnTheHelperSecond},
    {"sched_setscheduler", Judged::OnTheHelper},
    {"sched_setparam", Judged::OnTheHelper},
    {"sched_setattr", Judged::OnTheHelper},
    {"sched_setaffinity", Judged::OnTheHelper},
    {"ioprio_set", Judged::OnTheHelperSecond},
    {"prctl", Judged::KnownOption},
    {"seccomp", Judged::Always}, // the connected stage's filter, which only narrows
    {"exit_group", Judged::Always},
#ifdef PDFHELPER_SANDBOX_LEAK_CHECKER
    // The leak checker stops the threads with a tracer process of its own
    // and reads /proc at exit; the sanitizers' runtime tells readable memory
    // by writing it into a pipe.
    {"pipe2", Judged::Always},
    {"pipe", Judged::Always},
    {"open", Judged::Always}, // the runtime's own, older calls
    {"getdents", Judged::Always},
    {"ptrace", Judged::Always},
    {"wait4", Judged::Always},
    {"waitid", Judged::Always},
    {"sigaltstack", Judged::Always},
    {"getppid", Judged::Always},
    {"readlinkat", Judged::Always},
#endif
};

// Beside F_SETFL without O_ASYNC: Qt's sockets read and set their flags.
const scmp_datum_t FcntlCommands[] = {F_GETFL};
// Whether a stream is a terminal, and what a socket holds; no control of a
// device or terminal (typing into one, for instance).
const scmp_datum_t IoctlRequests[] = {TCGETS, FIONREAD};
// No new privileges (libseccomp sets it again for the connected stage's
// filter), and the name a thread of Qt's pool gives itself.
const scmp_datum_t PrctlOptions[] = {PR_SET_NO_NEW_PRIVS, PR_SET_NAME};

class FilterBuilder
{
public:
    explicit FilterBuilder(uint32_t otherwise) : m_filter(seccomp_init(otherwise)) {}
    bool ok() const { return m_filter && m_ok; }

    // A call of this name gets action, when every comparison holds. A name
    // this libseccomp or architecture does not know has nothing to rule.
    template <typename... Comparisons>
    void rule(uint32_t action, const char *name, Comparisons... comparisons)
    {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR || !m_filter)
            return;
        const unsigned count = sizeof...(comparisons);
        const int rc = seccomp_rule_add(m_filter.get(), action, number, count, comparisons...);
        m_ok = m_ok && rc == 0;
    }
    template <typename... Comparisons>
    void allow(const char *name, Comparisons... comparisons)
    {
        rule(SCMP_ACT_ALLOW, name, comparisons...);
    }
    bool load() { return ok() && seccomp_load(m_filter.get()) == 0; }

private:
    Filter m_filter;
    bool m_ok = true;
};

void allowJudged(FilterBuilder &filter, const AllowedCall &call, int connectDescriptor, scmp_datum_t self)
{
    switch (call.judged) {
    case Judged::Always:
        filter.allow(call.name);
        return;
    case Judged::ThreadsOnly:
#ifdef PDFHELPER_SANDBOX_LEAK_CHECKER
        filter.allow(call.name);
#else
        filter.allow(call.name, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
#endif
        return;
    case Judged::NotExecutable:
        filter.allow(call.name, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
        return;
    case Judged::ToTheHelper:
        filter.allow(call.name, SCMP_A0(SCMP_CMP_EQ, self));
        return;
    case Judged::OnTheHelper:
        filter.allow(call.name, SCMP_A0(SCMP_CMP_EQ, 0));
        return;
    case Judged::OnTheHelperSecond:
        filter.allow(call.name, SCMP_A1(SCMP_CMP_EQ, 0));
        return;
    case Judged::KnownCommand:
        for (scmp_datum_t command : FcntlCommands)
            filter.allow(call.name, SCMP_A1(SCMP_CMP_EQ, command));
        // O_ASYNC would signal whoever owns the descriptor.
        filter.allow(call.name, SCMP_A1(SCMP_CMP_EQ, F_SETFL), SCMP_A2(SCMP_CMP_MASKED_EQ, O_ASYNC, 0));
        return;
    case Judged::KnownRequest:
        // The kernel reads 32 bits of the request, the filter compares all
        // 64: a request with high bits set matches nothing and is refused.
        for (scmp_datum_t request : IoctlRequests)
            filter.allow(call.name, SCMP_A1(SCMP_CMP_EQ, request));
        return;
    case Judged::KnownOption:
#ifdef PDFHELPER_SANDBOX_LEAK_CHECKER
        filter.allow(call.name);
#else
        for (scmp_datum_t option : PrctlOptions)
            filter.allow(call.name, SCMP_A0(SCMP_CMP_EQ, option));
#endif
        return;
    case Judged::TheOneSocket:
        if (connectDescriptor >= 0)
            filter.allow(call.name, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(connectDescriptor)));
        return;
    }
}

} // namespace

namespace Sandbox {

void closeInheritedDescriptors(std::vector<int> keep)
{
    // Everything between the descriptors kept, in ascending order.
    std::sort(keep.begin(), keep.end());
    unsigned next = STDERR_FILENO + 1;
    for (int descriptor : keep) {
        if (descriptor < int(next))
            continue;
        if (unsigned(descriptor) > next)
            ::syscall(SYS_close_range, next, unsigned(descriptor) - 1, 0);
        next = unsigned(descriptor) + 1;
    }
    ::syscall(SYS_close_range, next, ~0u, 0);
}

QStringList fontFolders()
{
    // Where pdfium's Linux font lookup enumerates fonts.
    return {QStringLiteral("/usr/share/fonts"), QStringLiteral("/usr/share/X11/fonts/Type1"),
            QStringLiteral("/usr/share/X11/fonts/TTF"), QStringLiteral("/usr/local/share/fonts")};
}

// Holds the address space to the helper's bound, or lower where a limit
// already is. AddressSanitizer reserves its shadow far beyond any bound.
bool limitAddressSpace()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0)
        return false;
    const rlim_t bound = rlim_t(HelperAddressSpaceBytes);
    limit.rlim_cur = qMin(limit.rlim_cur, bound);
    limit.rlim_max = qMin(limit.rlim_max, bound);
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
#endif
}

QStringList applyFirstStage(const Allowance &allowance)
{
    QStringList missing;
    if (!limitAddressSpace())
        missing << QStringLiteral("memory limit");
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        missing << QStringLiteral("no new privileges");
    if (!applyLandlock(allowance))
        missing << QStringLiteral("Landlock");
    FilterBuilder filter(SCMP_ACT_ERRNO(EPERM));
    const scmp_datum_t self = scmp_datum_t(::getpid());
    for (const AllowedCall &call : AllowedCalls)
        allowJudged(filter, call, allowance.connectDescriptor, self);
    // The C library falls back to clone, which the filter can inspect.
    filter.rule(SCMP_ACT_ERRNO(ENOSYS), "clone3");
    if (!filter.load())
        missing << QStringLiteral("seccomp");
    return missing;
}

QStringList applyConnectedStage()
{
    // Stacked on the first stage's filter: the connection is up, and no
    // descriptor may connect any more.
    FilterBuilder filter(SCMP_ACT_ALLOW);
    filter.rule(SCMP_ACT_ERRNO(EPERM), "connect");
    if (!filter.load())
        return {QStringLiteral("seccomp")};
    return {};
}

} // namespace Sandbox
