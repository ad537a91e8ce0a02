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

#include "benchutil.h"
#include "contract.h"
#include "helpersession.h"
#include "qpdfium.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

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
    return 0;
}
