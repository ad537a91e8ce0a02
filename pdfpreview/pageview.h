#pragma once

#include "pagecache.h"
#include "pagelayout.h"
#include "previewdocument.h"

#include <QAbstractScrollArea>
#include <QHash>
#include <QImage>
#include <QSet>

#include <optional>

class QVariantAnimation;
class TilePlan;

// The pages of one document in a scrolling strip. Placeholders of each
// page's size stand until its image arrives; only the pages in view (and one
// on either side) are asked for, and an image drawn for earlier settings is
// shown scaled until the new one is in, so that nothing goes blank. What is
// asked for is worked out by the render plan (renderplan.h), what is kept
// by the page cache; the view lays out, paints and follows the user.
class PageView : public QAbstractScrollArea
{
    Q_OBJECT
public:
    enum class ZoomMode { Custom, FitWidth, FitPage };
    Q_ENUM(ZoomMode)

    explicit PageView(QWidget *parent = nullptr);

    void setDocument(PreviewDocument *document);
    // Forgets every page and image: a new document, or the same one again.
    void setPageSizes(const QList<QSize> &points);
    // The same document's sizes, some of them known better: the pages whose
    // size changed are drawn again, and the point at the top left stays.
    void updatePageSizes(const QList<QSize> &points);
    void setAnnotatedPages(const QList<int> &pages);
    // A message instead of pages, such as why a document cannot be shown.
    void setMessage(const QString &message);
    QString message() const { return m_message; }

    void setZoomMode(ZoomMode mode);
    ZoomMode zoomMode() const { return m_mode; }
    void setZoom(double pixelsPerPoint);
    double zoom() const { return m_layout.zoom(); }
    void zoomBy(double factor);
    // The page at the view's top left corner and the point of it there, in
    // its points as laid out unturned; showPoint() scrolls it back there.
    std::pair<int, QPointF> topLeftPoint() const;
    void showPoint(int page, QPointF at);
    // Zooms keeping the point of the page under pos (in the viewport) there.
    void zoomAround(double factor, QPoint pos);
    // One page a row, two side by side, or two with the first alone (book).
    void setArrangement(PageLayout::Arrangement arrangement);
    PageLayout::Arrangement arrangement() const { return m_layout.arrangement(); }
    // Degrees, clockwise, a multiple of 90.
    void setRotation(int degrees);
    int rotation() const { return m_options.degrees(); }
    // Normal, inverted, night or sepia (pagecolours.h).
    void setColours(PageColours colours);
    PageColours colours() const { return m_options.colours(); }
    void setAnnotationsShown(bool on);
    bool annotationsShown() const { return m_options.annotations(); }
    // All three as pages are asked for.
    pdfpreview::RenderOptions renderOptions() const { return m_options; }
    // The ratio of device pixels to logical ones to render at.
    void setPixelRatio(double ratio);
    double pixelRatio() const { return m_ratio; }

    // Continuous: every page in one strip. Else one row (a page, or two side
    // by side) at a time, the keys and the wheel going on to the next row
    // from the end of this one.
    void setContinuous(bool on);
    bool isContinuous() const { return m_continuous; }
    // A presentation: on black, no page frames, arrows, a click and each
    // notch of the wheel a row.
    void setPresenting(bool on);
    bool isPresenting() const { return m_presenting; }
    // The next or previous row, in either mode.
    void stepRow(int rows);

    int pageCount() const { return m_layout.pageCount(); }
    // The page at the top of the view.
    int currentPage() const;
    void scrollToPage(int index);
    // Images kept cost at most this much memory, counted as memoryKeptBy()
    // counts it; those farthest from the view go first, so memory follows the
    // view and not the document's length. Pages in view are never dropped, so
    // a view whose visible pages alone are larger keeps just those.
    static constexpr qint64 DefaultCacheBudget = qint64(384) * 1024 * 1024;
    void setCacheBudget(qint64 bytes);
    qint64 cacheBudget() const { return m_cache.budget(); }
    // What the kept images cost now.
    qint64 cachedBytes() const;
    // Steps as other viewers do: a screen (Page Up/Down, Space, Shift+Space,
    // keeping a little of the last screen in view), a page (Ctrl+Page
    // Up/Down), the first or last page (Home, End).
    void stepScreens(int screens);
    void stepPages(int pages);
    // Whether the view is gliding to where a step, the wheel or a flick
    // sends it; scrollTarget() is where it ends.
    bool isGliding() const;
    int scrollTarget() const;
    static constexpr int GlideMs = 120;
    // Whether the page's image for the current settings is in (for a page
    // drawn in tiles, its whole image at the lower resolution).
    bool hasCurrentImage(int index) const;
    // Whether the page is drawn as tiles at the current zoom and ratio (see
    // TilePlan), over its whole image at a smaller size, which stays on
    // screen until the tiles are in.
    bool isTiled(int index) const;
    // Whether every tile of the part in view has come for the current settings.
    bool visibleTilesIn() const;
    // What the view shows now: each page in view (a tiled page's whole image
    // at the lower resolution among them) and each tile of the part in view,
    // and whether its image for the current settings is in.
    struct Piece {
        int page = -1;
        QRect tile; // null for the whole page
        // The page's size in device pixels as the piece is drawn from it:
        // the whole image's size, or for a tile the page laid out in full.
        QSize pageSize;
        bool in = false;
    };
    QList<Piece> piecesInView() const;
    // The image the view would ask for, for a page of this size in points at
    // the current zoom mode, rotation and pixel ratio.
    QSize renderSizeFor(const QSize &points) const;
    // An image drawn elsewhere (by a helper ahead): taken as the page's
    // current one when it was asked for as the view would ask now.
    void offerImage(const PageRequest &asked, pdfpreview::RenderOptions options, const QImage &image);

