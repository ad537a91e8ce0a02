// The window's view and document, offscreen, scrolled through a document at
// a steady pace, one screen every 100 ms, as a person reading quickly would:
// at fit width (the page 1240 pixels wide), then at 4 and at 32 pixels a
// point, where pages come as tiles.
//
//   bench_window DOCUMENT.pdf [--screens N] [--cache-mb N] [--helper PROGRAM]
//
// (--helper: another helper, such as one built without the shared area, whose
// pages come as PNG.)
// For each zoom it prints, for whole pages and for tiles apart: how many
// entered the view, how many left it before their image was painted, the
// median and 95th percentile milliseconds from entering the view to being
// painted, and the same pdfium work done in this process (the document loaded
// once, each page or tile of the same size drawn into a fresh image); the
// longest the window's thread was busy in one go, read off a 2 ms timer's
// lateness; the peak resident memory of the window (this process, with the
// shared areas it maps) and of its helper, and the most the view's cache held;
// then mutool's and pdftoppm's time a page at fit width (to PNG files, as
// whole processes over the document).
// The first screen is waited for before the clock runs: the helper's start is
// another benchmark's figure. Last, what the tile threshold trades: the first
// page drawn whole at widths from 1,024 to 8,192 pixels against one tile of
// it, in this process.

#include "benchutil.h"
#include "contract.h"
#include "pageview.h"
#include "previewdocument.h"
#include "qpdfium.h"
#include "renderplan.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QScrollBar>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <optional>

namespace {

constexpr int StepMsecs = 100;
constexpr int WatchdogMsecs = 2;
constexpr QSize Viewport(1240, 900);

struct Options {
    QString document;
    int maxScreens = 150;
    qint64 cacheBytes = PageView::DefaultCacheBudget;
    QString helper;
};

// One page or tile that entered the view.
struct Seen {
    PageView::Piece piece;
    QElapsedTimer entered;
    std::optional<double> paintedAfter;
};

struct Figures {
    QString zoom;
    std::vector<Seen> pages;
    std::vector<Seen> tiles;
    int screens = 0;
    double longestBusy = 0;
    qint64 windowPeakKb = -1;
    qint64 helperPeakKb = -1;
    qint64 mostCached = 0;
};

QString keyOf(const PageView::Piece &piece)
{
    return QStringLiteral("%1 %2 %3 %4 %5").arg(piece.page).arg(piece.tile.x()).arg(piece.tile.y())
        .arg(piece.pageSize.width()).arg(piece.pageSize.height());
}

// Watches the view's paints: a piece in view is painted by the first paint
// after its image came in.
class PaintWatch : public QObject
{
public:
    PaintWatch(PageView *view, Figures *figures)
        : m_view(view), m_figures(figures)
    {
        view->viewport()->installEventFilter(this);
    }

    // The pieces in view now: new ones start their clock, those gone unpainted stay unpainted.
    void looked()
    {
        QHash<QString, size_t> now;
        for (const PageView::Piece &piece : m_view->piecesInView()) {
            const QString key = keyOf(piece);
            if (const auto it = m_inView.constFind(key); it != m_inView.cend()) {
                now.insert(key, *it);
                continue;
            }
            std::vector<Seen> &list = piece.tile.isNull() ? m_figures->pages : m_figures->tiles;
            list.push_back(Seen{piece, {}, {}});
            list.back().entered.start();
            now.insert(key, list.size() - 1 + (piece.tile.isNull() ? 0 : TileMark));
        }
        m_inView = now;
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Paint)
            return false;
        for (const PageView::Piece &piece : m_view->piecesInView()) {
            const auto it = m_inView.constFind(keyOf(piece));
            if (!piece.in || it == m_inView.cend())
                continue;
            Seen &seen = *it >= TileMark ? m_figures->tiles[*it - TileMark] : m_figures->pages[*it];
            if (!seen.paintedAfter) {
                seen.paintedAfter = msSince(seen.entered);
            }
        }
        return false;
    }

private:
    static constexpr size_t TileMark = size_t(1) << 40;
    PageView *m_view;
    Figures *m_figures;
    QHash<QString, size_t> m_inView;
};

