// pdfhelper-thumbnailer: the first page of a PDF as a file manager's
// thumbnail, drawn by a helper process so that a hostile file reaches only
// that helper (and its sandbox), never the file manager's thumbnail service.
// The helper is this process's own fork, which costs a process start less
// than starting pdfhelper, or with --helper that program, executed in the
// fork. On Windows, which cannot fork, pdfhelper is started as the preview
// application starts it.

#include "contract.h"
#include "framing.h"
#include "helperexit.h"
#include "pngfield.h"
#include "pngfile.h"
#include "pngreader.h"
#include "pngwriter.h"
#include "renderoptions.h"
#include "thumbnail.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>

#ifdef Q_OS_WIN
#include "helpersession.h"
#else
#include "areablocks.h"
#include "forkedhelper.h"
#include "sharedarea.h"

#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

namespace Exit = pdfpreview::ThumbnailExit;

// QT_LOGGING_RULES="pdfpreview.thumbnailer.debug=true" shows where the time
// goes.
Q_LOGGING_CATEGORY(lcThumbnailer, "pdfpreview.thumbnailer", QtWarningMsg)

void say(const QString &text)
{
    std::fprintf(stderr, "pdfhelper-thumbnailer: %s\n", qPrintable(text));
}

struct Job {
    QString input;   // as given, for messages
    QString path;    // the local file
    QString output;
    int size = 0;
    int timeoutSecs = pdfpreview::DefaultThumbnailTimeoutSecs;
    QString helper;
    bool verbose = false;
};

int timedOut(const Job &job)
{
    say(QStringLiteral("no thumbnail of %1 within %2 s; the helper was stopped").arg(job.input).arg(job.timeoutSecs));
    return Exit::TimedOut;
}

// Why a helper ended without the thumbnail.
int ended(const Job &job, bool crashed, int exitCode)
{
    if (!crashed && exitCode == HelperExit::ServerLoadFailed) {
        if (pdfpreview::looksEncrypted(job.path)) {
            say(QStringLiteral("%1 is encrypted and needs a password; no thumbnail").arg(job.input));
            return Exit::Encrypted;
        }
        say(QStringLiteral("%1 is not a PDF document or is damaged").arg(job.input));
        return Exit::NotAPdf;
    }
    say(QStringLiteral("the helper ended before the thumbnail of %1 was drawn (%2)")
            .arg(job.input, crashed ? QStringLiteral("it crashed") : QStringLiteral("exit code %1").arg(exitCode)));
    return Exit::HelperCrashed;
}

// Where the input and the output are checked before any helper runs.
int checkFiles(const Job &job)
{
    const QFileInfo input(job.path);
    if (!input.isFile() || !input.isReadable()) {
        say(QStringLiteral("%1: %2").arg(job.input, input.exists() ? QStringLiteral("not a readable file")
                                                                     : QStringLiteral("no such file")));
        return Exit::InputUnreadable;
    }
    const QFileInfo outputFolder(QFileInfo(job.output).absolutePath());
    if (!outputFolder.isDir() || !outputFolder.isWritable()) {
        say(QStringLiteral("cannot write %1: its folder is missing or not writable").arg(job.output));
        return Exit::OutputFailed;
    }
    return Exit::Written;
}

// The render request for the first page, once the page sizes are known.
std::optional<PageRequest> firstPageRequest(const Job &job, const QList<QSize> &pageSizes)
{
    if (pageSizes.isEmpty()) {
        say(QStringLiteral("%1 has no pages").arg(job.input));
        return std::nullopt;
    }
    return pdfpreview::RenderOptions(0, true).request(0, pdfpreview::thumbnailSize(pageSizes.first(), job.size));
}

int writeThumbnail(const Job &job, PngWriter &writer, const QImage &page)
{
    if (page.isNull()) {
        say(QStringLiteral("the first page of %1 could not be drawn (damaged)").arg(job.input));
        return Exit::NotAPdf;
    }
    // A page is opaque: no alpha channel to store. Encoded here rather than
    // passed on as the helper sent it, so that what reaches the file
    // manager's image reader is a file this process made, whatever a
    // subverted helper sends.
    if (!pdfpreview::writeFileWhole(writer.writeOpaque(page), job.output, pdfpreview::Durability::ProcessFailures)) {
        say(QStringLiteral("cannot write %1").arg(job.output));
        return Exit::OutputFailed;
    }
    return Exit::Written;
}

#ifdef Q_OS_WIN
using pdfpreview::HelperSession;

