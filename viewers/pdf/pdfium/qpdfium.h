#pragma once

#include "pdfium_api.h"
#include "pdfiumhandles.h"
#include "records.h"
#include "sharedreadfile.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QTransform>
#include <QLatin1String>
#include <QHash>
#include <QList>
#include <QSet>
#include <QRect>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QStandardItem;

// Item data roles of the outline tree that readBookmarks builds.
enum OutlineRole {
    OutlineTitleRole = Qt::UserRole + 1, // QString, trimmed title
    OutlineDepthRole = Qt::UserRole + 2, // int, 0 for top-level entries
    OutlinePageRole = Qt::UserRole + 3,  // int, 0-based page or -1
};

// One pdfium document for one user. pdfium is not thread-safe, so every call
// into it, from every engine in the process, happens under one process-wide
// recursive lock.
class QPdfium
{
public:
    enum Status : qint8 {
        NotLoaded = -1,
        Success = 0,
        FileError = 1,
        FormatError = 2,
        PasswordError = 3,
        SecurityError = 4,
        PageError = 6,
        UnknownError = 7,
    };

    // The name is not copied: pass a string that outlives the engine.
    explicit QPdfium(QLatin1String name);
    virtual ~QPdfium();

    QPdfium(const QPdfium &) = delete;
    QPdfium &operator=(const QPdfium &) = delete;

    void prepare();
    Status loadFile(const QString &path, const QString &password);
    // loadFile in two steps, for a caller that must have the file open before
    // the first byte of it is parsed (the helper confines itself in between).
    // openFile fails as loadFile does when the file cannot be opened.
    bool openFile(const QString &path);
    Status loadOpenedFile(const QString &password);

    int pageCount();
    bool isQuitRequested() const;
    bool isLoaded() const { return m_status == Success; }
    QLatin1String name() const { return m_name; }

    QImage page(unsigned int index, const QSize &size, bool annotations, int rotate);
    // The same render into an image the caller holds (32-bit ARGB, any
    // memory), at its size: for pages drawn straight into shared memory.
    bool renderInto(unsigned int index, QImage &target, bool annotations, int rotate);
    // The part tile of the page as page() would draw it at pageSize: the same
    // pixels, drawn without the rest. pageSize may be far past the image
    // bound (each side up to MaxTilePageSide, contract.h); the tile itself is within it
    // and inside the page. A null image for anything else.
    QImage tile(unsigned int index, const QSize &pageSize, const QRect &tile, bool annotations, int rotate);
    // The same tile into an image the caller holds (32-bit ARGB, any memory,
    // the tile's size): for tiles drawn straight into shared memory.
    bool tileInto(unsigned int index, const QSize &pageSize, const QRect &tile, QImage &target, bool annotations,
                  int rotate);

    // Where the page's images lie on a render of the whole page at pageSize,
    // turned as that render is, in its pixels (those whose centre lies in
    // an image's box): at most maxRects of them,
    // from the page's first MaxPageObjects objects (contract.h). Images
    // inside form XObjects are not found. Empty for a page that cannot be
    // loaded.
    QList<QRect> imageRects(unsigned int index, const QSize &pageSize, int rotate, int maxRects);

    // The matches of query on a page, in page order, each as the rectangles
    // (page space: points, y upwards, origin where the document puts it)
    // that cover it line by line. At most maxHits matches and maxRects
    // rectangles, none past the page's first MaxPageChars characters
    // (contract.h); cut says something was left out.
    // frame is the page's, as pageFrame() gives it, when there are hits.
    struct TextHits {
        QList<QList<QRectF>> hits;
        bool cut = false;
        QTransform frame;
    };
    TextHits findOnPage(unsigned int index, const QString &query, bool matchCase, int maxHits, int maxRects);
    // Each page's text, once a search has read it, kept in a loose form
    // (compatibility-decomposed, case-folded, without spaces and hyphens) to
    // pass over pages that cannot hold a match without loading them again:
    // pdfium's own matching still decides every hit. At most this much is
    // kept, in UTF-16 units.
    static constexpr qsizetype MaxKeptTextUnits = qsizetype(32) * 1024 * 1024;
    // Reads the page's text into that form ahead of a search, unless it is
    // kept already; false once what is kept has reached the bound (nothing
    // more is read then) or the page cannot be read.
    bool keepTextOf(unsigned int index);
    // What is kept, in UTF-16 units, and the bound (MaxKeptTextUnits unless
    // lowered).
    qsizetype keptTextUnits() const { return m_searchableUnits; }
    qsizetype keptTextBound() const { return m_keptTextBound; }
    void setKeptTextBound(qsizetype units) { m_keptTextBound = qBound<qsizetype>(0, units, MaxKeptTextUnits); }
    // How page space maps onto the page as a render lays it out unturned, in
    // points from its top left corner (the page's size as pageSize() gives
    // it): the same arithmetic as every render. Empty when the page cannot
    // be loaded.
    std::optional<QTransform> pageFrame(unsigned int index);

