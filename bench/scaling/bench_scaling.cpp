// How our costs grow with the page count: generated documents of 10 to
// 100,000 pages, a line of text each, plain and with an outline entry a page.
//
//   bench_scaling [--picture OUT.png] DOCUMENT.pdf...
//
// For each document it prints, in milliseconds and peak resident MB:
// - through a helper: the start to the first page drawn (A4 at 1240 pixels
//   wide), the last page, the page sizes, the outline, and a first search
//   for the word on the last page; the helper's peak memory;
// - the window (PreviewWindow, offscreen, 1240x900, in a process of its
//   own): opening to the first page shown, going to the last page, finding
//   the word, and its peak memory;
// - the same pdfium work in one process of its own (the floor), and its peak;
// - mutool draw and pdftoppm drawing the last page, pdftotext reading the
//   whole text, as whole processes with their peaks.
// The window and the floor run as this program again (--window, --floor),
// so that each peak is that work's alone. --picture draws the plain
// documents' times and peaks against their page counts, on log scales.

#include "benchutil.h"
#include "contract.h"
#include "helpersession.h"
#include "neighbourprefetcher.h"
#include "pageview.h"
#include "previewdocument.h"
#include "previewwindow.h"
#include "qpdfium.h"

#include <QApplication>
#include <QEventLoop>
#include <QPainter>
#include <QPainterPath>
#include <QStandardItem>
#include <QTimer>

#include <cstdio>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr QSize FirstPage(1240, 1754);
const QString Word = QStringLiteral("quincunx");

qint64 peakKb()
{
    return memoryOf(QCoreApplication::applicationPid()).hwm;
}

// A program run whole: its time and peak resident memory, from wait4().
struct Run {
    double ms = -1;
    qint64 peakKb = -1;
    QByteArray out;
};

Run runWhole(const QStringList &argv)
{
    Run run;
    int pipe[2];
    if (::pipe(pipe) != 0)
        return run;
    QElapsedTimer clock;
    clock.start();
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipe[1], 1);
        ::close(pipe[0]);
        ::close(pipe[1]);
        std::vector<QByteArray> bytes;
        for (const QString &arg : argv)
            bytes.push_back(arg.toLocal8Bit());
        std::vector<char *> args;
        for (QByteArray &arg : bytes)
            args.push_back(arg.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ::close(pipe[1]);
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        run.out.append(buffer, got);
    ::close(pipe[0]);
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return run;
    run.ms = msSince(clock);
    run.peakKb = usage.ru_maxrss;
    return run;
}

// --window: the window on the document, one line of figures.
int windowRun(const QString &document)
{
    PreviewWindow window;
    // Its own figures only: no helpers ahead for the other documents of
    // the folder, which are as long.
    window.prefetcher()->setAhead(0);
    window.resize(1240, 900);
    window.show();
    bool shown = false;
    QObject::connect(&window, &PreviewWindow::firstPageShown, [&] { shown = true; });
    // The outline comes in pieces between the pages, from the first page on:
    // its time is from the start.
    QElapsedTimer opened;
    double outlined = -1;
    QObject::connect(window.document(), &PreviewDocument::outlineFinished, [&] { outlined = msSince(opened); });
    QElapsedTimer clock;
    clock.start();
    opened.start();
    window.openFile(document);
    if (!spinUntil([&] { return shown; }, 120000))
        return 1;
    const double first = msSince(clock);
    PageView *view = window.pageView();
    clock.start();
    view->scrollToPage(view->pageCount() - 1);
    if (!spinUntil([&] { return view->hasCurrentImage(view->pageCount() - 1); }, 120000))
        return 1;
    const double last = msSince(clock);
    clock.start();
    window.find(Word);
    if (!spinUntil([&] { return window.findStatus().startsWith(QStringLiteral("1 of 1")); }, 300000))
        return 1;
    const double found = msSince(clock);
    if (!spinUntil([&] { return outlined >= 0; }, 300000))
        return 1;
    std::printf("%.1f %.1f %.1f %.1f %lld\n", first, last, found, outlined, peakKb());
    return 0;
}