// Milliseconds left, at least one so that a wait never means "forever".
int remaining(const QDeadlineTimer &deadline)
{
    return int(qBound(qint64(1), deadline.remainingTime(), qint64(24) * 3600 * 1000));
}

// Why a session that should have answered did not.
int lost(HelperSession &session, const Job &job)
{
    // Closing: it connected and went before its connection's first answers.
    if (session.state() != HelperSession::State::Finished && session.state() != HelperSession::State::Closing) {
        session.process().kill();
        return timedOut(job);
    }
    session.waitForFinished(1000);
    return ended(job, session.process().crashed(), session.process().exitCode());
}

int thumbnail(const Job &job)
{
    // The helper's connection and process need an event loop.
    int argc = 1;
    static char name[] = "pdfhelper-thumbnailer";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const QDeadlineTimer deadline(qint64(job.timeoutSecs) * 1000);
    QElapsedTimer spent;
    spent.start();
    HelperSession session;
    if (!job.helper.isEmpty())
        session.process().setProgram(job.helper);
    session.process().setForwardLog(job.verbose);
    if (!session.start(job.path)) {
        say(session.process().errorString());
        return Exit::HelperCrashed;
    }
    if (!session.waitForConnected(remaining(deadline)))
        return lost(session, job);
    qCDebug(lcThumbnailer) << "helper connected and probed after" << spent.nsecsElapsed() / 1000 << "us";
    const std::optional<QList<QSize>> pageSizes = session.pageSizes(remaining(deadline));
    if (!pageSizes)
        return lost(session, job);
    const std::optional<PageRequest> request = firstPageRequest(job, *pageSizes);
    if (!request)
        return Exit::NotAPdf;
    const std::optional<PageRequest> reply = session.render(*request, remaining(deadline));
    if (!reply)
        return lost(session, job);
    qCDebug(lcThumbnailer) << "first page drawn after" << spent.nsecsElapsed() / 1000 << "us";
    // The helper's part is over: it ends while the thumbnail is written.
    session.close();
    PngWriter writer;
    const int code = writeThumbnail(job, writer, reply->image);
    if (!session.waitForFinished(remaining(deadline)))
        session.process().kill();
    return code;
}
#else
using pdfpreview::ForkedHelper;

// Why a forked helper that should have answered did not.
int lost(ForkedHelper &helper, ForkedHelper::Answer answer, const Job &job, const QDeadlineTimer &deadline)
{
    // A helper that closed its connection ends at once; one that does not
    // is as good as out of time.
    if (answer == ForkedHelper::Answer::TimedOut
        || !helper.waitForEnd(QDeadlineTimer(qMax<qint64>(deadline.remainingTime(), 1000)))) {
        helper.kill();
        return timedOut(job);
    }
    return ended(job, helper.end().crashed, helper.end().exitCode);
}

// An area for the largest page a thumbnail of this size can have, offered
// before the first question, so that it is made and taken while the helper
// starts. Null where the system gives none or the offer could not go.
std::shared_ptr<pdfpreview::AreaBlocks> offerArea(ForkedHelper &helper, int size, const QDeadlineTimer &deadline)
{
    const qint64 bytes = pdfpreview::AreaBlocks::blockBytes(qint64(size) * size * 4);
    auto area = std::make_unique<SharedArea>();
    const qint64 handle = area->createUnnamed(bytes) ? helper.handOver(*area) : -1;
    area->dropHandle();
    if (handle < 0
        || helper.send(
               buildPacket(PacketType::SharedAreaOffer, SharedAreaOfferRecord{QString(), quint64(bytes), handle}),
               deadline)
            != ForkedHelper::Answer::Read)
        return nullptr;
    return std::make_shared<pdfpreview::AreaBlocks>(std::move(area));
}

// The page drawn straight into the area: the helper makes no PNG, and this
// side unpacks none. A null page, with the answer Read, where it did not fit.
ForkedHelper::Answer drawIntoArea(ForkedHelper &helper, const std::shared_ptr<pdfpreview::AreaBlocks> &area,
                                  const PageRequest &request, const QDeadlineTimer &deadline, QImage &page)
{
    const qint64 offset = area->take(qint64(request.size.width()) * request.size.height() * 4);
    if (offset < 0)
        return ForkedHelper::Answer::Read;
    PacketWriter writer(PacketType::SharedRenderRequest);
    writer.stream() << request << quint64(offset);
    return helper.ask(
        writer.finish(), PacketType::SharedRenderReply,
        [&](QDataStream &in) {
        PageRequest reply;
        SharedImage placed;
        in >> reply >> placed;
        // Checked against the block: a placement elsewhere gives no page.
        page = pdfpreview::AreaBlocks::imageIn(area, offset, placed);
        },
        deadline);
}

