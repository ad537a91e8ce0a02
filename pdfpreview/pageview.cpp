#include "pageview.h"
#include "pageviewaccessible.h"

#include "contract.h"
#include "renderplan.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QNativeGestureEvent>
#include <QWheelEvent>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QScrollBar>
#include <QScroller>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

PageView::PageView(QWidget *parent)
    : QAbstractScrollArea(parent)
    , m_glide(new QVariantAnimation(this))
{
    static const bool accessible = (PageViewAccessible::install(), true);
    Q_UNUSED(accessible);
    m_cache.setBudget(DefaultCacheBudget);
    viewport()->setBackgroundRole(QPalette::Dark);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(40);
    // Links show where they lead as the pointer passes over them.
    viewport()->setMouseTracking(true);
    horizontalScrollBar()->setSingleStep(40);
    // Steps glide, briefly; the pages are asked for where they end.
    m_glide->setDuration(GlideMs);
    m_glide->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_glide, &QVariantAnimation::valueChanged, this,
            [this](const QVariant &y) { verticalScrollBar()->setValue(y.toInt()); });
    connect(m_glide, &QVariantAnimation::finished, this, &PageView::requestVisiblePages);
    // A finger flicks the pages on, as touch screens do; the mouse selects.
    QScroller::grabGesture(viewport(), QScroller::TouchGesture);
    connect(QScroller::scroller(viewport()), &QScroller::stateChanged, this, [this](QScroller::State state) {
        if (state == QScroller::Inactive)
            requestVisiblePages();
    });
}

void PageView::setDocument(PreviewDocument *document)
{
    if (m_document)
        m_document->disconnect(this);
    m_document = document;
    if (m_document) {
        connect(m_document, &PreviewDocument::pageReady, this, &PageView::onPageReady);
        connect(m_document, &PreviewDocument::textSelected, this,
                [this](const PreviewDocument::TextSelection &selection) {
            m_selection = selection;
            viewport()->update();
        });
        connect(m_document, &PreviewDocument::pageTextReady, this, [this](int page) {
            const PreviewDocument::PageText *text = m_document->pageText(page);
            if (page != currentPage() || !text)
                return;
            QAccessibleTextUpdateEvent updated(this, 0, QString(), text->text);
            QAccessible::updateAccessibility(&updated);
        });
        // Pages that were to come as tiles come whole instead.
        connect(m_document, &PreviewDocument::tilesUnavailable, this, &PageView::settingsChanged);
    }
}

void PageView::setPageSizes(const QList<QSize> &points)
{
    m_cache.clear();
    m_hits.clear();
    m_hitsOnPage.clear();
    m_currentHit = -1;
    m_selection = PreviewDocument::TextSelection();
    m_annotated.clear();
    m_message.clear();
    m_lastCurrent = -1;
    m_row = -1;
    ++m_generation;
    m_layout.setPageSizes(points);
    applyZoomMode();
    updateScrollBars();
    requestVisiblePages();
    viewport()->update();
}