// --floor: the same pdfium work in this process.
int floorRun(const QString &document)
{
    QElapsedTimer clock;
    clock.start();
    QPdfium engine{QLatin1String("floor")};
    engine.prepare();
    if (engine.loadFile(document, QString()) != QPdfium::Success)
        return 1;
    const int pages = engine.pageCount();
    if (engine.page(0, FirstPage, true, 0).isNull())
        return 1;
    const double first = msSince(clock);
    clock.start();
    engine.page(unsigned(pages - 1), FirstPage, true, 0);
    const double last = msSince(clock);
    clock.start();
    QList<QSize> sizes;
    for (int page = 0; page < pages; ++page)
        sizes.append(engine.pageSize(page));
    const double sized = msSince(clock);
    clock.start();
    QStandardItem root;
    engine.readBookmarks(&root);
    const double outlined = msSince(clock);
    clock.start();
    int hits = 0;
    for (int page = 0; page < pages; ++page)
        hits += int(engine.findOnPage(unsigned(page), Word, false, 100, 100).hits.size());
    const double searched = msSince(clock);
    std::printf("%.1f %.1f %.1f %.1f %.1f %lld %d\n", first, last, sized, outlined, searched, peakKb(), hits);
    return 0;
}

double timed(const std::function<bool()> &work)
{
    QElapsedTimer clock;
    clock.start();
    return work() ? msSince(clock) : -1;
}

// One document's figures, by the name its table row and the picture use.
struct Figures {
    int pages = 0;
    bool outline = false;
    std::map<QString, double> ms;
    std::map<QString, double> peakMb;
};

