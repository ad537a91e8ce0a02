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

// How far a file written whole is safe. Either way it is whole or not there
// whatever this process does; OnDisk also waits until the system has it on
// disk, so that it survives a power cut right after. A file that its reader
// takes at once and can have made again (a file manager's thumbnail) need
// not pay that wait, which on a journalling file system is longer than
// drawing the thumbnail. Windows always waits.
enum class Durability { OnDisk, ProcessFailures };

// The same for a file already encoded; empty bytes are not written.
bool writeFileWhole(const QByteArray &bytes, const QString &path, Durability durability = Durability::OnDisk);

} // namespace pdfpreview
