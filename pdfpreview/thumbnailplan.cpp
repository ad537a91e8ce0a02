#include "thumbnailplan.h"

#include "pagelayout.h"

#include <algorithm>

void ThumbnailGeometry::setWidth(int width)
{
    m_width = std::clamp(width, MinWidth, MaxWidth);
}

QSize ThumbnailGeometry::boxSize() const
{
    // Tall enough for an A4 page at the full width; wider pages are shorter.
    const int side = m_width - 2 * Margin;
    return QSize(side, side * 141 / 100);
}

int ThumbnailGeometry::slotHeight() const
{
    return Margin + boxSize().height() + LabelHeight + Margin;
}

QSize ThumbnailGeometry::stripSize() const
{
    // No more slots than an int's height holds: past that, pages share the last.
    const qint64 height = qint64(slotHeight()) * pageCount();
    return QSize(m_width, int(std::min<qint64>(height, PageLayout::StripLimit)));
}

QRect ThumbnailGeometry::slotRect(int index) const
{
    if (index < 0 || index >= pageCount())
        return QRect();
    const qint64 top = std::min<qint64>(qint64(slotHeight()) * index, PageLayout::StripLimit - slotHeight());
    return QRect(0, int(top), m_width, slotHeight());
}

QRect ThumbnailGeometry::imageRect(int index) const
{
    const QRect slot = slotRect(index);
    if (slot.isNull())
        return QRect();
    QSize points = m_points.at(index);
    if (m_turns % 2)
        points.transpose();
    if (points.width() <= 0 || points.height() <= 0)
        return QRect();
    const QSize box = boxSize();
    const double scale = std::min(double(box.width()) / points.width(), double(box.height()) / points.height());
    const QSize fitted(clampedRound(points.width() * scale, 1, box.width()),
                       clampedRound(points.height() * scale, 1, box.height()));
    // Centred across, standing on the number.
    return QRect(slot.left() + (m_width - fitted.width()) / 2, slot.top() + Margin + box.height() - fitted.height(),
                 fitted.width(), fitted.height());
}

QList<int> ThumbnailGeometry::pagesIn(const QRect &area) const
{
    if (pageCount() == 0 || area.isEmpty())
        return {};
    const int first = std::max(0, area.top() / slotHeight());
    const int last = std::min(pageCount() - 1, area.bottom() / slotHeight());
    QList<int> pages;
    for (int index = first; index <= last; ++index)
        pages.append(index);
    return pages;
}

int ThumbnailGeometry::pageAt(int y) const
{
    if (y < 0 || pageCount() == 0)
        return -1;
    const int index = y / slotHeight();
    return index < pageCount() ? index : -1;
}

QSize ThumbnailGeometry::renderSize(int index, double ratio) const
{
    const QRect rect = imageRect(index);
    if (rect.isEmpty())
        return QSize();
    return QSize(clampedRound(rect.width() * ratio, 1, 4 * MaxWidth),
                 clampedRound(rect.height() * ratio, 1, 4 * MaxWidth));
}

QList<int> wantedThumbnails(const ThumbnailGeometry &geometry, const QRect &visible, double ratio,
                            const std::function<bool(int)> &have, qint64 budget)
{
    const QList<int> inView = geometry.pagesIn(visible);
    QList<int> order = inView;
    const int screen = std::max(1, visible.height());
    for (int index : geometry.pagesIn(visible.adjusted(0, screen, 0, screen)))
        if (inView.isEmpty() || index > inView.last())
            order.append(index);
    const QList<int> above = geometry.pagesIn(visible.adjusted(0, -screen, 0, -screen));
    for (auto it = above.crbegin(); it != above.crend(); ++it)
        if (inView.isEmpty() || *it < inView.first())
            order.append(*it);
    QList<int> wanted;
    qint64 spent = 0;
    for (int index : std::as_const(order)) {
        const QSize size = geometry.renderSize(index, ratio);
        if (size.isEmpty())
            continue;
        spent += qint64(size.width()) * size.height() * 4;
        if (spent > budget)
            break;
        if (!have(index))
            wanted.append(index);
    }
    return wanted;
}
