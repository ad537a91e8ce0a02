#include "scanoutput.h"

#include <QFile>
#include <QFileInfo>

#if defined(__linux__)
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

ScanOutput::ScanOutput(const QString &path)
    // Absolute: the helper's own root has no working folder of the caller's.
    : m_path(path.isEmpty() ? path : QFileInfo(path).absoluteFilePath())
{
#if defined(__linux__)
    const QByteArray encoded = QFile::encodeName(path);
    if (encoded.isEmpty()) {
        m_way = Way::Failed;
        return;
    }
    m_fd = ::open(encoded.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (m_fd >= 0) {
        m_way = Way::Opened;
        return;
    }
    if (errno != ENOENT) {
        // Not writable, a folder, or the like: the open at write time would
        // fail the same way.
        m_way = Way::Failed;
        return;
    }
    m_way = Way::Missing;
#endif
}

void ScanOutput::makeReady()
{
#if defined(__linux__)
    if (m_way != Way::Missing)
        return;
    const QByteArray folder = QFile::encodeName(QFileInfo(m_path).absolutePath());
    m_fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (m_fd >= 0)
        m_way = Way::Unnamed;
    else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)
        m_way = Way::ByPath; // a file system without unnamed files
    else
        m_way = Way::Failed;
#endif
}

QString ScanOutput::folderToMakeIn() const
{
    return m_way == Way::Missing ? QFileInfo(m_path).absolutePath() : QString();
}

ScanOutput::~ScanOutput()
{
#if defined(__linux__)
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

QString ScanOutput::creatableFolder() const
{
    return m_way == Way::Unnamed ? QFileInfo(m_path).absolutePath() : QString();
}

QString ScanOutput::writableFolder() const
{
#if defined(__linux__)
    return m_way == Way::ByPath ? QFileInfo(m_path).absolutePath() : QString();
#else
    return QString();
#endif
}

#if defined(__linux__)
namespace {

bool writeAll(int fd, const QByteArray &content)
{
    qint64 done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace
#endif

bool ScanOutput::write(const QByteArray &content)
{
    switch (m_way) {
    case Way::Failed:
    case Way::Missing:
        return false;
#if defined(__linux__)
    case Way::Opened: {
        // Truncated only now, as an open for writing with truncation would
        // have done; devices such as /dev/full cannot be and need not be.
        struct stat st;
        if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(m_fd, 0) != 0)
            return false;
        return writeAll(m_fd, content);
    }
    case Way::Unnamed: {
        if (!writeAll(m_fd, content))
            return false;
        // The file gets its name only when whole; the name through /proc
        // needs no privilege, the one through the descriptor does.
        const QByteArray target = QFile::encodeName(m_path);
        if (::linkat(m_fd, "", AT_FDCWD, target.constData(), AT_EMPTY_PATH) == 0)
            return true;
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
        return ::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0;
    }
#else
    case Way::Opened:
    case Way::Unnamed:
        return false;
#endif
    case Way::ByPath:
        break;
    }
    QFile output(m_path);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    bool written = output.write(content) == content.size();
    // A full disk shows only when the buffer goes out: a list that did not
    // reach the file is reported like one that could not be opened.
    written = output.flush() && written;
    output.close();
    return written && output.error() == QFileDevice::NoError;
}
