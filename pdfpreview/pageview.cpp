#include "pageview.h"

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
    if (m_document)
        connect(m_document, &PreviewDocument::pageReady, this, &PageView::onPageReady);
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
    if (image.isNull() || asked.size != m_layout.renderSize(asked.pageIndex, m_ratio) || asked.rotation != m_rotation
        || asked.annotations != m_annotations || asked.invert != m_invert)
        return;
    onPageReady(PageJob{asked.pageIndex, asked.size, m_rotation, m_annotations, m_invert, m_generation}, image);
}

void PageView::settingsChanged()
{
    // Images already in stay on screen, scaled, until their successors come.
    ++m_generation;
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
    // The pages in view first, then one on either side for the next scroll.
    if (pages.first() > 0)
        pages.append(pages.first() - 1);
    if (pages.last() + 1 < m_layout.pageCount())
        pages.append(pages.last() + 1);
    QList<PageJob> jobs;
    for (int index : std::as_const(pages)) {
        if (hasCurrentImage(index))
            continue;
        jobs.append(PageJob{index, m_layout.renderSize(index, m_ratio), m_rotation, m_annotations, m_invert,
                            m_generation});
    }
    m_document->requestPages(jobs);
    const int current = currentPage();
    if (current != m_lastCurrent) {
        m_lastCurrent = current;
        emit currentPageChanged(current);
    }
}

void PageView::onPageReady(const PageJob &job, const QImage &image)
{
    if (image.isNull() || job.index >= m_layout.pageCount())
        return;
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
    return pdfpreview::memoryKeptBy(images);
}

void PageView::trimCache()
{
    if (cachedBytes() <= m_cacheBudget)
        return;
    const int centre = currentPage();
    const QList<int> visible = m_layout.pagesIn(visibleArea());
    QList<int> pages = m_cache.keys();
    std::sort(pages.begin(), pages.end(),
              [centre](int a, int b) { return std::abs(a - centre) > std::abs(b - centre); });
    // An area is freed only with its last image, so what dropping one page
    // gives back is counted again each time.
    for (int index : std::as_const(pages)) {
        if (visible.contains(index))
            continue;
        m_cache.remove(index);
        if (cachedBytes() <= m_cacheBudget)
            break;
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
        } else {
            painter.fillRect(rect, m_invert ? Qt::black : Qt::white);
            painter.setPen(Qt::gray);
            painter.drawText(rect, Qt::AlignCenter, QString::number(index + 1));
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
