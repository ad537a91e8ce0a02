// Soak run: one helper process in mode 1 answers a long series of mixed
// render and outline requests; its resident memory is printed at the start,
// after every 1,000 requests and at the end. It must stay flat once the first
// requests have warmed the engine's caches.
//
//   soak DOCUMENT.pdf [REQUESTS] [--without-annotations]   (10000 by default)
//
// pdfium adds a generated pop-up appearance to the document each time it
// draws a page's annotations and one of them is a markup annotation with
// contents (a note, say), and keeps it until the document is closed: about
// 10 kB per such render, which shows as slow growth. --without-annotations
// turns drawing annotations off in every render, to show that nothing else
// grows.
//
// The mix, repeating: four renders for each outline read; sizes from a
// thumbnail to a full screen page; every rotation; inversion and annotations
// on and off; now and then a page that does not exist or an empty size, so
// that the failure paths run as often as they would in a long session.
// Exits with 1 if a request goes unanswered or the helper does not end
// cleanly.

#include "benchutil.h"
#include "helpersession.h"
#include "qpdfium.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>

#include <cstdio>

namespace {

const QSize Sizes[] = {QSize(150, 212), QSize(600, 848), QSize(1000, 1414), QSize(300, 424)};

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

int pageCountOf(const QString &document)
{
    // The engine's debug lines are of no interest here.
    const QtMessageHandler previous = qInstallMessageHandler(quiet);
    const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
    QPdfium engine(QLatin1String("soak"));
    engine.prepare();
    return engine.loadFile(document, QString()) == QPdfium::Success ? engine.pageCount() : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    const bool withAnnotations = !args.removeAll(QStringLiteral("--without-annotations"));
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: soak DOCUMENT.pdf [REQUESTS] [--without-annotations]\n");
        return 2;
    }
    const QString document = args.at(0);
    const int requests = args.size() > 1 ? args.at(1).toInt() : 10000;
    const int pages = pageCountOf(document);
    if (pages <= 0) {
        std::fprintf(stderr, "soak: cannot load %s\n", qPrintable(document));
        return 2;
    }

    pdfpreview::HelperSession session;
    if (!session.start(document) || !session.waitForConnected()) {
        std::fprintf(stderr, "soak: the helper did not connect: %s\n", qPrintable(session.process().errorString()));
        return 1;
    }
    const qint64 pid = session.process().processId();

    std::printf("document %s, %d pages, %d requests, annotations %s\n", qPrintable(document), pages,
                requests, withAnnotations ? "drawn in every second render" : "never drawn");
    std::printf("%8s %10s %10s %8s %8s %9s\n", "requests", "VmRSS kB", "VmHWM kB", "renders", "outlines", "seconds");
    QElapsedTimer timer;
    timer.start();
    int renders = 0;
    int outlines = 0;
    int failedRenders = 0;
    const auto report = [&](int done) {
        const Memory m = memoryOf(pid);
        std::printf("%8d %10lld %10lld %8d %8d %9.1f\n", done, m.rss, m.hwm, renders, outlines,
                    double(timer.elapsed()) / 1000);
        std::fflush(stdout);
        return m;
    };

    const Memory start = report(0);
    Memory warm = start;
    for (int i = 0; i < requests; ++i) {
        if (i % 5 == 4) {
            if (!session.outline()) {
                std::fprintf(stderr, "soak: outline request %d unanswered\n", i);
                return 1;
            }
            ++outlines;
        } else {
            PageRequest request;
            request.pageIndex = (i * 7) % pages;
            request.size = Sizes[(i / 3) % 4];
            request.rotation = 90 * (i % 4);
            request.invert = i % 3 == 0;
            request.annotations = withAnnotations && i % 2 == 0;
            request.tag = i;
            if (i % 97 == 0)
                request.pageIndex = pages + 3;
            else if (i % 89 == 0)
                request.size = QSize(0, 0);
            const std::optional<PageRequest> reply = session.render(request);
            if (!reply || reply->tag != i) {
                std::fprintf(stderr, "soak: render request %d unanswered\n", i);
                return 1;
            }
            failedRenders += reply->image.isNull() ? 1 : 0;
            ++renders;
        }
        if ((i + 1) % 1000 == 0 && i + 1 < requests) {
            const Memory m = report(i + 1);
            if (i + 1 == 1000)
                warm = m;
        }
    }
    const Memory end = report(requests);

    std::printf("renders %d (%d came back without an image), outlines %d\n", renders, failedRenders, outlines);
    std::printf("VmRSS start %lld kB, after 1000 requests %lld kB, end %lld kB: %+lld kB since the first 1000\n",
                start.rss, warm.rss, end.rss, warm.rss >= 0 ? end.rss - warm.rss : 0);
    if (!session.finish()) {
        std::fprintf(stderr, "soak: the helper did not end cleanly\n");
        return 1;
    }
    std::printf("helper exit code %d\n", session.process().exitCode());
    return session.process().exitCode() == 0 ? 0 : 1;
}
