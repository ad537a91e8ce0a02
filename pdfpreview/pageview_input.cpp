// How the view follows the person: keys, the wheel and pinches, glides,
// one row at a time, clicks on links, and selecting and copying text.

#include "pageview.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QScrollBar>
#include <QScroller>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

void PageView::wheelEvent(QWheelEvent *event)
{
    if (!(event->modifiers() & Qt::ControlModifier) && !m_continuous) {
        // Past the row's end the wheel goes on to the next row, a notch's
        // worth at a time, so that a touchpad does not race through pages.
        QScrollBar *bar = verticalScrollBar();
        const int delta = event->angleDelta().y();
        const bool atEnd = delta < 0 ? bar->value() >= bar->maximum() : bar->value() <= bar->minimum();
        if (delta != 0 && (atEnd || m_presenting)) {
            m_wheelRest += delta;
            if (std::abs(m_wheelRest) >= 120) {
                stepRow(m_wheelRest < 0 ? 1 : -1);
                m_wheelRest = 0;
            }
            event->accept();
            return;
        }
    }
    if (!(event->modifiers() & Qt::ControlModifier)) {
        // A wheel's notches glide; a touchpad's pixels are smooth already.
        const int notches = event->angleDelta().y();
        if (event->pixelDelta().isNull() && notches != 0 && event->angleDelta().x() == 0) {
            const int lines = QApplication::wheelScrollLines() * verticalScrollBar()->singleStep();
            glideTo(scrollTarget() - notches * lines / 120);
            event->accept();
            return;
        }
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    // A notch of a wheel is 120; touchpads send smaller steps more often.
    const int delta = event->angleDelta().y();
    if (delta != 0)
        zoomAround(std::pow(1.25, delta / 120.0), event->position().toPoint());
    event->accept();
}

bool PageView::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::NativeGesture) {
        const auto *gesture = static_cast<QNativeGestureEvent *>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            zoomAround(1.0 + gesture->value(), viewport()->mapFromGlobal(gesture->globalPosition().toPoint()));
            return true;
        }
    }
    return QAbstractScrollArea::viewportEvent(event);
}

bool PageView::isGliding() const
{
    return m_glide->state() == QAbstractAnimation::Running
        || QScroller::scroller(viewport())->state() == QScroller::Scrolling;
}

int PageView::scrollTarget() const
{
    return m_glide->state() == QAbstractAnimation::Running ? m_glide->endValue().toInt() : verticalScrollBar()->value();
}

void PageView::glideTo(int y)
{
    QScrollBar *bar = verticalScrollBar();
    const int target = std::clamp(y, bar->minimum(), bar->maximum());
    m_glide->stop();
    if (target == bar->value()) {
        requestVisiblePages();
        return;
    }
    m_glide->setStartValue(bar->value());
    m_glide->setEndValue(target);
    m_glide->start();
}

void PageView::stepRow(int rows)
{
    if (pageCount() == 0)
        return;
    const QRect row = m_layout.rowRect(currentPage());
    // The row after this one starts past its bottom; the one before ends
    // above its top.
    const int target = rows > 0 ? m_layout.pageAt(row.bottom() + PageLayout::Spacing + 1)
                                : m_layout.pageAt(QPoint(0, row.top() - PageLayout::Spacing - 1));
    if (target < 0 || m_layout.rowRect(target) == row)
        return;
    const QRect next = m_layout.rowRect(target);
    // Going back shows the bottom of the row before, as reading back does.
    setStripTop(target, rows > 0 ? next.top() - PageLayout::Spacing : next.bottom() + PageLayout::Spacing);
    requestVisiblePages();
    viewport()->update();
}

void PageView::stepScreens(int screens)
{
    // A tenth of the screen stays in view, so that reading goes on where the
    // eye left off.
    const int step = qMax(1, viewport()->height() * 9 / 10);
    QScrollBar *bar = verticalScrollBar();
    const int from = scrollTarget();
    // One row at a time goes on to the next row from the end of this one.
    if (!m_continuous && (screens > 0 ? from >= bar->maximum() : from <= bar->minimum())) {
        stepRow(screens);
        return;
    }
    glideTo(from + screens * step);
}

void PageView::stepPages(int pages)
{
    if (pageCount() == 0)
        return;
    if (!m_continuous) {
        stepRow(pages);
        return;
    }
    scrollToPage(std::clamp(currentPage() + pages, 0, pageCount() - 1));
}

