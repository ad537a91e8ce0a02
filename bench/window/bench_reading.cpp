// The window as a person reads in it, offscreen, with its helper:
//
//   bench_reading THOUSAND_PAGES.pdf BOOK.pdf [--rounds N]
//
// First, thumbnails: the window opens a 1,000-page document with the page
// thumbnails shown and without, alternating, N rounds each (11 by default).
// It prints the median time from the open to the first page on screen for
// both and the median of their paired ratios, the time until every thumbnail
// in view is in, and the window's peak resident memory while the panel then
// runs through the whole document, against the pages' cache budget and the
// thumbnails' bound (beyond what the window holds before any document).
// Then a book spread at fit page against the one column, stepped a screen
// every 200 ms (each step a glide) through BOOK.pdf: the longest the window's
// thread was busy in one go, read off a 2 ms timer's lateness, and how many
// stretches passed 16 ms (a frame at 60 Hz).

#include "benchutil.h"
#include "pageview.h"
#include "previewwindow.h"
#include "thumbnailpanel.h"

#include <QApplication>
#include <QEventLoop>
#include <QScrollBar>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

constexpr QSize WindowSize(1400, 950);
constexpr int WatchdogMsecs = 2;

struct Opening {
    double firstPageMs = -1;
    double thumbnailsMs = -1;
    qint64 peakKb = -1;
    qint64 mostKept = 0;
};

Opening openOnce(const QString &document, bool thumbnails)
{
    Opening figures;
    PreviewWindow window;
    window.setThumbnailsShown(thumbnails);
    window.resize(WindowSize);
    window.show();
    spinUntil([] { return false; }, 50);
    resetPeakMemory();
    bool shown = false;
    QObject::connect(&window, &PreviewWindow::firstPageShown, [&] { shown = true; });
    QElapsedTimer clock;
    clock.start();
    window.openFile(document);
    if (!spinUntil([&] { return shown; }, 30000))
        qFatal("no first page of %s", qPrintable(document));
    figures.firstPageMs = msSince(clock);
    if (thumbnails) {
        ThumbnailPanel *panel = window.thumbnails();
        if (!spinUntil([&] { return panel->thumbnailsInView(); }, 30000))
            qFatal("the thumbnails in view did not come");
        figures.thumbnailsMs = msSince(clock);
        // The panel through the whole document, a screen every 20 ms.
        QScrollBar *bar = panel->verticalScrollBar();
        while (bar->value() < bar->maximum()) {
            bar->setValue(bar->value() + bar->pageStep());
            spinUntil([&] { return panel->thumbnailsInView(); }, 2000);
            figures.mostKept = std::max(figures.mostKept, panel->keptBytes());
        }
    }
    figures.peakKb = memoryOf(QCoreApplication::applicationPid()).hwm;
    window.close();
    return figures;
}

struct Stalls {
    double longest = 0;
    int overFrame = 0;
    int screens = 0;
};

