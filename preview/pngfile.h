#pragma once

#include <QString>

class QByteArray;
class QImage;

namespace pdfpreview {

// Writes the image as PNG to path, whole or not at all: a regular file is
// written beside the target and renamed over it only once every byte is out,
// so a full disk leaves an existing file as it was and a failure leaves no
// part of a file behind. Anything else that exists there (a device, a pipe)
// is written to directly, and every write is checked.
bool writePngWhole(const QImage &image, const QString &path);

// The same for a file already encoded; empty bytes are not written.
bool writeFileWhole(const QByteArray &bytes, const QString &path);

} // namespace pdfpreview
