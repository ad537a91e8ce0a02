#include "renderplan.h"

#include "contract.h"

#include <algorithm>
#include <cmath>

QSize TilePlan::fullSize(int index) const
{
    const QRect rect = m_layout.pageRect(index);
    if (rect.isEmpty())
        return QSize();
    return QSize(clampedRound(rect.width() * m_ratio, 1, MaxTilePageSide),
                 clampedRound(rect.height() * m_ratio, 1, MaxTilePageSide));
}

bool TilePlan::isTiled(int index) const
{
    if (!m_tilesAvailable)
        return false;
    const QSize full = fullSize(index);
    return full.width() > TileThreshold || full.height() > TileThreshold
        || qint64(full.width()) * full.height() * 4 > TileBytes;
}

QSize TilePlan::wholeImageSize(int index) const
{
    if (!isTiled(index))
        return m_layout.renderSize(index, m_ratio);
    const QSize full = fullSize(index);
    const double shrink = std::min({double(TileThreshold) / full.width(), double(TileThreshold) / full.height(),
                                    std::sqrt(double(TileBytes / 4) / (double(full.width()) * full.height()))});
    return QSize(clampedRound(full.width() * shrink, 1, TileThreshold),
                 clampedRound(full.height() * shrink, 1, TileThreshold));
}

QList<QRect> TilePlan::tilesOf(int index, const QRect &area) const
{
    const QRect rect = m_layout.pageRect(index);
    const QSize full = fullSize(index);
    const QRect part = area.intersected(rect).translated(-rect.topLeft());
    if (part.isEmpty() || full.isEmpty())
        return {};
    // Logical to device pixels as the page's own scale has it.
    const double sx = double(full.width()) / rect.width();
    const double sy = double(full.height()) / rect.height();
    const int firstColumn = int(part.left() * sx) / TileSide;
    const int lastColumn = std::min(int((part.right() + 1) * sx), full.width() - 1) / TileSide;
    const int firstRow = int(part.top() * sy) / TileSide;
    const int lastRow = std::min(int((part.bottom() + 1) * sy), full.height() - 1) / TileSide;
    QList<QRect> tiles;
    for (int row = firstRow; row <= lastRow; ++row)
        for (int column = firstColumn; column <= lastColumn; ++column)
            tiles.append(QRect(column * TileSide, row * TileSide, TileSide, TileSide).intersected(QRect(QPoint(), full)));
    return tiles;
}

quint64 TilePlan::tileKey(int index, const QRect &tile)
{
    return (quint64(quint32(index)) << 32) | (quint64(tile.y() / TileSide) << 16) | quint64(tile.x() / TileSide);
}

QSet<quint64> TilePlan::tileKeysIn(const QRect &area) const
{
    QSet<quint64> keys;
    for (int index : m_layout.pagesIn(area))
        if (isTiled(index))
            for (const QRect &tile : tilesOf(index, area))
                keys.insert(tileKey(index, tile));
    return keys;
}

QList<PageJob> wantedJobs(const TilePlan &plan, const PageLayout &layout, const QRect &visible, const PageCache &cache,
                          const JobSettings &settings)
{
    const QList<int> inView = layout.pagesIn(visible);
    if (inView.isEmpty())
        return {};
    QList<PageJob> jobs;
    const auto wholePage = [&](int index) {
        if (!cache.hasPage(index, settings.generation))
            jobs.append(PageJob{index, plan.wholeImageSize(index), settings.options, settings.generation, {}, {}});
    };
    const auto tiles = [&](int index, const QRect &area) {
        for (const QRect &tile : plan.tilesOf(index, area)) {
            const bool asked = std::any_of(jobs.cbegin(), jobs.cend(),
                                           [&](const PageJob &job) { return job.index == index && job.tile == tile; });
            if (!asked && !cache.hasTile(TilePlan::tileKey(index, tile)))
                jobs.append(PageJob{index, tile.size(), settings.options, settings.generation, tile, plan.fullSize(index)});
        }
    };
    for (int index : inView)
        wholePage(index);
    for (int index : inView)
        if (plan.isTiled(index))
            tiles(index, visible);
    const QRect margin = visible.adjusted(-TilePlan::TileSide, -TilePlan::TileSide, TilePlan::TileSide, TilePlan::TileSide);
    for (int index : inView)
        if (plan.isTiled(index))
            tiles(index, margin);
    // Reading goes down: the page below first.
    if (inView.last() + 1 < layout.pageCount())
        wholePage(inView.last() + 1);
    if (inView.first() > 0)
        wholePage(inView.first() - 1);
    return jobs;
}
