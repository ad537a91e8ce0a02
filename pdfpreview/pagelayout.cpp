#include "pagelayout.h"

#include "contract.h"

#include <QtMath>

#include <algorithm>
#include <climits>
#include <cmath>

int clampedRound(double value, int low, int high)
{
    if (!(value >= low)) // NaN fails every comparison
        return low;
    if (value >= high)
        return high;
    return int(std::lround(value));
}

void PageLayout::setPageSizes(const QList<QSize> &points)
{
    m_points = points;
    relayout();
}

void PageLayout::setArrangement(Arrangement arrangement)
{
    m_arrangement = arrangement;
    relayout();
}

void PageLayout::setZoom(double pixelsPerPoint)
{
    m_zoom = std::isnan(pixelsPerPoint) ? 1.0 : std::clamp(pixelsPerPoint, MinZoom, MaxZoom);
    relayout();
}

void PageLayout::setQuarterTurns(int turns)
{
    m_turns = ((turns % 4) + 4) % 4;
    relayout();
}

QSize PageLayout::turnedPoints(int index) const
{
    const QSize points = m_points.at(index);
    return m_turns % 2 ? points.transposed() : points;
}

void PageLayout::relayout()
{
    m_rects.clear();
    m_rowBottoms.clear();
    m_rects.reserve(m_points.size());
    m_rowBottoms.reserve(m_points.size());
    QList<QSize> pixels;
    pixels.reserve(m_points.size());
    int widest = 0;
    for (int index = 0; index < m_points.size(); ++index) {
        const QSize points = turnedPoints(index);
        pixels.append(QSize(clampedRound(points.width() * m_zoom, 1, MaxSide),
                            clampedRound(points.height() * m_zoom, 1, MaxSide)));
        widest = std::max(widest, pixels.last().width());
    }
    // Two pages a row meet at the middle: the left one against the spine,
    // the right one from it. Positions are summed in 64 bits and clamped,
    // so that no number of pages of any size overflows.
    const int spine = Spacing + widest;
    qint64 y = Spacing;
    int index = 0;
    while (index < pixels.size()) {
        const bool cover = m_arrangement == Arrangement::Book && index == 0;
        const int inRow = cover ? 1 : std::min<int>(pagesPerRow(), int(pixels.size()) - index);
        const int top = int(std::min<qint64>(y, StripLimit));
        int height = 0;
        for (int n = 0; n < inRow; ++n) {
            const QSize size = pixels.at(index + n);
            int left = Spacing;
            if (pagesPerRow() == 2)
                left = cover || n == 1 ? spine + Spacing : spine - size.width();
            m_rects.append(QRect(QPoint(left, top), size));
            height = std::max(height, size.height());
        }
        for (int n = 0; n < inRow; ++n)
            m_rowBottoms.append(top + height - 1);
        index += inRow;
        y += height + Spacing;
    }
    const int width = pagesPerRow() == 2 ? 2 * widest + Spacing : widest;
    m_strip = QSize(width + 2 * Spacing, int(std::min<qint64>(y, StripLimit + MaxSide)));
}

QTransform PageLayout::pageToStrip(int index) const
{
    const QRect rect = pageRect(index);
    const QSize points = pagePoints(index);
    if (rect.isEmpty() || points.isEmpty())
        return QTransform(0, 0, 0, 0, 0, 0);
    // Clockwise quarter turns of the unit square onto itself.
    static const QTransform turns[4] = {
        QTransform(),
        QTransform(0, 1, -1, 0, 1, 0),
        QTransform(-1, 0, 0, -1, 1, 1),
        QTransform(0, -1, 1, 0, 0, 1),
    };
    return QTransform::fromScale(1.0 / points.width(), 1.0 / points.height()) * turns[m_turns]
        * QTransform(rect.width(), 0, 0, rect.height(), rect.left(), rect.top());
}

QRect PageLayout::pageRect(int index) const
{
    return index >= 0 && index < m_rects.size() ? m_rects.at(index) : QRect();
}

QList<int> PageLayout::pagesIn(const QRect &area) const
{
    QList<int> pages;
    // Rows go down the strip in order: start at the first that could reach
    // the area and stop at the first below it.
    const auto first = std::lower_bound(m_rowBottoms.cbegin(), m_rowBottoms.cend(), area.top());
    for (auto it = first; it != m_rowBottoms.cend(); ++it) {
        const QRect &rect = m_rects.at(it - m_rowBottoms.cbegin());
        if (rect.top() > area.bottom())
            break;
        if (rect.intersects(area))
            pages.append(int(it - m_rowBottoms.cbegin()));
    }
    return pages;
}

int PageLayout::pageAt(int y) const
{
    if (m_rects.isEmpty())
        return -1;
    const auto it = std::lower_bound(m_rowBottoms.cbegin(), m_rowBottoms.cend(), y);
    return it == m_rowBottoms.cend() ? int(m_rects.size()) - 1 : int(it - m_rowBottoms.cbegin());
}

QRect PageLayout::rowRect(int index) const
{
    QRect row = pageRect(index);
    if (row.isNull())
        return row;
    // A row's pages share their bottom, and rows hold at most two.
    if (index > 0 && m_rowBottoms.at(index - 1) == m_rowBottoms.at(index))
        row |= m_rects.at(index - 1);
    if (index + 1 < m_rects.size() && m_rowBottoms.at(index + 1) == m_rowBottoms.at(index))
        row |= m_rects.at(index + 1);
    return row;
}

int PageLayout::pageAt(QPoint at) const
{
    const int page = pageAt(at.y());
    // The right page of a row shares its bottom with the left one.
    const int right = page + 1;
    if (page >= 0 && right < m_rects.size() && m_rowBottoms.at(right) == m_rowBottoms.at(page)
        && at.x() >= m_rects.at(right).left() - Spacing / 2)
        return right;
    return page;
}

double PageLayout::fitWidthZoom(int width) const
{
    int widest = 0;
    for (int index = 0; index < m_points.size(); ++index)
        widest = std::max(widest, turnedPoints(index).width());
    if (widest <= 0)
        return 1.0;
    const int across = pagesPerRow();
    return std::clamp(double(width - (across + 1) * Spacing) / (double(widest) * across), MinZoom, MaxZoom);
}

double PageLayout::fitPageZoom(const QSize &viewport) const
{
    double zoom = MaxZoom;
    for (int index = 0; index < m_points.size(); ++index) {
        const QSize points = turnedPoints(index);
        if (points.width() <= 0 || points.height() <= 0)
            continue;
        const int across = pagesPerRow();
        zoom = std::min({zoom, double(viewport.width() - (across + 1) * Spacing) / (double(points.width()) * across),
                         double(viewport.height() - 2 * Spacing) / points.height()});
    }
    return m_points.isEmpty() ? 1.0 : std::clamp(zoom, MinZoom, MaxZoom);
}

QSize PageLayout::renderSize(int index, double devicePixelRatio) const
{
    const QRect rect = pageRect(index);
    if (rect.isEmpty())
        return QSize();
    const double ratio = std::isfinite(devicePixelRatio) && devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    double width = rect.width() * ratio;
    double height = rect.height() * ratio;
    // Over the bound the page is drawn from a smaller image, scaled up.
    const double pixels = width * height;
    const double most = double(MaxImageBytes / 4);
    if (pixels > most) {
        const double shrink = std::sqrt(most / pixels);
        width *= shrink;
        height *= shrink;
    }
    const QSize size(clampedRound(std::floor(width), 1, INT_MAX / 4), clampedRound(std::floor(height), 1, INT_MAX / 4));
    return fitsImageBound(size) ? size : QSize(1, 1);
}
