// Whole documents page by page, as a person scrolling through them has the
// pages drawn, at thumbnail, screen and print size, in a first and a second
// pass: through a helper with the shared-memory transport, with the PNG
// transport (our writer, and Qt's in a helper built with it), the same
// pdfium render in this process, and mutool and pdftoppm.
//
//   bench_transport DOCUMENT.pdf [--qt-helper PROGRAM]
//
// Figures are the median milliseconds a page, from the request leaving the
// caller to the QImage in its hands (for the helpers, started and connected
// before the clock runs); "x" columns divide by the in-process render.

#include "benchutil.h"
#include "helpersession.h"
#include "renderoptions.h"
#include "qpdfium.h"

#include <QCoreApplication>

#include <cstdio>
#include <functional>
#include <optional>

using pdfpreview::HelperSession;

namespace {

// Median per page over two passes, each over every page.
struct Passes {
    double first = -1;
    double second = -1;
};

// Times draw(page) over every page, twice.
Passes twoPasses(int pages, const std::function<bool(int)> &draw)
{
    Passes passes;
    for (double *pass : {&passes.first, &passes.second}) {
        std::vector<double> times;
        for (int page = 0; page < pages; ++page) {
            QElapsedTimer timer;
            timer.start();
            if (!draw(page))
                qFatal("page %d failed", page);
            times.push_back(msSince(timer));
        }
        *pass = median(times);
    }
    return passes;
}

Passes inProcess(const QString &document, QSize size, int pages)
{
    QPdfium engine{QLatin1String("bench")};
    engine.prepare();
    if (engine.loadFile(document, QString()) != QPdfium::Success)
        qFatal("cannot load %s", qPrintable(document));
    return twoPasses(pages, [&](int page) { return !engine.page(unsigned(page), size, false, 0).isNull(); });
}

Passes throughHelper(const QString &program, HelperSession::Transport transport, const QString &document,
                     QSize size, int pages)
{
    HelperSession session;
    if (!program.isEmpty())
        session.process().setProgram(program);
    session.process().setTransport(transport);
    if (!session.start(document) || !session.waitForConnected())
        return {};
    const Passes passes = twoPasses(pages, [&](int page) {
        const auto reply = session.render(pdfpreview::RenderOptions(0, false).request(page, size, 0));
        return reply && !reply->image.isNull();
    });
    session.finish();
    return passes;
}

QString figure(double value)
{
    return value < 0 ? QStringLiteral("n/a") : QString::number(value, 'f', 2);
}

QString ratio(double value, double floor)
{
    return value < 0 || floor <= 0 ? QStringLiteral("n/a") : QString::number(value / floor, 'f', 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(warningsOnly);
    const QStringList args = app.arguments();
    if (args.size() < 2)
        qFatal("usage: bench_transport DOCUMENT.pdf [--qt-helper PROGRAM]");
    const QString document = args.at(1);
    const int qtAt = int(args.indexOf(QStringLiteral("--qt-helper")));
    const QString qtHelper = qtAt > 0 ? args.value(qtAt + 1) : QString();

    int pages = 0;
    {
        QPdfium probe{QLatin1String("bench")};
        probe.prepare();
        if (probe.loadFile(document, QString()) != QPdfium::Success)
            qFatal("cannot load %s", qPrintable(document));
        pages = probe.pageCount();
    }
    std::printf("%s, %d pages; median ms a page; pass 1 / pass 2\n", qPrintable(document), pages);
    std::printf("%-10s %-9s %13s %13s %13s %13s %9s %9s %9s %9s\n", "size", "", "in-process", "shared",
                "PNG fast", "PNG Qt", "shared x", "fast x", "mutool", "pdftoppm");
    for (const PreviewPageSize &c : PreviewPageSizes) {
        const Passes floor = inProcess(document, c.size, pages);
        const Passes shared = throughHelper(QString(), HelperSession::Transport::Shared, document, c.size, pages);
        const Passes png = throughHelper(QString(), HelperSession::Transport::Png, document, c.size, pages);
        const Passes qt = qtHelper.isEmpty()
                              ? Passes{}
                              : throughHelper(qtHelper, HelperSession::Transport::Png, document, c.size, pages);
        const double mutool = mutoolPerPage(document, c.size, pages);
        const double pdftoppm = pdftoppmPerPage(document, c.size, pages);
        const QString sizeText = QStringLiteral("%1x%2").arg(c.size.width()).arg(c.size.height());
        for (int pass = 0; pass < 2; ++pass) {
            const auto pick = [pass](const Passes &p) { return pass == 0 ? p.first : p.second; };
            std::printf("%-10s %-9s %13s %13s %13s %13s %9s %9s %9s %9s\n", pass == 0 ? c.name : "",
                        qPrintable(pass == 0 ? sizeText : QStringLiteral("  again")), qPrintable(figure(pick(floor))),
                        qPrintable(figure(pick(shared))), qPrintable(figure(pick(png))), qPrintable(figure(pick(qt))),
                        qPrintable(ratio(pick(shared), pick(floor))), qPrintable(ratio(pick(png), pick(floor))),
                        qPrintable(pass == 0 ? figure(mutool) : QString()),
                        qPrintable(pass == 0 ? figure(pdftoppm) : QString()));
        }
    }
    return 0;
}
