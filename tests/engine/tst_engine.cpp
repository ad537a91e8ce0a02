// The engine in this process, where the pdfium calls it makes can be
// watched: the library's and the document's life, loading, the annotation
// scan, page renders, the outline walk, information rows and page sizes; and
// rendered pages through the reply record's PNG.

#include "contract.h"
#include "enginetest.h"
#include "records.h"
#include "pdfiumspy.h"
#include "pixels.h"
#include "previewsizes.h"

#include <algorithm>

#include <QStandardItem>

using enginetest::verifyLines;
using testsupport::fixture;
using testsupport::MessageCapture;
using Rows = QList<QList<QString>>;
using Sizes = QList<QSize>;

namespace {

// A prepared engine that has loaded file; the spy counts from there on.
std::unique_ptr<QPdfium> loaded(QLatin1String tag, const QString &file)
{
    auto engine = enginetest::engine(tag, file);
    pdfiumspy::reset();
    return engine;
}

// Pages of render.pdf, see tools/fixtures/fx_pages.py.
constexpr unsigned kAnnotatedPage = 0; // 200x200 pt
constexpr unsigned kSparsePage = 1;    // 200x200 pt, a grey square in the middle

// The fixed parts of the engine's debug lines and of page()'s error lines.
const QString kRenderDebug = enginetest::debugPrefix("render");
const QString kRenderError = QStringLiteral("^ERROR \\d+ \\S+ .*QPdfium::page\\([^)]*\\)");

// Runs work on a thread of its own that has been asked to quit.
void onQuittingThread(const std::function<void()> &work)
{
    std::unique_ptr<QThread> thread(QThread::create([&] {
        QThread::currentThread()->requestInterruption();
        work();
    }));
    thread->start();
    thread->wait();
}

// Whatever one render obtained from pdfium has been given back.
bool allReleased()
{
    const auto &c = pdfiumspy::counts();
    return pdfiumspy::openPages() == 0 && c.bitmapDestroy == c.bitmapCreate && c.renderClose == c.renderStart;
}

// One line per item, depth-first in document order:
// "depth|title|page", then "|tool tip" where there is one.
QStringList flatten(const QStandardItem *parent)
{
    QStringList out;
    for (int row = 0; row < parent->rowCount(); ++row) {
        const QStandardItem *item = parent->child(row);
        QString line = QStringLiteral("%1|%2|%3")
                           .arg(item->data(OutlineDepthRole).toInt())
                           .arg(item->data(OutlineTitleRole).toString())
                           .arg(item->data(OutlinePageRole).toInt());
        if (item->data(Qt::ToolTipRole).isValid())
            line += '|' + item->toolTip();
        out << line << flatten(item);
    }
    return out;
}

// The outline of outline.pdf (tools/fixtures/fx_outline.py) read whole.
const QStringList kFullOutline{
    "0|Chapter 1|0",
    "1|Section 1.1|1",
    "2|Subsection 1.1.1|2",
    "1||3",
    "0|Destination wins|2",
    "0|Missing page|-1",
    "0|Website|-1|URI: https://example.org/manual",
    "0|Launch|-1|REMOTE GOTO: notes.txt",
    "0|Other file|-1|REMOTE GOTO: other.pdf",
    "0|Script|-1",
    "0|Named|-1",
    "0|No target|-1",
    QStringLiteral("0|Überblick ✓|3"),
    "1|Appendix|0",
};

// The fixed parts of the engine's debug and error lines.
const QString kOutlineDebug = enginetest::debugPrefix("outline");
const QString kOutlineError = QStringLiteral("^ERROR \\d+ \\S+ .*readBookmarksHelper\\(.*\\) ");
const QString kUnsupported = kOutlineError + "Unsupported action type:  0$";

// An outline read: the tree read (or what a bounded read starts with) and
// every message. Title calls come in pairs, length then read, per entry in
// walk order: Chapter 1 makes calls 0 and 1, Section 1.1 calls 2 and 3.
// One of them may bring a quit request (-2: before the walk) or fail.
struct OutlineRead {
    QString file;
    QStringList tree;
    QStringList lines;
    int quitAt = -1;
    int failAt = -1;
};

// What the system locale makes of one instant; the engine must show the
// stored dates the same way.
QString longText(const QDateTime &when)
{
    return QLocale::system().toString(when, QLocale::LongFormat);
}

const QDateTime kPlusOne(QDate(2023, 1, 15), QTime(10, 30), Qt::OffsetFromUTC, 3600);
const QDateTime kUtc(QDate(2023, 1, 15), QTime(10, 30), Qt::UTC);
const QDateTime kLocal(QDate(2023, 1, 15), QTime(10, 30), Qt::LocalTime);

// The engine's debug line with the operation, its count and the time taken.
QString infoDebugLine(const char *operation, qsizetype count)
{
    return enginetest::debugPrefix("info") + QStringLiteral("%1 %2 \\d+ ms$").arg(operation).arg(count);
}

// An error line that ends at the function signature.
QString infoErrorLine(const QString &function)
{
    return "^ERROR \\d+ \\S*qpdfium_info\\.cpp .*" + QRegularExpression::escape(function) + '$';
}

QByteArray serialized(const PageRequest &request)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(ProtocolStreamVersion);
    out << request;
    return bytes;
}

} // namespace

