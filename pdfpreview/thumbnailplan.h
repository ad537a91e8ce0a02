#pragma once

// The thumbnail panel's arithmetic: where each page's thumbnail lies, and
// which thumbnails to ask for now. Every page gets a slot of the same height,
// its thumbnail fitted into it and its number under it, so that finding the
// slots in view is a division and a document of any length costs the same.

#include <QList>
#include <QRect>
#include <QSize>

#include <functional>

class ThumbnailGeometry
{
public:
    // Logical pixels around a thumbnail and under it for the page number.
    static constexpr int Margin = 8;
    static constexpr int LabelHeight = 18;
    static constexpr int MinWidth = 48;
    static constexpr int MaxWidth = 400;

    void setPageSizes(const QList<QSize> &points) { m_points = points; }
    // The panel's width, clamped to MinWidth..MaxWidth.
    void setWidth(int width);
    int width() const { return m_width; }
    // Any number of quarter turns, clockwise.
    void setQuarterTurns(int turns) { m_turns = ((turns % 4) + 4) % 4; }

    int pageCount() const { return int(m_points.size()); }
    int slotHeight() const;
    QSize stripSize() const;
    QRect slotRect(int index) const;
    // The page fitted into its slot above the number, centred; empty for a
    // page with no area.
    QRect imageRect(int index) const;
    // The slots that intersect area, in order.
    QList<int> pagesIn(const QRect &area) const;
    // The page whose slot holds y, -1 outside every slot.
    int pageAt(int y) const;
    // The image to ask the helper for, in device pixels.
    QSize renderSize(int index, double ratio) const;

private:
    QSize boxSize() const;

    QList<QSize> m_points;
    int m_width = 160;
    int m_turns = 0;
};

// The thumbnails to ask for, most wanted first: those in view top down, then
// a screen's worth below, then above, leaving out those `have` says are in.
// Those in view and in the margins cost at most `budget` bytes together;
// pages past it are not asked for.
QList<int> wantedThumbnails(const ThumbnailGeometry &geometry, const QRect &visible, double ratio,
                            const std::function<bool(int)> &have, qint64 budget);
