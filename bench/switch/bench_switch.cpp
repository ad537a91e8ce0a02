// Stepping through files as a person does with next and previous: the median
// time from a step to the first page in hand, with helpers started ahead,
// without them, and the in-process floor (a process that has drawn one
// document loads the next, never seen before, and draws its first page).
//
//   bench_switch CLIENT SIZE DOCUMENT.pdf DOCUMENT.pdf...
//
// The two helper figures come from `pdfhelper-client switch`, run here over
// the same list; the floor is measured in this process.

#include "benchutil.h"
#include "qpdfium.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>

namespace {

// The client's median step, or -1.
double clientMedian(const QString &client, const QStringList &args)
{
    QProcess process;
    process.start(client, args);
    if (!process.waitForFinished(600000) || process.exitCode() != 0) {
        std::fprintf(stderr, "%s\n", process.readAllStandardError().constData());
        return -1;
    }
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    std::fputs(qPrintable(out), stdout);
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("switch median ([0-9.]+) ms")).match(out);
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

double inProcessMedian(const QStringList &documents, QSize size)
{
    std::vector<double> steps;
    std::unique_ptr<QPdfium> shown;
    for (int i = 0; i < documents.size(); ++i) {
        QElapsedTimer timer;
        timer.start();
        auto engine = std::make_unique<QPdfium>(QLatin1String("bench"));
        engine->prepare();
        if (engine->loadFile(documents.at(i), QString()) != QPdfium::Success || engine->page(0, size, false, 0).isNull())
            qFatal("cannot draw %s", qPrintable(documents.at(i)));
        if (i > 0)
            steps.push_back(msSince(timer));
        shown = std::move(engine);
    }
    return median(steps);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(warningsOnly);
    const QStringList args = app.arguments();
    if (args.size() < 5)
        qFatal("usage: bench_switch CLIENT WxH DOCUMENT.pdf DOCUMENT.pdf...");
    const QString client = args.at(1);
    const QStringList wh = args.at(2).split(QLatin1Char('x'));
    const QSize size(wh.value(0).toInt(), wh.value(1).toInt());
    const QStringList documents = args.mid(3);
    const QStringList common = QStringList{"switch"} + documents + QStringList{"--size", args.at(2)};

    const double floor = inProcessMedian(documents, size);
    const double prefetch = clientMedian(client, common);
    const double plain = clientMedian(client, common + QStringList{"--no-prefetch"});
    std::printf("\n%d documents, first page at %dx%d, median ms a step\n", int(documents.size()), size.width(),
                size.height());
    std::printf("%-22s %10s %10s\n", "", "median", "x floor");
    const auto row = [floor](const char *name, double value) {
        std::printf("%-22s %10.1f %10.2f\n", name, value, floor > 0 ? value / floor : -1);
    };
    row("with helpers ahead", prefetch);
    row("without", plain);
    row("in-process floor", floor);
    return 0;
}
