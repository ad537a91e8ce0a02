// pdfhelper-client: drives the helper from the command line the way the
// preview application does, for people and scripts.

#include "contract.h"
#include "annotationscanjob.h"
#include "helpersession.h"
#include "neighbourprefetcher.h"
#include "pngfile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

enum ExitCode {
    Ok = 0,
    UsageError = 1,
    NoSuchFile = 2,
    NotLoadable = 3,
    PasswordProblem = 4,
    RenderFailed = 5,
    HelperFailed = 6,
    OutputFailed = 7,
};

constexpr int ConnectMsecs = 60000;
constexpr int ReplyMsecs = 300000;

void say(const QString &text)
{
    std::fprintf(stderr, "pdfhelper-client: %s\n", qPrintable(text));
}

void out(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    // Lines such as the steps of switch are read as they come.
    std::fflush(stdout);
}

struct Options {
    QString command;
    QString file;
    QString password; // null: none given
    QString helper;
    bool verbose = false;
    pdfpreview::HelperSession::Transport transport = pdfpreview::HelperSession::Transport::Shared;
    QCommandLineParser *parser = nullptr;
};

int loadFailure(const Options &options)
{
    if (pdfpreview::looksEncrypted(options.file)) {
        if (options.password.isNull())
            say(QStringLiteral("%1 is password-protected; give the password with --password").arg(options.file));
        else
            say(QStringLiteral("wrong password for %1").arg(options.file));
        return PasswordProblem;
    }
    say(QStringLiteral("%1 could not be opened as a PDF document (damaged or not a PDF)").arg(options.file));
    return NotLoadable;
}

int checkInput(const Options &options)
{
    const QFileInfo info(options.file);
    if (!info.exists()) {
        say(QStringLiteral("%1: no such file").arg(options.file));
        return NoSuchFile;
    }
    if (!info.isFile() || !info.isReadable()) {
        say(QStringLiteral("%1: not a readable file").arg(options.file));
        return NoSuchFile;
    }
    return Ok;
}

int lostHelper(const pdfpreview::HelperSession &session)
{
    if (session.state() == pdfpreview::HelperSession::State::Connected)
        say(QStringLiteral("no reply from the helper within %1 s").arg(ReplyMsecs / 1000));
    else
        say(QStringLiteral("the helper went away before replying%1")
                .arg(session.process().crashed() ? QStringLiteral(" (it crashed)") : QString()));
    return HelperFailed;
}

// Checks the document, starts the helper on it and waits for it to connect.
// Returns Ok or the exit code to end with, having said why.
int connect(pdfpreview::HelperSession &session, const Options &options)
{
    if (const int code = checkInput(options))
        return code;
    if (!options.helper.isEmpty())
        session.process().setProgram(options.helper);
    session.process().setForwardLog(options.verbose);
    session.process().setTransport(options.transport);
    if (options.verbose) {
        QObject::connect(&session.process(), &pdfpreview::HelperProcess::traceLine, [](const QString &line) {
            std::fprintf(stderr, "[helper] %s\n", qPrintable(line));
        });
    }
    if (!session.start(options.file, options.password)) {
        say(session.process().errorString());
        return HelperFailed;
    }
    if (session.waitForConnected(ConnectMsecs))
        return Ok;
    // It connected and went before its connection's first answers.
    if (session.state() == pdfpreview::HelperSession::State::Closing) {
        session.waitForFinished(ReplyMsecs);
        return lostHelper(session);
    }
    if (session.state() == pdfpreview::HelperSession::State::Finished && !session.process().crashed()
        && session.process().exitCode() == HelperExit::ServerLoadFailed) {
        return loadFailure(options);
    }
    if (session.state() == pdfpreview::HelperSession::State::Finished)
        say(QStringLiteral("the helper ended without connecting (exit code %1)").arg(session.process().exitCode()));
    else
        say(QStringLiteral("the helper did not connect within %1 s").arg(ConnectMsecs / 1000));
    return HelperFailed;
}


