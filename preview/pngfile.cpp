#include "pngfile.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>

namespace pdfpreview {

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

bool writeFileWhole(const QByteArray &bytes, const QString &path)
{
    if (bytes.isEmpty())
        return false;
    const QFileInfo target(path);
    if (target.exists() && !target.isFile()) {
        QFile device(path);
        return device.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && device.write(bytes) == bytes.size();
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace pdfpreview
