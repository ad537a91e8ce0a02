#pragma once

// Pixel counts that several tests judge images by.

#include <QImage>

#include <algorithm>

namespace testsupport {

// How two images differ where they overlap: the pixels that do, and the
// largest difference in one colour channel.
struct PixelDifference {
    int pixels = 0;
    int worst = 0;
};

inline PixelDifference pixelDifference(const QImage &first, const QImage &second)
{
    const QImage a = first.convertToFormat(QImage::Format_ARGB32);
    const QImage b = second.convertToFormat(QImage::Format_ARGB32);
    PixelDifference found;
    for (int y = 0; y < std::min(a.height(), b.height()); ++y) {
        const QRgb *p = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const QRgb *q = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < std::min(a.width(), b.width()); ++x) {
            if (p[x] == q[x])
                continue;
            ++found.pixels;
            found.worst = std::max({found.worst, qAbs(qRed(p[x]) - qRed(q[x])), qAbs(qGreen(p[x]) - qGreen(q[x])),
                                    qAbs(qBlue(p[x]) - qBlue(q[x]))});
        }
    }
    return found;
}

// Pixels in rect (the whole image if empty) that match.
template<typename Match>
int countPixels(const QImage &image, Match match, QRect rect = QRect())
{
    rect = rect.isEmpty() ? image.rect() : rect.intersected(image.rect());
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            count += bool(match(image.pixel(x, y)));
    return count;
}

// Pixels in rect whose grey is below level.
inline int darkPixels(const QImage &image, int level, QRect rect = QRect())
{
    return countPixels(
        image, [level](QRgb c) { return qGray(c) < level; }, rect);
}

} // namespace testsupport