    // The text between two points of a page (page space), character by
    // character in the page's reading order, or with word the word at the
    // first point: the characters' range, the rectangles that cover them
    // line by line and their text, at most maxText UTF-16 units of it and
    // none past the page's first MaxPageChars characters (cut says so).
    // frame is the page's, as pageFrame() gives it; empty when the page
    // cannot be loaded.
    struct TextSpan {
        int first = -1;
        int count = 0;
        QList<QRectF> rects;
        QString text;
        bool cut = false;
        std::optional<QTransform> frame;
    };
    TextSpan textBetween(unsigned int index, std::optional<QPointF> from, std::optional<QPointF> to, bool word,
                         int maxText);

    // A page's characters as a screen reader is told them: in pdfium's
    // order, one UTF-16 unit each, with each one's loose box in page space
    // (empty where pdfium gives none), at most maxChars of them (cut says
    // so). frame as for TextSpan.
    struct PageCharacters {
        QString text;
        QList<QRectF> boxes;
        bool cut = false;
        std::optional<QTransform> frame;
    };
    PageCharacters pageCharacters(unsigned int index, int maxChars);

    // A link of a page: the rectangles it covers (page space) and where it
    // leads. A page of this document, with the point on it where the
    // document names one (page space of that page); a web address or a file
    // (a launch too), as text; or somewhere else nothing is known of.
    struct PageLink {
        enum class Kind { Page, Web, File, Other };
        Kind kind = Kind::Other;
        QList<QRectF> rects;
        int page = -1;
        bool hasX = false;
        bool hasY = false;
        QPointF at;
        QString target;
        bool written = false; // an address written as text, not a link annotation
    };
    struct PageLinks {
        QList<PageLink> links;
        bool cut = false; // more than maxLinks, or a target longer than maxText
        std::optional<QTransform> frame; // as for TextSpan
    };
    PageLinks pageLinks(unsigned int index, int maxLinks, int maxText);

    bool readBookmarks(QStandardItem *root);
    void readBookmarksHelper(QStandardItem *parent, FPDF_BOOKMARK bookmark, int depth, bool &abort);

    // The outline a piece at a time, for a caller that answers other requests
    // between pieces: the entries from position first on, in the order
    // readBookmarks meets them and with what it reads of each, appended to
    // entries until maxEntries, maxUnits of title and tool tip, or the
    // deadline. The walk is kept for the next call; a first other than where
    // it stopped walks again from the start.
    struct OutlineEntry {
        int depth = 0;
        QString title;
        int pageIndex = -1;
        QString toolTip;
    };
    // Broken: an entry could not be read, as readBookmarks fails for it.
    enum class OutlineEnd { More, End, Broken };
    OutlineEnd readOutlinePiece(int first, int maxEntries, qsizetype maxUnits, const QDeadlineTimer &deadline,
                                QList<OutlineEntry> &entries);

    void readAnnotations(QList<int> &pages);