void PageView::updatePageSizes(const QList<QSize> &points)
{
    const QList<QSize> &before = m_layout.pageSizes();
    if (points.size() != before.size()) {
        setPageSizes(points);
        return;
    }
    bool changed = false;
    for (int index = 0; index < int(points.size()); ++index) {
        if (points.at(index) != before.at(index)) {
            m_cache.makeStale(index);
            changed = true;
        }
    }
    if (!changed)
        return;
    const auto [page, at] = topLeftPoint();
    // Tiles are cut from the whole page's size.
    m_cache.clearTiles();
    m_layout.setPageSizes(points);
    applyZoomMode();
    updateScrollBars();
    showPoint(page, at);
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

void PageView::zoomAround(double factor, QPoint pos)
{
    if (pageCount() == 0 || !std::isfinite(factor) || factor <= 0)
        return;
    const QPoint strip = pos + visibleArea().topLeft();
    const int page = m_layout.pageAt(strip);
    const QPointF onPage = pagePoint(page, strip);
    m_mode = ZoomMode::Custom;
    m_layout.setZoom(m_layout.zoom() * factor);
    settingsChanged();
    const QPointF after = m_layout.pageToStrip(page).map(onPage);
    horizontalScrollBar()->setValue(qRound(after.x() - pos.x()));
    setStripTop(page, qRound(after.y() - pos.y()));
    emit zoomChanged();
}

std::pair<int, QPointF> PageView::topLeftPoint() const
{
    const QPoint corner = visibleArea().topLeft();
    const int page = m_layout.pageAt(corner.y());
    return {page, page >= 0 ? pagePoint(page, corner) : QPointF()};
}

void PageView::showPoint(int page, QPointF at)
{
    if (page < 0 || page >= pageCount())
        return;
    const QPointF corner = m_layout.pageToStrip(page).map(at);
    horizontalScrollBar()->setValue(clampedRound(corner.x(), 0, horizontalScrollBar()->maximum()));
    setStripTop(page, clampedRound(corner.y(), 0, m_layout.stripSize().height()));
    requestVisiblePages();
    viewport()->update();
}

void PageView::setArrangement(PageLayout::Arrangement arrangement)
{
    const int page = currentPage();
    m_layout.setArrangement(arrangement);
    applyZoomMode();
    settingsChanged();
    scrollToPage(page);
}

void PageView::setRotation(int degrees)
{
    const int page = currentPage();
    m_options = m_options.turnedTo(degrees / 90);
    m_layout.setQuarterTurns(m_options.quarterTurns());
    applyZoomMode();
    settingsChanged();
    scrollToPage(page);
    emit renderOptionsChanged(m_options);
}

void PageView::setColours(PageColours colours)
{
    m_options = m_options.withColours(colours);
    settingsChanged();
    emit renderOptionsChanged(m_options);
}

void PageView::setAnnotationsShown(bool on)
{
    m_options = m_options.withAnnotations(on);
    settingsChanged();
    emit renderOptionsChanged(m_options);
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
    if (!m_continuous && m_row >= 0 && m_row < pageCount())
        return m_row;
    return m_layout.pageAt(verticalScrollBar()->value() + PageLayout::Spacing);
}

void PageView::setContinuous(bool on)
{
    if (on == m_continuous)
        return;
    const int page = currentPage();
    m_continuous = on;
    m_row = -1;
    updateScrollBars();
    scrollToPage(page);
}

void PageView::setPresenting(bool on)
{
    m_presenting = on;
    QPalette black = palette();
    black.setColor(QPalette::Dark, Qt::black);
    viewport()->setPalette(on ? black : palette());
    setFrameShape(on ? QFrame::NoFrame : QFrame::StyledPanel);
    const Qt::ScrollBarPolicy bars = on ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded;
    setVerticalScrollBarPolicy(bars);
    setHorizontalScrollBarPolicy(bars);
    viewport()->update();
}

QRect PageView::shownRow() const
{
    const QRect row = m_layout.rowRect(m_row);
    return row.adjusted(-PageLayout::Spacing, -PageLayout::Spacing, PageLayout::Spacing, PageLayout::Spacing);
}

void PageView::setStripTop(int page, int y)
{
    m_glide->stop();
    if (!m_continuous && page >= 0 && page < pageCount()) {
        const QRect row = m_layout.rowRect(page);
        const int first = m_layout.pageAt(QPoint(0, row.top()));
        if (first != m_row) {
            m_row = first;
            updateScrollBars();
            viewport()->update();
        }
    }
    verticalScrollBar()->setValue(y);
}

void PageView::scrollToPage(int index)
{
    const QRect rect = m_layout.pageRect(index);
    if (rect.isNull())
        return;
    setStripTop(index, rect.top() - PageLayout::Spacing);
    requestVisiblePages();
    viewport()->update();
}

bool PageView::hasCurrentImage(int index) const
{
    return m_cache.hasPage(index, m_generation);
}

TilePlan PageView::plan() const
{
    return TilePlan(m_layout, m_ratio, m_document && m_document->tilesAvailable());
}

bool PageView::isTiled(int index) const
{
    return plan().isTiled(index);
}

QSize PageView::renderSizeFor(const QSize &points) const
{
    PageLayout one;
    one.setPageSizes({points});
    one.setQuarterTurns(m_options.quarterTurns());
    if (m_mode == ZoomMode::FitWidth)
        one.setZoom(one.fitWidthZoom(viewport()->width() - verticalScrollBar()->sizeHint().width()));
    else if (m_mode == ZoomMode::FitPage)
        one.setZoom(one.fitPageZoom(viewport()->size()));
    else
        one.setZoom(m_layout.zoom());
    return one.renderSize(0, m_ratio);
}

void PageView::offerImage(const PageRequest &asked, pdfpreview::RenderOptions options, const QImage &image)
{
    if (image.isNull() || asked.size != plan().wholeImageSize(asked.pageIndex) || options != m_options)
        return;
    onPageReady(PageJob{asked.pageIndex, asked.size, m_options, m_generation, {}, {}}, image);
}

void PageView::settingsChanged()
{
    // Images already in stay on screen, scaled, until their successors come;
    // tiles fit only the layout they were drawn for.
    ++m_generation;
    m_cache.clearTiles();
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
    if (!m_continuous && m_row >= 0) {
        // One row at a time: the bar runs over that row only.
        const QRect row = shownRow();
        verticalScrollBar()->setRange(row.top(), std::max(row.top(), row.bottom() + 1 - viewport()->height()));
    } else {
        verticalScrollBar()->setRange(0, std::max(0, strip.height() - viewport()->height()));
    }
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setRange(0, std::max(0, strip.width() - viewport()->width()));
}

QRect PageView::visibleArea() const
{
    QPoint corner(horizontalScrollBar()->value(), verticalScrollBar()->value());
    if (!m_continuous && m_row >= 0) {
        // A row shorter than the view stands in its middle.
        const QRect row = shownRow();
        if (row.height() < viewport()->height())
            corner.setY(row.top() - (viewport()->height() - row.height()) / 2);
        // A presentation's page stands in the middle across too.
        if (m_presenting && row.width() < viewport()->width())
            corner.setX(row.left() - (viewport()->width() - row.width()) / 2);
    }
    return QRect(corner, viewport()->size());
}

QRect PageView::wantedArea() const
{
    // One row at a time shows nothing of the rows beside it.
    return m_continuous || m_row < 0 ? visibleArea() : visibleArea().intersected(shownRow());
}

void PageView::holdTextInView()
{
    // Assistive technology asks synchronously, and gets only what is held.
    if (!m_document || !QAccessible::isActive())
        return;
    const QList<int> inView = m_layout.pagesIn(wantedArea());
    m_document->holdPageTexts(QSet<int>(inView.begin(), inView.end()));
}

QRectF PageView::viewportRect(int page, const QRectF &points) const
{
    return stripRect(page, points).translated(-visibleArea().topLeft());
}

void PageView::selectCharacters(int page, int first, int last)
{
    const PreviewDocument::PageText *text = m_document ? m_document->pageText(page) : nullptr;
    if (!text || first < 0 || last < first || last >= text->boxes.size())
        return;
    // The nearest boxed characters within the span stand for its ends.
    while (first <= last && text->boxes[first].isEmpty())
        ++first;
    while (last >= first && text->boxes[last].isEmpty())
        --last;
    if (first <= last)
        m_document->selectText(page, text->boxes[first].center(), page, text->boxes[last].center());
}

void PageView::requestVisiblePages()
{
    if (!m_document || m_layout.pageCount() == 0)
        return;
    const QList<int> inView = m_layout.pagesIn(wantedArea());
    for (int index : inView)
        m_document->requestLinks(index);
    holdTextInView();
    m_document->requestPages(wantedJobs(plan(), m_layout, wantedArea(), m_cache, JobSettings{m_options, m_generation}));
    const int current = currentPage();
    if (current != m_lastCurrent) {
        m_lastCurrent = current;
        emit currentPageChanged(current);
        // The page a screen reader reads is the current one, and its name says which.
        QAccessibleEvent renamed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&renamed);
    }
}

