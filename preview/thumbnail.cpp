#include "thumbnail.h"

#include <QUrl>

#include <algorithm>
#include <cmath>

namespace pdfpreview {

QSize thumbnailSize(const QSize &pagePoints, int longest)
{
    if (pagePoints.width() <= 0 || pagePoints.height() <= 0)
        return QSize(longest, longest);
    const double width = pagePoints.width();
    const double height = pagePoints.height();
    const auto shorter = [longest](double ratio) {
        return std::clamp(static_cast<int>(std::lround(longest * ratio)), 1, longest);
    };
    if (width >= height)
        return QSize(longest, shorter(height / width));
    return QSize(shorter(width / height), longest);
}

QString thumbnailInputPath(const QString &input)
{
    // A path that merely contains a colon is still a path; only a scheme
    // followed by "//" or a colon at the start is taken for a URI.
    if (!input.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const qsizetype colon = input.indexOf(QLatin1Char(':'));
        const qsizetype slash = input.indexOf(QLatin1Char('/'));
        const bool uri = colon > 0 && (slash < 0 || colon < slash) && input.mid(colon + 1).startsWith(QLatin1String("//"));
        return uri ? QString() : input;
    }
    QUrl url = QUrl::fromEncoded(input.toUtf8());
    if (url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        url.setHost(QString());
    // Another host's file would come back as a network path, which no file
    // manager means by a thumbnail.
    if (!url.isValid() || !url.isLocalFile() || !url.host().isEmpty())
        return QString();
    return url.toLocalFile();
}

} // namespace pdfpreview
