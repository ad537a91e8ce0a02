#include "pageview.h"

#include "helpercontract.h"
#include "helpersession.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

PageView::PageView(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    viewport()->setBackgroundRole(QPalette::Dark);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(40);
    horizontalScrollBar()->setSingleStep(40);
}

void PageView::setDocument(PreviewDocument *document)
{
    if (m_document)
        m_document->disconnect(this);
    m_document = document;
    if (m_document) {
        connect(m_document, &PreviewDocument::pageReady, this, &PageView::onPageReady);
        // Pages that were to come as tiles come whole instead.
        connect(m_document, &PreviewDocument::tilesUnavailable, this, &PageView::settingsChanged);
    }
}

void PageView::setPageSizes(const QList<QSize> &points)
{
    m_cache.clear();
    m_annotated.clear();
    m_message.clear();
    m_lastCurrent = -1;
    ++m_generation;
    m_layout.setPageSizes(points);
    applyZoomMode();
    updateScrollBars();
    requestVisiblePages();
    viewport()->update();
}

void PageView::setAnnotatedPages(const QList<int> &pages)
{
    m_annotated = QSet<int>(pages.cbegin(), pages.cend());
    viewport()->update();
}

void PageView::setMessage(const QString &message)
{
    m_message = message;
    viewport()->update();
}

void PageView::setZoomMode(ZoomMode mode)
{
    m_mode = mode;
    applyZoomMode();
    settingsChanged();
}

void PageView::setZoom(double pixelsPerPoint)
{
    m_mode = ZoomMode::Custom;
    const int page = currentPage();
    m_layout.setZoom(pixelsPerPoint);
    settingsChanged();
    scrollToPage(page);
}

void PageView::zoomBy(double factor)
{
    setZoom(m_layout.zoom() * factor);
}

void PageView::setRotation(int degrees)
{
    const int page = currentPage();
    m_rotation = ((degrees / 90 % 4) + 4) % 4 * 90;
    m_layout.setQuarterTurns(m_rotation / 90);
    applyZoomMode();
    settingsChanged();
    scrollToPage(page);
}

void PageView::setInverted(bool on)
{
    m_invert = on;
    settingsChanged();
}

void PageView::setAnnotationsShown(bool on)
{
    m_annotations = on;
    settingsChanged();
}

void PageView::setPixelRatio(double ratio)
{
    const double checked = std::isfinite(ratio) && ratio > 0 ? std::clamp(ratio, 0.25, 8.0) : 1.0;
    if (checked == m_ratio)
        return;
    m_ratio = checked;
    settingsChanged();
}

int PageView::currentPage() const
{
    return m_layout.pageAt(verticalScrollBar()->value() + PageLayout::Spacing);
}

void PageView::scrollToPage(int index)
{
    const QRect rect = m_layout.pageRect(index);
    if (rect.isNull())
        return;
    verticalScrollBar()->setValue(rect.top() - PageLayout::Spacing);
    requestVisiblePages();
    viewport()->update();
}

bool PageView::hasCurrentImage(int index) const
{
    const auto it = m_cache.constFind(index);
    return it != m_cache.cend() && it->generation == m_generation;
}

QSize PageView::renderSizeFor(const QSize &points) const
{
    PageLayout one;
    one.setPageSizes({points});
    one.setQuarterTurns(m_rotation / 90);
    if (m_mode == ZoomMode::FitWidth)
        one.setZoom(one.fitWidthZoom(viewport()->width() - verticalScrollBar()->sizeHint().width()));
    else if (m_mode == ZoomMode::FitPage)
        one.setZoom(one.fitPageZoom(viewport()->size()));
    else
        one.setZoom(m_layout.zoom());
    return one.renderSize(0, m_ratio);
}

void PageView::offerImage(const PageRequest &asked, const QImage &image)
{
    if (image.isNull() || asked.size != wholeImageSize(asked.pageIndex) || asked.rotation != m_rotation
        || asked.annotations != m_annotations || asked.invert != m_invert)
        return;
    onPageReady(PageJob{asked.pageIndex, asked.size, m_rotation, m_annotations, m_invert, m_generation, {}, {}}, image);
}