Figures scroll(const Options &options, const QString &name, double zoom)
{
    Figures figures;
    figures.zoom = name;
    resetPeakMemory();

    PreviewDocument document;
    if (!options.helper.isEmpty())
        document.setHelperProgram(options.helper);
    PageView view;
    view.setDocument(&document);
    view.setCacheBudget(options.cacheBytes);
    QObject::connect(&document, &PreviewDocument::opened, &view, &PageView::setPageSizes);
    QObject::connect(&document, &PreviewDocument::failed, [](PreviewDocument::Problem, const QString &message) {
        qFatal("the document failed: %s", qPrintable(message));
    });
    const int scrollBar = view.verticalScrollBar()->sizeHint().width();
    view.resize(Viewport.width() + scrollBar + 2 * view.frameWidth() + 2 * PageLayout::Spacing,
                Viewport.height() + 2 * view.frameWidth());
    view.show();
    document.open(options.document);
    if (!spinUntil([&] { return document.isReady() && view.pageCount() > 0; }, 60000))
        qFatal("the helper did not open %s", qPrintable(options.document));
    if (zoom > 0) {
        view.setZoom(zoom);
    } else {
        // Fit width, to exactly the page width wanted.
        for (int i = 0; i < 3; ++i) {
            const int wide = view.renderSizeFor(document.pageSizes().value(0)).width();
            view.resize(view.width() + Viewport.width() - wide, view.height());
            QCoreApplication::processEvents();
        }
    }
    view.scrollToPage(0);
    const auto screenIn = [&] {
        const QList<PageView::Piece> pieces = view.piecesInView();
        return std::all_of(pieces.cbegin(), pieces.cend(), [](const PageView::Piece &p) { return p.in; });
    };
    if (!spinUntil(screenIn, 60000))
        qFatal("the first screen did not come");

    PaintWatch watch(&view, &figures);
    QElapsedTimer beat;
    QTimer watchdog;
    watchdog.setTimerType(Qt::PreciseTimer);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        figures.longestBusy = std::max(figures.longestBusy, msSince(beat) - WatchdogMsecs);
        beat.start();
    });
    QScrollBar *bar = view.verticalScrollBar();
    const int screens = std::min(options.maxScreens, bar->maximum() / std::max(1, bar->pageStep()) + 1);
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        if (figures.screens == screens) {
            pace.stop();
            return;
        }
        ++figures.screens;
        bar->setValue(bar->value() + bar->pageStep());
        watch.looked();
        figures.mostCached = std::max(figures.mostCached, view.cachedBytes());
    });
    watch.looked();
    beat.start();
    watchdog.start(WatchdogMsecs);
    pace.start(StepMsecs);
    spinUntil([&] { return !pace.isActive(); }, (screens + 10) * StepMsecs * 4);
    // What is in view at the end gets its time to come.
    spinUntil(screenIn, 10000);
    watchdog.stop();
    figures.windowPeakKb = memoryOf(QCoreApplication::applicationPid()).hwm;
    figures.helperPeakKb = memoryOf(document.helperProcessId()).hwm;
    document.close();
    return figures;
}

// The same pdfium work in this process: each piece drawn once into a fresh image.
std::vector<double> floorOf(QPdfium &engine, const std::vector<Seen> &seen, int most)
{
    std::vector<double> times;
    for (size_t i = 0; i < seen.size() && int(times.size()) < most; ++i) {
        const PageView::Piece &piece = seen[i].piece;
        QElapsedTimer timer;
        timer.start();
        const QImage image = piece.tile.isNull()
            ? engine.page(unsigned(piece.page), piece.pageSize, true, 0)
            : engine.tile(unsigned(piece.page), piece.pageSize, piece.tile, true, 0);
        if (image.isNull())
            qFatal("page %d did not draw in this process", piece.page);
        times.push_back(msSince(timer));
    }
    return times;
}