ForkedHelper::Answer drawAsPng(ForkedHelper &helper, const PageRequest &request, const QDeadlineTimer &deadline,
                               QImage &page)
{
    return helper.ask(
        buildPacket(PacketType::RenderRequest, request), PacketType::RenderReply,
        [&](QDataStream &in) {
        PageRequest reply;
        readPageRequestHead(in, reply);
        // Qt's reader would first load every image plugin there is.
        if (const std::optional<QByteArray> png = readPngField(in, MaxImageBytes))
            page = readRgbaPng(*png, MaxImageBytes / 4);
        },
        deadline);
}

// Two packets and their answers, nothing probed: the helper is this very
// build, or a pdfhelper that takes a connection handed to it.
int thumbnail(const Job &job)
{
    if (!job.helper.isEmpty() && !QFileInfo(job.helper).isExecutable()) {
        say(QStringLiteral("cannot run the helper %1: not an executable file").arg(job.helper));
        return Exit::HelperCrashed;
    }
    const QDeadlineTimer deadline(qint64(job.timeoutSecs) * 1000);
    QElapsedTimer spent;
    spent.start();
    ForkedHelper helper;
    if (!helper.start(job.path, job.verbose, job.helper)) {
        say(helper.errorString());
        return Exit::HelperCrashed;
    }
    // The helper forked from this very build knows the area; a program named
    // with --helper may be one that does not, and would leave the offer
    // unanswered.
    const auto area = job.helper.isEmpty() ? offerArea(helper, job.size, deadline) : nullptr;
    // A writer's first image costs it twice what the next one does, while
    // its tables are set up and paged in: paid on a pixel while the helper
    // starts.
    PngWriter writer;
    QImage pixel(1, 1, QImage::Format_RGB32);
    pixel.fill(Qt::white);
    writer.writeOpaque(pixel);
    QList<QSize> pageSizes;
    bool areaTaken = false;
    // Only the first page's size: a document of 100,000 pages would keep
    // pdfium reading sizes for seconds. A --helper program may not know the
    // question, and is asked for them all.
    const bool firstOnly = job.helper.isEmpty();
    ForkedHelper::Answer answer = helper.send(
        firstOnly ? buildPacket(PacketType::PageSizesRangeRequest, PageSizesRangeRecord{0, 1})
                  : buildPacket(PacketType::PageSizesRequest),
        deadline);
    if (answer == ForkedHelper::Answer::Read && area)
        answer = helper.receive(
            PacketType::SharedAreaReply, [&](QDataStream &in) { in >> areaTaken; }, deadline);
    if (answer == ForkedHelper::Answer::Read && firstOnly) {
        answer = helper.receive(
            PacketType::PageSizesRangeReply,
            [&](QDataStream &in) {
            PageSizesRangeReplyRecord reply;
            in >> reply;
            if (in.status() == QDataStream::Ok)
                pageSizes = reply.sizes;
            },
            deadline);
    } else if (answer == ForkedHelper::Answer::Read) {
        answer = helper.receive(
            PacketType::PageSizesReply, [&](QDataStream &in) { pageSizes = readPageSizes(in); }, deadline);
    }
    if (answer != ForkedHelper::Answer::Read)
        return lost(helper, answer, job, deadline);
    qCDebug(lcThumbnailer) << "page sizes after" << spent.nsecsElapsed() / 1000 << "us";
    const std::optional<PageRequest> request = firstPageRequest(job, pageSizes);
    if (!request)
        return Exit::NotAPdf;
    QImage page;
    if (area && areaTaken)
        answer = drawIntoArea(helper, area, *request, deadline, page);
    const bool shared = !page.isNull();
    if (!shared && answer == ForkedHelper::Answer::Read)
        answer = drawAsPng(helper, *request, deadline, page);
    if (answer != ForkedHelper::Answer::Read)
        return lost(helper, answer, job, deadline);
    qCDebug(lcThumbnailer) << "first page drawn after" << spent.nsecsElapsed() / 1000 << "us"
                           << (shared ? "into the shared area" : "as PNG");
    // The helper's part is over: it ends while the thumbnail is written.
    helper.closeConnection();
    const int code = writeThumbnail(job, writer, page);
    qCDebug(lcThumbnailer) << "written after" << spent.nsecsElapsed() / 1000 << "us";
    if (!helper.waitForEnd(deadline))
        helper.kill();
    qCDebug(lcThumbnailer) << "helper ended after" << spent.nsecsElapsed() / 1000 << "us";
    return code;
}
#endif