void PageView::settingsChanged()
{
    // Images already in stay on screen, scaled, until their successors come;
    // tiles fit only the layout they were drawn for.
    ++m_generation;
    m_tiles.clear();
    updateScrollBars();
    requestVisiblePages();
    viewport()->update();
}

void PageView::applyZoomMode()
{
    if (m_mode == ZoomMode::FitWidth)
        m_layout.setZoom(m_layout.fitWidthZoom(viewport()->width() - verticalScrollBar()->sizeHint().width()));
    else if (m_mode == ZoomMode::FitPage)
        m_layout.setZoom(m_layout.fitPageZoom(viewport()->size()));
}

void PageView::updateScrollBars()
{
    const QSize strip = m_layout.stripSize();
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setRange(0, std::max(0, strip.height() - viewport()->height()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setRange(0, std::max(0, strip.width() - viewport()->width()));
}

QRect PageView::visibleArea() const
{
    return QRect(QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value()), viewport()->size());
}

void PageView::requestVisiblePages()
{
    if (!m_document || m_layout.pageCount() == 0)
        return;
    QList<int> pages = m_layout.pagesIn(visibleArea());
    if (pages.isEmpty())
        return;
    // The pages in view first, then one on either side for the next scroll,
    // the one below first: reading goes down.
    const int first = pages.first();
    const int last = pages.last();
    if (last + 1 < m_layout.pageCount())
        pages.append(last + 1);
    if (first > 0)
        pages.append(first - 1);
    const QRect visible = visibleArea();
    QList<PageJob> jobs;
    const auto wholePage = [&](int index) {
        if (!hasCurrentImage(index))
            jobs.append(PageJob{index, wholeImageSize(index), m_rotation, m_annotations, m_invert, m_generation, {}, {}});
    };
    const auto tiles = [&](int index, const QRect &area) {
        for (const QRect &tile : tilesOf(index, area)) {
            const bool asked = std::any_of(jobs.cbegin(), jobs.cend(),
                                           [&](const PageJob &job) { return job.index == index && job.tile == tile; });
            if (!asked && !m_tiles.contains(tileKey(index, tile)))
                jobs.append(PageJob{index, tile.size(), m_rotation, m_annotations, m_invert, m_generation, tile,
                                    fullSize(index)});
        }
    };
    // What is in view first, whole pages (tiled ones at the lower
    // resolution, so that nothing is blank) before tiles; then a margin of
    // tiles around the view; then the pages on either side.
    const QList<int> inView = m_layout.pagesIn(visible);
    for (int index : inView)
        wholePage(index);
    for (int index : inView)
        if (isTiled(index))
            tiles(index, visible);
    const QRect margin = visible.adjusted(-TileSide, -TileSide, TileSide, TileSide);
    for (int index : inView)
        if (isTiled(index))
            tiles(index, margin);
    for (int index : std::as_const(pages))
        if (!inView.contains(index))
            wholePage(index);
    m_document->requestPages(jobs);
    const int current = currentPage();
    if (current != m_lastCurrent) {
        m_lastCurrent = current;
        emit currentPageChanged(current);
    }
}

QSize PageView::fullSize(int index) const
{
    const QRect rect = m_layout.pageRect(index);
    if (rect.isEmpty())
        return QSize();
    return QSize(clampedRound(rect.width() * m_ratio, 1, MaxTilePageSide),
                 clampedRound(rect.height() * m_ratio, 1, MaxTilePageSide));
}

bool PageView::isTiled(int index) const
{
    if (!m_document || !m_document->tilesAvailable())
        return false;
    const QSize full = fullSize(index);
    return full.width() > TileThreshold || full.height() > TileThreshold
        || qint64(full.width()) * full.height() * 4 > TileBytes;
}

QSize PageView::wholeImageSize(int index) const
{
    if (!isTiled(index))
        return m_layout.renderSize(index, m_ratio);
    const QSize full = fullSize(index);
    const double shrink = std::min({double(TileThreshold) / full.width(), double(TileThreshold) / full.height(),
                                    std::sqrt(double(TileBytes / 4) / (double(full.width()) * full.height()))});
    return QSize(clampedRound(full.width() * shrink, 1, TileThreshold),
                 clampedRound(full.height() * shrink, 1, TileThreshold));
}

QList<QRect> PageView::tilesOf(int index, const QRect &area) const
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

quint64 PageView::tileKey(int index, const QRect &tile)
{
    return (quint64(quint32(index)) << 32) | (quint64(tile.y() / TileSide) << 16) | quint64(tile.x() / TileSide);
}

bool PageView::visibleTilesIn() const
{
    const QList<Piece> pieces = piecesInView();
    return std::all_of(pieces.cbegin(), pieces.cend(), [](const Piece &p) { return p.tile.isNull() || p.in; });
}

QList<PageView::Piece> PageView::piecesInView() const
{
    const QRect visible = visibleArea();
    QList<Piece> pieces;
    for (int index : m_layout.pagesIn(visible)) {
        pieces.append(Piece{index, QRect(), wholeImageSize(index), hasCurrentImage(index)});
        if (!isTiled(index))
            continue;
        for (const QRect &tile : tilesOf(index, visible))
            pieces.append(Piece{index, tile, fullSize(index), m_tiles.contains(tileKey(index, tile))});
    }
    return pieces;
}

void PageView::onPageReady(const PageJob &job, const QImage &image)
{
    if (image.isNull() || job.index >= m_layout.pageCount())
        return;
    if (!job.tile.isNull()) {
        if (job.generation != m_generation || job.pageSize != fullSize(job.index))
            return;
        m_tiles.insert(tileKey(job.index, job.tile), Cached{image, job.generation});
        trimCache();
        viewport()->update();
        return;
    }
    Cached &cached = m_cache[job.index];
    if (job.generation < cached.generation)
        return;
    // Kept as it came: painting fits it to the page's rectangle, and giving
    // it a ratio would copy a page that lies in shared memory.
    cached.image = image;
    cached.generation = job.generation;
    trimCache();
    viewport()->update(m_layout.pageRect(job.index).translated(-visibleArea().topLeft()));
    if (job.generation == m_generation)
        emit pageShown(job.index);
}

void PageView::setCacheBudget(qint64 bytes)
{
    m_cacheBudget = qMax<qint64>(0, bytes);
    trimCache();
}

qint64 PageView::cachedBytes() const
{
    QList<QImage> images;
    for (const Cached &c : m_cache)
        images.append(c.image);
    for (const Cached &c : m_tiles)
        images.append(c.image);
    return pdfpreview::memoryKeptBy(images);
}

void PageView::trimCache()
{
    // What the kept images cost, each area once: dropping an image gives its
    // area back only with the area's last image.
    QHash<const void *, int> imagesOnArea;
    qint64 bytes = 0;
    const auto keep = [&](const QImage &image) {
        const pdfpreview::KeptMemory kept = pdfpreview::memoryKeptBy(image);
        if (!kept.area || imagesOnArea[kept.area]++ == 0)
            bytes += kept.bytes;
    };
    const auto drop = [&](const QImage &image) {
        const pdfpreview::KeptMemory kept = pdfpreview::memoryKeptBy(image);
        if (!kept.area || --imagesOnArea[kept.area] == 0)
            bytes -= kept.bytes;
    };
    for (const Cached &c : std::as_const(m_cache))
        keep(c.image);
    for (const Cached &c : std::as_const(m_tiles))
        keep(c.image);
    if (bytes <= m_cacheBudget)
        return;
    // Tiles out of view and past the margin go first.
    const QRect kept = visibleArea().adjusted(-TileSide, -TileSide, TileSide, TileSide);
    QSet<quint64> wanted;
    for (int index : m_layout.pagesIn(kept))
        for (const QRect &tile : tilesOf(index, kept))
            wanted.insert(tileKey(index, tile));
    for (auto it = m_tiles.begin(); it != m_tiles.end() && bytes > m_cacheBudget;) {
        if (wanted.contains(it.key())) {
            ++it;
            continue;
        }
        drop(it->image);
        it = m_tiles.erase(it);
    }
    if (bytes <= m_cacheBudget)
        return;
    const int centre = currentPage();
    const QList<int> visible = m_layout.pagesIn(visibleArea());
    QList<int> pages = m_cache.keys();
    std::sort(pages.begin(), pages.end(),
              [centre](int a, int b) { return std::abs(a - centre) > std::abs(b - centre); });
    for (int index : std::as_const(pages)) {
        if (bytes <= m_cacheBudget)
            break;
        if (visible.contains(index))
            continue;
        drop(m_cache.value(index).image);
        m_cache.remove(index);
    }
}

void PageView::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    if (!m_message.isEmpty()) {
        painter.setPen(palette().color(QPalette::BrightText));
        painter.drawText(viewport()->rect().adjusted(20, 20, -20, -20), Qt::AlignCenter | Qt::TextWordWrap, m_message);
        return;
    }
    const QPoint offset = visibleArea().topLeft();
    const QRect area = event->rect().translated(offset);
    for (int index : m_layout.pagesIn(area)) {
        const QRect rect = m_layout.pageRect(index).translated(-offset);
        const auto it = m_cache.constFind(index);
        if (it != m_cache.cend()) {
            painter.drawImage(rect, it->image);
        } else if (!isTiled(index)) {
            painter.fillRect(rect, m_invert ? Qt::black : Qt::white);
            painter.setPen(Qt::gray);
            painter.drawText(rect, Qt::AlignCenter, QString::number(index + 1));
        }
        if (it == m_cache.cend() && isTiled(index))
            painter.fillRect(rect, m_invert ? Qt::black : Qt::white);
        if (isTiled(index)) {
            const QSize full = fullSize(index);
            const double sx = double(rect.width()) / full.width();
            const double sy = double(rect.height()) / full.height();
            for (const QRect &tile : tilesOf(index, area)) {
                const auto drawn = m_tiles.constFind(tileKey(index, tile));
                if (drawn != m_tiles.cend())
                    painter.drawImage(QRectF(rect.left() + tile.x() * sx, rect.top() + tile.y() * sy,
                                             tile.width() * sx, tile.height() * sy),
                                      drawn->image);
            }
        }
        painter.setPen(QPen(Qt::gray, 1));
        painter.drawRect(rect.adjusted(0, 0, -1, -1));
        if (m_annotated.contains(index)) {
            // A tab on the page's right edge marks pages with comments.
            painter.fillRect(QRect(rect.right() + 1, rect.top() + 8, 6, 24), QColor(255, 170, 0));
        }
    }
}

