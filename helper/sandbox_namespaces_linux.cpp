// The helper's own namespaces on Linux: a user namespace that owns new mount,
// network and IPC namespaces, and in the mount namespace a root of its own.
// That root is a small read-only tmpfs holding, each at its own path, only
// what the helper opens by name once it works: the font folders pdfium
// searches (and the font links Debian keeps in /etc/alternatives), the
// server's socket file, and in mode 0 the output folder with the helper's
// own descriptors, through which the finished output is given its name.
// Everything else it uses (the document, the area channel, an existing
// output) it opened before.
//
// The mount calls are the kernel's own (open_tree, move_mount,
// mount_setattr); the C library's wrappers for them clash with the kernel's
// header, so they are called by number.

#include "sandbox.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <strings.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/mount.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace {

// Where the new root is put together, a tmpfs of its own, before it becomes "/".
constexpr char Staging[] = "/tmp";
// umount2's flag, which only the C library's mount header names.
constexpr int DetachMount = 2;

struct OwnedDescriptor {
    int fd = -1;
    explicit OwnedDescriptor(int value) : fd(value) {}
    OwnedDescriptor(OwnedDescriptor &&other) noexcept : fd(other.fd) { other.fd = -1; }
    OwnedDescriptor(const OwnedDescriptor &) = delete;
    OwnedDescriptor &operator=(const OwnedDescriptor &) = delete;
    OwnedDescriptor &operator=(OwnedDescriptor &&) = delete;
    ~OwnedDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

QString failure(const char *what)
{
    return QStringLiteral("namespaces (%1: %2)").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

bool writeWhole(const char *path, const QByteArray &content)
{
    const OwnedDescriptor file(::open(path, O_WRONLY | O_CLOEXEC));
    return file.fd >= 0 && ::write(file.fd, content.constData(), size_t(content.size())) == content.size();
}

// The helper keeps its own user and group ids inside, so that the server's
// socket and the output folder are still its own; no other id exists there.
bool mapOwnIds(uid_t uid, gid_t gid)
{
    return writeWhole("/proc/self/setgroups", "deny")
        && writeWhole("/proc/self/uid_map", QByteArray::number(uid) + ' ' + QByteArray::number(uid) + " 1")
        && writeWhole("/proc/self/gid_map", QByteArray::number(gid) + ' ' + QByteArray::number(gid) + " 1");
}

// Every folder on the way to path, made in the staging root.
bool makeParents(const QByteArray &path)
{
    for (int slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1)) {
        const QByteArray folder = Staging + path.left(slash);
        if (::mkdir(folder.constData(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// A copy of a tree of the host's, held by a descriptor until it is put in
// place; it keeps what it shows even once the host's root is gone.
struct Graft {
    OwnedDescriptor tree;
    QByteArray path;
    bool folder = false;
};

bool takeGraft(std::vector<Graft> &grafts, const QString &where, bool writable)
{
    const QByteArray path = QFile::encodeName(QDir::cleanPath(where));
    if (path.isEmpty() || path.at(0) != '/' || path == "/")
        return false; // the host's whole root is never offered
    struct stat st;
    if (::stat(path.constData(), &st) != 0)
        return true; // nothing there to offer, as a font folder this system lacks
    Graft graft{OwnedDescriptor(int(::syscall(SYS_open_tree, AT_FDCWD, path.constData(),
                                                OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE))),
                path, S_ISDIR(st.st_mode)};
    if (graft.tree.fd < 0)
        return false;
    mount_attr attributes{};
    attributes.attr_set = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC | (writable ? 0 : MOUNT_ATTR_RDONLY);
    if (::syscall(SYS_mount_setattr, graft.tree.fd, "", AT_EMPTY_PATH | AT_RECURSIVE, &attributes, sizeof attributes)
        != 0)
        return false;
    grafts.push_back(std::move(graft));
    return true;
}

bool placeGraft(const Graft &graft)
{
    if (!makeParents(graft.path))
        return false;
    const QByteArray target = Staging + graft.path;
    if (graft.folder) {
        if (::mkdir(target.constData(), 0755) != 0 && errno != EEXIST)
            return false;
    } else {
        const OwnedDescriptor point(::open(target.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        if (point.fd < 0)
            return false;
    }
    return ::syscall(SYS_move_mount, graft.tree.fd, "", AT_FDCWD, target.constData(), MOVE_MOUNT_F_EMPTY_PATH) == 0;
}

// Debian links some fonts through /etc/alternatives; the links that lead
// back into a font folder are copied, the rest of that folder stays out.
// Only entries named as font files are read: the folder holds hundreds of
// links, and reading each would cost the first page a millisecond.
bool namedAsFont(const char *name)
{
    static const char *const extensions[] = {".ttf", ".ttc", ".otf", ".pfb", ".pfa"};
    const size_t length = std::strlen(name);
    for (const char *extension : extensions) {
        const size_t extensionLength = std::strlen(extension);
        if (length > extensionLength && ::strcasecmp(name + length - extensionLength, extension) == 0)
            return true;
    }
    return false;
}

struct Link {
    QByteArray path;
    QByteArray target;
};

std::vector<Link> fontAlternatives(const QStringList &fontFolders)
{
    std::vector<Link> links;
    const char folder[] = "/etc/alternatives";
    DIR *const entries = ::opendir(folder);
    if (!entries)
        return links;
    while (const dirent *entry = ::readdir(entries)) {
        if (!namedAsFont(entry->d_name))
            continue;
        const QByteArray path = QByteArray(folder) + '/' + entry->d_name;
        char target[4096];
        const ssize_t length = ::readlink(path.constData(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        const QString resolved = QFile::decodeName(QByteArray(target, int(length)));
        for (const QString &fonts : fontFolders) {
            if (resolved.startsWith(fonts + QLatin1Char('/'))) {
                links.push_back({path, QByteArray(target, int(length))});
                break;
            }
        }
    }
    ::closedir(entries);
    return links;
}

bool placeLink(const Link &link)
{
    return makeParents(link.path) && ::symlink(link.target.constData(), (Staging + link.path).constData()) == 0;
}

// The helper needs no capability in its namespace once the root is made,
// and an exploit should find none to remount or unmount with.
bool dropCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

namespace Sandbox {

namespace {

QStringList buildOwnRoot(const RootContents &contents)
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC) != 0)
        return {failure("unshare")};
    // From here on the helper is in its network and IPC namespaces whatever
    // else fails; what follows builds the root.
    if (!mapOwnIds(uid, gid))
        return {failure("id maps")};
    if (::syscall(SYS_mount, nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return {failure("private mounts")};

    std::vector<Graft> grafts;
    for (const QString &path : contents.readOnly) {
        if (!takeGraft(grafts, path, false))
            return {failure("copy of a folder")};
    }
    if (!contents.writableFolder.isEmpty() && !takeGraft(grafts, contents.writableFolder, true))
        return {failure("copy of the output folder")};
    // (A root that holds all of /proc already has them.)
    const bool wholeProc = contents.readOnly.contains(QStringLiteral("/proc"));
    if (contents.ownDescriptors && !wholeProc && !takeGraft(grafts, QStringLiteral("/proc/self/fd"), false))
        return {failure("copy of the descriptors")};
    const std::vector<Link> links = fontAlternatives(contents.readOnly);

    if (::syscall(SYS_mount, "tmpfs", Staging, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755,size=1m") != 0)
        return {failure("root")};
    // A root left half made would hide the host's /tmp, and with it the
    // server's socket: the stages that follow then work on the host's view.
    const auto abandon = [](const char *what) {
        const QString why = failure(what);
        ::chdir("/");
        ::syscall(SYS_umount2, Staging, DetachMount);
        return QStringList{why};
    };
    // /proc/self becomes a plain folder there, holding only the descriptors.
    for (const Graft &graft : grafts) {
        if (!placeGraft(graft))
            return abandon("placing a folder");
    }
    for (const Link &link : links) {
        if (!placeLink(link))
            return abandon("font links");
    }
    if (::chdir(Staging) != 0 || ::syscall(SYS_pivot_root, ".", ".") != 0)
        return abandon("pivot");
    if (::syscall(SYS_umount2, ".", DetachMount) != 0 || ::chdir("/") != 0)
        return {failure("the host's root left")};
    if (::syscall(SYS_mount, nullptr, "/", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                  nullptr)
        != 0)
        return {failure("read-only root")};
    return {};
}

} // namespace

QStringList applyNamespaces(const RootContents &contents)
{
    QStringList missing = buildOwnRoot(contents);
    // Also when the root could not be made: the namespaces' capabilities are
    // of no use to the helper from here on.
    if (!dropCapabilities() && missing.isEmpty())
        missing << failure("capabilities");
    return missing;
}

} // namespace Sandbox