Figures measure(const QString &self, const QString &document)
{
    // Through a helper.
    QElapsedTimer clock;
    clock.start();
    pdfpreview::HelperSession session;
    if (!session.start(document) || !session.waitForConnected(120000))
        qFatal("no helper for %s", qPrintable(document));
    const int pages = int(session.connection()->pageSizes().size());
    const auto page = [&](int index) {
        return session.render(PageRequest{index, 0, 0, true, false, 0, FirstPage, QImage()}, 120000).has_value();
    };
    const double first = page(0) ? msSince(clock) : -1;
    const double last = timed([&] { return page(pages - 1); });
    const double sizes = timed([&] { return session.pageSizes(120000).has_value(); });
    int entries = 0;
    const double outline = timed([&] {
        const auto nodes = session.outline(120000);
        entries = nodes ? int(nodes->size()) : 0;
        return nodes.has_value();
    });
    // The same outline as our own window asks for it: a piece at a time,
    // each asked once the one before has come.
    const double pieces = timed([&] {
        QEventLoop loop;
        int read = 0;
        QObject::connect(session.connection(), &pdfpreview::HelperConnection::outlinePieceReplied, &loop,
                         [&](quint64, const OutlinePieceReplyRecord &piece) {
            read += int(piece.entries.size());
            if (piece.end != OutlineEnd::More || piece.entries.isEmpty())
                loop.quit();
            else
                session.connection()->sendOutlinePieceRequest(read, MaxOutlinePieceEntries);
        });
        QTimer::singleShot(300000, &loop, &QEventLoop::quit);
        session.connection()->sendOutlinePieceRequest(0, MaxOutlinePieceEntries);
        loop.exec();
        return read == entries;
    });
    const double search = timed([&] {
        QEventLoop loop;
        quint64 id = 0;
        QObject::connect(session.connection(), &pdfpreview::HelperConnection::searchReplied, &loop,
                         [&](const SearchReplyRecord &reply) {
            if (reply.token == id && reply.done)
                loop.quit();
        });
        QTimer::singleShot(300000, &loop, &QEventLoop::quit);
        id = session.connection()->sendSearchRequest(Word, false, 0);
        loop.exec();
        return true;
    });
    const qint64 helperPeak = memoryOf(session.process().processId()).hwm;
    session.finish();

    const Run window = runWhole({self, QStringLiteral("--window"), document});
    const Run floor = runWhole({self, QStringLiteral("--floor"), document});
    const QString last1 = QString::number(pages);
    const Run mutool = runWhole({QStringLiteral("mutool"), QStringLiteral("draw"), QStringLiteral("-q"),
                                 QStringLiteral("-F"), QStringLiteral("png"), QStringLiteral("-o"),
                                 QStringLiteral("/dev/null"), QStringLiteral("-w"), QStringLiteral("1240"), document,
                                 last1});
    const Run pdftoppm = runWhole({QStringLiteral("pdftoppm"), QStringLiteral("-f"), last1, QStringLiteral("-l"), last1,
                                   QStringLiteral("-scale-to-x"), QStringLiteral("1240"), QStringLiteral("-scale-to-y"),
                                   QStringLiteral("-1"), QStringLiteral("-png"), document});
    const Run pdftotext = runWhole({QStringLiteral("pdftotext"), document, QStringLiteral("/dev/null")});

    const QList<QByteArray> w = window.out.trimmed().split(' ');
    const QList<QByteArray> f = floor.out.trimmed().split(' ');
    const auto field = [](const QList<QByteArray> &fields, int n) {
        return n < fields.size() ? fields[n].toDouble() : -1;
    };
    std::printf("\n%s: %d pages, %d outline entries\n", qPrintable(QFileInfo(document).fileName()), pages, entries);
    std::printf("%-22s %10s %10s %10s %10s %10s %9s\n", "", "first page", "last page", "sizes", "outline", "search",
                "peak MB");
    std::printf("%-22s %10.1f %10.1f %10.1f %10.1f %10.1f %9lld\n", "helper", first, last, sizes, outline, search,
                helperPeak / 1024);
    std::printf("%-22s %10s %10s %10s %10.1f %10s %9s\n", "helper, in pieces", "-", "-", "-", pieces, "-", "-");
    std::printf("%-22s %10.1f %10.1f %10s %10.1f %10.1f %9.0f\n", "window", field(w, 0), field(w, 1), "-", field(w, 3),
                field(w, 2), field(w, 4) / 1024);
    std::printf("%-22s %10.1f %10.1f %10.1f %10.1f %10.1f %9.0f\n", "in one process", field(f, 0), field(f, 1),
                field(f, 2), field(f, 3), field(f, 4), field(f, 5) / 1024);
    std::printf("%-22s %10s %10.1f %10s %10s %10s %9lld\n", "mutool draw (whole)", "-", mutool.ms, "-", "-", "-",
                mutool.peakKb / 1024);
    std::printf("%-22s %10s %10.1f %10s %10s %10s %9lld\n", "pdftoppm (whole)", "-", pdftoppm.ms, "-", "-", "-",
                pdftoppm.peakKb / 1024);
    std::printf("%-22s %10s %10s %10s %10s %10.1f %9lld\n", "pdftotext (whole)", "-", "-", "-", "-", pdftotext.ms,
                pdftotext.peakKb / 1024);
    std::fflush(stdout);

    Figures figures;
    figures.pages = pages;
    figures.outline = entries > 0;
    figures.ms = {{QStringLiteral("helper: first page"), first},
                  {QStringLiteral("window: first page"), field(w, 0)},
                  {QStringLiteral("one process: first page"), field(f, 0)},
                  {QStringLiteral("helper: last page"), last},
                  {QStringLiteral("mutool: last page"), mutool.ms},
                  {QStringLiteral("pdftoppm: last page"), pdftoppm.ms},
                  {QStringLiteral("helper: search"), search},
                  {QStringLiteral("pdftotext: all text"), pdftotext.ms}};
    figures.peakMb = {{QStringLiteral("helper"), helperPeak / 1024.0},
                      {QStringLiteral("window"), field(w, 4) / 1024},
                      {QStringLiteral("one process"), field(f, 5) / 1024},
                      {QStringLiteral("mutool"), mutool.peakKb / 1024.0},
                      {QStringLiteral("pdftoppm"), pdftoppm.peakKb / 1024.0}};
    return figures;
}

