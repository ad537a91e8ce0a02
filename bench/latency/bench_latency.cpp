// Request latency of the helper seen from the preview side, split into its
// parts, next to mutool and pdftoppm rendering the same pages at the same
// pixel sizes to PNG.
//
//   bench_latency DOCUMENT.pdf [ITERATIONS]
//
// total      median time from sending a render request to holding the decoded
//            reply, through the real helper process over the local socket
// render     median time of the engine's page render at that size (in process)
// serialise  median time to build the reply packet, PNG encoding included
// decode     median time to take a reply packet apart, PNG decoding included
// transfer   total minus the three parts: socket transfer, process switches,
//            framing and the event loops on both sides
// mutool, pdftoppm: one process renders every page of the document to PNG
//            files; wall time divided by the page count, median of 3 runs

#include "benchutil.h"
#include "helpersession.h"
#include "packetframing.h"
#include "qpdfium.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

struct SizeCase {
    const char *name;
    QSize size;
    int iterationsDivisor;
};

// A4 pages: a thumbnail, a page filling a screen, and A4 at 300 dpi.
const SizeCase Cases[] = {
    {"thumbnail", QSize(150, 212), 1},
    {"screen", QSize(1000, 1414), 2},
    {"print", QSize(2480, 3508), 6},
};

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Wall time per page of one external renderer run over all pages, median of
// three; -1 when the program is missing or fails.
double externalPerPage(const QString &program, const std::function<QStringList(const QString &)> &args,
                       int pages)
{
    if (QStandardPaths::findExecutable(program).isEmpty())
        return -1;
    std::vector<double> runs;
    for (int run = 0; run < 3; ++run) {
        QTemporaryDir dir;
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        process.start(program, args(dir.path()));
        if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0)
            return -1;
        runs.push_back(msSince(timer) / pages);
    }
    return median(runs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: bench_latency DOCUMENT.pdf [ITERATIONS]\n");
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

    pdfpreview::HelperSession session;
    if (!session.start(document) || !session.waitForConnected()) {
        std::fprintf(stderr, "the helper did not connect: %s\n", qPrintable(session.errorString()));
        return 1;
    }

    std::printf("document: %s, %d pages; iterations: %d (fewer for the larger sizes)\n",
                qPrintable(document), pages, iterations);
    std::printf("median milliseconds per page\n\n");
    std::printf("%-10s %10s %9s %8s %10s %8s %9s %9s %8s %9s\n", "size", "pixels", "total",
                "render", "serialise", "decode", "transfer", "reply KB", "mutool", "pdftoppm");

    for (const SizeCase &c : Cases) {
        const int n = qMax(3, iterations / c.iterationsDivisor);
        std::vector<double> total, render, serialise, decode, replyKb;
        // One request before timing, so that fonts and the document
        // structure are loaded in both processes.
        PageRequest warm;
        warm.pageIndex = 0;
        warm.size = c.size;
        session.render(warm);
        engine.page(0, c.size, false, 0);

        for (int i = 0; i < n; ++i) {
            PageRequest request;
            request.pageIndex = i % pages;
            request.size = c.size;

            QElapsedTimer timer;
            timer.start();
            const std::optional<PageRequest> reply = session.render(request);
            total.push_back(msSince(timer));
            if (!reply || reply->image.size() != c.size) {
                std::fprintf(stderr, "render of page %d at %dx%d failed\n", request.pageIndex,
                             c.size.width(), c.size.height());
                return 1;
            }

            timer.restart();
            request.image = engine.page(unsigned(request.pageIndex), c.size, false, 0);
            render.push_back(msSince(timer));

            timer.restart();
            const QByteArray packet = buildPacket(PacketType::RenderReply, request);
            serialise.push_back(msSince(timer));
            replyKb.push_back(packet.size() / 1024.0);

            timer.restart();
            QBuffer buffer;
            buffer.setData(packet);
            buffer.open(QIODevice::ReadOnly);
            quint32 expected = 0;
            PageRequest decoded;
            readPackets(&buffer, expected, [&decoded](PacketType, QDataStream &in) { in >> decoded; });
            decode.push_back(msSince(timer));
            if (decoded.image.size() != c.size)
                return 1;
        }

        const QString w = QString::number(c.size.width());
        const QString h = QString::number(c.size.height());
        const QString range = QStringLiteral("1-%1").arg(pages);
        const double mutool = externalPerPage(
            QStringLiteral("mutool"),
            [&](const QString &dir) {
                return QStringList{"draw", "-q", "-F", "png", "-w", w, "-h", h, "-f",
                                   "-o", dir + "/p%d.png", document, range};
            },
            pages);
        const double pdftoppm = externalPerPage(
            QStringLiteral("pdftoppm"),
            [&](const QString &dir) {
                return QStringList{"-png", "-scale-to-x", w, "-scale-to-y", h, "-f", "1",
                                   "-l", QString::number(pages), document, dir + "/p"};
            },
            pages);

        const double mTotal = median(total);
        const double mRender = median(render);
        const double mSerialise = median(serialise);
        const double mDecode = median(decode);
        std::printf("%-10s %10s %9.2f %8.2f %10.2f %8.2f %9.2f %9.1f %8s %9s\n", c.name,
                    qPrintable(w + "x" + h), mTotal, mRender, mSerialise, mDecode,
                    mTotal - mRender - mSerialise - mDecode, median(replyKb),
                    mutool < 0 ? "n/a" : qPrintable(QString::number(mutool, 'f', 2)),
                    pdftoppm < 0 ? "n/a" : qPrintable(QString::number(pdftoppm, 'f', 2)));
        std::fflush(stdout);
    }

    session.finish();
    return 0;
}
