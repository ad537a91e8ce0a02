#include "thumbnailpanel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

ThumbnailPanel::ThumbnailPanel(PreviewDocument *document, QWidget *parent)
    : QAbstractScrollArea(parent)
    , m_document(document)
{
    m_cache.setBudget(DefaultBudget);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setBackgroundRole(QPalette::Dark);
    viewport()->setAutoFillBackground(true);
    connect(m_document, &PreviewDocument::thumbnailReady, this, &ThumbnailPanel::onThumbnailReady);
}

QSize ThumbnailPanel::sizeHint() const
{
    return QSize(160 + verticalScrollBar()->sizeHint().width(), 400);
}

void ThumbnailPanel::setPageSizes(const QList<QSize> &points)
{
    m_cache.clear();
    m_current = -1;
    m_geometry.setPageSizes(points);
    settingsChanged();
}

void ThumbnailPanel::updatePageSizes(const QList<QSize> &points)
{
    m_geometry.setPageSizes(points);
    settingsChanged();
}

void ThumbnailPanel::setRenderOptions(pdfpreview::RenderOptions options)
{
    if (options == m_options)
        return;
    m_options = options;
    m_geometry.setQuarterTurns(options.quarterTurns());
    settingsChanged();
}

void ThumbnailPanel::setPixelRatio(double ratio)
{
    const double checked = std::isfinite(ratio) && ratio > 0 ? std::clamp(ratio, 0.25, 8.0) : 1.0;
    if (checked == m_ratio)
        return;
    m_ratio = checked;
    settingsChanged();
}

void ThumbnailPanel::setBudget(qint64 bytes)
{
    m_cache.setBudget(bytes);
    requestVisible();
}

void ThumbnailPanel::setCurrentPage(int index)
{
    if (index == m_current)
        return;
    m_current = index;
    // The mark follows the reader, unless it is in view already.
    const QRect slot = m_geometry.slotRect(index);
    if (!slot.isNull() && !visibleArea().contains(slot))
        verticalScrollBar()->setValue(slot.center().y() - viewport()->height() / 2);
    viewport()->update();
}

void ThumbnailPanel::settingsChanged()
{
    // Thumbnails drawn for earlier settings stay, scaled, until theirs come.
    ++m_generation;
    m_geometry.setWidth(viewport()->width());
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setSingleStep(std::max(1, m_geometry.slotHeight() / 4));
    verticalScrollBar()->setRange(0, std::max(0, m_geometry.stripSize().height() - viewport()->height()));
    requestVisible();
    viewport()->update();
}

QRect ThumbnailPanel::visibleArea() const
{
    return QRect(QPoint(0, verticalScrollBar()->value()), viewport()->size());
}

QList<int> ThumbnailPanel::pagesInView() const
{
    return m_geometry.pagesIn(visibleArea());
}

QRect ThumbnailPanel::thumbnailRect(int index) const
{
    return m_geometry.imageRect(index).translated(0, -verticalScrollBar()->value());
}

bool ThumbnailPanel::thumbnailsInView() const
{
    const QList<int> pages = pagesInView();
    return std::all_of(pages.cbegin(), pages.cend(),
                       [this](int index) { return m_cache.hasPage(index, m_generation); });
}

void ThumbnailPanel::requestVisible()
{
    // A panel out of sight asks for nothing.
    if (!isVisible() || m_geometry.pageCount() == 0)
        return;
    const QList<int> wanted = wantedThumbnails(
        m_geometry, visibleArea(), m_ratio, [this](int index) { return m_cache.hasPage(index, m_generation); },
        m_cache.budget());
    QList<PageJob> jobs;
    for (int index : wanted)
        jobs.append(PageJob{index, m_geometry.renderSize(index, m_ratio), m_options, m_generation, QRect(), QSize()});
    m_document->requestThumbnails(jobs);
}

void ThumbnailPanel::onThumbnailReady(const PageJob &job, const QImage &image)
{
    if (image.isNull() || job.index >= m_geometry.pageCount())
        return;
    // A copy of its own: a thumbnail must not keep a page's shared area alive.
    if (!m_cache.putPage(job.index, image.copy(), job.generation))
        return;
    const QRect visible = visibleArea();
    const QList<int> inView = m_geometry.pagesIn(visible);
    m_cache.trim({}, inView, inView.isEmpty() ? 0 : inView.at(inView.size() / 2));
    viewport()->update(m_geometry.slotRect(job.index).translated(0, -visible.top()));
}

void ThumbnailPanel::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    const int top = verticalScrollBar()->value();
    const QRect area = event->rect().translated(0, top);
    for (int index : m_geometry.pagesIn(area)) {
        const QRect image = m_geometry.imageRect(index).translated(0, -top);
        const QRect slot = m_geometry.slotRect(index).translated(0, -top);
        if (index == m_current)
            painter.fillRect(slot.adjusted(2, 2, -2, -2), palette().color(QPalette::Highlight));
        if (const PageCache::Page *page = m_cache.page(index))
            painter.drawImage(image, page->image);
        else
            painter.fillRect(image, QColor(paperColour(m_options.colours())));
        painter.setPen(QPen(Qt::gray, 1));
        painter.drawRect(image.adjusted(0, 0, -1, -1));
        painter.setPen(palette().color(index == m_current ? QPalette::HighlightedText : QPalette::BrightText));
        painter.drawText(QRect(slot.left(), image.bottom() + 1, slot.width(), ThumbnailGeometry::LabelHeight),
                         Qt::AlignCenter, QString::number(index + 1));
    }
}

void ThumbnailPanel::fitToWidth()
{
    // A new width draws the thumbnails anew; a panel shown again or made
    // taller only asks for what came into view.
    if (m_geometry.width()
        != std::clamp(viewport()->width(), ThumbnailGeometry::MinWidth, ThumbnailGeometry::MaxWidth)) {
        settingsChanged();
        return;
    }
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setRange(0, std::max(0, m_geometry.stripSize().height() - viewport()->height()));
    requestVisible();
}

void ThumbnailPanel::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    fitToWidth();
}

void ThumbnailPanel::showEvent(QShowEvent *event)
{
    QAbstractScrollArea::showEvent(event);
    fitToWidth();
}

void ThumbnailPanel::scrollContentsBy(int, int)
{
    requestVisible();
    viewport()->update();
}

void ThumbnailPanel::mouseReleaseEvent(QMouseEvent *event)
{
    const int index = m_geometry.pageAt(int(event->position().y()) + verticalScrollBar()->value());
    if (event->button() == Qt::LeftButton && index >= 0)
        emit pageChosen(index);
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void ThumbnailPanel::keyPressEvent(QKeyEvent *event)
{
    const int count = m_geometry.pageCount();
    const int from = qMax(m_current, 0);
    int chosen = -1;
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Left:
        chosen = from - 1;
        break;
    case Qt::Key_Down:
    case Qt::Key_Right:
        chosen = from + 1;
        break;
    case Qt::Key_PageUp:
        chosen = qMax(from - 10, 0);
        break;
    case Qt::Key_PageDown:
        chosen = qMin(from + 10, count - 1);
        break;
    case Qt::Key_Home:
        chosen = 0;
        break;
    case Qt::Key_End:
        chosen = count - 1;
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (chosen >= 0 && chosen < count) {
        setCurrentPage(chosen);
        emit pageChosen(chosen);
    }
    event->accept();
}