void PageView::stepScreens(int screens)
{
    // A tenth of the screen stays in view, so that reading goes on where the
    // eye left off.
    const int step = qMax(1, viewport()->height() * 9 / 10);
    verticalScrollBar()->setValue(verticalScrollBar()->value() + screens * step);
}

void PageView::stepPages(int pages)
{
    if (pageCount() == 0)
        return;
    scrollToPage(std::clamp(currentPage() + pages, 0, pageCount() - 1));
}

void PageView::keyPressEvent(QKeyEvent *event)
{
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    switch (event->key()) {
    case Qt::Key_PageDown:
        ctrl ? stepPages(1) : stepScreens(1);
        return;
    case Qt::Key_PageUp:
        ctrl ? stepPages(-1) : stepScreens(-1);
        return;
    case Qt::Key_Space:
        stepScreens(shift ? -1 : 1);
        return;
    case Qt::Key_Home:
        scrollToPage(0);
        return;
    case Qt::Key_End:
        scrollToPage(pageCount() - 1);
        return;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void PageView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    const int page = currentPage();
    if (m_mode != ZoomMode::Custom) {
        applyZoomMode();
        ++m_generation;
    }
    updateScrollBars();
    if (page >= 0 && m_mode != ZoomMode::Custom)
        scrollToPage(page);
    requestVisiblePages();
}

void PageView::scrollContentsBy(int, int)
{
    requestVisiblePages();
    viewport()->update();
}