bool PageView::visibleTilesIn() const
{
    const QList<Piece> pieces = piecesInView();
    return std::all_of(pieces.cbegin(), pieces.cend(), [](const Piece &p) { return p.tile.isNull() || p.in; });
}

QList<PageView::Piece> PageView::piecesInView() const
{
    const TilePlan tiles = plan();
    const QRect visible = visibleArea();
    QList<Piece> pieces;
    for (int index : m_layout.pagesIn(visible)) {
        pieces.append(Piece{index, QRect(), tiles.wholeImageSize(index), hasCurrentImage(index)});
        if (!tiles.isTiled(index))
            continue;
        for (const QRect &tile : tiles.tilesOf(index, visible))
            pieces.append(Piece{index, tile, tiles.fullSize(index), m_cache.hasTile(TilePlan::tileKey(index, tile))});
    }
    return pieces;
}

void PageView::onPageReady(const PageJob &job, const QImage &image)
{
    if (image.isNull() || job.index >= m_layout.pageCount())
        return;
    if (!job.tile.isNull()) {
        if (job.generation != m_generation || job.pageSize != plan().fullSize(job.index))
            return;
        m_cache.putTile(TilePlan::tileKey(job.index, job.tile), image);
        trimCache();
        viewport()->update();
        return;
    }
    // Kept as it came: painting fits it to the page's rectangle, and giving
    // it a ratio would copy a page that lies in shared memory.
    if (!m_cache.putPage(job.index, image, job.generation))
        return;
    trimCache();
    viewport()->update(m_layout.pageRect(job.index).translated(-visibleArea().topLeft()));
    if (job.generation == m_generation)
        emit pageShown(job.index);
}

void PageView::setHighlights(const QList<PreviewDocument::SearchHit> &hits, int current)
{
    m_hits = hits;
    m_hitsOnPage.clear();
    for (qsizetype n = 0; n < hits.size(); ++n)
        m_hitsOnPage[hits[n].page].append(int(n));
    m_currentHit = current;
    viewport()->update();
}