Stalls stepThrough(const QString &document, PageLayout::Arrangement arrangement, int most)
{
    Stalls stalls;
    PreviewWindow window;
    window.resize(WindowSize);
    window.show();
    bool shown = false;
    QObject::connect(&window, &PreviewWindow::firstPageShown, [&] { shown = true; });
    window.openFile(document);
    if (!spinUntil([&] { return shown; }, 30000))
        qFatal("no first page of %s", qPrintable(document));
    window.setArrangement(arrangement);
    PageView *view = window.pageView();
    view->setZoomMode(PageView::ZoomMode::FitPage);
    // From the top, wherever the run before left the document.
    view->scrollToPage(0);
    spinUntil([&] { return view->hasCurrentImage(view->currentPage()); }, 10000);
    QElapsedTimer beat;
    QTimer watchdog;
    watchdog.setTimerType(Qt::PreciseTimer);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        const double busy = msSince(beat) - WatchdogMsecs;
        stalls.longest = std::max(stalls.longest, busy);
        stalls.overFrame += busy > 16 ? 1 : 0;
        beat.start();
    });
    QScrollBar *bar = view->verticalScrollBar();
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        if (stalls.screens == most || view->scrollTarget() >= bar->maximum()) {
            pace.stop();
            return;
        }
        ++stalls.screens;
        view->stepScreens(1);
    });
    beat.start();
    watchdog.start(WatchdogMsecs);
    pace.start(200);
    spinUntil([&] { return !pace.isActive(); }, most * 200 * 4 + 5000);
    watchdog.stop();
    window.close();
    return stalls;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("pdfhelper"));
    QApplication::setApplicationName(QStringLiteral("pdfpreview"));
    qInstallMessageHandler(warningsOnly);
    const QStringList args = app.arguments();
    QStringList documents;
    int rounds = 11;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            rounds = std::max(1, args[++i].toInt());
        else
            documents << args[i];
    }
    if (documents.size() != 2) {
        std::fprintf(stderr, "usage: bench_reading THOUSAND_PAGES.pdf BOOK.pdf [--rounds N]\n");
        return 2;
    }
    const qint64 baseKb = memoryOf(QCoreApplication::applicationPid()).rss;
    // One round to warm the caches of the file system and of the fonts.
    openOnce(documents[0], false);
    std::vector<double> without, with, thumbnails, ratios;
    qint64 peakWithout = 0, peakWith = 0, mostKept = 0;
    for (int round = 0; round < rounds; ++round) {
        const Opening off = openOnce(documents[0], false);
        const Opening on = openOnce(documents[0], true);
        ratios.push_back(on.firstPageMs / off.firstPageMs);
        without.push_back(off.firstPageMs);
        with.push_back(on.firstPageMs);
        thumbnails.push_back(on.thumbnailsMs);
        peakWithout = std::max(peakWithout, off.peakKb);
        peakWith = std::max(peakWith, on.peakKb);
        mostKept = std::max(mostKept, on.mostKept);
    }
    std::printf("%s, window %dx%d, %d rounds alternating; window before any document %lld MB\n\n",
                qPrintable(documents[0]), WindowSize.width(), WindowSize.height(), rounds, baseKb / 1024);
    std::printf("%-22s %12s %12s\n", "", "no panel", "thumbnails");
    std::printf("%-22s %9.1f ms %9.1f ms   (median of paired ratios %.2f)\n", "first page, median", median(without),
                median(with), median(ratios));
    std::printf("%-22s %12s %9.1f ms\n", "thumbnails in view", "-", median(thumbnails));
    std::printf("%-22s %9lld MB %9lld MB\n", "window peak", peakWithout / 1024, peakWith / 1024);
    std::printf("%-22s %12s %9lld MB   (bound %lld MB)\n", "thumbnails kept, most", "-", mostKept >> 20,
                ThumbnailPanel::DefaultBudget >> 20);
    std::printf("%-22s %9lld MB   (page cache %lld MB + thumbnails %lld MB over the window before)\n", "budget",
                (baseKb + ((PageView::DefaultCacheBudget + ThumbnailPanel::DefaultBudget) >> 10)) / 1024,
                PageView::DefaultCacheBudget >> 20, ThumbnailPanel::DefaultBudget >> 20);

    std::printf("\n%s at fit page, a screen every 200 ms, each a glide\n", qPrintable(documents[1]));
    std::printf("%-12s %8s %14s %16s\n", "layout", "screens", "longest busy", "stretches > 16 ms");
    const struct {
        const char *name;
        PageLayout::Arrangement arrangement;
    } layouts[] = {{"column", PageLayout::Arrangement::Column}, {"book", PageLayout::Arrangement::Book}};
    for (const auto &layout : layouts) {
        const Stalls stalls = stepThrough(documents[1], layout.arrangement, 40);
        std::printf("%-12s %8d %11.1f ms %16d\n", layout.name, stalls.screens, stalls.longest, stalls.overFrame);
    }
    return 0;
}
