// Searching a long document for a word on its last page, as a person who
// presses Ctrl+F in the window would have it: through a warm helper (started,
// connected, the document loaded), against the same pdfium search done in
// this process, and against pdftotext and mutool piped into grep, timed as
// whole processes, the way a person runs them.
//
//   bench_search DOCUMENT.pdf WORD [RUNS]
//
// Figures are in milliseconds: the first search of each (the engine reads
// every page's text), then the median of RUNS later ones (5 by default),
// where the helper and the engine in this process pass over pages whose
// text they have read and that cannot hold the word.
// Then the text read ahead, over fresh helpers, alternating with and without
// it: the time from the start to the first page drawn, and a first search
// after 2 s idle, against pdftotext | grep; and 100 tiles asked while the
// text is being read, each just after a quiet moment has started a turn
// of the reading, as the 95th percentile of their replies.

#include "benchutil.h"
#include "contract.h"
#include "helpersession.h"
#include "qpdfium.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

using pdfpreview::HelperSession;

namespace {

// One search through the helper, from the first page to the last reply.
double throughHelper(HelperSession &session, const QString &word, int *hitsFound)
{
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    int hits = 0;
    quint64 id = 0;
    const auto connection = QObject::connect(session.connection(), &pdfpreview::HelperConnection::searchReplied, &loop,
                                             [&](const SearchReplyRecord &reply) {
        if (reply.token != id)
            return;
        hits += int(reply.hits.size());
        if (reply.done)
            loop.quit();
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    id = session.connection()->sendSearchRequest(word, false, 0);
    loop.exec();
    QObject::disconnect(connection);
    *hitsFound = hits;
    return msSince(timer);
}

double inProcess(QPdfium &engine, const QString &word, int *hitsFound)
{
    QElapsedTimer timer;
    timer.start();
    int hits = 0;
    const int pages = engine.pageCount();
    for (int page = 0; page < pages; ++page)
        hits += int(engine.findOnPage(unsigned(page), word, false, MaxSearchHits, MaxSearchRects).hits.size());
    *hitsFound = hits;
    return msSince(timer);
}

// A shell pipeline, timed whole; -1 when the tool is missing or finds nothing.
double pipeline(const QString &tool, const QString &command)
{
    if (QStandardPaths::findExecutable(tool).isEmpty())
        return -1;
    QProcess shell;
    shell.setStandardOutputFile(QProcess::nullDevice());
    shell.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (!shell.waitForFinished(600000) || shell.exitCode() != 0)
        return -1;
    return msSince(timer);
}

void spin(int msecs)
{
    QEventLoop loop;
    QTimer::singleShot(msecs, &loop, &QEventLoop::quit);
    loop.exec();
}

// The reply to one request, the clock started before it went.
double answered(pdfpreview::HelperConnection *connection, const std::function<quint64()> &send)
{
    QEventLoop loop;
    quint64 id = 0;
    const auto page = QObject::connect(connection, &pdfpreview::HelperConnection::renderReplied, &loop,
                                       [&](const PageRequest &reply) {
        if (reply.token == id)
            loop.quit();
    });
    const auto piece = QObject::connect(connection, &pdfpreview::HelperConnection::tileReplied, &loop,
                                        [&](const TileRecord &reply) {
        if (reply.page.token == id)
            loop.quit();
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    id = send();
    loop.exec();
    QObject::disconnect(page);
    QObject::disconnect(piece);
    return msSince(timer);
}

struct Idle {
    double firstPage = 0;
    double searchAfterIdle = 0;
};

// A fresh helper: its first page (A4 at 1240 pixels wide), then 2 s idle,
// then the search.
Idle afterIdle(const QString &document, const QString &word, bool readAhead)
{
    QElapsedTimer clock;
    clock.start();
    HelperSession session;
    if (!session.start(document) || !session.waitForConnected())
        qFatal("the helper did not serve %s", qPrintable(document));
    if (readAhead)
        session.connection()->sendTextReadAhead();
    const PageRequest first{0, 0, 0, true, false, 0, QSize(1240, 1754), QImage()};
    answered(session.connection(), [&] { return session.connection()->sendPageRequest(first); });
    Idle figures;
    figures.firstPage = msSince(clock);
    spin(2000);
    int hits = 0;
    figures.searchAfterIdle = throughHelper(session, word, &hits);
    session.finish();
    return figures;
}

// Tiles asked while the helper reads the text ahead.
std::vector<double> tilesWhileReading(const QString &document, int tiles)
{
    HelperSession session;
    if (!session.start(document) || !session.waitForConnected())
        qFatal("the helper did not serve %s", qPrintable(document));
    session.connection()->sendTextReadAhead();
    std::vector<double> times;
    for (int n = 0; n < tiles; ++n) {
        // The quiet moment is 300 ms: 2 ms later a turn of reading runs.
        spin(302);
        const TileRecord tile{PageRequest{n % 10, 0, 0, true, false, 0, QSize(4960, 7016), QImage()},
                              QRect((n % 4) * 1024, (n % 6) * 1024, 1024, 1024)};
        times.push_back(answered(session.connection(), [&] { return session.connection()->sendTileRequest(tile); }));
    }
    session.finish();
    return times;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(warningsOnly);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: bench_search DOCUMENT.pdf WORD [RUNS]\n");
        return 2;
    }
    const QString document = args[1];
    const QString word = args[2];
    const int runs = args.size() > 3 ? qMax(1, args[3].toInt()) : 5;

    HelperSession session;
    if (!session.start(document) || !session.waitForConnected() || !session.pageSizes())
        qFatal("the helper did not serve %s", qPrintable(document));
    QPdfium engine{QLatin1String("bench")};
    engine.prepare();
    if (engine.loadFile(document, QString()) != QPdfium::Success)
        qFatal("cannot load %s", qPrintable(document));

    const QString quoted = QStringLiteral("'%1'").arg(document);
    std::vector<double> helper, floor, poppler, mupdf;
    int helperHits = 0, floorHits = 0;
    const double firstHelper = throughHelper(session, word, &helperHits);
    const double firstFloor = inProcess(engine, word, &floorHits);
    // Alternating, so that the machine's drift falls on all alike.
    for (int run = 0; run < runs; ++run) {
        helper.push_back(throughHelper(session, word, &helperHits));
        floor.push_back(inProcess(engine, word, &floorHits));
        poppler.push_back(pipeline(QStringLiteral("pdftotext"),
                                   QStringLiteral("pdftotext %1 - | grep -qi %2").arg(quoted, word)));
        mupdf.push_back(pipeline(QStringLiteral("mutool"),
                                 QStringLiteral("mutool draw -q -F txt -o - %1 | grep -qi %2").arg(quoted, word)));
    }
    if (helperHits != floorHits || helperHits == 0)
        qFatal("the helper found %d hits, this process %d", helperHits, floorHits);
    const double floorMedian = median(floor);
    std::printf("%s, %d pages, \"%s\" (%d hits), median of %d runs\n\n", qPrintable(document), engine.pageCount(),
                qPrintable(word), helperHits, runs);
    std::printf("first search: through the helper %.1f ms, the same search in this process %.1f ms (x %.2f)\n\n",
                firstHelper, firstFloor, firstHelper / firstFloor);
    std::printf("%-34s %10s %10s\n", "later searches", "ms", "x floor");
    const auto row = [&](const char *what, const std::vector<double> &times) {
        const double m = median(times);
        if (m < 0)
            std::printf("%-34s %10s %10s\n", what, "n/a", "");
        else
            std::printf("%-34s %10.1f %10.2f\n", what, m, m / floorMedian);
    };
    row("through the helper", helper);
    row("the same search in this process", floor);
    row("pdftotext | grep", poppler);
    row("mutool draw -F txt | grep", mupdf);
    session.finish();

    std::vector<double> firstWithout, firstWith, idleWithout, idleWith;
    for (int run = 0; run < 3; ++run) {
        const Idle without = afterIdle(document, word, false);
        const Idle with = afterIdle(document, word, true);
        firstWithout.push_back(without.firstPage);
        firstWith.push_back(with.firstPage);
        idleWithout.push_back(without.searchAfterIdle);
        idleWith.push_back(with.searchAfterIdle);
    }
    const double grep = median(poppler);
    std::printf("\n%-34s %14s %14s\n", "fresh helpers, 3 runs alternating", "text ahead", "without");
    std::printf("%-34s %11.1f ms %11.1f ms\n", "first page (A4, 1240 px)", median(firstWith), median(firstWithout));
    std::printf("%-34s %11.1f ms %11.1f ms   (pdftotext | grep %.1f ms: x %.3f with the text ahead)\n",
                "first search after 2 s idle", median(idleWith), median(idleWithout), grep,
                grep > 0 ? median(idleWith) / grep : 0.0);
    const std::vector<double> tiles = tilesWhileReading(document, 100);
    std::printf("%-34s %11.1f ms median, %.1f ms 95th percentile, %.1f ms the longest\n",
                "100 tiles while the text is read", median(tiles), percentile(tiles, 95),
                *std::max_element(tiles.cbegin(), tiles.cend()));
    return 0;
}