// Ends the session; a helper that does not end cleanly is worth a word, but
// the work is done by then.
void close(pdfpreview::HelperSession &session)
{
    if (!session.finish() || session.process().exitCode() != 0)
        say(QStringLiteral("note: the helper did not end cleanly (exit code %1)").arg(session.process().exitCode()));
}

bool parseInt(const QString &text, int &value)
{
    bool ok = false;
    value = text.toInt(&ok, 10);
    return ok;
}

// --size WxH, both positive; says what is wrong when it is not.
bool parseSize(const QCommandLineParser &parser, QSize &size)
{
    const QRegularExpression sizePattern(QStringLiteral("^(\\d+)[xX](\\d+)$"));
    const QRegularExpressionMatch match = sizePattern.match(parser.value(QStringLiteral("size")));
    int width = 0;
    int height = 0;
    if (!match.hasMatch() || !parseInt(match.captured(1), width) || !parseInt(match.captured(2), height)
        || width <= 0 || height <= 0) {
        say(QStringLiteral("--size WxH needs a positive width and height, such as 800x600"));
        return false;
    }
    size = QSize(width, height);
    return true;
}

int render(const Options &options)
{
    const QCommandLineParser &parser = *options.parser;
    PageRequest request;
    if (!parser.isSet(QStringLiteral("page")) || !parseInt(parser.value(QStringLiteral("page")), request.pageIndex)) {
        say(QStringLiteral("render needs --page N (zero-based)"));
        return UsageError;
    }
    if (!parseSize(parser, request.size))
        return UsageError;
    const int width = request.size.width();
    const int height = request.size.height();
    if (parser.isSet(QStringLiteral("rotate"))
        && (!parseInt(parser.value(QStringLiteral("rotate")), request.rotation) || request.rotation % 90 != 0)) {
        say(QStringLiteral("--rotate takes degrees in quarter turns: 0, 90, 180, 270, -90 and so on"));
        return UsageError;
    }
    request.annotations = parser.isSet(QStringLiteral("annotations"));
    request.invert = parser.isSet(QStringLiteral("invert"));
    const QString output = parser.value(QStringLiteral("output"));
    if (output.isEmpty()) {
        say(QStringLiteral("render needs -o OUT.png"));
        return UsageError;
    }
    pdfpreview::HelperSession session;
    if (const int code = connect(session, options))
        return code;
    const std::optional<PageRequest> reply = session.render(request, ReplyMsecs);
    if (!reply)
        return lostHelper(session);
    close(session);
    if (reply->image.isNull()) {
        if (!fitsImageBound(request.size)) {
            say(QStringLiteral("%1x%2 is over the helper's bound of %3 MiB for one image; ask for a smaller size")
                    .arg(width)
                    .arg(height)
                    .arg(MaxImageMegabytes));
        } else {
            say(QStringLiteral("the helper could not render page %1 of %2 (is there such a page?)")
                    .arg(request.pageIndex)
                    .arg(options.file));
        }
        return RenderFailed;
    }
    if (!pdfpreview::writePngWhole(reply->image, output)) {
        say(QStringLiteral("cannot write %1").arg(output));
        return OutputFailed;
    }
    out(QStringLiteral("%1: page %2, %3x%4").arg(output).arg(request.pageIndex).arg(width).arg(height));
    return Ok;
}

