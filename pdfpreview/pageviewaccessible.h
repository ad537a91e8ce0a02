#pragma once

#include "previewdocument.h"

#include <QAccessibleWidget>

#include <optional>
#include <utility>

class PageView;

// What assistive technology is told of the page view: a document whose name
// is the current page ("Page 3 of 12"), and that page's text as pdfium
// orders it, line breaks included, with the characters' places on screen
// and the selection. Queries are answered at once from the text the view
// holds for the pages in view while assistive technology is active; a page
// whose text has not come yet reads as empty until it does.
class PageViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit PageViewAccessible(PageView *view);

    // Makes Qt ask this class for every page view.
    static void install();

    void *interface_cast(QAccessible::InterfaceType type) override;
    QString text(QAccessible::Text kind) const override;
    // Text to read, not to edit, of many lines.
    QAccessible::State state() const override;

    // The text interface; offsets are the current page's characters.
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

private:
    PageView *view() const;
    // The current page's text as the view holds it; null until it has come.
    const PreviewDocument::PageText *held() const;
    QString pageText() const;
    QList<QRectF> boxes() const;
    // The selection's characters on the current page, if it has any there.
    std::optional<std::pair<int, int>> selected() const;
    int m_cursor = 0;
};
