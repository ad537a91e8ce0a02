#include "pagecolours.h"

#include <algorithm>

PageColours pageColoursFrom(int value)
{
    switch (value) {
    case int(PageColours::Inverted):
        return PageColours::Inverted;
    case int(PageColours::Night):
        return PageColours::Night;
    case int(PageColours::Sepia):
        return PageColours::Sepia;
    default:
        return PageColours::Normal;
    }
}

namespace {

// Lightness in HSL is the mean of the largest and smallest channel; moving
// every channel by the same amount keeps hue and chroma, and so saturation.
// The amount that takes lightness L to 1 - L keeps every channel in range.
inline QRgb night(QRgb pixel)
{
    const int r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
    const int shift = 255 - std::max({r, g, b}) - std::min({r, g, b});
    return qRgba(r + shift, g + shift, b + shift, qAlpha(pixel));
}

// Paper of a warm grey-yellow; black stays black, so text keeps its contrast.
inline QRgb sepia(QRgb pixel)
{
    return qRgba(qRed(pixel) * 251 / 255, qGreen(pixel) * 240 / 255, qBlue(pixel) * 214 / 255, qAlpha(pixel));
}

template<typename Change>
void changeRow(QRgb *row, int width, const QList<QRect> &kept, int y, Change change)
{
    // Spans of the row outside every kept rectangle; rectangles are few.
    int x = 0;
    while (x < width) {
        int end = width;
        bool inside = false;
        for (const QRect &rect : kept) {
            if (y < rect.top() || y > rect.bottom() || rect.right() < x)
                continue;
            if (rect.left() <= x) {
                inside = true;
                x = std::max(x, rect.right() + 1);
                break;
            }
            end = std::min(end, rect.left());
        }
        if (inside)
            continue;
        for (int i = x; i < end; ++i)
            row[i] = change(row[i]);
        x = end;
    }
}

template<typename Change>
void changeImage(QImage &image, const QList<QRect> &kept, Change change)
{
    const QRect bounds = image.rect();
    QList<QRect> inside;
    for (const QRect &rect : kept) {
        if (rect.intersects(bounds))
            inside.append(rect.intersected(bounds));
    }
    for (int y = 0; y < image.height(); ++y)
        changeRow(reinterpret_cast<QRgb *>(image.scanLine(y)), image.width(), inside, y, change);
}

} // namespace

void applyPageColours(QImage &image, PageColours colours, const QList<QRect> &kept)
{
    if (!appliedAfterDrawing(colours) || image.isNull())
        return;
    if (image.format() != QImage::Format_ARGB32 && image.format() != QImage::Format_RGB32)
        image.convertTo(QImage::Format_ARGB32);
    if (colours == PageColours::Night)
        changeImage(image, kept, night);
    else
        changeImage(image, kept, sepia);
}

QRgb paperColour(PageColours colours)
{
    switch (colours) {
    case PageColours::Inverted:
        return qRgb(0, 0, 0);
    case PageColours::Night:
        return night(qRgb(255, 255, 255));
    case PageColours::Sepia:
        return sepia(qRgb(255, 255, 255));
    case PageColours::Normal:
        break;
    }
    return qRgb(255, 255, 255);
}