void printRow(const QString &zoom, const char *kind, const std::vector<Seen> &seen, const std::vector<double> &floor)
{
    if (seen.empty())
        return;
    std::vector<double> painted;
    for (const Seen &s : seen)
        if (s.paintedAfter)
            painted.push_back(*s.paintedAfter);
    const double med = median(painted);
    const double floorMed = median(floor);
    std::printf("%-10s %-6s %7zu %6zu %9.1f %9.1f %9.1f %9.1f %7.2f\n", qPrintable(zoom), kind, seen.size(),
                seen.size() - painted.size(), med, percentile(painted, 95), floorMed, percentile(floor, 95),
                floorMed > 0 ? med / floorMed : 0.0);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(warningsOnly);
    Options options;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--screens") && i + 1 < args.size())
            options.maxScreens = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--cache-mb") && i + 1 < args.size())
            options.cacheBytes = qint64(std::max(0, args[++i].toInt())) * 1024 * 1024;
        else if (args[i] == QLatin1String("--helper") && i + 1 < args.size())
            options.helper = args[++i];
        else
            options.document = args[i];
    }
    if (options.document.isEmpty()) {
        std::fprintf(stderr, "usage: bench_window DOCUMENT.pdf [--screens N] [--cache-mb N] [--helper PROGRAM]\n");
        return 2;
    }

    const qint64 baseKb = memoryOf(QCoreApplication::applicationPid()).rss;
    std::vector<Figures> runs;
    runs.push_back(scroll(options, QStringLiteral("fit width"), 0));
    runs.push_back(scroll(options, QStringLiteral("4 px/pt"), 4));
    runs.push_back(scroll(options, QStringLiteral("32 px/pt"), 32));

    QPdfium engine{QLatin1String("bench")};
    engine.prepare();
    if (engine.loadFile(options.document, QString()) != QPdfium::Success)
        qFatal("cannot load %s", qPrintable(options.document));
    // Enough of each for a median without the floor taking minutes.
    constexpr int FloorSamples = 120;

    std::printf("%s, one screen (%dx%d) every %d ms, cache budget %lld MiB; window before any document %lld MB\n\n",
                qPrintable(options.document), Viewport.width(), Viewport.height(), StepMsecs,
                options.cacheBytes >> 20, baseKb / 1024);
    std::printf("%-10s %-6s %7s %6s %9s %9s %9s %9s %7s\n", "zoom", "piece", "entered", "missed", "median", "p95",
                "floor", "floor p95", "x floor");
    for (const Figures &run : runs) {
        printRow(run.zoom, "pages", run.pages, floorOf(engine, run.pages, FloorSamples));
        printRow(run.zoom, "tiles", run.tiles, floorOf(engine, run.tiles, FloorSamples));
    }
    std::printf("\n%-10s %7s %12s %14s %14s %12s\n", "zoom", "screens", "longest busy", "window peak MB",
                "helper peak MB", "cache max MB");
    for (const Figures &run : runs)
        std::printf("%-10s %7d %9.1f ms %14lld %14lld %12lld\n", qPrintable(run.zoom), run.screens, run.longestBusy,
                    run.windowPeakKb / 1024, run.helperPeakKb / 1024, run.mostCached >> 20);
    // The same pages at fit width by the usual tools, whole processes over
    // the document, per page.
    if (!runs.front().pages.empty()) {
        const QSize fit = runs.front().pages.front().piece.pageSize;
        const int pages = int(engine.pageCount());
        std::printf("\nfit width pages (%dx%d) by other renderers, ms a page: mutool %.1f, pdftoppm %.1f\n",
                    fit.width(), fit.height(), mutoolPerPage(options.document, fit, pages),
                    pdftoppmPerPage(options.document, fit, pages));
    }
    std::printf("\n%-12s %10s %12s %12s\n", "page width", "whole MB", "whole ms", "tile ms");
    const QSize points = engine.pageSizeAll().value(0);
    for (const int width : {1024, 1448, 2048, 2896, 4096, 5793, 8192}) {
        const QSize whole(width, int(std::lround(double(width) * points.height() / std::max(1, points.width()))));
        std::vector<double> wholeTimes;
        std::vector<double> tileTimes;
        for (int run = 0; run < 5 && fitsImageBound(whole); ++run) {
            QElapsedTimer timer;
            timer.start();
            if (engine.page(0, whole, true, 0).isNull())
                break;
            wholeTimes.push_back(msSince(timer));
            timer.start();
            const QRect tile = QRect(QPoint(whole.width() / 2, whole.height() / 2), QSize(TilePlan::TileSide, TilePlan::TileSide))
                                   .intersected(QRect(QPoint(), whole));
            if (engine.tile(0, whole, tile, true, 0).isNull())
                break;
            tileTimes.push_back(msSince(timer));
        }
        const double megabytes = double(whole.width()) * whole.height() * 4 / 1048576;
        if (wholeTimes.empty())
            std::printf("%-12d %10.1f %12s %12s\n", width, megabytes, "over bound", "-");
        else
            std::printf("%-12d %10.1f %12.1f %12.1f\n", width, megabytes, median(wholeTimes), median(tileTimes));
    }
    return 0;
}
