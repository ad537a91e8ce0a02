#pragma once

#include "pagecache.h"
#include "previewdocument.h"
#include "thumbnailplan.h"

#include <QAbstractScrollArea>

// A column of small page images beside the pages, drawn as they scroll into
// view. They come from the document's helper after the pages in view, and
// what they keep stays within a bound of their own; the current page is
// marked, and a click goes to a page.
class ThumbnailPanel : public QAbstractScrollArea
{
    Q_OBJECT
public:
    static constexpr qint64 DefaultBudget = qint64(64) * 1024 * 1024;

    explicit ThumbnailPanel(PreviewDocument *document, QWidget *parent = nullptr);

    // Forgets every thumbnail: a new document, or the same one again.
    void setPageSizes(const QList<QSize> &points);
    // The same document's sizes, some known better: the slots are laid out
    // anew, the current page kept.
    void updatePageSizes(const QList<QSize> &points);
    // As the pages are drawn: turned, annotated and coloured alike.
    void setRenderOptions(pdfpreview::RenderOptions options);
    void setPixelRatio(double ratio);
    void setCurrentPage(int index);
    int currentPage() const { return m_current; }
    void setBudget(qint64 bytes);
    qint64 keptBytes() const { return m_cache.bytes(); }
    // Whether every thumbnail in view is in, for the current settings.
    bool thumbnailsInView() const;
    QList<int> pagesInView() const;
    // Where a page's thumbnail lies in the viewport.
    QRect thumbnailRect(int index) const;
    QSize sizeHint() const override;

signals:
    void pageChosen(int index);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // Up and Down (Left, Right), Page Up and Down, Home and End choose a
    // page as a click on its thumbnail does.
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void onThumbnailReady(const PageJob &job, const QImage &image);
    void settingsChanged();
    void fitToWidth();
    void requestVisible();
    QRect visibleArea() const;

    PreviewDocument *m_document;
    ThumbnailGeometry m_geometry;
    PageCache m_cache;
    pdfpreview::RenderOptions m_options;
    double m_ratio = 1.0;
    quint64 m_generation = 1;
    int m_current = -1;
};
