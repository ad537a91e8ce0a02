#pragma once

#include "helperconnection.h"
#include "records.h"
#include "renderoptions.h"

#include <QHash>
#include <QMap>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QPointF>
#include <QRectF>
#include <QSet>
#include <QTransform>
#include <QSize>
#include <QString>


#include <memory>

namespace pdfpreview {
class AnnotationScanJob;
class HelperConnection;
class HelperProcess;
class Prefetch;
}

// One page image wanted from the helper.
struct PageJob {
    int index = -1;
    QSize size; // device pixels
    pdfpreview::RenderOptions options;
    quint64 generation = 0; // which view settings it was asked for
    // A tile: the part of the page laid out at pageSize (device pixels),
    // where size is that of the tile. Null for the whole page.
    QRect tile;
    QSize pageSize;

    // The request as it goes to the helper, tagged with the page.
    PageRequest request() const { return options.request(index, tile.isNull() ? size : pageSize, index); }
};

// The window's document: one helper process serving it, driven without ever
// blocking the caller. Loads the page sizes and the outline when the helper
// connects, draws the pages asked for a few at a time, and finds the pages
// with markup annotations through a second, one-shot helper. A helper that
// dies is reported and replaced on the next request.
class PreviewDocument : public QObject
{
    Q_OBJECT
public:
    enum class Problem { None, NeedsPassword, WrongPassword, NotLoadable, HelperFailed };
    Q_ENUM(Problem)

    explicit PreviewDocument(QObject *parent = nullptr);
    ~PreviewDocument() override;

    void setHelperProgram(const QString &path) { m_program = path; }
    // Starts a helper for the document, ending any earlier one. What it
    // finds arrives as signals.
    void open(const QString &path, const QString &password = QString());
    // Takes over a helper started ahead for the document, in whatever stage
    // it is: a ready one shows its first page at once, one still at work is
    // waited for, and one that failed gives way to a fresh open, which says
    // why (or asks for the password).
    void openPrefetched(const QString &path, std::unique_ptr<pdfpreview::Prefetch> prefetch);
    void close();

    QString path() const { return m_path; }
    QString password() const { return m_password; }
    bool isReady() const { return m_ready; }
    QList<QSize> pageSizes() const { return m_sizes; }
    // The connection of the helper serving the document, else null: for a
    // caller with requests of its own (printing), whose replies it matches.
    pdfpreview::HelperConnection *helperConnection() const { return served(); }
    // The helper's process id while one runs, else 0.
    qint64 helperProcessId() const;

    // The pages wanted now, most wanted first; replaces what was waiting.
    // Requests already with the helper are answered but not waited for.
    void requestPages(const QList<PageJob> &jobs);
    // Asks the first helper for the outline once. One that knows pieces
    // sends it as outlineEntriesArrived() a piece at a time, each asked for
    // while no page waits, as the sizes are; an older one sends it whole as
    // outlineReady(), and pages asked after it wait behind it (a long
    // outline takes seconds): the window asks once its first page is shown.
    void requestOutline();
    // Asks the helper for the document's properties, once it serves: they
    // come as propertiesReady(), or propertiesUnavailable() from a helper
    // that does not tell them.
    void requestProperties();
    // Asks likewise for what the helper finds of the document's signatures,
    // as signaturesReady(); nothing comes from a helper that does not tell.
    void requestSignatures();
    // Thumbnails wanted now, most wanted first; replaces those waiting. They
    // go to the helper only when no page waits, so that the pages in view
    // come first, and come back as thumbnailReady().
    void requestThumbnails(const QList<PageJob> &jobs);
    // Whether the helper draws tiles; false once its probe said it does not.
    bool tilesAvailable() const { return !m_tilesUnsupported; }

    // One search hit: its page and the rectangles that cover it, in the
    // page's points as laid out unturned, from its top left corner.
    struct SearchHit {
        int page = -1;
        QList<QRectF> rects;
    };
    // A link of a page as the helper sends it, its rectangles and (for a
    // link to a page) the point it names mapped into the pages' points as
    // laid out unturned, hasX and hasY saying which coordinates of that point
    // count; no target frame.
    using Link = LinkRecord;
    // Asks the helper for the page's links once (again after a reload or a
    // new helper); linksReady() says when they are in.
    void requestLinks(int page);
    QList<Link> links(int page) const { return m_links.value(page); }