// Every page in order through one session, as a person scrolling through
// the document has them drawn: per-page median, total and pages a second.
int timePages(const Options &options)
{
    PageRequest request;
    if (!parseSize(*options.parser, request.size))
        return UsageError;
    request.annotations = options.parser->isSet(QStringLiteral("annotations"));
    pdfpreview::HelperSession session;
    if (const int code = connect(session, options))
        return code;
    const std::optional<QList<QSize>> sizes = session.pageSizes(ReplyMsecs);
    if (!sizes)
        return lostHelper(session);
    std::vector<double> perPage;
    QElapsedTimer total;
    total.start();
    bool shared = true;
    for (int page = 0; page < sizes->size(); ++page) {
        request.pageIndex = page;
        QElapsedTimer one;
        one.start();
        const std::optional<PageRequest> reply = session.render(request, ReplyMsecs);
        if (!reply)
            return lostHelper(session);
        if (reply->image.isNull()) {
            say(QStringLiteral("page %1 could not be rendered").arg(page));
            return RenderFailed;
        }
        perPage.push_back(one.nsecsElapsed() / 1e6);
        shared = shared && session.lastRenderShared();
    }
    const double seconds = total.nsecsElapsed() / 1e9;
    close(session);
    std::sort(perPage.begin(), perPage.end());
    const double median = perPage.empty() ? 0 : perPage[perPage.size() / 2];
    out(QStringLiteral("%1 pages at %2x%3 through %4: median %5 ms a page, total %6 ms, %7 pages/s")
            .arg(perPage.size())
            .arg(request.size.width())
            .arg(request.size.height())
            .arg(shared ? QStringLiteral("shared memory") : QStringLiteral("PNG"))
            .arg(median, 0, 'f', 2)
            .arg(seconds * 1000, 0, 'f', 1)
            .arg(seconds > 0 ? perPage.size() / seconds : 0, 0, 'f', 1));
    return Ok;
}

// Runs the event loop for msecs, or until done.
void runFor(int msecs, const std::function<bool()> &done = {})
{
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done && done())
            loop.quit();
    });
    limit.start(msecs);
    poll.start(1);
    if (!done || !done())
        loop.exec();
}

// Opens the files one after the other, as a person stepping through a
// folder does, and reads each for a while: how long each step takes until
// the first page is in hand, with helpers started ahead or without.
int switchFiles(const Options &options, const QStringList &files)
{
    PageRequest request;
    if (!parseSize(*options.parser, request.size))
        return UsageError;
    request.pageIndex = 0;
    request.annotations = options.parser->isSet(QStringLiteral("annotations"));
    int dwell = 300;
    if (options.parser->isSet(QStringLiteral("dwell"))
        && (!parseInt(options.parser->value(QStringLiteral("dwell")), dwell) || dwell < 0)) {
        say(QStringLiteral("--dwell takes milliseconds"));
        return UsageError;
    }
    for (const QString &file : files) {
        Options one = options;
        one.file = file;
        if (const int code = checkInput(one))
            return code;
    }
    const QString helper = options.helper.isEmpty() ? pdfpreview::defaultHelperProgram() : options.helper;
    pdfpreview::NeighbourPrefetcher prefetcher;
    prefetcher.setHelperProgram(helper);
    prefetcher.setAhead(options.parser->isSet(QStringLiteral("no-prefetch")) ? 0 : 2);
    const QSize size = request.size;
    prefetcher.setFirstPage(pdfpreview::RenderOptions::of(request), [size](const QSize &) { return size; });
    prefetcher.setFiles(files);

    std::unique_ptr<pdfpreview::HelperSession> current;
    std::vector<double> steps;
    for (int i = 0; i < files.size(); ++i) {
        const QString &file = files.at(i);
        QElapsedTimer timer;
        timer.start();
        // The document read before is closed once the next one is in view.
        std::unique_ptr<pdfpreview::HelperSession> previous = std::move(current);
        QImage image;
        if (std::unique_ptr<pdfpreview::Prefetch> ahead = prefetcher.take(file)) {
            using Stage = pdfpreview::Prefetch::Stage;
            runFor(ReplyMsecs, [&] { return ahead->stage() == Stage::Ready || ahead->stage() == Stage::Failed; });
            if (ahead->stage() == Stage::Ready && ahead->firstPage().size() == size) {
                image = ahead->firstPage();
                current = std::make_unique<pdfpreview::HelperSession>(ahead->takeProcess());
            }
        }
        if (image.isNull()) {
            current = std::make_unique<pdfpreview::HelperSession>();
            Options one = options;
            one.file = file;
            if (const int code = connect(*current, one))
                return code;
            const std::optional<PageRequest> reply = current->render(request, ReplyMsecs);
            if (!reply)
                return lostHelper(*current);
            image = reply->image;
        }
        if (image.isNull()) {
            say(QStringLiteral("the first page of %1 could not be rendered").arg(file));
            return RenderFailed;
        }
        const double ms = timer.nsecsElapsed() / 1e6;
        if (i > 0)
            steps.push_back(ms);
        out(QStringLiteral("%1 %2 %3 ms").arg(i == 0 ? QStringLiteral("open") : QStringLiteral("step"), file)
                .arg(ms, 0, 'f', 1));
        previous.reset();
        prefetcher.setCurrent(file);
        runFor(dwell);
    }
    current.reset();
    std::sort(steps.begin(), steps.end());
    const double median = steps.empty() ? 0 : steps[steps.size() / 2];
    out(QStringLiteral("switch median %1 ms over %2 steps").arg(median, 0, 'f', 1).arg(steps.size()));
    return Ok;
}