Q_DECLARE_METATYPE(OutlineRead)

// The read under way, for the title filter.
static OutlineRead g_read;

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    // The library lives from the first prepared engine to the end of the last
    // one, and an open document is closed while the library is still there.
    void libraryLivesAsLongAsItsEngines()
    {
        const auto &c = pdfiumspy::counts();
        auto first = enginetest::engine(QLatin1String("first"));
        auto second = enginetest::engine(QLatin1String("second"), "sample.pdf");
        QCOMPARE(c.initLibrary, 1);
        first.reset();
        QCOMPARE(c.destroyLibrary, 0);
        second.reset();
        QCOMPARE(c.destroyLibrary, 1);
        QCOMPARE(c.closeDocument, 1);
        QVERIFY(c.lastCloseDocumentAt < c.lastDestroyLibraryAt);

        // A later engine starts the library again; one that never loaded
        // closes no document. Its debug lines name it, the thread and itself.
        MessageCapture capture;
        QString address;
        {
            QPdfium third(QLatin1String("[helper]"));
            address = QStringLiteral("0x%1").arg(reinterpret_cast<quintptr>(&third), 0, 16);
            third.prepare();
        }
        QCOMPARE(c.initLibrary, 2);
        QCOMPARE(c.destroyLibrary, 2);
        QCOMPARE(c.closeDocument, 1);
        const QString prefix = QRegularExpression::escape(QStringLiteral("[pdf] \"[helper]\" [pdfium] 0x%1 ")
                                   .arg(reinterpret_cast<quintptr>(QThread::currentThreadId()), 0, 16));
        verifyLines(capture.debugs(), {'^' + prefix + address + '$', '^' + prefix + "prepare locker$",
                                       '^' + prefix + "prepare locker done " + address + " \\d+$",
                                       '^' + prefix + "~ " + address + '$'});
        // An empty tag still prints, as an empty quoted string.
        capture.clear();
        QPdfium(QLatin1String("")).prepare();
        verifyLines(capture.debugs(), QStringList(4, enginetest::debugPrefix("")));
    }

    void loadOutcomes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status");
        QTest::newRow("plain") << "sample.pdf" << QString() << int(QPdfium::Success);
        QTest::newRow("rc4 right") << "encrypted-rc4.pdf" << "secret" << int(QPdfium::Success);
        QTest::newRow("rc4 wrong") << "encrypted-rc4.pdf" << "Secret" << int(QPdfium::PasswordError);
        QTest::newRow("rc4 empty") << "encrypted-rc4.pdf" << "" << int(QPdfium::PasswordError);
        QTest::newRow("aes256 non-ascii") << "encrypted-aes256.pdf" << QString::fromUtf8("pässwörd✓")
                                          << int(QPdfium::Success);
        QTest::newRow("no pages") << "no-pages.pdf" << QString() << int(QPdfium::Success);
        QTest::newRow("not a pdf") << "not-a-pdf.pdf" << QString() << int(QPdfium::FormatError);
        QTest::newRow("zero bytes") << "empty.pdf" << QString() << int(QPdfium::FormatError);
        QTest::newRow("truncated") << "truncated.pdf" << QString() << int(QPdfium::FormatError);
    }

    void loadOutcomes()
    {
        QFETCH(QString, file);
        QFETCH(QString, password);
        QFETCH(int, status);
        MessageCapture capture;
        auto engine = enginetest::engine(QLatin1String("load"));
        QCOMPARE(int(engine->loadFile(fixture(file), password)), status);
        QCOMPARE(engine->isLoaded(), status == QPdfium::Success);
        engine.reset();
        // Only a loaded document is there to close, and the library goes
        // cleanly with or without one.
        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.closeDocument, int(status == QPdfium::Success));
        QCOMPARE(c.destroyLibrary, 1);
        QVERIFY(capture.warnings().isEmpty());
    }

    void laterLoadsReplaceTheDocument()
    {
        const auto &c = pdfiumspy::counts();
        auto engine = enginetest::engine(QLatin1String("twice"), "sample.pdf");
        MessageCapture capture;
        QCOMPARE(engine->loadFile(fixture("plain.pdf"), QString()), QPdfium::Success);
        QCOMPARE(c.closeDocument, 1);
        const QString debug = enginetest::debugPrefix("twice");
        verifyLines(capture.debugs(), {debug + "load file locker$", debug + "load file locker done \\d+ false$"});

        // A load that fails at the file open never reaches pdfium and leaves
        // the engine unloaded.
        const QString path = fixture("does-not-exist.pdf");
        QCOMPARE(engine->loadFile(path, QString()), QPdfium::FileError);
        QVERIFY(!engine->isLoaded());
        QCOMPARE(c.loadCustomDocument, 2);
        verifyLines(capture.warnings(),
                    {QRegularExpression::escape(QStringLiteral("CreateFileW failed: \"%1\" error: 2").arg(path)) + '$',
                     "^ERROR \\d+ \\S*qpdfium\\.cpp "
                         + QRegularExpression::escape("QPdfium::Status QPdfium::loadFile(const QString&, const QString&)")
                         + '$'});
    }

    void scanListsPagesWithMarkupAfterWhatTheListHolds()
    {
        auto engine = loaded(QLatin1String("scan"), "annotations.pdf");
        QList<int> pages{42, -7};
        engine->readAnnotations(pages);
        // Text, free text, the drawing shapes, text markup and stamp/caret/ink
        // pages (0-13), a link followed by a highlight (15), a subtype pdfium
        // does not know (17) and several markup annotations (18, listed once).
        // Links only (14), pop-up and widget (16), no annotation (19) and
        // kinds from pop-up upwards (20) are not listed.
        QCOMPARE(pages, (QList<int>{42, -7, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 17, 18}));
        QCOMPARE(pdfiumspy::openPages(), 0);
        QCOMPARE(pdfiumspy::openAnnotations(), 0);
        QCOMPARE(pdfiumspy::counts().loadPage, engine->pageCount());
    }

    // pdfium is asked once, also when the answer is no pages at all.
    void pageCountIsAskedOnce()
    {
        for (const auto &[file, pages] : {std::pair{"annotations.pdf", 21}, std::pair{"no-pages.pdf", 0}}) {
            auto engine = loaded(QLatin1String("count"), file);
            QCOMPARE(engine->pageCount(), pages);
            QCOMPARE(engine->pageCount(), pages);
            QCOMPARE(pdfiumspy::counts().getPageCount, 1);
        }
    }

    void failuresGiveANullImageAndOneErrorLine_data()
    {
        QTest::addColumn<QString>("file"); // empty: never loaded
        QTest::addColumn<unsigned>("index");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("values"); // what the error line carries
        QTest::addColumn<int>("pagesLoaded");
        const QString render = QStringLiteral("render.pdf");
        QTest::newRow("index = page count") << render << 2u << QSize(100, 100) << " 2" << 0;
        // index, requested size, annotations flag, image size, page handle
        QTest::newRow("empty size") << render << 0u << QSize(0, 0)
                                    << " 0 QSize\\(0, 0\\) true QSize\\(0, 0\\) 0x[0-9a-f]+" << 1;
        QTest::newRow("negative width") << render << 0u << QSize(-5, 100)
                                        << " 0 QSize\\(-5, 100\\) true QSize\\(0, 0\\) 0x[0-9a-f]+" << 1;
        QTest::newRow("never loaded") << QString() << 0u << QSize(100, 100) << QString() << 0;
    }

    void failuresGiveANullImageAndOneErrorLine()
    {
        QFETCH(QString, file);
        QFETCH(unsigned, index);
        QFETCH(QSize, size);
        QFETCH(QString, values);
        QFETCH(int, pagesLoaded);
        auto engine = loaded(QLatin1String("render"), file);
        MessageCapture capture;
        QVERIFY(engine->page(index, size, true, 0).isNull());
        verifyLines(capture.matching(QString()), {kRenderError + values + "$"}); // lines of every type
        // Only what was obtained is given back; no render was started.
        QCOMPARE(pdfiumspy::counts().loadPage, pagesLoaded);
        QCOMPARE(pdfiumspy::counts().renderStart, 0);
        QVERIFY(allReleased());
        // The engine is unharmed: the next call renders.
        if (engine->isLoaded())
            QVERIFY(!engine->page(kAnnotatedPage, QSize(50, 50), false, 0).isNull());
    }

    // A tile is the same rectangle of the whole page drawn at once, with
    // text, annotations, form fields and every quarter turn, wherever the
    // grid cuts it (here across glyphs, at odd offsets and at the edges).
    void tilesAreThePagesOwnPixels_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("turns");
        for (const char *file : {"sample.pdf", "form-filled.pdf", "render.pdf"})
            for (int turns = 0; turns < 4; ++turns)
                QTest::addRow("%s, %d quarter turns", file, turns) << QString::fromLatin1(file) << turns;
    }

    void tilesAreThePagesOwnPixels()
    {
        QFETCH(QString, file);
        QFETCH(int, turns);
        auto engine = loaded(QLatin1String("render"), file);
        const QSize pageSize = turns % 2 ? QSize(905, 700) : QSize(700, 905);
        const QImage whole = engine->page(0, pageSize, true, turns);
        QVERIFY(!whole.isNull());
        testsupport::PixelDifference differs;
        constexpr int Side = 251; // not a divisor of either side
        for (int y = 0; y < pageSize.height(); y += Side) {
            for (int x = 0; x < pageSize.width(); x += Side) {
                const QRect rect = QRect(x, y, Side, Side).intersected(QRect(QPoint(0, 0), pageSize));
                const QImage tile = engine->tile(0, pageSize, rect, true, turns);
                QCOMPARE(tile.size(), rect.size());
                const auto here = testsupport::pixelDifference(tile, whole.copy(rect));
                differs = {differs.pixels + here.pixels, std::max(differs.worst, here.worst)};
            }
        }
        // Form fields differ by a level of 255 at most, in a few hundred
        // pixels; everything else is exact.
        QVERIFY2(differs.worst <= 2,
                 qPrintable(QStringLiteral("%1 pixels differ, by up to %2").arg(differs.pixels).arg(differs.worst)));
        if (file != QLatin1String("form-filled.pdf"))
            QCOMPARE(differs.pixels, 0);
        QCOMPARE(pdfiumspy::openPages(), 0);
    }

    // A tile outside its page, an empty one, or a page past the side bound is
    // refused before anything is drawn; a page far past the image bound is
    // not, as long as the tile is within it.
    void tilesTakeOnlyTilesOfThePage_data()
    {
        QTest::addColumn<QSize>("pageSize");
        QTest::addColumn<QRect>("tile");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("last corner") << QSize(700, 905) << QRect(600, 805, 100, 100) << true;
        QTest::newRow("page of 48 pixels a point") << QSize(29376, 38016) << QRect(20000, 30000, 1024, 1024) << true;
        QTest::newRow("page at the side bound") << QSize(200000, 1000) << QRect(199000, 0, 1000, 1000) << true;
        QTest::newRow("one pixel out") << QSize(700, 905) << QRect(601, 805, 100, 100) << false;
        QTest::newRow("negative corner") << QSize(700, 905) << QRect(-1, 0, 100, 100) << false;
        QTest::newRow("empty") << QSize(700, 905) << QRect(0, 0, 0, 10) << false;
        QTest::newRow("page past the side bound") << QSize(200001, 1000) << QRect(0, 0, 100, 100) << false;
        QTest::newRow("tile past the image bound") << QSize(20000, 20000) << QRect(0, 0, 9000, 9000) << false;
    }

    void tilesTakeOnlyTilesOfThePage()
    {
        QFETCH(QSize, pageSize);
        QFETCH(QRect, tile);
        QFETCH(bool, drawn);
        auto engine = loaded(QLatin1String("render"), QStringLiteral("sample.pdf"));
        MessageCapture capture;
        const QImage image = engine->tile(0, pageSize, tile, false, 0);
        QCOMPARE(!image.isNull(), drawn);
        if (drawn)
            QCOMPARE(image.size(), tile.size());
        else
            QCOMPARE(pdfiumspy::counts().renderStart, 0);
        QCOMPARE(pdfiumspy::openPages(), 0);
    }

    // Looking for widgets costs a document without any one walk over each
    // page's annotations, however often the page is drawn, and nothing when
    // annotations are not drawn.
    void widgetsAreLookedForOncePerPage()
    {
        auto engine = loaded(QLatin1String("render"), QStringLiteral("sample.pdf"));
        QVERIFY(!engine->page(0, QSize(100, 100), false, 0).isNull());
        QCOMPARE(pdfiumspy::counts().getAnnot, 0);
        QVERIFY(!engine->page(0, QSize(100, 100), true, 0).isNull());
        const int oneWalk = pdfiumspy::counts().getAnnot;
        QVERIFY(oneWalk > 0);
        for (int again = 0; again < 3; ++again)
            QVERIFY(!engine->page(0, QSize(100, 100), true, 0).isNull());
        QCOMPARE(pdfiumspy::counts().getAnnot, oneWalk);
        QCOMPARE(pdfiumspy::openAnnotations(), 0);
    }

    // Asked to quit, a scan stops before its first page, and a render before
    // it loads the page; the request belongs to the thread it was made on,
    // and this one's render gives back all it took.
    void quitRequestsStopScansAndRenders()
    {
        auto scan = loaded(QLatin1String("scan"), "annotations.pdf");
        MessageCapture capture;
        QList<int> pages{5};
        onQuittingThread([&] { scan->readAnnotations(pages); });
        QCOMPARE(pages, QList<int>{5});
        QCOMPARE(pdfiumspy::counts().loadPage, 0);
        const QString debug = enginetest::debugPrefix("scan") + "read annotation";
        verifyLines(capture.debugs(), {debug + '$', debug + " quitting$", debug + " done \\d+$"});

        auto engine = loaded(QLatin1String("render"), "render.pdf");
        capture.clear();
        QImage image;
        onQuittingThread([&] { image = engine->page(kSparsePage, QSize(400, 400), false, 0); });
        QVERIFY(image.isNull());
        verifyLines(capture.matching(QString()), {kRenderDebug + "early quit for page render 1$"}); // lines of every type
        QCOMPARE(pdfiumspy::counts().loadPage, 0);
        capture.clear();
        QVERIFY(!engine->page(kSparsePage, QSize(100, 100), false, 0).isNull());
        verifyLines(capture.matching(QString()), {kRenderDebug + "page render done 1 QSize\\(100, 100\\) ret: 2 elapsed: \\d+ ms$"});
        QVERIFY(allReleased());
    }

    // Text read ahead of any search leaves every search's pages as they
    // were, lets a search pass over pages without loading them, and stops
    // at its bound, after which the pages not kept are still searched.
    void textReadAheadKeepsSearchesAndItsBound()
    {
        const auto pagesWith = [](QPdfium &engine, const QString &query) {
            QList<int> pages;
            for (int page = 0; page < engine.pageCount(); ++page)
                if (!engine.findOnPage(unsigned(page), query, false, 100, 100).hits.isEmpty())
                    pages << page;
            return pages;
        };
        const QStringList queries{QStringLiteral("square"), QStringLiteral("Link, Highlight"),
                                  QStringLiteral("Page 1")};
        auto fresh = loaded(QLatin1String("fresh"), "annotations.pdf");
        QList<QList<int>> before;
        for (const QString &query : queries)
            before << pagesWith(*fresh, query);
        QCOMPARE(before.first(), (QList<int>{3, 18}));

        auto ahead = loaded(QLatin1String("ahead"), "annotations.pdf");
        for (int page = 0; page < ahead->pageCount(); ++page)
            QVERIFY(ahead->keepTextOf(unsigned(page)));
        QVERIFY(ahead->keptTextUnits() > 0);
        pdfiumspy::reset();
        QVERIFY(pagesWith(*ahead, QStringLiteral("nowhere at all")).isEmpty());
        QCOMPARE(pdfiumspy::counts().loadPage, 0);
        for (qsizetype n = 0; n < queries.size(); ++n)
            QCOMPARE(pagesWith(*ahead, queries[n]), before[n]);

        auto bounded = loaded(QLatin1String("bounded"), "annotations.pdf");
        bounded->setKeptTextBound(60);
        int kept = 0;
        while (kept < bounded->pageCount() && bounded->keepTextOf(unsigned(kept)))
            ++kept;
        QVERIFY2(kept > 1 && kept < bounded->pageCount(), qPrintable(QString::number(kept)));
        QVERIFY(bounded->keptTextUnits() >= 60 && bounded->keptTextUnits() < 90);
        QVERIFY(!bounded->keepTextOf(unsigned(kept)));
        for (qsizetype n = 0; n < queries.size(); ++n)
            QCOMPARE(pagesWith(*bounded, queries[n]), before[n]);
    }

    // A read is complete unless a quit request or a failed title stopped it:
    // a loop or excess depth costs only the entries past it.
    void reads_data()
    {
        QTest::addColumn<OutlineRead>("read");
        // Script and Named have actions pdfium cannot classify.
        QTest::newRow("every kind of entry") << OutlineRead{"outline.pdf", kFullOutline, {kUnsupported, kUnsupported}};
        // Section 1.1 fails: Chapter 1 keeps no children and the untitled
        // entry after Section 1.1 is not read; the top level goes on to its
        // end, but its entries no longer get their children.
        QStringList cutShort = kFullOutline;
        cutShort.removeLast();
        cutShort.remove(1, 3);
        QTest::newRow("nested title length") << OutlineRead{
            "outline.pdf", cutShort, {kOutlineError + "Failed to get bookmark title\\.$", kUnsupported, kUnsupported}, -1, 2};
        QTest::newRow("nested title read") << OutlineRead{
            "outline.pdf", cutShort, {kOutlineError + "Failed to read bookmark title\\.$", kUnsupported, kUnsupported}, -1, 3};
        const QString quitting = kOutlineDebug + "read bookmarks quitting$";
        QTest::newRow("quit before the walk") << OutlineRead{"outline.pdf", {}, {quitting}, -2};
        // The entry being read when the request comes is kept; its children
        // and the entries after it are not read.
        QTest::newRow("quit during the walk") << OutlineRead{
            "outline.pdf", {"0|Chapter 1|0"}, {quitting, kOutlineDebug + "read bookmarks quitting 2$"}, 0};
        QTest::newRow("siblings loop back")
            << OutlineRead{"outline-sibling-loop.pdf", {"0|A|0", "0|B|0", "0|C|0"}, {kOutlineError}};
        // The branch stops where it links back; the top level still ends
        // with the entry after it.
        QTest::newRow("child is an ancestor")
            << OutlineRead{"outline-child-loop.pdf", {"0|A|0", "1|B|0", "2|C|0", "0|After|0"}, {kOutlineError}};
        // Cut off far short of the document.
        QStringList deep;
        for (int level = 0; level < 5000; ++level)
            deep << QStringLiteral("%1|Level %1|0").arg(level);
        QTest::newRow("5000 levels") << OutlineRead{"outline-deep-5000.pdf", deep, {kOutlineError}};
    }

    void reads()
    {
        QFETCH(OutlineRead, read);
        g_read = read;
        auto engine = loaded(QLatin1String("outline"), read.file);
        // A failing length call answers 0, a failing read disagrees with it.
        pdfiumspy::counts().titleFilter = [](int call, unsigned long real) {
            if (call == g_read.quitAt)
                QThread::currentThread()->requestInterruption();
            return call != g_read.failAt ? real : call % 2 ? real + 2 : 0;
        };
        MessageCapture capture;
        QStandardItem root;
        bool complete = false;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            if (read.quitAt == -2)
                QThread::currentThread()->requestInterruption();
            complete = engine->readBookmarks(&root);
        }));
        thread->start();
        thread->wait();
        QCOMPARE(complete, read.quitAt == -1 && read.failAt == -1);
        const QStringList items = flatten(&root);
        // A read cut short by depth still goes far deeper than real outlines do.
        QVERIFY2(items.size() >= qMin(read.tree.size(), qsizetype(100)), qPrintable(QString::number(items.size())));
        QCOMPARE(items, read.tree.mid(0, items.size()));
        enginetest::verifyLines(capture.matching(QString()), read.lines); // lines of every type
    }

    // Read in pieces, each from where the last stopped, the outline is what
    // one walk reads and ends where it does, however small the pieces or
    // short the time; a caller that lost its place gets what it asks for,
    // and a title that cannot be read breaks the outline.
    void piecesReadWhatOneWalkReads_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("pieceSize");
        QTest::addColumn<bool>("outOfTime");
        QTest::newRow("every kind of entry, one a piece") << "outline.pdf" << 1 << false;
        QTest::newRow("every kind of entry, out of time") << "outline.pdf" << 2000 << true;
        QTest::newRow("siblings loop back") << "outline-sibling-loop.pdf" << 2 << false;
        QTest::newRow("child is an ancestor") << "outline-child-loop.pdf" << 3 << false;
        QTest::newRow("5000 levels") << "outline-deep-5000.pdf" << 7 << false;
    }

    void piecesReadWhatOneWalkReads()
    {
        QFETCH(QString, file);
        QFETCH(int, pieceSize);
        QFETCH(bool, outOfTime);
        auto engine = loaded(QLatin1String("outline"), file);
        QStandardItem root;
        QVERIFY(engine->readBookmarks(&root));
        const QStringList whole = flatten(&root);
        const auto read = [&](int first, int count, QStringList &lines, bool timed = true) {
            QList<QPdfium::OutlineEntry> entries;
            const auto end = engine->readOutlinePiece(first, count, MaxOutlinePieceUnits,
                                                      QDeadlineTimer(outOfTime && timed ? 0 : -1), entries);
            for (const QPdfium::OutlineEntry &e : std::as_const(entries))
                lines << QStringLiteral("%1|%2|%3").arg(e.depth).arg(e.title).arg(e.pageIndex)
                        + (e.toolTip.isEmpty() ? QString() : '|' + e.toolTip);
            return std::make_pair(end, int(entries.size()));
        };
        QStringList pieces;
        auto [end, count] = std::make_pair(QPdfium::OutlineEnd::More, 0);
        for (int guard = 0; end == QPdfium::OutlineEnd::More && guard <= whole.size(); ++guard) {
            std::tie(end, count) = read(int(pieces.size()), pieceSize, pieces);
            QVERIFY(count <= (outOfTime ? 1 : pieceSize));
        }
        QCOMPARE(end, QPdfium::OutlineEnd::End);
        QCOMPARE(pieces, whole);
        QStringList lost;
        read(1, 2, lost);
        QCOMPARE(lost, whole.mid(1, outOfTime ? 1 : 2));

        g_read = OutlineRead{file, {}, {}, -1, pdfiumspy::counts().getTitle + 2};
        pdfiumspy::counts().titleFilter = [](int call, unsigned long real) { return call != g_read.failAt ? real : 0; };
        QStringList broken;
        QCOMPARE(read(0, 2000, broken, false).first, QPdfium::OutlineEnd::Broken);
    }

    void metaData_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<Rows>("expected");
        QTest::newRow("full, dates with offset and Z")
            << "info-full.pdf"
            << Rows{{"Title", "Quarterly report"}, {"Subject", "Numbers, mostly"}, {"Author", "Ada Lovelace"},
                    {"Keywords", QString::fromUtf8("Größe, Zahlen ✓")}, {"Producer", "pdfhelper fixtures"},
                    {"Creator", "make_fixtures.py"}, {"CreationDate", longText(kPlusOne)},
                    {"ModDate", longText(kUtc)}, {"File Version", "1.7"}};
        // A trailing blank stays; an ISO date is read as is; D:2023 keeps an empty row.
        QTest::newRow("odd values") << "info-odd.pdf"
                                    << Rows{{"Title", "Report "}, {"CreationDate", longText(kLocal)}, {"ModDate", ""},
                                            {"File Version", "1.7"}};
        QTest::newRow("blank entries") << "info-blank.pdf" << Rows{{"File Version", "1.7"}};
        QTest::newRow("version 1.4") << "version-1.4.pdf" << Rows{{"File Version", "1.4"}};
        QTest::newRow("version 2.0") << "version-2.0.pdf" << Rows{{"File Version", "2"}};
        QTest::newRow("not loaded") << "damaged.pdf" << Rows{};
    }

    void metaData()
    {
        QFETCH(QString, file);
        QFETCH(Rows, expected);
        // Offsets can only be told apart if the long format shows the zone, as
        // it does under the test environment's C locale.
        QVERIFY(longText(kPlusOne) != longText(kUtc));
        auto engine = enginetest::engine(QLatin1String("info"), file);
        MessageCapture capture;
        QCOMPARE(engine->metaData(), expected);
        enginetest::verifyLines(capture.matching(QString()), // lines of every type
                                {engine->isLoaded() ? infoDebugLine("metaData", expected.size())
                                                    : infoErrorLine("QPdfium::metaData() const")});
    }

    void pageSizes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("failAt");
        QTest::addColumn<Sizes>("expected");
        // The second page is 595.3 by 841.9 points.
        QTest::newRow("mixed") << "pagesize-mixed.pdf" << -1
                               << Sizes{{612, 792}, {595, 842}, {842, 595}, {200, 101}, {1191, 1684}};
        QTest::newRow("one page fails") << "pagesize-mixed.pdf" << 3
                                        << Sizes{{612, 792}, {595, 842}, {842, 595}, {1, 1}, {1191, 1684}};
        QTest::newRow("no pages") << "no-pages.pdf" << -1 << Sizes{};
    }

    void pageSizes()
    {
        QFETCH(QString, file);
        QFETCH(int, failAt);
        QFETCH(Sizes, expected);
        auto engine = enginetest::engine(QLatin1String("info"), file);
        pdfiumspy::counts().failPageSizeAt = failAt;
        MessageCapture capture;
        QCOMPARE(engine->pageSizeAll(), expected);
        enginetest::verifyLines(capture.debugs(), {infoDebugLine("pageSizeAll", expected.size())});
        enginetest::verifyLines(capture.warnings(), failAt < 0 ? QStringList() : QStringList{infoErrorLine("QPdfium::pageSizeAll()")});
    }

    // Each page of pagesize-hostile.pdf has one box no sane document has.
    // Whatever pdfium reads from it, both calls answer a positive size of at
    // most a million points a side; out of the pages, -1 by -1.
    void hostileBoxesGiveBoundedSizes()
    {
        auto engine = enginetest::engine(QLatin1String("info"), "pagesize-hostile.pdf");
        const Sizes expected{
            {595, 1000000}, // 2147483647 points high: past the range
            {612, 792},     // zero: pdfium falls back to Letter
            {595, 842},     // negative: pdfium normalises the box
            {612, 792},     // 40 digits: not a number pdfium takes
            {612, 792},     // names for numbers
            {1, 1000000},   // 0.3 by 999999.6: both ends of the range
        };
        QCOMPARE(engine->pageSizeAll(), expected);
        Sizes each;
        for (int index = 0; index < expected.size(); ++index)
            each << engine->pageSize(index);
        QCOMPARE(each, expected);
        QCOMPARE(engine->pageSize(-1), QSize());
        QCOMPARE(engine->pageSize(int(expected.size())), QSize());
    }

    // Representative pages (running text, a photograph, a table, drawn
    // annotations, filled form fields, and incompressible noise) at the sizes
    // a preview asks for come back through the reply record, and Qt's reader,
    // as the very image the engine rendered. The benchmarks sweep every page.
    void pagesComeBackEqual_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("page");
        QTest::addColumn<QSize>("size");
        const QList<QPair<QString, int>> pages{{"pages-mixed.pdf", 0}, {"pages-mixed.pdf", 1}, {"pages-mixed.pdf", 2},
                                               {"render.pdf", 0},      {"form-filled.pdf", 0}};
        for (const auto &[name, page] : pages)
            for (const PreviewPageSize &size : PreviewPageSizes)
                QTest::addRow("%s page %d, %s", qPrintable(name), page, size.name) << name << page << size.size;
        // Noise is the one page no filter helps, at a size that spans many
        // compressed blocks.
        QTest::newRow("noise") << "provider-noise.pdf" << 0 << QSize(1240, 1754);
    }

    void pagesComeBackEqual()
    {
        QFETCH(QString, name);
        QFETCH(int, page);
        QFETCH(QSize, size);
        testsupport::MessageCapture quiet;
        const auto engine = enginetest::engine(QLatin1String("png"), name);
        PageRequest reply;
        reply.image = engine->page(unsigned(page), size, true, 0);
        QVERIFY(!reply.image.isNull());
        QDataStream in(serialized(reply));
        in.setVersion(ProtocolStreamVersion);
        PageRequest back;
        in >> back;
        QVERIFY(in.status() == QDataStream::Ok && in.atEnd());
        QCOMPARE(back.image.dotsPerMeterX(), reply.image.dotsPerMeterX());
        QCOMPARE(back.image.dotsPerMeterY(), reply.image.dotsPerMeterY());
        QVERIFY(back.image == reply.image); // format included
    }
};

// The helper runs under a QCoreApplication, and an image's default
// resolution depends on that.
QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