    // A page's characters as a screen reader is told them, and the box of
    // each in the page's points as laid out unturned (empty for none).
    struct PageText {
        QString text;
        QList<QRectF> boxes;
    };
    // Holds the text of these pages and of no others, asking the helper for
    // those not held (again after a new helper); pageTextReady() says when
    // one is in.
    void holdPageTexts(const QSet<int> &pages);
    const PageText *pageText(int page) const;

    // The text selected: each page's rectangles (as hits are) and the pages'
    // text joined by line breaks, at most MaxCopiedUnits long (cut says the
    // bound left some out); done once every page of it has answered.
    struct TextSelection {
        QMap<int, QList<QRectF>> rects;
        QMap<int, std::pair<int, int>> ranges; // each page's first character and count
        QString text;
        bool cut = false;
        bool done = false;
    };
    // Selects the text from a point of one page to a point of another, in
    // either order, the pages between whole; the points in the pages'
    // points as laid out unturned. The pages answer one after the other,
    // each as textSelected() (the latest selection's only), until the
    // bound. Nothing is asked before the end pages' frames are known (with
    // their links).
    void selectText(int fromPage, QPointF from, int toPage, QPointF to);
    // Ends any selection, and says so as textSelected().
    void clearSelection();
    void selectWord(int page, QPointF at);
    // Every page, as far as the bound goes.
    void selectAll();

    // Searches the document from startPage on, wrapping, ending any search
    // before; hits come page by page as searchFound().
    void search(const QString &query, bool matchCase, int startPage);
    void cancelSearch();

signals:
    void opened(const QList<QSize> &pageSizes);
    // Sizes that were taken to be the last known one's, and are others.
    void pageSizesChanged(const QList<QSize> &pageSizes);
    void outlineReady(const QList<BookmarkNode> &outline);
    // The next entries of the outline, depth-first, following those before.
    void outlineEntriesArrived(const QList<OutlineEntryRecord> &entries);
    // The outline could not be read to its end: none of it is shown.
    void outlineLost();
    // Every entry of the outline has come, from pieces or whole.
    void outlineFinished();
    void propertiesReady(const PropertiesRecord &properties);
    void propertiesUnavailable();
    void signaturesReady(const SignaturesReplyRecord &signatures);
    void signaturesUnavailable();
    // The outline entries' tool tips, depth-first, when the helper knows them.
    void outlineToolTipsReady(const QStringList &toolTips);
    void pageReady(const PageJob &job, const QImage &image);
    void thumbnailReady(const PageJob &job, const QImage &image);
    void annotatedPagesFound(const QList<int> &pages);
    void failed(PreviewDocument::Problem problem, const QString &message);
    // The first page a helper ahead drew, and how it was asked for.
    void firstPagePrefetched(const PageRequest &request, pdfpreview::RenderOptions options, const QImage &image);
    // The helper does not know tiles: the tiles asked for will not come.
    void tilesUnavailable();
    void searchFound(const QList<PreviewDocument::SearchHit> &hits);
    void linksReady(int page);
    void pageTextReady(int page);
    void textSelected(const PreviewDocument::TextSelection &selection);
    // How far the search has come; done when nothing more comes for it (the
    // helper went away too), cut when a bound left hits out.
    void searchProgress(int pagesSearched, int pageCount, bool done, bool cut);
    void searchUnavailable();
    // The helper selects no text: nothing can be selected or copied.
    void textUnavailable();
    // The helper ended while serving; the next request starts another.
    void helperLost(const QString &message);

private:
    void startHelper();
    void connectHelper();
    void adoptPrefetch();
    void onConnected();
    void onCapabilitiesFound();
    // The connection, for what goes to the helper only while no page of
    // the view waits or is drawn, and only when it knows capability; else
    // null. Pages asked for go first, as before thumbnails.
    pdfpreview::HelperConnection *servedWhileNoPageWaits(pdfpreview::HelperConnection::Capability capability) const;
    // The next stretch of sizes not known yet, when none is asked for.
    void askForMoreSizes();
    void onPageSizesReplied(quint64 id, int first, const QList<QSize> &sizes);
    // The next piece of the outline, when none is asked for.
    void askForMoreOutline();
    void onOutlinePieceReplied(quint64 id, const OutlinePieceReplyRecord &piece);
    // A page or tile of the view has come: handed on, the next sent, and
    // after the first the annotation scan started.
    void pageArrived(const PageJob &job, const QImage &image);
    // The connection while it serves requests: connected, the probe
    // answered; else null.
    pdfpreview::HelperConnection *served() const;
    void onFinished(int exitCode);
    void onRenderReplied(const PageRequest &reply);
    void onTileReplied(const TileRecord &reply);
    void sendWaiting();
    void sendOrRestart(const QList<PageJob> &waiting);
    void onSearchReplied(const SearchReplyRecord &reply);
    void onLinksReplied(const LinksReplyRecord &reply);
    void onTextReplied(const TextReplyRecord &reply);
    void startAnnotationScan();

