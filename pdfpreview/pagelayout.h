#pragma once

#include <QList>
#include <QRect>
#include <QSize>
#include <QTransform>

// A double as an int within [low, high], rounded; NaN and anything below low
// give low, anything from high up (infinity included) gives high. Every size
// that comes from a document, or is derived from one by a zoom or a pixel
// ratio, becomes an int through here.
int clampedRound(double value, int low, int high);

// Where each page lies in one vertical strip at a zoom and a rotation, from
// the page sizes in points alone: placeholders, the scroll range and which
// pages are in view are arithmetic, and need no page drawn. The strip holds
// one page a row, or two side by side meeting at the middle as a spread
// does (a book's first page alone on the right, as a cover).
class PageLayout
{
public:
    // Logical pixels between pages and around them.
    static constexpr int Spacing = 12;
    // Zoom is in logical pixels per point.
    static constexpr double MinZoom = 0.05;
    static constexpr double MaxZoom = 48.0;
    // No page side goes past this many logical pixels, and no strip past
    // StripLimit: pages beyond it all sit at its end.
    static constexpr int MaxSide = 200000;
    static constexpr int StripLimit = 1 << 30;

    enum class Arrangement { Column, Spread, Book };

    void setPageSizes(const QList<QSize> &points);
    const QList<QSize> &pageSizes() const { return m_points; }
    void setArrangement(Arrangement arrangement);
    Arrangement arrangement() const { return m_arrangement; }
    // Clamped to MinZoom..MaxZoom.
    void setZoom(double pixelsPerPoint);
    // Any number of quarter turns, clockwise; taken modulo 4.
    void setQuarterTurns(int turns);

    int pageCount() const { return int(m_points.size()); }
    // The page's size in points as given, unturned.
    QSize pagePoints(int index) const { return m_points.value(index); }
    double zoom() const { return m_zoom; }
    int quarterTurns() const { return m_turns; }
    QRect pageRect(int index) const;
    // Maps the page's points, as laid out unturned from its top left
    // corner, onto the strip: turned as the view turns it and scaled to its
    // rectangle. Its inverse maps strip points back. Not invertible for a
    // page with no area.
    QTransform pageToStrip(int index) const;
    QSize stripSize() const { return m_strip; }
    // The row the page stands in: its pages' rectangles together.
    QRect rowRect(int index) const;
    // The pages that intersect area, in order.
    QList<int> pagesIn(const QRect &area) const;
    // The page that covers y, or the next one below it; the last page past
    // the end, -1 without pages.
    int pageAt(int y) const;
    // The page under a point, or the one of its row nearest to it; as
    // pageAt(y) above and below the pages.
    int pageAt(QPoint at) const;
    // The zoom at which the widest page fills width, or the largest page
    // fits whole into viewport.
    double fitWidthZoom(int width) const;
    double fitPageZoom(const QSize &viewport) const;
    // The image size to ask the helper for: the page's rectangle in device
    // pixels, shrunk where needed to stay within the helper's image bound.
    QSize renderSize(int index, double devicePixelRatio) const;

private:
    void relayout();
    QSize turnedPoints(int index) const;
    int pagesPerRow() const { return m_arrangement == Arrangement::Column ? 1 : 2; }

    QList<QSize> m_points;
    QList<QRect> m_rects;
    // The bottom of each page's row, which pagesIn and pageAt search: it
    // only grows down the strip, where one page of a row may be shorter.
    QList<int> m_rowBottoms;
    Arrangement m_arrangement = Arrangement::Column;
    QSize m_strip;
    double m_zoom = 1.0;
    int m_turns = 0;
};