QJsonArray toJson(const QList<BookmarkNode> &nodes)
{
    QJsonArray array;
    for (const BookmarkNode &node : nodes) {
        array.append(QJsonObject{
            {QStringLiteral("title"), node.title},
            {QStringLiteral("page"), node.pageIndex},
            {QStringLiteral("children"), toJson(node.children)},
        });
    }
    return array;
}

void printTree(const QList<BookmarkNode> &nodes, int depth)
{
    for (const BookmarkNode &node : nodes) {
        const QString page = node.pageIndex >= 0 ? QStringLiteral("page %1").arg(node.pageIndex)
                                                 : QStringLiteral("no page");
        out(QStringLiteral("%1%2  [%3]").arg(QString(depth * 2, QLatin1Char(' ')), node.title, page));
        printTree(node.children, depth + 1);
    }
}

int outline(const Options &options)
{
    pdfpreview::HelperSession session;
    if (const int code = connect(session, options))
        return code;
    const std::optional<QList<BookmarkNode>> nodes = session.outline(ReplyMsecs);
    if (!nodes)
        return lostHelper(session);
    close(session);
    if (options.parser->isSet(QStringLiteral("json"))) {
        out(QString::fromUtf8(QJsonDocument(toJson(*nodes)).toJson(QJsonDocument::Indented)).trimmed());
    } else {
        if (nodes->isEmpty())
            say(QStringLiteral("%1 has no outline").arg(options.file));
        printTree(*nodes, 0);
    }
    return Ok;
}

