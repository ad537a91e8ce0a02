#pragma once

#include <QHash>
#include <QImage>
#include <QList>
#include <QSet>

// The images the view keeps: each page's latest whole image, with the
// generation of the view settings it was drawn for (an older one stays on
// screen, scaled, until its successor comes), and the tiles of the current
// settings. What they cost is counted as memoryKeptBy() counts it: an image
// on a shared area costs the whole area, once for all its images.
class PageCache
{
public:
    struct Page {
        QImage image;
        quint64 generation = 0;
    };

    void setBudget(qint64 bytes) { m_budget = qMax<qint64>(0, bytes); }
    qint64 budget() const { return m_budget; }
    qint64 bytes() const;

    void clear();
    void clearTiles() { m_tiles.clear(); }

    // Keeps the image as the page's, unless one for a later generation is
    // in already; true when kept.
    bool putPage(int index, const QImage &image, quint64 generation);
    // The page's image, null when there is none; and whether it is for this
    // generation.
    const Page *page(int index) const;
    bool hasPage(int index, quint64 generation) const;
    // The page's image stays on screen, scaled, but counts as drawn for no
    // generation, so that it is asked for again.
    void makeStale(int index);
    QList<int> pages() const { return m_pages.keys(); }

    void putTile(quint64 key, const QImage &image) { m_tiles.insert(key, image); }
    QImage tile(quint64 key) const { return m_tiles.value(key); }
    bool hasTile(quint64 key) const { return m_tiles.contains(key); }

    // Drops images until what is kept is within the budget: tiles not in
    // keptTiles first, then pages farthest from centre; never a page in
    // visible. A view whose visible pages alone pass the budget keeps them.
    void trim(const QSet<quint64> &keptTiles, const QList<int> &visible, int centre);

private:
    qint64 m_budget = 0;
    QHash<int, Page> m_pages;
    QHash<quint64, QImage> m_tiles;
};
