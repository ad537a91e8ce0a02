// The Linux part of the sandbox: no new privileges, Landlock for the file
// system (and, where the kernel offers them, TCP, abstract sockets and
// signals), and a seccomp filter for what Landlock does not cover or only
// newer kernels cover: processes, programs, memory made executable, sockets,
// truncation, terminal and device control.

#include "sandbox.h"

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
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>

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

class FilterBuilder
{
public:
    FilterBuilder() : m_filter(seccomp_init(SCMP_ACT_ALLOW)) {}
    bool ok() const { return m_filter && m_ok; }

    // A call of this name fails with errno, when every comparison holds. A
    // name this libseccomp or architecture does not know has nothing to deny.
    template <typename... Comparisons>
    void deny(const char *name, int error, Comparisons... comparisons)
    {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR || !m_filter)
            return;
        const unsigned count = sizeof...(comparisons);
        const int rc = seccomp_rule_add(m_filter.get(), SCMP_ACT_ERRNO(error), number, count, comparisons...);
        m_ok = m_ok && rc == 0;
    }
    bool load() { return ok() && seccomp_load(m_filter.get()) == 0; }

private:
    Filter m_filter;
    bool m_ok = true;
};

// Everything a pdfium exploit could use to reach beyond the helper and that
// the helper itself never calls once it has its document.
const char *const DeniedCalls[] = {
    // programs, processes and their memory
    "execve", "execveat", "fork", "vfork", "process_vm_readv", "process_vm_writev", "process_madvise",
    "kcmp", "pidfd_getfd", "pidfd_send_signal", "move_pages", "migrate_pages", "tkill",
    // name spaces, mounts and the kernel's own facilities
    "mount", "umount2", "unshare", "setns", "pivot_root", "chroot", "move_mount", "open_tree", "fsopen",
    "fsconfig", "fsmount", "fspick", "mount_setattr", "bpf", "perf_event_open", "userfaultfd",
    "fanotify_init", "name_to_handle_at", "open_by_handle_at", "add_key", "request_key", "keyctl",
    "io_uring_setup", "io_uring_enter", "io_uring_register", "swapon", "swapoff", "reboot", "kexec_load",
    "kexec_file_load", "init_module", "finit_module", "delete_module", "iopl", "ioperm", "acct",
    "quotactl", "uselib", "syslog", "vhangup", "settimeofday", "clock_settime", "clock_adjtime", "adjtimex",
    "sethostname", "setdomainname",
    // shared memory of any kind and sockets beyond the one connection
    "memfd_create", "memfd_secret", "shmget", "shmat", "msgget", "semget", "socket", "socketpair", "bind",
    "listen", "accept", "accept4",
    // truncation by name, which Landlock covers only from ABI 3
    "truncate",
};

void denyCommon(FilterBuilder &filter)
{
    for (const char *name : DeniedCalls)
        filter.deny(name, EPERM);
#ifndef PDFHELPER_SANDBOX_LEAK_CHECKER
    filter.deny("ptrace", EPERM);
    // Threads, which Qt's image conversions may start, but no process.
    filter.deny("clone", EPERM, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
#endif
    // The C library falls back to clone, which the filter can inspect.
    filter.deny("clone3", ENOSYS);
    filter.deny("personality", EPERM, SCMP_A0(SCMP_CMP_NE, 0xffffffffu));
    for (const char *name : {"mmap", "mprotect", "pkey_mprotect"})
        filter.deny(name, EPERM, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC));
    // Terminal and socket queries the helper and its libraries make; every
    // other control of a device or terminal (typing into one, for instance)
    // fails. A rule compares an argument once, so what is not allowed is
    // denied as the ranges around the allowed requests and each request
    // between them. The kernel reads 32 bits of the request, the filter
    // compares all 64: a request with high bits set is denied, never let
    // through.
    const scmp_datum_t allowed[] = {TCGETS, TIOCGWINSZ, FIONREAD, FIONBIO, FIONCLEX, FIOCLEX};
    const scmp_datum_t lowest = *std::min_element(std::begin(allowed), std::end(allowed));
    const scmp_datum_t highest = *std::max_element(std::begin(allowed), std::end(allowed));
    filter.deny("ioctl", EPERM, SCMP_A1(SCMP_CMP_LT, lowest));
    filter.deny("ioctl", EPERM, SCMP_A1(SCMP_CMP_GT, highest));
    for (scmp_datum_t request = lowest + 1; request < highest; ++request) {
        if (std::find(std::begin(allowed), std::end(allowed), request) == std::end(allowed))
            filter.deny("ioctl", EPERM, SCMP_A1(SCMP_CMP_EQ, request));
    }
    // Signals only to the helper itself; its process group holds the
    // preview application.
    const scmp_datum_t self = scmp_datum_t(::getpid());
    for (const char *name : {"kill", "tgkill", "rt_sigqueueinfo", "rt_tgsigqueueinfo"})
        filter.deny(name, EPERM, SCMP_A0(SCMP_CMP_NE, self));
    // The C library asks for its own limits as process 0.
    filter.deny("prlimit64", EPERM, SCMP_A0(SCMP_CMP_NE, 0));
}

} // namespace

namespace Sandbox {

void closeInheritedDescriptors(int keep)
{
    if (keep > STDERR_FILENO) {
        if (keep > STDERR_FILENO + 1)
            ::syscall(SYS_close_range, STDERR_FILENO + 1, keep - 1, 0);
        ::syscall(SYS_close_range, keep + 1, ~0u, 0);
    } else {
        ::syscall(SYS_close_range, STDERR_FILENO + 1, ~0u, 0);
    }
}

QStringList fontFolders()
{
    // Where pdfium's Linux font lookup enumerates fonts.
    return {QStringLiteral("/usr/share/fonts"), QStringLiteral("/usr/share/X11/fonts/Type1"),
            QStringLiteral("/usr/share/X11/fonts/TTF"), QStringLiteral("/usr/local/share/fonts")};
}

QStringList applyFirstStage(const Allowance &allowance)
{
    QStringList missing;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        missing << QStringLiteral("no new privileges");
    if (!applyLandlock(allowance))
        missing << QStringLiteral("Landlock");
    FilterBuilder filter;
    denyCommon(filter);
    if (allowance.socketsAtAll && allowance.connectDescriptor >= 0)
        filter.deny("connect", EPERM, SCMP_A0(SCMP_CMP_NE, scmp_datum_t(allowance.connectDescriptor)));
    else
        filter.deny("connect", EPERM);
    if (!filter.load())
        missing << QStringLiteral("seccomp");
    return missing;
}

QStringList applyConnectedStage()
{
    // Stacked on the first stage's filter: the connection is up, and no
    // descriptor may connect any more.
    FilterBuilder filter;
    filter.deny("connect", EPERM);
    if (!filter.load())
        return {QStringLiteral("seccomp")};
    return {};
}

} // namespace Sandbox
