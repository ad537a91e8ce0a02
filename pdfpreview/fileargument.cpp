#include "fileargument.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

FileArgument fileArgument(const QString &given)
{
    static const QRegularExpression pageFragment(QStringLiteral("^page=(\\d{1,9})$"));
    FileArgument file;
    QString fragment;
    // Any other address (two letters at least, so that C:\ stays a path) is
    // not a file here.
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+://"));
    if (scheme.match(given).hasMatch() && !given.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        return file;
    if (given.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(given);
        if (!url.isLocalFile())
            return file;
        file.path = url.toLocalFile();
        fragment = url.fragment();
    } else if (QFileInfo::exists(given) || !given.contains(QLatin1Char('#'))) {
        file.path = given;
    } else {
        const qsizetype hash = given.lastIndexOf(QLatin1Char('#'));
        file.path = given.left(hash);
        fragment = given.mid(hash + 1);
    }
    const QRegularExpressionMatch page = pageFragment.match(fragment);
    if (page.hasMatch() && page.captured(1).toInt() >= 1)
        file.page = page.captured(1).toInt() - 1;
    return file;
}