QRectF PageView::stripRect(int page, const QRectF &points) const
{
    return m_layout.pageToStrip(page).mapRect(points);
}

void PageView::revealHit(const PreviewDocument::SearchHit &hit)
{
    QRectF where;
    for (const QRectF &rect : hit.rects)
        where |= stripRect(hit.page, rect);
    if (where.isEmpty() || QRectF(visibleArea()).contains(where))
        return;
    // A third of the way down, where the eye looks first.
    setStripTop(hit.page, int(where.center().y() - viewport()->height() / 3.0));
    if (where.right() > visibleArea().right() || where.left() < visibleArea().left())
        horizontalScrollBar()->setValue(int(where.center().x() - viewport()->width() / 2.0));
}

void PageView::goTo(int page, QPointF at, bool hasX, bool hasY)
{
    if (m_layout.pageRect(page).isEmpty())
        return;
    const QRectF point = stripRect(page, QRectF(at, QSizeF(0, 0)));
    // A quarter turn of the view swaps which coordinate is which.
    if (m_options.quarterTurns() % 2)
        std::swap(hasX, hasY);
    const QRect rect = m_layout.pageRect(page);
    setStripTop(page, hasY ? int(point.top()) - PageLayout::Spacing : rect.top() - PageLayout::Spacing);
    if (hasX)
        horizontalScrollBar()->setValue(int(point.left()) - PageLayout::Spacing);
    requestVisiblePages();
    viewport()->update();
}

QPointF PageView::pagePoint(int page, QPointF stripPoint) const
{
    bool invertible = false;
    const QTransform toPage = m_layout.pageToStrip(page).inverted(&invertible);
    return invertible ? toPage.map(stripPoint) : QPointF();
}

void PageView::setCacheBudget(qint64 bytes)
{
    m_cache.setBudget(bytes);
    trimCache();
}

qint64 PageView::cachedBytes() const
{
    return m_cache.bytes();
}

void PageView::trimCache()
{
    // Tiles out of view and past their margin go first.
    const QRect visible = visibleArea();
    const QRect margin = visible.adjusted(-TilePlan::TileSide, -TilePlan::TileSide, TilePlan::TileSide, TilePlan::TileSide);
    m_cache.trim(plan().tileKeysIn(margin), m_layout.pagesIn(visible), currentPage());
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
    QRect area = event->rect().translated(offset);
    if (!m_continuous && m_row >= 0)
        area &= shownRow();
    const TilePlan tiles = plan();
    for (int index : m_layout.pagesIn(area)) {
        const QRect rect = m_layout.pageRect(index).translated(-offset);
        const bool tiled = tiles.isTiled(index);
        if (const PageCache::Page *page = m_cache.page(index)) {
            painter.drawImage(rect, page->image);
        } else {
            painter.fillRect(rect, QColor(paperColour(m_options.colours())));
            if (!tiled) {
                painter.setPen(Qt::gray);
                painter.drawText(rect, Qt::AlignCenter, QString::number(index + 1));
            }
        }
        if (tiled) {
            const QSize full = tiles.fullSize(index);
            const double sx = double(rect.width()) / full.width();
            const double sy = double(rect.height()) / full.height();
            for (const QRect &tile : tiles.tilesOf(index, area)) {
                const QImage drawn = m_cache.tile(TilePlan::tileKey(index, tile));
                if (!drawn.isNull())
                    painter.drawImage(QRectF(rect.left() + tile.x() * sx, rect.top() + tile.y() * sy,
                                             tile.width() * sx, tile.height() * sy),
                                      drawn);
            }
        }
        for (const int n : m_hitsOnPage.value(index)) {
            // Translucent, so that the words stay readable under it.
            const QColor colour = n == m_currentHit ? QColor(255, 120, 0, 130) : QColor(255, 230, 0, 110);
            for (const QRectF &hitRect : m_hits[n].rects)
                painter.fillRect(stripRect(index, hitRect).translated(-offset), colour);
        }
        for (const QRectF &selected : m_selection.rects.value(index))
            painter.fillRect(stripRect(index, selected).translated(-offset), QColor(40, 110, 230, 90));
        if (!m_presenting) {
            painter.setPen(QPen(Qt::gray, 1));
            painter.drawRect(rect.adjusted(0, 0, -1, -1));
        }
        if (m_annotated.contains(index)) {
            // A tab on the page's right edge marks pages with comments.
            painter.fillRect(QRect(rect.right() + 1, rect.top() + 8, 6, 24), QColor(255, 170, 0));
        }
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
    // A glide asks for the pages where it ends, not those it passes.
    if (!isGliding())
        requestVisiblePages();
    viewport()->update();
}
