#include "pageviewaccessible.h"

#include "pageview.h"

#include <QScrollBar>

namespace {

QAccessibleInterface *pageViewFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("PageView") && object && object->isWidgetType())
        return new PageViewAccessible(static_cast<PageView *>(object));
    return nullptr;
}

} // namespace

PageViewAccessible::PageViewAccessible(PageView *view)
    : QAccessibleWidget(view, QAccessible::Document)
{
    // Made when assistive technology first asks: from then on the view holds
    // the text it will ask for.
    QMetaObject::invokeMethod(view, &PageView::holdTextInView, Qt::QueuedConnection);
}

void PageViewAccessible::install()
{
    QAccessible::installFactory(pageViewFactory);
}

PageView *PageViewAccessible::view() const
{
    return static_cast<PageView *>(widget());
}

void *PageViewAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString PageViewAccessible::text(QAccessible::Text kind) const
{
    if (kind != QAccessible::Name || view()->pageCount() == 0)
        return QAccessibleWidget::text(kind);
    return PageView::tr("Page %1 of %2").arg(view()->currentPage() + 1).arg(view()->pageCount());
}

QAccessible::State PageViewAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

const PreviewDocument::PageText *PageViewAccessible::held() const
{
    const PreviewDocument *document = view()->document();
    return document ? document->pageText(view()->currentPage()) : nullptr;
}

QString PageViewAccessible::pageText() const
{
    return held() ? held()->text : QString();
}

QList<QRectF> PageViewAccessible::boxes() const
{
    return held() ? held()->boxes : QList<QRectF>();
}

std::optional<std::pair<int, int>> PageViewAccessible::selected() const
{
    const auto range = view()->selection().ranges.constFind(view()->currentPage());
    if (range == view()->selection().ranges.cend() || range->second <= 0)
        return std::nullopt;
    const int count = characterCount();
    const int start = qBound(0, range->first, count);
    return std::pair<int, int>{start, qBound(start, range->first + range->second, count)};
}

void PageViewAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    const auto range = selected();
    *startOffset = selectionIndex == 0 && range ? range->first : 0;
    *endOffset = selectionIndex == 0 && range ? range->second : 0;
}

int PageViewAccessible::selectionCount() const
{
    return selected() ? 1 : 0;
}

void PageViewAccessible::addSelection(int startOffset, int endOffset)
{
    // One selection at a time, as the mouse makes it.
    setSelection(0, startOffset, endOffset);
}

void PageViewAccessible::removeSelection(int)
{
    if (PreviewDocument *document = view()->document())
        document->clearSelection();
}

void PageViewAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0 && endOffset > startOffset)
        view()->selectCharacters(view()->currentPage(), startOffset, endOffset - 1);
}

int PageViewAccessible::cursorPosition() const
{
    // The view has no caret of its own: the end of the selection stands for it.
    const auto range = selected();
    return range ? range->second : qBound(0, m_cursor, characterCount());
}

void PageViewAccessible::setCursorPosition(int position)
{
    m_cursor = qBound(0, position, characterCount());
    scrollToSubstring(m_cursor, m_cursor + 1);
}

QString PageViewAccessible::text(int startOffset, int endOffset) const
{
    const QString all = pageText();
    const int start = qBound(0, startOffset, int(all.size()));
    // -1 stands for the end, as the interface has it.
    const int end = endOffset < 0 ? int(all.size()) : qBound(start, endOffset, int(all.size()));
    return all.mid(start, end - start);
}

int PageViewAccessible::characterCount() const
{
    return int(pageText().size());
}

QRect PageViewAccessible::characterRect(int offset) const
{
    const QList<QRectF> all = boxes();
    if (offset < 0 || offset >= all.size() || all[offset].isEmpty())
        return QRect();
    const QRect local = view()->viewportRect(view()->currentPage(), all[offset]).toAlignedRect();
    return QRect(view()->viewport()->mapToGlobal(local.topLeft()), local.size());
}

int PageViewAccessible::offsetAtPoint(const QPoint &point) const
{
    const QList<QRectF> all = boxes();
    const QPointF local = view()->viewport()->mapFromGlobal(point);
    for (int at = 0; at < all.size(); ++at) {
        if (!all[at].isEmpty() && view()->viewportRect(view()->currentPage(), all[at]).contains(local))
            return at;
    }
    return -1;
}

void PageViewAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    const QList<QRectF> all = boxes();
    QRectF wanted;
    for (int at = qMax(0, startIndex); at < qMin(endIndex, int(all.size())); ++at)
        wanted |= all[at];
    if (wanted.isEmpty())
        return;
    const QRectF shown = view()->viewportRect(view()->currentPage(), wanted);
    if (!QRectF(view()->viewport()->rect()).contains(shown))
        view()->verticalScrollBar()->setValue(view()->verticalScrollBar()->value() + int(shown.top())
                                              - view()->viewport()->height() / 3);
}

QString PageViewAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    // No font or colour is known of the characters: one run of none.
    Q_UNUSED(offset);
    *startOffset = 0;
    *endOffset = characterCount();
    return QString();
}
