// What the sandbox costs the first page, the one a person waits for.
//
//   bench_sandbox DOCUMENT.pdf [RUNS]
//
// stages     median time of the helper's stage calls in a fresh process (a
//            fork of this one, as the helper is fresh): mode 1's namespaces
//            alone, its three stages, and mode 0's one (namespaces included)
// first page median time from starting a helper to holding its first page
//            (screen size, through the shared area), with the sandbox and with
//            PDFHELPER_SANDBOX=off, runs alternating; and the difference
// ten        ten helpers one after the other, each started, its first page
//            taken and ended, with and without the sandbox: a network
//            namespace is torn down after its process has gone
// in process the same open, load and render in this process: the floor
// mutool, pdftoppm: a whole process drawing the first page to PNG

#include "benchutil.h"
#include "helpersession.h"
#include "renderoptions.h"
#include "qpdfium.h"
#include "sandbox.h"
#include "scanoutput.h"

#include <QCoreApplication>
#include <QLocalServer>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QSize PageSize(1240, 1754);

// Milliseconds the work took in a fresh child, sent back through a pipe.
double inChild(const std::function<void()> &work)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        QElapsedTimer timer;
        timer.start();
        work();
        const double ms = msSince(timer);
        ::_exit(::write(ends[1], &ms, sizeof ms) == sizeof ms ? 0 : 1);
    }
    ::close(ends[1]);
    double ms = -1;
    if (::read(ends[0], &ms, sizeof ms) != sizeof ms)
        ms = -1;
    ::close(ends[0]);
    ::waitpid(child, nullptr, 0);
    return ms;
}

double firstPage(const QString &document, bool sandboxed)
{
    if (sandboxed)
        qunsetenv("PDFHELPER_SANDBOX");
    else
        qputenv("PDFHELPER_SANDBOX", "off");
    QElapsedTimer timer;
    timer.start();
    pdfpreview::HelperSession session;
    if (!session.start(document) || !session.waitForConnected())
        return -1;
    const auto reply = session.render(pdfpreview::RenderOptions(0, true).request(0, PageSize, 0));
    const double ms = msSince(timer);
    qunsetenv("PDFHELPER_SANDBOX");
    return reply && !reply->image.isNull() && session.lastRenderShared() ? ms : -1;
}

double tenBackToBack(const QString &document, bool sandboxed)
{
    QElapsedTimer timer;
    timer.start();
    for (int helper = 0; helper < 10; ++helper) {
        if (firstPage(document, sandboxed) < 0)
            return -1;
    }
    return msSince(timer);
}

double externalFirstPage(const QString &program, const QStringList &args, int runs)
{
    if (QStandardPaths::findExecutable(program).isEmpty())
        return -1;
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        process.start(program, args);
        if (!process.waitForFinished(60000) || process.exitCode() != 0)
            return -1;
        times.push_back(msSince(timer));
    }
    return median(times);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(warningsOnly);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: bench_sandbox DOCUMENT.pdf [RUNS]\n");
        return 1;
    }
    const QString document = args.at(1);
    const int runs = args.size() > 2 ? qMax(3, args.at(2).toInt()) : 21;
    QTemporaryDir scratch;

    const QString server = scratch.filePath("server");
    QLocalServer listener;
    listener.listen(server);
    std::vector<double> namespaces, serve, scan, on, off, floor, tenOn, tenOff;
    for (int run = 0; run < runs; ++run) {
        namespaces.push_back(inChild([&] { Sandbox::enterServeNamespaces(server); }));
        serve.push_back(inChild([&] {
            Sandbox::enterServeNamespaces(server);
            const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            Sandbox::enterServeStage(document, socket);
            Sandbox::enterConnectedStage();
        }));
        scan.push_back(inChild([&] {
            ScanOutput output(scratch.filePath("pages.txt"));
            Sandbox::enterScanStage(document, output);
        }));
        on.push_back(firstPage(document, true));
        off.push_back(firstPage(document, false));
        floor.push_back(inChild([&] {
            QPdfium engine(QLatin1String("bench"));
            engine.prepare();
            if (engine.loadFile(document, QString()) == QPdfium::Success)
                engine.page(0, PageSize, true, 0);
        }));
    }
    for (int run = 0; run < qMax(3, runs / 4); ++run) {
        tenOn.push_back(tenBackToBack(document, true));
        tenOff.push_back(tenBackToBack(document, false));
    }
    const QString out = scratch.filePath("p");
    const double mutool = externalFirstPage(
        "mutool", {"draw", "-q", "-F", "png", "-w", "1240", "-h", "1754", "-o", out + "1.png", document, "1"}, runs);
    const double pdftoppm = externalFirstPage(
        "pdftoppm", {"-png", "-f", "1", "-l", "1", "-scale-to-x", "1240", "-scale-to-y", "1754", document, out}, runs);

    std::printf("%s, first page at %dx%d, medians of %d runs, ms\n", qPrintable(document), PageSize.width(),
                PageSize.height(), runs);
    std::printf("namespaces, mode 1        %8.3f\n", median(namespaces));
    std::printf("stages, mode 1 (all)      %8.3f\n", median(serve));
    std::printf("stage, mode 0             %8.3f\n", median(scan));
    std::printf("first page, sandboxed     %8.2f\n", median(on));
    std::printf("first page, sandbox off   %8.2f\n", median(off));
    std::printf("difference                %8.2f\n", median(on) - median(off));
    std::printf("ten helpers, sandboxed    %8.2f  (medians of %d)\n", median(tenOn), int(tenOn.size()));
    std::printf("ten helpers, sandbox off  %8.2f\n", median(tenOff));
    std::printf("in process (floor)        %8.2f\n", median(floor));
    std::printf("mutool draw               %8.2f\n", mutool);
    std::printf("pdftoppm                  %8.2f\n", pdftoppm);
    return 0;
}