// One panel: a series per name, page count across and the value up, both
// on log scales, a grid line every power of ten.
void drawPanel(QPainter &painter, const QRect &frame, const QString &title,
               const std::vector<std::pair<int, std::map<QString, double>>> &points)
{
    static const QColor colours[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
                                     QColor(0xff, 0x7f, 0x0e), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
                                     QColor(0xe3, 0x77, 0xc2), QColor(0x7f, 0x7f, 0x7f)};
    double low = 1e300;
    double high = 0;
    for (const auto &point : points) {
        for (const auto &[name, value] : point.second) {
            if (value > 0) {
                low = std::min(low, value);
                high = std::max(high, value);
            }
        }
    }
    if (high <= 0)
        return;
    const double yLow = std::floor(std::log10(low));
    const double yHigh = std::max(yLow + 1, std::ceil(std::log10(high)));
    const double xLow = 1;
    const double xHigh = 5;
    const QRect plot = frame.adjusted(70, 40, -190, -50);
    const auto at = [&](double pages, double value) {
        return QPointF(plot.left() + (std::log10(pages) - xLow) / (xHigh - xLow) * plot.width(),
                       plot.bottom() - (std::log10(value) - yLow) / (yHigh - yLow) * plot.height());
    };
    painter.setPen(Qt::black);
    painter.drawText(QRect(frame.left(), frame.top() + 8, frame.width(), 24), Qt::AlignHCenter, title);
    for (int decade = int(xLow); decade <= int(xHigh); ++decade) {
        const QPointF x = at(std::pow(10.0, decade), std::pow(10.0, yLow));
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(QPointF(x.x(), plot.top()), QPointF(x.x(), plot.bottom()));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(x.x() - 40, plot.bottom() + 6, 80, 18), Qt::AlignHCenter,
                         QLocale(QLocale::English).toString(qlonglong(std::llround(std::pow(10.0, decade)))));
    }
    for (int decade = int(yLow); decade <= int(yHigh); ++decade) {
        const QPointF y = at(std::pow(10.0, xLow), std::pow(10.0, decade));
        painter.setPen(QColor(225, 225, 225));
        painter.drawLine(QPointF(plot.left(), y.y()), QPointF(plot.right(), y.y()));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(plot.left() - 66, y.y() - 9, 60, 18), Qt::AlignRight | Qt::AlignVCenter,
                         QLocale(QLocale::English).toString(std::pow(10.0, decade), 'g', 6));
    }
    painter.drawRect(plot);
    painter.drawText(QRect(plot.left(), plot.bottom() + 26, plot.width(), 18), Qt::AlignHCenter,
                     QStringLiteral("pages"));
    int series = 0;
    for (const auto &entry : points.front().second) {
        const QString &name = entry.first;
        const QColor colour = colours[series % std::size(colours)];
        QPainterPath line;
        for (const auto &[pages, values] : points) {
            const double value = values.count(name) ? values.at(name) : -1;
            if (value <= 0)
                continue;
            const QPointF p = at(pages, value);
            if (line.elementCount() == 0)
                line.moveTo(p);
            else
                line.lineTo(p);
            painter.setPen(Qt::NoPen);
            painter.setBrush(colour);
            painter.drawEllipse(p, 3.5, 3.5);
        }
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(colour, 2));
        painter.drawPath(line);
        const int legendY = plot.top() + 10 + series * 20;
        painter.drawLine(plot.right() + 12, legendY, plot.right() + 32, legendY);
        painter.setPen(Qt::black);
        painter.drawText(QRect(plot.right() + 38, legendY - 9, 160, 18), Qt::AlignLeft | Qt::AlignVCenter, name);
        ++series;
    }
}

void drawPicture(const std::vector<Figures> &all, const QString &path)
{
    std::vector<std::pair<int, std::map<QString, double>>> times;
    std::vector<std::pair<int, std::map<QString, double>>> peaks;
    for (const Figures &figures : all) {
        if (figures.outline || figures.pages <= 0)
            continue;
        times.emplace_back(figures.pages, figures.ms);
        peaks.emplace_back(figures.pages, figures.peakMb);
    }
    if (times.empty())
        return;
    QImage picture(1500, 560, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    drawPanel(painter, QRect(0, 0, 750, 560), QStringLiteral("milliseconds, plain documents (one run each)"), times);
    drawPanel(painter, QRect(750, 0, 750, 560), QStringLiteral("peak resident MB"), peaks);
    painter.end();
    if (!picture.save(path))
        std::fprintf(stderr, "bench_scaling: cannot write %s\n", qPrintable(path));
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("pdfhelper"));
    QApplication::setApplicationName(QStringLiteral("pdfpreview"));
    qInstallMessageHandler(warningsOnly);
    QStringList args = app.arguments();
    QString picture;
    if (args.size() > 2 && args[1] == QLatin1String("--picture")) {
        picture = args[2];
        args.remove(1, 2);
    }
    if (args.size() == 3 && args[1] == QLatin1String("--window"))
        return windowRun(args[2]);
    if (args.size() == 3 && args[1] == QLatin1String("--floor"))
        return floorRun(args[2]);
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: bench_scaling DOCUMENT.pdf...\n");
        return 2;
    }
    std::printf("Each figure one run: ms, and peak resident MB of the process doing the work.\n");
    std::vector<Figures> all;
    for (int n = 1; n < args.size(); ++n)
        all.push_back(measure(QCoreApplication::applicationFilePath(), args[n]));
    if (!picture.isEmpty())
        drawPicture(all, picture);
    return 0;
}
