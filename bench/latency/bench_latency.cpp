// Request latency of the helper seen from the preview side, with each of the
// two PNG writers, next to mutool and pdftoppm rendering the same pages at the
// same pixel sizes to PNG.
//
//   bench_latency DOCUMENT.pdf [ITERATIONS] [--qt-helper PROGRAM]
//
// render     median time of the engine's page render at that size (in process)
// enc        median time to write the reply's image field with that writer
// KB         median size of the image field
// dec        median time for the peer to read that image field back
// total      median time from sending a render request to holding the decoded
//            reply, through a real helper process over the local socket: the
//            default one, and PROGRAM (a helper built with Qt's writer)
// t/r        total with the fast writer divided by render
// mutool, pdftoppm: one process renders every page of the document to PNG
//            files; wall time divided by the page count, median of 3 runs

#include "benchutil.h"
#include "helpersession.h"
#include "pngfield.h"
#include "qpdfium.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

// The larger sizes get fewer iterations, so that a run stays within minutes.
const int IterationDivisors[] = {1, 2, 6};

// One writer's figures at one size.
struct WriterTimes {
    std::vector<double> encode, kb, decode, total;
};

// Times the writer on the image and reads the field back the way the peer's
// record operator does; false when the read-back image differs.
bool measureField(const QImage &image, ImageWriter writer, WriterTimes &times)
{
    QElapsedTimer timer;
    timer.start();
    const QByteArray field = imageField(image, writer);
    times.encode.push_back(msSince(timer));
    times.kb.push_back(field.size() / 1024.0);

    timer.restart();
    const QImage back = imageFromField(field);
    times.decode.push_back(msSince(timer));
    return back == image;
}

// Sends the request to the helper and times the round trip; false when the
// reply is missing or has the wrong size.
bool measureRequest(pdfpreview::HelperSession &session, const PageRequest &request, WriterTimes &times)
{
    QElapsedTimer timer;
    timer.start();
    const std::optional<PageRequest> reply = session.render(request);
    times.total.push_back(msSince(timer));
    return reply && reply->image.size() == request.size;
}

std::unique_ptr<pdfpreview::HelperSession> startHelper(const QString &program, const QString &document)
{
    auto session = std::make_unique<pdfpreview::HelperSession>();
    if (!program.isEmpty())
        session->process().setProgram(program);
    if (!session->start(document) || !session->waitForConnected()) {
        std::fprintf(stderr, "the helper %s did not connect: %s\n", qPrintable(session->process().program()),
                     qPrintable(session->process().errorString()));
        return nullptr;
    }
    return session;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(warningsOnly);
    QStringList args = QCoreApplication::arguments();
    QString qtHelper;
    const int qtOption = args.indexOf(QStringLiteral("--qt-helper"));
    if (qtOption > 0 && qtOption + 1 < args.size()) {
        qtHelper = args.at(qtOption + 1);
        args.remove(qtOption, 2);
    }
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: bench_latency DOCUMENT.pdf [ITERATIONS] [--qt-helper PROGRAM]\n");
        return 2;
    }
    const QString document = args.at(1);
    const int iterations = args.size() > 2 ? qMax(1, args.at(2).toInt()) : 30;

    QPdfium engine(QLatin1String("[bench]"));
    engine.prepare();
    if (engine.loadFile(document, QString()) != QPdfium::Success) {
        std::fprintf(stderr, "cannot load %s\n", qPrintable(document));
        return 1;
    }
    const int pages = engine.pageCount();

    const auto fastSession = startHelper(QString(), document);
    const auto qtSession = qtHelper.isEmpty() ? nullptr : startHelper(qtHelper, document);
    if (!fastSession || (!qtHelper.isEmpty() && !qtSession))
        return 1;

    std::printf("document: %s, %d pages; iterations: %d (fewer for the larger sizes)\n",
                qPrintable(document), pages, iterations);
    std::printf("median milliseconds per page; KB: image field\n\n");
    std::printf("%-9s %9s %6s | %-27s | %-27s | %5s %5s | %7s %8s\n", "", "", "",
                "fast writer", "Qt writer", "enc", "", "", "");
    std::printf("%-9s %9s %6s | %5s %6s %5s %7s | %5s %6s %5s %7s | %5s %5s | %7s %8s\n",
                "size", "pixels", "render", "enc", "KB", "dec", "total", "enc", "KB", "dec",
                "total", "x", "t/r", "mutool", "pdftoppm");

    for (size_t sizeIndex = 0; sizeIndex < std::size(PreviewPageSizes); ++sizeIndex) {
        const PreviewPageSize &c = PreviewPageSizes[sizeIndex];
        const int n = qMax(3, iterations / IterationDivisors[sizeIndex]);
        std::vector<double> render;
        WriterTimes fast, qt;
        // One request before timing, so that fonts and the document
        // structure are loaded in every process.
        PageRequest warm;
        warm.pageIndex = 0;
        warm.size = c.size;
        fastSession->render(warm);
        if (qtSession)
            qtSession->render(warm);
        engine.page(0, c.size, false, 0);

        for (int i = 0; i < n; ++i) {
            PageRequest request;
            request.pageIndex = i % pages;
            request.size = c.size;
            // The two helpers take turns, so that a busy machine slows both alike.
            bool ok = measureRequest(*fastSession, request, fast);
            if (qtSession)
                ok = measureRequest(*qtSession, request, qt) && ok;

            QElapsedTimer timer;
            timer.start();
            const QImage image = engine.page(unsigned(request.pageIndex), c.size, false, 0);
            render.push_back(msSince(timer));
            ok = ok && measureField(image, ImageWriter::Fast, fast) && measureField(image, ImageWriter::Qt, qt);
            if (!ok) {
                std::fprintf(stderr, "render of page %d at %dx%d failed\n", request.pageIndex,
                             c.size.width(), c.size.height());
                return 1;
            }
        }

        const double mutool = mutoolPerPage(document, c.size, pages);
        const double pdftoppm = pdftoppmPerPage(document, c.size, pages);

        const auto figure = [](double value, int decimals) {
            return value < 0 ? QStringLiteral("n/a") : QString::number(value, 'f', decimals);
        };
        const double mRender = median(render);
        const double qtTotal = qtSession ? median(qt.total) : -1;
        std::printf("%-9s %9s %6.2f | %5.1f %6.0f %5.1f %7.2f | %5.1f %6.0f %5.1f %7s | %5.1f %5.1f | %7s %8s\n",
                    c.name, qPrintable(QStringLiteral("%1x%2").arg(c.size.width()).arg(c.size.height())), mRender,
                    median(fast.encode), median(fast.kb), median(fast.decode), median(fast.total),
                    median(qt.encode), median(qt.kb), median(qt.decode), qPrintable(figure(qtTotal, 2)),
                    median(qt.encode) / median(fast.encode), median(fast.total) / mRender,
                    qPrintable(figure(mutool, 2)), qPrintable(figure(pdftoppm, 2)));
        std::fflush(stdout);
    }

    fastSession->finish();
    if (qtSession)
        qtSession->finish();
    return 0;
}
