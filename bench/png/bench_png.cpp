// Reply image encoding: Qt's PNG writer against the libdeflate one, on pages
// rendered by the engine at thumbnail, screen and print sizes.
//
//   bench_png [--runs N] [--sweep] [document.pdf[:page]] ...
//
// Without documents it uses the generated pages-mixed.pdf and
// render-bench.pdf. For each size it prints, per page, the median render
// time, the median time and the size of the image field with each writer,
// the render plus encode time with each, and the time `mutool draw` takes for
// the same page and size (as a separate process, from start to PNG file).
// --sweep instead tries every filter at several libdeflate levels.

#include "benchutil.h"
#include "pngfield.h"
#include "pngwriter.h"
#include "qpdfium.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct PageRef {
    QString path;
    int index;
};

double timeMs(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

// Engines stay open for the whole run, one per document.
class Documents
{
public:
    QPdfium *engine(const QString &path)
    {
        for (auto &entry : m_engines) {
            if (entry.first == path)
                return entry.second.get();
        }
        auto engine = std::make_unique<QPdfium>(QLatin1String("bench"));
        engine->prepare();
        if (engine->loadFile(path, QString()) != QPdfium::Success)
            return nullptr;
        m_engines.emplace_back(path, std::move(engine));
        return m_engines.back().second.get();
    }

private:
    std::vector<std::pair<QString, std::unique_ptr<QPdfium>>> m_engines;
};

double mutoolMs(const QString &mutool, const PageRef &page, const QSize &size, const QString &out, int runs)
{
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        QProcess process;
        const QStringList args = {QStringLiteral("draw"), QStringLiteral("-q"),
                                  QStringLiteral("-F"), QStringLiteral("png"),
                                  QStringLiteral("-o"), out,
                                  QStringLiteral("-w"), QString::number(size.width()),
                                  QStringLiteral("-h"), QString::number(size.height()),
                                  page.path, QString::number(page.index + 1)};
        const double ms = timeMs([&] {
            process.start(mutool, args);
            process.waitForFinished(-1);
        });
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return -1;
        times.push_back(ms);
    }
    return median(times);
}

void runComparison(Documents &docs, const QList<PageRef> &pages, int runs)
{
    const QString mutool = QStandardPaths::findExecutable(QStringLiteral("mutool"));
    QTemporaryDir temp;
    const QString mutoolOut = temp.filePath(QStringLiteral("page.png"));

    std::printf("median of %d runs, times in ms; bytes: the image field (marker + PNG)\n"
                "enc: encode, dec: Qt's reader on the peer's side, work: render + enc + dec\n"
                "(the request latency without socket transfer), x: Qt enc / fast enc\n\n",
                runs);
    std::printf("%-9s %-22s %6s | %7s %8s %6s %7s | %6s %8s %6s %6s | %5s %5s | %6s %2s\n",
                "size", "page", "render", "qt enc", "bytes", "dec", "work",
                "enc", "bytes", "dec", "work", "x", "w/r", "mutool", "ok");

    for (const PreviewPageSize &sizeCase : PreviewPageSizes) {
        std::vector<double> renders, qtEnc, qtDec, fastEnc, fastDec, qtWork, fastWork, mutools;
        double qtBytes = 0, fastBytes = 0;
        for (const PageRef &page : pages) {
            QPdfium *engine = docs.engine(page.path);
            if (!engine)
                continue;
            std::vector<double> render, qt, fast, qtBack, fastBack;
            QImage image;
            QByteArray qtBytesField, fastBytesField;
            bool ok = true;
            for (int run = 0; run < runs; ++run) {
                render.push_back(timeMs([&] {
                    image = engine->page(unsigned(page.index), sizeCase.size, false, 0);
                }));
                // Alternate the writers so that a busy machine slows both alike.
                qt.push_back(timeMs([&] { qtBytesField = imageField(image, ImageWriter::Qt); }));
                fast.push_back(timeMs([&] { fastBytesField = imageField(image, ImageWriter::Fast); }));
                QImage viaQt, viaFast;
                qtBack.push_back(timeMs([&] { viaQt = imageFromField(qtBytesField); }));
                fastBack.push_back(timeMs([&] { viaFast = imageFromField(fastBytesField); }));
                ok = ok && viaQt == image && viaFast == image
                    && viaFast.format() == image.format()
                    && viaFast.dotsPerMeterX() == image.dotsPerMeterX()
                    && viaFast.dotsPerMeterY() == image.dotsPerMeterY();
            }
            if (image.isNull())
                continue;
            const double r = median(render), q = median(qt), f = median(fast);
            const double qd = median(qtBack), fd = median(fastBack);
            const double m = mutool.isEmpty() ? -1 : mutoolMs(mutool, page, sizeCase.size, mutoolOut, runs);
            const QString label = QStringLiteral("%1:%2").arg(QFileInfo(page.path).completeBaseName()).arg(page.index);
            std::printf("%-9s %-22s %6.1f | %7.1f %8lld %6.1f %7.1f | %6.1f %8lld %6.1f %6.1f | %5.1f %5.2f | %6.1f %2s\n",
                        sizeCase.name, qPrintable(label.right(22)), r,
                        q, qlonglong(qtBytesField.size()), qd, r + q + qd,
                        f, qlonglong(fastBytesField.size()), fd, r + f + fd,
                        q / f, (r + f + fd) / r, m, ok ? "ok" : "NO");
            renders.push_back(r);
            qtEnc.push_back(q);
            qtDec.push_back(qd);
            fastEnc.push_back(f);
            fastDec.push_back(fd);
            qtWork.push_back(r + q + qd);
            fastWork.push_back(r + f + fd);
            mutools.push_back(m);
            qtBytes += double(qtBytesField.size());
            fastBytes += double(fastBytesField.size());
        }
        if (renders.empty())
            continue;
        const double n = double(renders.size());
        std::printf("%-9s %-22s %6.1f | %7.1f %8.0f %6.1f %7.1f | %6.1f %8.0f %6.1f %6.1f | %5.1f %5.2f | %6.1f\n\n",
                    sizeCase.name, "MEDIAN (bytes: mean)", median(renders),
                    median(qtEnc), qtBytes / n, median(qtDec), median(qtWork),
                    median(fastEnc), fastBytes / n, median(fastDec), median(fastWork),
                    median(qtEnc) / median(fastEnc), median(fastWork) / median(renders),
                    median(mutools));
    }
}