    // Search hits drawn over the pages, the current one stronger (-1: none).
    void setHighlights(const QList<PreviewDocument::SearchHit> &hits, int current);
    // Scrolls so that the hit is in view, unless it is already.
    void revealHit(const PreviewDocument::SearchHit &hit);
    // Where a rectangle in a page's points, as laid out unturned, lies in
    // the strip at the current zoom and rotation.
    QRectF stripRect(int page, const QRectF &points) const;

    // Where a point of the strip lies on a page, in its points as laid out
    // unturned: stripRect() the other way.
    QPointF pagePoint(int page, QPointF stripPoint) const;
    // Where a rectangle in a page's points, as laid out unturned, lies in
    // the viewport now.
    QRectF viewportRect(int page, const QRectF &points) const;
    PreviewDocument *document() const { return m_document; }
    // While assistive technology is active, holds the text of the pages in
    // view, as every scroll does.
    void holdTextInView();
    // Selects a page's characters from first to last, as a drag from the
    // one to the other would; only characters whose boxes are known.
    void selectCharacters(int page, int first, int last);
    // The selected text, empty for none; copySelection() puts it on the
    // clipboard (Ctrl+C and the context menu do).
    QString selectedText() const { return m_selection.text; }
    PreviewDocument::TextSelection selection() const { return m_selection; }
    void copySelection();
    // The whole document's text, within the copy bound (Ctrl+A).
    void selectAll();

    // Scrolls to a point of a page, in its points as laid out unturned: to
    // the coordinates given, the page's top or left edge for those not.
    void goTo(int page, QPointF at, bool hasX, bool hasY);
    // The link under a point of the viewport, if any.
    std::optional<PreviewDocument::Link> linkAt(const QPoint &viewportPoint) const;
    // What a link leads to, as the status bar says it.
    static QString describe(const PreviewDocument::Link &link);

signals:
    // Where the link under the pointer leads; empty once it leaves links.
    void linkHovered(const QString &where);
    // A click on a link, without a drag.
    void linkActivated(const PreviewDocument::Link &link);
    void currentPageChanged(int index);
    // A page's image for the current settings has come in.
    void pageShown(int index);
    // The zoom changed from within the view (the wheel, a pinch).
    void zoomChanged();
    // The rotation, the annotations or the colours changed.
    void renderOptionsChanged(pdfpreview::RenderOptions options);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    // Ctrl with the wheel, and a touchpad's pinch, zoom around the pointer.
    void wheelEvent(QWheelEvent *event) override;
    bool viewportEvent(QEvent *event) override;

private:
    void onPageReady(const PageJob &job, const QImage &image);
    TilePlan plan() const;
    void settingsChanged();
    void applyZoomMode();
    void updateScrollBars();
    QRect visibleArea() const;
    void glideTo(int y);
    // What is asked for: the part in view, in one row at a time its row's.
    QRect wantedArea() const;
    QRect shownRow() const;
    // Scrolls to y in the strip, on the row of page when rows come one at a time.
    void setStripTop(int page, int y);
    void requestVisiblePages();
    void trimCache();

    PreviewDocument *m_document = nullptr;
    PageLayout m_layout;
    // Tiles are kept for the current settings only: those of other settings
    // do not fit the layout.
    PageCache m_cache;
    QSet<int> m_annotated;
    QList<PreviewDocument::SearchHit> m_hits;
    // Which hits lie on each page, so that a paint looks at its pages' only.
    QHash<int, QList<int>> m_hitsOnPage;
    int m_currentHit = -1;
    QString m_hovered;
    QPoint m_pressedAt{-1, -1};
    bool m_dragging = false;
    // In the pages' points as laid out unturned.
    PreviewDocument::TextSelection m_selection;
    QString m_message;
    ZoomMode m_mode = ZoomMode::FitWidth;
    pdfpreview::RenderOptions m_options;
    double m_ratio = 1.0;
    quint64 m_generation = 1;
    int m_lastCurrent = -1;
    bool m_continuous = true;
    bool m_presenting = false;
    // The first page of the row shown when rows come one at a time.
    int m_row = -1;
    int m_wheelRest = 0;
    QVariantAnimation *m_glide;
};
