// pdfpreview: a preview window for PDF files, drawn by pdfhelper processes.

#include "fileargument.h"
#include "neighbourprefetcher.h"
#include "pagelayout.h"
#include "pageview.h"
#include "previewwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>
#include <QScrollBar>
#include <QTimer>

#include <cstdio>
#include <optional>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("pdfhelper"));
    QApplication::setApplicationName(QStringLiteral("pdfpreview"));
    QApplication::setApplicationVersion(QStringLiteral(PDFHELPER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Shows a PDF file. Pages are drawn by pdfhelper processes, so a "
                                                    "damaged file can take only its helper down."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("The PDF file to show: a path or a file:// address, either with "
                                                "#page=N to open at page N."));
    parser.addOptions({
        {QStringLiteral("password"), QStringLiteral("Password of the document."), QStringLiteral("P")},
        {QStringLiteral("page"), QStringLiteral("Open at page N, counted from 1 (default: where it was left)."),
         QStringLiteral("N")},
        {QStringLiteral("helper"), QStringLiteral("The pdfhelper executable to run."), QStringLiteral("PATH")},
        {QStringLiteral("size"), QStringLiteral("Window size, such as 1000x800."), QStringLiteral("WxH")},
        {QStringLiteral("ahead"),
         QStringLiteral("Helpers started ahead for the neighbouring files (2; 0 turns this off)."), QStringLiteral("N"),
         QStringLiteral("2")},
        {QStringLiteral("cache-mb"),
         QStringLiteral("Memory the drawn pages may keep, in MiB (384; pages in view are always kept)."),
         QStringLiteral("MB"), QStringLiteral("384")},
        {QStringLiteral("zoom"), QStringLiteral("Zoom in pixels a point, 0.05 to 48 (default: fit width)."),
         QStringLiteral("Z")},
        {QStringLiteral("scroll"),
         QStringLiteral("Scroll the pages to X,Y (logical pixels from the top left) once shown."),
         QStringLiteral("X,Y")},
        {QStringLiteral("colours"),
         QStringLiteral("Page colours: normal, inverted, night or sepia (default: as last time)."),
         QStringLiteral("COLOURS")},
        {QStringLiteral("present"), QStringLiteral("Start as a presentation (F5; Escape ends it).")},
        {QStringLiteral("find"), QStringLiteral("Search for the text once the first page is shown."),
         QStringLiteral("TEXT")},
        {QStringLiteral("screenshot"),
         QStringLiteral("Save the window to a PNG once the first page is shown, then quit."),
         QStringLiteral("OUT.png")},
    });
    parser.process(app);
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1) {
        std::fprintf(stderr, "pdfpreview: expected one PDF file; see --help\n");
        return 1;
    }

    const FileArgument file = fileArgument(files.first());
    if (file.path.isEmpty()) {
        std::fprintf(stderr, "pdfpreview: %s is not a local file\n", qPrintable(files.first()));
        return 1;
    }
    PreviewWindow::StartChoices start;
    start.page = file.page;
    if (parser.isSet(QStringLiteral("page"))) {
        bool ok = false;
        const int page = parser.value(QStringLiteral("page")).toInt(&ok);
        if (!ok || page < 1) {
            std::fprintf(stderr, "pdfpreview: --page takes a page number, 1 or more\n");
            return 1;
        }
        start.page = page - 1;
    }
    start.zoom = parser.isSet(QStringLiteral("zoom"));
    start.colours = parser.isSet(QStringLiteral("colours"));

    PreviewWindow window;
    window.setStartChoices(start);
    if (parser.isSet(QStringLiteral("helper")))
        window.setHelperProgram(parser.value(QStringLiteral("helper")));
    bool budgetGiven = false;
    const int cacheMb = parser.value(QStringLiteral("cache-mb")).toInt(&budgetGiven);
    if (!budgetGiven || cacheMb < 1 || cacheMb > 1024 * 1024) {
        std::fprintf(stderr, "pdfpreview: --cache-mb takes MiB, 1 or more\n");
        return 1;
    }
    window.pageView()->setCacheBudget(qint64(cacheMb) * 1024 * 1024);
    if (parser.isSet(QStringLiteral("zoom"))) {
        bool ok = false;
        const double zoom = parser.value(QStringLiteral("zoom")).toDouble(&ok);
        if (!ok || !(zoom >= PageLayout::MinZoom && zoom <= PageLayout::MaxZoom)) {
            std::fprintf(stderr, "pdfpreview: --zoom takes pixels a point, 0.05 to 48\n");
            return 1;
        }
        window.pageView()->setZoom(zoom);
    }
    if (parser.isSet(QStringLiteral("colours"))) {
        const QStringList names{QStringLiteral("normal"), QStringLiteral("inverted"), QStringLiteral("night"),
                                QStringLiteral("sepia")};
        const int chosen = int(names.indexOf(parser.value(QStringLiteral("colours"))));
        if (chosen < 0) {
            std::fprintf(stderr, "pdfpreview: --colours takes normal, inverted, night or sepia\n");
            return 1;
        }
        window.setColours(pageColoursFrom(chosen));
    }
    window.prefetcher()->setAhead(qBound(0, parser.value(QStringLiteral("ahead")).toInt(), 8));
    const QStringList size = parser.value(QStringLiteral("size")).split(QLatin1Char('x'));
    if (size.size() == 2 && size.at(0).toInt() > 0 && size.at(1).toInt() > 0)
        window.resize(size.at(0).toInt(), size.at(1).toInt());
    if (parser.isSet(QStringLiteral("screenshot"))) {
        const QString out = parser.value(QStringLiteral("screenshot"));
        QObject::connect(&window, &PreviewWindow::firstPageShown, &app, [&window, out] {
            // Once the tiles in view are in too (at high zoom), and one more
            // turn of the event loop, so that they are painted.
            auto *tilesIn = new QTimer(&window);
            QObject::connect(tilesIn, &QTimer::timeout, &window, [&window, out, tilesIn] {
                if (!window.pageView()->visibleTilesIn())
                    return;
                tilesIn->stop();
                QTimer::singleShot(200, &window, [&window, out] {
                    const bool saved = window.grab().save(out, "PNG");
                    std::fprintf(saved ? stdout : stderr, saved ? "%s\n" : "pdfpreview: cannot write %s\n",
                                 qPrintable(out));
                    QCoreApplication::exit(saved ? 0 : 1);
                });
            });
            tilesIn->start(20);
        });
        // A document that never shows a page must not keep the run waiting.
        QTimer::singleShot(60000, &app, [] {
            std::fprintf(stderr, "pdfpreview: no page was shown within 60 s\n");
            QCoreApplication::exit(2);
        });
    }
    const QStringList scroll = parser.value(QStringLiteral("scroll")).split(QLatin1Char(','));
    if (scroll.size() == 2) {
        const QPoint to(scroll.at(0).toInt(), scroll.at(1).toInt());
        QObject::connect(&window, &PreviewWindow::firstPageShown, &window, [&window, to] {
            window.pageView()->horizontalScrollBar()->setValue(to.x());
            window.pageView()->verticalScrollBar()->setValue(to.y());
        });
    }
    if (parser.isSet(QStringLiteral("find"))) {
        const QString query = parser.value(QStringLiteral("find"));
        QObject::connect(&window, &PreviewWindow::firstPageShown, &window, [&window, query] { window.find(query); });
    }
    window.show();
    if (parser.isSet(QStringLiteral("present")))
        window.setPresenting(true);
    window.openFile(file.path,
                    parser.value(QStringLiteral("password")).isEmpty() ? QString()
                                                                       : parser.value(QStringLiteral("password")));
    return app.exec();
}