void PageView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
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
    case Qt::Key_Right:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Up:
        // In a presentation every arrow is a page.
        if (m_presenting) {
            stepRow(event->key() == Qt::Key_Right || event->key() == Qt::Key_Down ? 1 : -1);
            return;
        }
        QAbstractScrollArea::keyPressEvent(event);
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

void PageView::copySelection()
{
    if (!m_selection.text.isEmpty())
        QApplication::clipboard()->setText(m_selection.text);
}

void PageView::selectAll()
{
    if (m_document)
        m_document->selectAll();
}

void PageView::mouseDoubleClickEvent(QMouseEvent *event)
{
    const QPointF at = event->position() + visibleArea().topLeft();
    const int page = m_layout.pageAt(at.toPoint());
    if (m_document && event->button() == Qt::LeftButton && page >= 0)
        m_document->selectWord(page, pagePoint(page, at));
}

void PageView::contextMenuEvent(QContextMenuEvent *event)
{
    // Shown, not run: the window never waits in a nested event loop.
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction *copy = menu->addAction(tr("Copy"), this, &PageView::copySelection);
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(!m_selection.text.isEmpty());
    QAction *all = menu->addAction(tr("Select all"), this, &PageView::selectAll);
    all->setShortcut(QKeySequence::SelectAll);
    menu->popup(event->globalPos());
}

void PageView::mouseMoveEvent(QMouseEvent *event)
{
    // A drag selects the text from where the button went down to the
    // pointer, across pages too.
    if ((event->buttons() & Qt::LeftButton) && m_pressedAt.x() >= 0 && m_document
        && (m_dragging || (event->position().toPoint() - m_pressedAt).manhattanLength() >= 4)) {
        m_dragging = true;
        const QPointF from = QPointF(m_pressedAt) + visibleArea().topLeft();
        const QPointF to = event->position() + visibleArea().topLeft();
        const int fromPage = m_layout.pageAt(from.toPoint());
        const int toPage = m_layout.pageAt(to.toPoint());
        if (fromPage >= 0 && toPage >= 0)
            m_document->selectText(fromPage, pagePoint(fromPage, from), toPage, pagePoint(toPage, to));
    }
    const std::optional<PreviewDocument::Link> link = linkAt(event->position().toPoint());
    const QString where = link ? describe(*link) : QString();
    viewport()->setCursor(link ? Qt::PointingHandCursor : Qt::ArrowCursor);
    if (where != m_hovered) {
        m_hovered = where;
        emit linkHovered(where);
    }
    QAbstractScrollArea::mouseMoveEvent(event);
}

void PageView::mousePressEvent(QMouseEvent *event)
{
    m_pressedAt = event->button() == Qt::LeftButton ? event->position().toPoint() : QPoint(-1, -1);
    m_dragging = false;
    QAbstractScrollArea::mousePressEvent(event);
}

void PageView::mouseReleaseEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    // A click, not the end of a drag.
    if (event->button() == Qt::LeftButton && m_pressedAt.x() >= 0 && !m_dragging
        && (at - m_pressedAt).manhattanLength() < 4) {
        if (const std::optional<PreviewDocument::Link> link = linkAt(at))
            emit linkActivated(*link);
        else if (m_presenting)
            stepRow(1);
    }
    m_pressedAt = QPoint(-1, -1);
    m_dragging = false;
    QAbstractScrollArea::mouseReleaseEvent(event);
}

std::optional<PreviewDocument::Link> PageView::linkAt(const QPoint &viewportPoint) const
{
    if (!m_document)
        return std::nullopt;
    const QPointF at = viewportPoint + visibleArea().topLeft();
    const int page = m_layout.pageAt(int(at.y()));
    for (int index : {page - 1, page, page + 1}) {
        for (const PreviewDocument::Link &link : m_document->links(index))
            for (const QRectF &rect : link.rects)
                if (stripRect(index, rect).contains(at))
                    return link;
    }
    return std::nullopt;
}

QString PageView::describe(const PreviewDocument::Link &link)
{
    switch (link.kind) {
    case LinkRecord::Page:
        return tr("Page %1").arg(link.page + 1);
    case LinkRecord::Web:
        return link.target;
    case LinkRecord::File:
        return tr("File: %1").arg(link.target);
    case LinkRecord::Elsewhere:
        break;
    }
    return tr("A link to somewhere outside this document");
}
