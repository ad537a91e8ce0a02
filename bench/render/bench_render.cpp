// Median time of QPdfium::page at the three sizes the preview asks for, and
// separately of writing the image to a QDataStream the way a render reply
// carries it; then the time to read a 10,000-entry outline; last, what
// drawing form fields costs on a form and on a document without one.
//
// usage: bench_render [page.pdf [outline.pdf [rounds]]]   (rounds: 11)

#include "benchutil.h"
#include "qpdfium.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardItem>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int countItems(const QStandardItem *parent)
{
    int count = parent->rowCount();
    for (int row = 0; row < parent->rowCount(); ++row)
        count += countItems(parent->child(row));
    return count;
}

void benchPages(const QString &path, int rounds)
{
    QPdfium engine{QLatin1String("bench")};
    engine.prepare();
    if (engine.loadFile(path, QString()) != QPdfium::Success)
        qFatal("cannot load %s", qPrintable(path));


    // One render first, so that the page's fonts and parsed resources are
    // in pdfium's caches as they are for every request but the first.
    engine.page(0, QSize(200, 283), true, 0);

    std::printf("%s, %d rounds each, annotations drawn\n", qPrintable(path), rounds);
    std::printf("%-10s %11s %12s %14s %12s\n", "size", "pixels", "page() ms", "serialise ms",
                "stream bytes");
    for (const PreviewPageSize &s : PreviewPageSizes) {
        std::vector<double> renderMs;
        std::vector<double> streamMs;
        qsizetype bytes = 0;
        for (int i = 0; i < rounds; ++i) {
            QElapsedTimer timer;
            timer.start();
            const QImage image = engine.page(0, s.size, true, 0);
            renderMs.push_back(timer.nsecsElapsed() / 1e6);
            if (image.isNull())
                qFatal("render at %s failed", s.name);

            QByteArray packet;
            timer.start();
            {
                QDataStream stream(&packet, QIODevice::WriteOnly);
                stream.setVersion(QDataStream::Qt_6_0);
                stream << image;
            }
            streamMs.push_back(timer.nsecsElapsed() / 1e6);
            bytes = packet.size();
        }
        std::printf("%-10s %5dx%-5d %12.2f %14.2f %12lld\n", s.name, s.size.width(),
                    s.size.height(), median(renderMs), median(streamMs),
                    static_cast<long long>(bytes));
    }
}

void benchOutline(const QString &path, int rounds)
{
    QPdfium engine{QLatin1String("bench")};
    engine.prepare();
    if (engine.loadFile(path, QString()) != QPdfium::Success)
        qFatal("cannot load %s", qPrintable(path));

    std::vector<double> readMs;
    int items = 0;
    for (int i = 0; i < rounds; ++i) {
        QStandardItem root;
        QElapsedTimer timer;
        timer.start();
        const bool whole = engine.readBookmarks(&root);
        readMs.push_back(timer.nsecsElapsed() / 1e6);
        if (!whole)
            qFatal("outline read was cut short");
        items = countItems(&root);
    }
    std::printf("\n%s, %d rounds\n", qPrintable(path), rounds);
    std::printf("outline read: %d entries, median %.2f ms (min %.2f, max %.2f)\n", items,
                median(readMs), *std::min_element(readMs.begin(), readMs.end()),
                *std::max_element(readMs.begin(), readMs.end()));
}

// What drawing form fields costs: the form layer opens with the first render
// that draws annotations, so the first such render on a fresh engine carries
// it; later renders pay for drawing the fields. Measured on a filled form and
// on a document without a form, at screen size.
void benchForms(const QStringList &paths, int rounds)
{
    const QSize size(1240, 1240);
    std::printf("\nform fields, %d rounds, %dx%d, ms\n", rounds, size.width(), size.height());
    std::printf("%-22s %8s %14s %14s %14s\n", "document", "load", "first annotated", "annotated", "plain");
    for (const QString &path : paths) {
        std::vector<double> loadMs, firstMs, annotatedMs, plainMs;
        for (int i = 0; i < rounds; ++i) {
            QPdfium engine{QLatin1String("bench")};
            engine.prepare();
            QElapsedTimer timer;
            timer.start();
            if (engine.loadFile(path, QString()) != QPdfium::Success)
                qFatal("cannot load %s", qPrintable(path));
            loadMs.push_back(timer.nsecsElapsed() / 1e6);
            // A plain render first, so that the page's resources are parsed
            // and the first annotated render differs only by the form layer.
            engine.page(0, size, false, 0);
            timer.start();
            engine.page(0, size, true, 0);
            firstMs.push_back(timer.nsecsElapsed() / 1e6);
            timer.start();
            engine.page(0, size, true, 0);
            annotatedMs.push_back(timer.nsecsElapsed() / 1e6);
            timer.start();
            engine.page(0, size, false, 0);
            plainMs.push_back(timer.nsecsElapsed() / 1e6);
        }
        std::printf("%-22s %8.2f %14.2f %14.2f %14.2f\n", qPrintable(QFileInfo(path).fileName()),
                    median(loadMs), median(firstMs), median(annotatedMs), median(plainMs));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(warningsOnly);
    const QStringList args = app.arguments();
    // An empty argument keeps the default, so rounds can be given alone.
    const auto argOr = [&args](int i, const QString &fallback) {
        const QString value = args.value(i);
        return value.isEmpty() ? fallback : value;
    };
    const QString pagePath = argOr(1, QStringLiteral(PDFHELPER_BENCH_PAGE));
    const QString outlinePath = argOr(2, QStringLiteral(PDFHELPER_BENCH_OUTLINE));
    const int rounds = std::max(1, args.value(3, QStringLiteral("11")).toInt());

    benchPages(pagePath, rounds);
    benchOutline(outlinePath, rounds);
    benchForms({QStringLiteral(PDFHELPER_BENCH_FORM), pagePath}, rounds);
    return 0;
}