    QList<QList<QString>> metaData() const;
    // What a properties window shows of the loaded document, as pdfium
    // reads it: the information texts as stored, the dates as parsed
    // (invalid where absent or not a date), the version times ten (0 when
    // unknown), the first page's size in points (empty without pages), and
    // what a security handler forbids. Nothing is checked against the
    // record's bounds: a caller that sends it bounds it first.
    PropertiesRecord documentProperties();
    // The files the loaded document carries: from page 0 on, its name
    // tree's first; then those of file attachment annotations page by page
    // from firstPage on, until the deadline passes after a page or maxCount
    // are found. The page to go on from, -1 when every page was looked at.
    // Texts as stored: a caller that sends them bounds them.
    int attachments(int firstPage, int maxCount, const QDeadlineTimer &deadline, QList<AttachmentRecord> &found);
    // The decoded bytes of the file at page and index as attachments() lists
    // it; nothing when none is there, it cannot be decoded, or it decodes to
    // more than maxBytes.
    std::optional<QByteArray> attachmentFile(int page, int index, qint64 maxBytes);
    QSize pageSize(int index);
    // A signature as the loaded document stores it: its subfilter,
    // its contents as stored (empty and oversized past maxContents bytes),
    // its byte range's values (all of them, unless more than maxRange), its
    // /M time (invalid where none reads as a date) and its reason. Nothing is
    // believed here: a caller judges all of it.
    struct SignatureField {
        QString subFilter;
        QByteArray contents;
        bool oversized = false;
        QList<qint64> byteRange;
        int byteRangeValues = 0;
        QDateTime time;
        QString reason;
    };
    // The first maxCount signatures; total is how many the document has.
    QList<SignatureField> signatureFields(int maxCount, qint64 maxContents, int maxRange, int &total);
    // Where the document's revisions' trailers end, earliest first, at most
    // maxCount of them.
    QList<qint64> trailerEnds(int maxCount);
    // Bytes of the document's file from offset on, as pdfium reads them:
    // fewer at its end, -1 when they cannot be read.
    qint64 readFile(qint64 offset, char *buffer, qint64 length);
    qint64 fileSize() const { return m_file.size(); }
    QList<QSize> pageSizeAll();

private:
    // The form layer for drawing the annotations of a loaded page: opened the
    // first time such a page either belongs to a document that declares a
    // form or carries widgets itself (producers write filled fields without
    // a usable form dictionary, and pdfium draws widgets only through the
    // layer). Documents without widgets pay one walk over each page's
    // annotation types; users that never draw annotations pay nothing. Null
    // when no layer is wanted or it cannot be opened.
    FPDF_FORMHANDLE formHandleFor(FPDF_PAGE page, int index);
    FPDF_FORMHANDLE openFormLayer();
    // Whether the page carries widget annotations, walked once per page.
    bool pageHasWidgets(FPDF_PAGE page, int index);
    // The first step of loadFile; error lines name the caller's signature.
    bool openDocumentFile(const QString &path, const char *signature);
    // page() and renderInto(): every check and pdfium call of a render, into
    // the image target() gives once the page has loaded. Error lines name
    // the caller's signature, as if it had written them itself.
    bool render(const char *signature, unsigned int index, const QSize &size, bool annotations, int rotate,
                const std::function<QImage *()> &target, const QRect &placement = QRect());

    FPDF_FILEACCESS m_fileAccess;
    // pageFrame() for a page loaded already.
    std::optional<QTransform> frameOf(FPDF_PAGE page, unsigned int index);

    FPDF_DOCUMENT m_document = nullptr;
    QHash<int, QString> m_searchableText;
    QString m_searchedQuery;
    QString m_looseQuery;
    qsizetype m_searchableUnits = 0;
    qsizetype m_keptTextBound = MaxKeptTextUnits;
    void keepLooseText(int index, FPDF_TEXTPAGE text, int chars);
    IFSDK_PAUSE *m_pause = nullptr;
    std::atomic<bool> m_quit{false};
    QString m_filePath;
    QString m_openedPath;
    QString m_password;
    ReadOnlyFile m_file;
    int m_pageCount = -1;
    Status m_status = NotLoaded;
    QLatin1String m_name;

    // pdfium keeps a pointer to the record for as long as the handle is open.
    std::unique_ptr<FPDF_FORMFILLINFO> m_formInfo;
    // Closed by hand before the document, which it holds on to.
    ScopedForm m_form;
    bool m_formTried = false;          // opening the layer was tried (it may have failed)
    int m_declaresForm = -1;           // FPDF_GetFormType said a form: 1, none: 0, not asked: -1
    QHash<int, bool> m_widgetPages;    // pages walked for widgets

    // One entry's title, page and tool tip; nothing when pdfium gives no
    // title, which fails the whole outline. Error lines name the caller's
    // signature.
    std::optional<OutlineEntry> readOutlineEntry(const char *signature, FPDF_BOOKMARK bookmark, int depth);
    // Whether a walk may read bookmark at depth: an entry met before or one
    // too deep ends its chain, with an error line in the caller's name.
    bool mayEnterOutline(const char *signature, FPDF_BOOKMARK bookmark, int depth, const QSet<FPDF_BOOKMARK> &visited);

    // The walk of readOutlinePiece: at each depth the next entry to read
    // there, null where that chain has ended; the entries met; and how many
    // were read. Forgotten with the document.
    struct OutlineCursor {
        std::vector<FPDF_BOOKMARK> next;
        QSet<FPDF_BOOKMARK> visited;
        int position = 0;
        bool started = false;
    };
    OutlineCursor m_outlineCursor;

    // Outline entries met during the walk in progress; a malformed outline
    // can link back to an entry already read. The walk is whatever the
    // outermost readBookmarksHelper call reads, so m_outlineNesting counts
    // the calls under way.
    QSet<FPDF_BOOKMARK> m_outlineVisited;
    int m_outlineNesting = 0;
};
