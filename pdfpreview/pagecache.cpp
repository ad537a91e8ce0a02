#include "pagecache.h"

#include "areablocks.h"

#include <algorithm>
#include <cstdlib>

qint64 PageCache::bytes() const
{
    QList<QImage> images;
    for (const Page &page : m_pages)
        images.append(page.image);
    for (const QImage &tile : m_tiles)
        images.append(tile);
    return pdfpreview::memoryKeptBy(images);
}

void PageCache::clear()
{
    m_pages.clear();
    m_tiles.clear();
}

void PageCache::makeStale(int index)
{
    const auto found = m_pages.find(index);
    if (found != m_pages.end())
        found->generation = 0;
}

bool PageCache::putPage(int index, const QImage &image, quint64 generation)
{
    Page &page = m_pages[index];
    if (generation < page.generation)
        return false;
    page.image = image;
    page.generation = generation;
    return true;
}

const PageCache::Page *PageCache::page(int index) const
{
    const auto it = m_pages.constFind(index);
    return it == m_pages.cend() ? nullptr : &*it;
}

bool PageCache::hasPage(int index, quint64 generation) const
{
    const Page *kept = page(index);
    return kept && kept->generation == generation;
}

void PageCache::trim(const QSet<quint64> &keptTiles, const QList<int> &visible, int centre)
{
    // What the kept images cost, each area once: dropping an image gives its
    // area back only with the area's last image.
    QHash<const void *, int> imagesOnArea;
    qint64 kept = 0;
    const auto keep = [&](const QImage &image) {
        const pdfpreview::KeptMemory memory = pdfpreview::memoryKeptBy(image);
        if (!memory.area || imagesOnArea[memory.area]++ == 0)
            kept += memory.bytes;
    };
    const auto drop = [&](const QImage &image) {
        const pdfpreview::KeptMemory memory = pdfpreview::memoryKeptBy(image);
        if (!memory.area || --imagesOnArea[memory.area] == 0)
            kept -= memory.bytes;
    };
    for (const Page &page : std::as_const(m_pages))
        keep(page.image);
    for (const QImage &tile : std::as_const(m_tiles))
        keep(tile);
    for (auto it = m_tiles.begin(); it != m_tiles.end() && kept > m_budget;) {
        if (keptTiles.contains(it.key())) {
            ++it;
            continue;
        }
        drop(*it);
        it = m_tiles.erase(it);
    }
    if (kept <= m_budget)
        return;
    QList<int> pages = m_pages.keys();
    std::sort(pages.begin(), pages.end(),
              [centre](int a, int b) { return std::abs(a - centre) > std::abs(b - centre); });
    for (int index : std::as_const(pages)) {
        if (kept <= m_budget)
            break;
        if (visible.contains(index))
            continue;
        drop(m_pages.value(index).image);
        m_pages.remove(index);
    }
}