void runSweep(Documents &docs, const QList<PageRef> &pages, int runs)
{
    const struct {
        PngWriter::Filter filter;
        const char *name;
    } filters[] = {{PngWriter::FilterNone, "none"}, {PngWriter::FilterSub, "sub"},
                   {PngWriter::FilterUp, "up"}, {PngWriter::FilterAverage, "average"},
                   {PngWriter::FilterPaeth, "paeth"}, {PngWriter::FilterAdaptive, "adaptive"}};
    const int levels[] = {1, 2, 3, 4, 6};

    std::printf("sum over pages of the median encode time (ms) and of the PNG size (bytes)\n");
    for (const PreviewPageSize &sizeCase : PreviewPageSizes) {
        std::vector<QImage> images;
        for (const PageRef &page : pages) {
            if (QPdfium *engine = docs.engine(page.path)) {
                const QImage image = engine->page(unsigned(page.index), sizeCase.size, false, 0);
                if (!image.isNull())
                    images.push_back(image);
            }
        }
        double qtTime = 0, qtSize = 0;
        for (const QImage &image : images) {
            std::vector<double> times;
            QByteArray field;
            for (int run = 0; run < runs; ++run)
                times.push_back(timeMs([&] { field = imageField(image, ImageWriter::Qt); }));
            qtTime += median(times);
            qtSize += double(field.size() - 4);
        }
        std::printf("%s %dx%d, %zu pages; Qt: %.1f ms, %.0f bytes\n", sizeCase.name,
                    sizeCase.size.width(), sizeCase.size.height(), images.size(), qtTime, qtSize);
        std::printf("%-8s", "level");
        for (const auto &f : filters)
            std::printf(" | %-18s", f.name);
        std::printf("\n");
        for (int level : levels) {
            std::printf("%-8d", level);
            for (const auto &f : filters) {
                PngWriter writer(level, f.filter);
                double total = 0, bytes = 0;
                for (const QImage &image : images) {
                    std::vector<double> times;
                    QByteArray png;
                    for (int run = 0; run < runs; ++run)
                        times.push_back(timeMs([&] { png = writer.write(image); }));
                    total += median(times);
                    bytes += double(png.size());
                }
                std::printf(" | %6.1f ms %9.0f", total, bytes);
            }
            std::printf("\n");
        }
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(warningsOnly);

    int runs = 5;
    bool sweep = false;
    QList<PageRef> pages;
    QStringList args = QCoreApplication::arguments().mid(1);
    while (!args.isEmpty()) {
        const QString arg = args.takeFirst();
        if (arg == QLatin1String("--runs") && !args.isEmpty()) {
            runs = qMax(1, args.takeFirst().toInt());
        } else if (arg == QLatin1String("--sweep")) {
            sweep = true;
        } else {
            // document.pdf or document.pdf:page (zero-based)
            const int colon = arg.lastIndexOf(QLatin1Char(':'));
            bool numeric = false;
            const int index = colon > 0 ? arg.mid(colon + 1).toInt(&numeric) : 0;
            pages.append({numeric ? arg.left(colon) : arg, numeric ? index : 0});
        }
    }
#ifdef PDFHELPER_FIXTURE_DIR
    if (pages.isEmpty()) {
        const QDir fixtures(QStringLiteral(PDFHELPER_FIXTURE_DIR));
        for (int i = 0; i < 3; ++i)
            pages.append({fixtures.filePath(QStringLiteral("pages-mixed.pdf")), i});
        pages.append({QStringLiteral(PDFHELPER_BENCH_PAGE), 0});
    }
#endif
    if (pages.isEmpty()) {
        std::fprintf(stderr, "usage: bench_png [--runs N] [--sweep] document.pdf[:page] ...\n");
        return 2;
    }

    Documents docs;
    for (const PageRef &page : pages) {
        if (!docs.engine(page.path)) {
            std::fprintf(stderr, "cannot open %s\n", qPrintable(page.path));
            return 1;
        }
    }
    std::printf("fast writer: libdeflate level %d, filter %d\n", PngWriter::DefaultLevel,
                int(PngWriter::DefaultFilter));
    if (sweep)
        runSweep(docs, pages, runs);
    else
        runComparison(docs, pages, runs);
    return 0;
}