bool parseBounded(const QString &text, int low, int high, int &value)
{
    bool ok = false;
    value = text.toInt(&ok, 10);
    return ok && value >= low && value <= high;
}

} // namespace

int main(int argc, char *argv[])
{
#ifndef Q_OS_WIN
    // A caller that closed a standard stream would have the helper's
    // connection take its number, and the fork would put /dev/null over it.
    // What is opened in the place of one stays open for good, as that stream.
    int held = -1;
    while ((held = ::open("/dev/null", O_RDWR)) >= 0 && held <= STDERR_FILENO) { }
    if (held >= 0)
        ::close(held);
#endif
    // No application object before the helper is forked: the child makes
    // its own, and must not find this one's.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCoreApplication::setApplicationName(QStringLiteral("pdfhelper-thumbnailer"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PDFHELPER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes the first page of a PDF document as a PNG thumbnail, fitted into SIZE x SIZE\n"
                       "pixels with its aspect kept, at the page's own rotation, with annotations and form\n"
                       "fields drawn. The page is drawn by a sandboxed helper process, never by this one:\n"
                       "a fork of this one, made before the document is read, or the pdfhelper given with\n"
                       "--helper. File managers run it through share/thumbnailers/pdfhelper.thumbnailer.\n\n"
                       "INPUT is a path or a file:// URI. OUTPUT is written whole or not at all.\n\n"
                       "Exit codes: 0 written, 1 bad command line, 2 no such file or not readable,\n"
                       "3 not a PDF or damaged, 4 encrypted (needs a password), 5 the output could not be\n"
                       "written, 6 the helper could not start or crashed, 7 no thumbnail within the time\n"
                       "limit (the helper is stopped)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("INPUT"), QStringLiteral("The PDF document: a path or a file:// URI."));
    parser.addPositionalArgument(QStringLiteral("OUTPUT"), QStringLiteral("The PNG file to write."));
    parser.addOptions({
        {{QStringLiteral("s"), QStringLiteral("size")},
         QStringLiteral("The thumbnail's longest side in pixels, %1 to %2.")
             .arg(pdfpreview::MinThumbnailSize)
             .arg(pdfpreview::MaxThumbnailSize),
         QStringLiteral("SIZE")},
        {QStringLiteral("timeout"),
         QStringLiteral("Seconds to wait for the thumbnail, 1 to 3600 (default %1).")
             .arg(pdfpreview::DefaultThumbnailTimeoutSecs),
         QStringLiteral("SECONDS")},
        {QStringLiteral("helper"), QStringLiteral("The pdfhelper executable to run, instead of a fork of this one."),
         QStringLiteral("PATH")},
        {QStringLiteral("verbose"), QStringLiteral("Show the helper's log.")},
    });
    if (!parser.parse(arguments)) {
        say(parser.errorText());
        return Exit::UsageError;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        const QCoreApplication app(argc, argv);
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Exit::Written;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("pdfhelper-thumbnailer %s\n", PDFHELPER_VERSION);
        return Exit::Written;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2) {
        say(QStringLiteral("expected INPUT and OUTPUT; see --help"));
        return Exit::UsageError;
    }
    Job job;
    job.input = positional.at(0);
    job.output = positional.at(1);
    if (!parser.isSet(QStringLiteral("size"))
        || !parseBounded(parser.value(QStringLiteral("size")), pdfpreview::MinThumbnailSize,
                         pdfpreview::MaxThumbnailSize, job.size)) {
        say(QStringLiteral("-s SIZE takes the longest side in pixels, %1 to %2")
                .arg(pdfpreview::MinThumbnailSize)
                .arg(pdfpreview::MaxThumbnailSize));
        return Exit::UsageError;
    }
    if (parser.isSet(QStringLiteral("timeout"))
        && !parseBounded(parser.value(QStringLiteral("timeout")), 1, 3600, job.timeoutSecs)) {
        say(QStringLiteral("--timeout takes seconds, 1 to 3600"));
        return Exit::UsageError;
    }
    job.path = pdfpreview::thumbnailInputPath(job.input);
    if (job.path.isEmpty()) {
        say(QStringLiteral("%1 is not a local file").arg(job.input));
        return Exit::UsageError;
    }
    job.helper = parser.value(QStringLiteral("helper"));
    job.verbose = parser.isSet(QStringLiteral("verbose"));
    if (const int code = checkFiles(job))
        return code;
    const int code = thumbnail(job);
    // The thumbnail is written or given up and the helper reaped: what a
    // return from main would still do, the static destructors of some sixty
    // libraries, only costs the file manager time.
    std::fflush(nullptr);
    std::_Exit(code);
}
