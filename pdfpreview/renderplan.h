#pragma once

// What the view asks the helper for, worked out from the layout alone: how
// each page is drawn at the current zoom and pixel ratio (whole, or as tiles
// over a smaller whole image), and which pages and tiles are wanted now, in
// the order they are wanted.

#include "pagecache.h"
#include "pagelayout.h"
#include "previewdocument.h"

#include <QList>
#include <QRect>
#include <QSize>

class TilePlan
{
public:
    // A page whose image at the current zoom and ratio would be larger than
    // this on a side, or take more than TileBytes, is drawn as tiles of
    // TileSide pixels over its whole image at a size within the threshold.
    static constexpr int TileThreshold = 2048;
    static constexpr qint64 TileBytes = qint64(16) * 1024 * 1024;
    static constexpr int TileSide = 1024;

    TilePlan(const PageLayout &layout, double ratio, bool tilesAvailable)
        : m_layout(layout), m_ratio(ratio), m_tilesAvailable(tilesAvailable)
    {
    }

    // The page laid out in device pixels, each side within what tiles take.
    QSize fullSize(int index) const;
    bool isTiled(int index) const;
    // The whole image to ask for: at full size, or for a tiled page the
    // full size shrunk into the threshold.
    QSize wholeImageSize(int index) const;
    // The tiles of a page that cover area (logical, strip coordinates).
    QList<QRect> tilesOf(int index, const QRect &area) const;
    static quint64 tileKey(int index, const QRect &tile);
    // The tiles of every tiled page in area, as keys.
    QSet<quint64> tileKeysIn(const QRect &area) const;

private:
    const PageLayout &m_layout;
    double m_ratio;
    bool m_tilesAvailable;
};

// The view settings every job is drawn for.
struct JobSettings {
    pdfpreview::RenderOptions options;
    quint64 generation = 0;
};

// The jobs for what is not in the cache yet, most wanted first: the pages in
// view (for a tiled page its whole image, so that nothing is blank), the
// tiles of the part in view, then a tile's margin of tiles around it, then
// the page below the view and the page above.
QList<PageJob> wantedJobs(const TilePlan &plan, const PageLayout &layout, const QRect &visible, const PageCache &cache,
                          const JobSettings &settings);