int annotations(const Options &options)
{
    if (const int code = checkInput(options))
        return code;
    const QString helper = options.helper.isEmpty() ? pdfpreview::defaultHelperProgram() : options.helper;
    const pdfpreview::AnnotationScan scan =
        pdfpreview::scanAnnotatedPages(helper, options.file, options.password, ReplyMsecs);
    if (!scan.ran) {
        say(scan.error);
        return HelperFailed;
    }
    switch (scan.exitCode) {
    case 0:
        for (int page : scan.pages)
            out(QString::number(page));
        return Ok;
    case HelperExit::NoAnnotatedPage:
        say(QStringLiteral("no page of %1 carries markup annotations").arg(options.file));
        return Ok;
    case HelperExit::ScanLoadFailed:
        return loadFailure(options);
    default:
        say(QStringLiteral("the annotation scan failed (helper exit code %1)").arg(scan.exitCode));
        return HelperFailed;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pdfhelper-client"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PDFHELPER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs pdfhelper on a PDF document.\n\n"
        "  render FILE.pdf --page N --size WxH [--annotations] [--rotate DEG] [--invert]\n"
        "                  [--password P] [--transport shared|png] -o OUT.png\n"
        "      renders page N (zero-based) into a PNG of exactly WxH pixels; DEG is a\n"
        "      multiple of 90, clockwise (negative: counter-clockwise); for a quarter turn,\n"
        "      give the size of the turned image\n"
        "  outline FILE.pdf [--json] [--password P]\n"
        "      prints the document outline with the zero-based page of every entry\n"
        "  annotations FILE.pdf [--password P]\n"
        "      prints the zero-based pages that carry markup annotations, one per line\n"
        "  time FILE.pdf --size WxH [--annotations] [--transport shared|png] [--password P]\n"
        "      renders every page in order through one helper and prints the median\n"
        "      time a page, the total and the pages per second\n"
        "  switch FILE.pdf FILE.pdf... --size WxH [--dwell MS] [--no-prefetch]\n"
        "      opens the files one after the other, reading each for MS milliseconds\n"
        "      (300), with helpers started ahead for the neighbouring files unless\n"
        "      --no-prefetch, and prints how long each step took to its first page\n"
        "      prints the zero-based pages that carry markup annotations, one per line\n\n"
        "Exit codes: 0 done, 1 bad command line, 2 no such file, 3 not a loadable PDF,\n"
        "4 wrong or missing password, 5 the page could not be rendered, 6 the helper failed,\n"
        "7 the output could not be written."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("render, outline, annotations, time or switch"));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("the PDF document"));
    parser.addOptions({
        {QStringLiteral("page"), QStringLiteral("Zero-based page to render."), QStringLiteral("N")},
        {QStringLiteral("size"), QStringLiteral("Pixel size of the image, such as 800x600."), QStringLiteral("WxH")},
        {QStringLiteral("annotations"), QStringLiteral("Draw the page's annotations too.")},
        {QStringLiteral("rotate"), QStringLiteral("Rotation in degrees, clockwise."), QStringLiteral("DEG")},
        {QStringLiteral("invert"), QStringLiteral("Invert the colours.")},
        {{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("PNG file to write."), QStringLiteral("OUT.png")},
        {QStringLiteral("json"), QStringLiteral("Print the outline as JSON.")},
        {QStringLiteral("password"), QStringLiteral("Password of the document."), QStringLiteral("P")},
        {QStringLiteral("helper"), QStringLiteral("The pdfhelper executable to run."), QStringLiteral("PATH")},
        {QStringLiteral("verbose"), QStringLiteral("Show the helper's trace and log.")},
        {QStringLiteral("dwell"), QStringLiteral("switch: how long each file is read, in ms."), QStringLiteral("MS")},
        {QStringLiteral("no-prefetch"), QStringLiteral("switch: start no helper ahead.")},
        {QStringLiteral("transport"),
         QStringLiteral("How pages come back: shared (memory both share; the default) or png."),
         QStringLiteral("shared|png"), QStringLiteral("shared")},
    });
    if (!parser.parse(QCoreApplication::arguments())) {
        say(parser.errorText());
        return UsageError;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Ok;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        out(QStringLiteral("pdfhelper-client ") + QCoreApplication::applicationVersion());
        return Ok;
    }

    const QStringList positional = parser.positionalArguments();
    const bool switching = positional.value(0) == QLatin1String("switch");
    if (switching ? positional.size() < 3 : positional.size() != 2) {
        say(QStringLiteral("expected a command and one PDF file; see --help"));
        return UsageError;
    }
    Options options;
    options.command = positional.at(0);
    options.file = positional.at(1);
    if (parser.isSet(QStringLiteral("password")))
        options.password = parser.value(QStringLiteral("password"));
    options.helper = parser.value(QStringLiteral("helper"));
    options.verbose = parser.isSet(QStringLiteral("verbose"));
    const QString transport = parser.value(QStringLiteral("transport"));
    if (transport == QLatin1String("png")) {
        options.transport = pdfpreview::HelperSession::Transport::Png;
    } else if (transport != QLatin1String("shared")) {
        say(QStringLiteral("--transport takes shared or png"));
        return UsageError;
    }
    options.parser = &parser;

    if (options.command == QLatin1String("render"))
        return render(options);
    if (options.command == QLatin1String("outline"))
        return outline(options);
    if (options.command == QLatin1String("annotations"))
        return annotations(options);
    if (options.command == QLatin1String("time"))
        return timePages(options);
    if (switching)
        return switchFiles(options, positional.mid(1));
    say(QStringLiteral("unknown command %1; use render, outline, annotations, time or switch").arg(options.command));
    return UsageError;
}