    // At most this many requests wait at the helper at a time, so that a
    // scroll does not leave a queue of pages nobody looks at any more.
    static constexpr int MaxInFlight = 2;

    QString m_program;
    QString m_path;
    QString m_password;
    QPointer<pdfpreview::HelperProcess> m_helper;
    std::unique_ptr<pdfpreview::Prefetch> m_prefetch;
    QList<QSize> m_sizes;
    // m_sizes from page 0 up to here are the helper's; the rest are taken
    // to be shaped as the last of those until it tells them, a stretch at a
    // time between other requests.
    int m_knownSizes = 0;
    quint64 m_sizesStretchId = 0;
    bool m_scanAfterFirstPage = false;
    bool m_ready = false;
    bool m_outlineAsked = false;
    // The outline's entries read so far, the piece out, and whether the
    // pieces have ended.
    int m_outlineRead = 0;
    quint64 m_outlinePieceId = 0;
    bool m_outlineDone = false;
    // A question asked of the helper: waiting for a helper that serves, or
    // out with its id.
    struct Question {
        bool wanted = false;
        quint64 id = 0;
    };
    void ask(Question &question, quint64 (pdfpreview::HelperConnection::*send)());
    // Hands on the answer to the question out, once.
    template<typename Record>
    void answerWith(pdfpreview::HelperConnection *connection, Question &question,
                    void (pdfpreview::HelperConnection::*replied)(quint64, const Record &),
                    void (pdfpreview::HelperConnection::*unavailable)(quint64),
                    void (PreviewDocument::*ready)(const Record &), void (PreviewDocument::*none)());
    Question m_properties;
    Question m_signatures;
    bool m_everConnected = false;
    bool m_lost = false;
    bool m_tilesUnsupported = false;
    QList<PageJob> m_waiting;
    QHash<quint64, PageJob> m_inFlight; // by token
    QList<PageJob> m_thumbnailsWaiting;
    QHash<quint64, PageJob> m_thumbnailsInFlight;
    std::unique_ptr<pdfpreview::AnnotationScanJob> m_scan;
    quint64 m_searchId = 0;
    QSet<int> m_linksAsked;
    // The pages whose text is held or asked for, and those in.
    QSet<int> m_textsHeld;
    QHash<int, PageText> m_texts;
    void onPageTextReplied(const PageTextRecord &reply);
    QHash<int, QList<Link>> m_links;
    // How each page's space maps onto it, as the helper gave it.
    QHash<int, QTransform> m_frames;
    void askSelectionPage();

    // The selection being asked for: its pages, the points on its end pages
    // (page space), and the next page to ask.
    struct SelectionRun {
        int first = -1;
        int last = -1;
        QPointF from;
        QPointF to;
        TextExtent oneWord = TextExtent::Between;
        bool whole = false;
        int next = -1;
    };
    SelectionRun m_run;
    TextSelection m_selection;
    quint64 m_textId = 0;
};

Q_DECLARE_METATYPE(PageJob)
Q_DECLARE_METATYPE(PreviewDocument::SearchHit)
Q_DECLARE_METATYPE(PreviewDocument::TextSelection)
