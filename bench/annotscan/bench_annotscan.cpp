// Pages per second of the annotation scan, beside a bare page walk (load and
// close every page) over the same document, so the scan's own cost beyond
// pdfium's page loading shows.

#include "benchutil.h"
#include "qpdfium.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int readFromMemory(void *param, unsigned long position, unsigned char *buf, unsigned long size)
{
    const auto *bytes = static_cast<const QByteArray *>(param);
    if (position + size > static_cast<unsigned long>(bytes->size()))
        return 0;
    std::memcpy(buf, bytes->constData() + position, size);
    return 1;
}

// Loads and closes every page through pdfium directly.
double bareWalkMs(const QByteArray &bytes)
{
    FPDF_FILEACCESS access{static_cast<unsigned long>(bytes.size()), readFromMemory,
                           const_cast<QByteArray *>(&bytes)};
    FPDF_DOCUMENT doc = FPDF_LoadCustomDocument(&access, "");
    if (!doc)
        qFatal("bare walk: document did not load");
    const int count = FPDF_GetPageCount(doc);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        if (FPDF_PAGE page = FPDF_LoadPage(doc, i))
            FPDF_ClosePage(page);
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    FPDF_CloseDocument(doc);
    return ms;
}

double scanMs(const QString &path, int *found)
{
    QPdfium engine{QLatin1String("bench")};
    engine.prepare();
    if (engine.loadFile(path, QString()) != QPdfium::Success)
        qFatal("scan: document did not load");
    QList<int> pages;
    QElapsedTimer timer;
    timer.start();
    engine.readAnnotations(pages);
    const double ms = timer.nsecsElapsed() / 1e6;
    *found = pages.size();
    return ms;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DOCUMENT.pdf [RUNS]\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    qInstallMessageHandler(warningsOnly);

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", argv[1]);
    const QByteArray bytes = file.readAll();

    // Holds the library for the bare walk, which bypasses the engine.
    QPdfium holder{QLatin1String("holder")};
    holder.prepare();
    if (holder.loadFile(path, QString()) != QPdfium::Success)
        qFatal("document did not load");
    const int pages = holder.pageCount();

    std::vector<double> scan, walk;
    int found = 0;
    for (int r = 0; r < runs; ++r) {
        scan.push_back(scanMs(path, &found));
        walk.push_back(bareWalkMs(bytes));
    }
    const double scanMedian = median(scan);
    const double walkMedian = median(walk);
    std::printf("document: %s (%d pages, %lld bytes), %d runs, medians\n", argv[1], pages,
                static_cast<long long>(bytes.size()), runs);
    std::printf("annotation scan : %8.1f ms  %9.0f pages/s  (%d pages listed)\n", scanMedian,
                pages / (scanMedian / 1000.0), found);
    std::printf("bare page walk  : %8.1f ms  %9.0f pages/s\n", walkMedian,
                pages / (walkMedian / 1000.0));
    std::printf("scan cost beyond page loading: %.1f ms (%.1f us/page)\n", scanMedian - walkMedian,
                (scanMedian - walkMedian) * 1000.0 / std::max(1, pages));
    return 0;
}
