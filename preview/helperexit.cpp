#include "helperexit.h"

#include <QByteArray>
#include <QFile>

namespace pdfpreview {

int signedExitCode(int rawExitCode)
{
#ifdef Q_OS_WIN
    return rawExitCode;
#else
    return static_cast<qint8>(rawExitCode);
#endif
}

bool looksEncrypted(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 Window = 1 << 20;
    const QByteArray head = file.read(Window);
    if (head.contains("/Encrypt"))
        return true;
    if (file.size() > Window) {
        file.seek(qMax(file.size() - Window, Window));
        return file.readAll().contains("/Encrypt");
    }
    return false;
}

} // namespace pdfpreview
