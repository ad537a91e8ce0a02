#include "pngfile.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>

#ifndef Q_OS_WIN
#include <QRandomGenerator>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pdfpreview {

namespace {

#ifndef Q_OS_WIN
// Beside the target under a name nobody else picks, with the mode a new file
// gets (the umask applies) or the existing file's, and renamed over the
// target once every byte is out; as QSaveFile does, without its sync.
bool writeBesideAndRename(const QByteArray &bytes, const QString &path)
{
    const QByteArray target = QFile::encodeName(path);
    struct stat existing {
    };
    const bool exists = ::stat(target.constData(), &existing) == 0;
    QByteArray temporary;
    int file = -1;
    for (int attempt = 0; file < 0 && attempt < 16; ++attempt) {
        temporary = target + '.' + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        file = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file < 0 && errno != EEXIST)
            return false;
    }
    if (file < 0)
        return false;
    bool written = !exists || ::fchmod(file, existing.st_mode & 07777) == 0;
    for (qsizetype done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(file, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0 || errno != EINTR)
            written = false;
    }
    written = ::close(file) == 0 && written;
    if (written && ::rename(temporary.constData(), target.constData()) == 0)
        return true;
    ::unlink(temporary.constData());
    return false;
}
#endif

} // namespace

bool writePngWhole(const QImage &image, const QString &path)
{
    // Encoded in memory first: Qt's PNG writer does not report a device that
    // takes only part of what it is given.
    QByteArray png;
    {
        QBuffer buffer(&png);
        if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
            return false;
    }
    return writeFileWhole(png, path);
}

bool writeFileWhole(const QByteArray &bytes, const QString &path, Durability durability)
{
    if (bytes.isEmpty())
        return false;
    const QFileInfo target(path);
    if (target.exists() && !target.isFile()) {
        QFile device(path);
        return device.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && device.write(bytes) == bytes.size();
    }
#ifndef Q_OS_WIN
    if (durability == Durability::ProcessFailures)
        return writeBesideAndRename(bytes, path);
#else
    Q_UNUSED(durability);
#endif
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace pdfpreview
