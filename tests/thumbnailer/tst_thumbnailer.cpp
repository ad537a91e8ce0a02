// pdfhelper-thumbnailer as a file manager runs it: a whole process, its exit
// code, the PNG it leaves, and what else it leaves (nothing).

#include "thumbnail.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace Exit = pdfpreview::ThumbnailExit;
using testsupport::fixture;

namespace {

// One thumbnailer run in a folder of its own, which is also its TMPDIR, so
// that whatever it or its helper leaves there is seen.
struct Run {
    testsupport::ProcessRun process;
    QString output;
    QString scratch;
};

class Scratch
{
public:
    Scratch() { QVERIFY(m_dir.isValid()); }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString tmp() const
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("tmp"));
        return m_dir.filePath(QStringLiteral("tmp"));
    }

private:
    QTemporaryDir m_dir;
};

// How the page is drawn: by a fork of the thumbnailer, or by the pdfhelper
// program named with --helper.
enum class Helper { Forked, Started };

testsupport::ProcessRun runThumbnailer(const QStringList &args, const QString &tmp,
                                       const QHash<QString, QString> &extra = {}, Helper helper = Helper::Forked)
{
    testsupport::RunOptions options;
    options.environment = extra;
    // A sanitized build would refuse a library preloaded before its runtime.
    if (extra.contains(QStringLiteral("LD_PRELOAD")))
        options.environment.insert(QStringLiteral("ASAN_OPTIONS"),
                                   qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":verify_asan_link_order=0"));
    options.environment.insert(QStringLiteral("TMPDIR"), tmp);
    // Qt would make its runtime folder under TMPDIR when this is unset, as it
    // is in GNOME's thumbnail sandbox.
    options.environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString());
    QStringList all;
    if (helper == Helper::Started)
        all << QStringLiteral("--helper") << testsupport::helperBinary();
    all += args;
    return testsupport::runProcess(QStringLiteral(PDFHELPER_THUMBNAILER), all, options);
}

QStringList entriesIn(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

// Processes whose command line names the folder: a helper started for this
// run gets a server name under it, and a forked one has the thumbnailer's
// command line, which names the output.
QStringList processesNaming(const QString &folder)
{
    QStringList found;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString &pid : pids) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(folder.toUtf8()))
            found << pid;
    }
    return found;
}

// Dark (the page's own black mark) or red (the annotation) near a corner.
enum class Mark { White, Black, Red };
Mark markAt(const QImage &image, bool right, bool bottom)
{
    const int inset = qMax(1, image.width() / 40);
    const QColor c = image.pixelColor(right ? image.width() - 1 - inset : inset,
                                      bottom ? image.height() - 1 - inset : inset);
    if (c.red() < 60 && c.green() < 60 && c.blue() < 60)
        return Mark::Black;
    if (c.red() > 200 && c.green() < 60 && c.blue() < 60)
        return Mark::Red;
    return Mark::White;
}

} // namespace

class TestThumbnailer : public QObject
{
    Q_OBJECT
private slots:
    void fitsTheFirstPage_data();
    void fitsTheFirstPage();
    void fileUriWithSpaces();
    void withoutStandardStreams();
    void failuresSayWhyAndLeaveNothing_data();
    void failuresSayWhyAndLeaveNothing();
    void aHelperThatDiesOrHangs_data();
    void aHelperThatDiesOrHangs();
    void anExistingThumbnailSurvivesAFailure();
    void inputPaths_data();
    void inputPaths();
};

void TestThumbnailer::fitsTheFirstPage_data()
{
    QTest::addColumn<QString>("document");
    QTest::addColumn<int>("size");
    QTest::addColumn<QSize>("expected");
    // Where the page's black mark and its red annotation land.
    QTest::addColumn<bool>("blackRight");
    QTest::addColumn<bool>("redRight");
    QTest::addColumn<Helper>("helper");
    // Pages of 300 x 500 points, turned or not; each document's second page
    // has another shape.
    QTest::newRow("portrait 256") << "thumb-portrait.pdf" << 256 << QSize(154, 256) << false << true << Helper::Forked;
    QTest::newRow("portrait 256, pdfhelper started")
        << "thumb-portrait.pdf" << 256 << QSize(154, 256) << false << true << Helper::Started;
    QTest::newRow("portrait 16") << "thumb-portrait.pdf" << 16 << QSize(10, 16) << false << true << Helper::Forked;
    QTest::newRow("landscape 128") << "thumb-landscape.pdf" << 128 << QSize(128, 77) << false << true << Helper::Forked;
    QTest::newRow("page's own quarter turn")
        << "thumb-rotated.pdf" << 512 << QSize(512, 307) << true << false << Helper::Forked;
    QTest::newRow("empty user password") << "thumb-empty-user-password.pdf" << 2048 << QSize(1229, 2048) << false
                                         << true << Helper::Forked;
}

void TestThumbnailer::fitsTheFirstPage()
{
    QFETCH(QString, document);
    QFETCH(int, size);
    QFETCH(QSize, expected);
    QFETCH(bool, blackRight);
    QFETCH(bool, redRight);
    QFETCH(Helper, helper);
    Scratch scratch;
    const QString output = scratch.path(QStringLiteral("thumb.png"));
    const testsupport::ProcessRun run = runThumbnailer(
        {QStringLiteral("-s"), QString::number(size), fixture(document), output}, scratch.tmp(), {}, helper);
    QCOMPARE(run.exitCode, int(Exit::Written));
    QCOMPARE(run.err, QString());
    const QImage image(output);
    QCOMPARE(image.size(), expected);
    QVERIFY(!image.hasAlphaChannel());
    if (size >= 128) {
        QCOMPARE(markAt(image, blackRight, false), Mark::Black);
        // The marks turn with the page: top right for a quarter turn.
        QCOMPARE(markAt(image, redRight, true), Mark::Red);
        QCOMPARE(markAt(image, !blackRight, false), Mark::White);
    }
    QCOMPARE(entriesIn(scratch.tmp()), QStringList());
}

void TestThumbnailer::fileUriWithSpaces()
{
    Scratch scratch;
    QDir().mkpath(scratch.path(QStringLiteral("my documents")));
    const QString input = scratch.path(QStringLiteral("my documents/a report #1 (100%).pdf"));
    QVERIFY(QFile::copy(fixture(QStringLiteral("thumb-landscape.pdf")), input));
    const QString uri = QString::fromLatin1(QUrl::fromLocalFile(input).toEncoded());
    QVERIFY(uri.contains(QLatin1String("%20")));
    const QString output = scratch.path(QStringLiteral("out put.png"));
    // Where the time goes says how the page came: the fork draws into the
    // area, which would otherwise go unnoticed, PNG being drawn instead.
    const testsupport::ProcessRun run = runThumbnailer(
        {QStringLiteral("-s"), QStringLiteral("256"), uri, output}, scratch.tmp(),
        {{QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("pdfpreview.thumbnailer.debug=true")}});
    QCOMPARE(run.exitCode, int(Exit::Written));
    QCOMPARE(QImage(output).size(), QSize(256, 154));
    QVERIFY2(run.err.contains(QLatin1String("into the shared area")), qPrintable(run.err));
}

// Run with its standard streams closed, as a careless caller may: the
// helper's connection must not end up where the fork puts /dev/null.
void TestThumbnailer::withoutStandardStreams()
{
    Scratch scratch;
    const QString output = scratch.path(QStringLiteral("t.png"));
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), QStringLiteral("exec \"$0\" -s 64 \"$1\" \"$2\" <&- >&- 2>&-"),
                 QStringLiteral(PDFHELPER_THUMBNAILER), fixture(QStringLiteral("plain.pdf")), output});
    QVERIFY(shell.waitForFinished(20000));
    QCOMPARE(shell.exitCode(), int(Exit::Written));
    QCOMPARE(QImage(output).size().height(), 64);
}

void TestThumbnailer::failuresSayWhyAndLeaveNothing_data()
{
    QTest::addColumn<QStringList>("args"); // OUT stands for the output
    QTest::addColumn<int>("exitCode");
    const QString out = QStringLiteral("OUT");
    const auto s256 = [&](const QString &input) { return QStringList{QStringLiteral("-s"), QStringLiteral("256"), input, out}; };
    QTest::newRow("no such file") << s256(QStringLiteral("/nonexistent/x.pdf")) << int(Exit::InputUnreadable);
    QTest::newRow("a folder") << s256(QStringLiteral("/")) << int(Exit::InputUnreadable);
    QTest::newRow("not a pdf") << s256(fixture(QStringLiteral("not-a-pdf.pdf"))) << int(Exit::NotAPdf);
    QTest::newRow("damaged") << s256(fixture(QStringLiteral("damaged.pdf"))) << int(Exit::NotAPdf);
    QTest::newRow("no pages") << s256(fixture(QStringLiteral("no-pages.pdf"))) << int(Exit::NotAPdf);
    QTest::newRow("encrypted") << s256(fixture(QStringLiteral("encrypted-rc4.pdf"))) << int(Exit::Encrypted);
    QTest::newRow("encrypted, AES") << s256(fixture(QStringLiteral("encrypted-aes256.pdf"))) << int(Exit::Encrypted);
    QTest::newRow("output folder missing")
        << QStringList{QStringLiteral("-s"), QStringLiteral("256"), fixture(QStringLiteral("plain.pdf")),
                       QStringLiteral("OUT/missing/t.png")}
        << int(Exit::OutputFailed);
    QTest::newRow("output is a folder")
        << QStringList{QStringLiteral("-s"), QStringLiteral("256"), fixture(QStringLiteral("plain.pdf")),
                       QStringLiteral("OUT/..")}
        << int(Exit::OutputFailed);
    QTest::newRow("size 15") << QStringList{QStringLiteral("-s"), QStringLiteral("15"), fixture(QStringLiteral("plain.pdf")), out}
                             << int(Exit::UsageError);
    QTest::newRow("size 2049") << QStringList{QStringLiteral("-s"), QStringLiteral("2049"), fixture(QStringLiteral("plain.pdf")), out}
                               << int(Exit::UsageError);
    QTest::newRow("no size") << QStringList{fixture(QStringLiteral("plain.pdf")), out} << int(Exit::UsageError);
    QTest::newRow("no output") << QStringList{QStringLiteral("-s"), QStringLiteral("256"), fixture(QStringLiteral("plain.pdf"))}
                               << int(Exit::UsageError);
    QTest::newRow("web address") << s256(QStringLiteral("https://example.org/a.pdf")) << int(Exit::UsageError);
    QTest::newRow("timeout 0") << (QStringList{QStringLiteral("--timeout"), QStringLiteral("0")} + s256(fixture(QStringLiteral("plain.pdf"))))
                               << int(Exit::UsageError);
}

void TestThumbnailer::failuresSayWhyAndLeaveNothing()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    Scratch scratch;
    const QString output = scratch.path(QStringLiteral("out"));
    QDir().mkpath(output);
    for (QString &arg : args) {
        if (arg == QLatin1String("OUT"))
            arg = output + QStringLiteral("/t.png");
        else if (arg.startsWith(QLatin1String("OUT/")))
            arg = output + arg.mid(3);
    }
    const testsupport::ProcessRun run = runThumbnailer(args, scratch.tmp());
    QCOMPARE(run.exitCode, exitCode);
    const QStringList lines = run.err.trimmed().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().startsWith(QLatin1String("pdfhelper-thumbnailer: ")), qPrintable(run.err));
    QCOMPARE(entriesIn(output), QStringList());
    QCOMPARE(entriesIn(scratch.tmp()), QStringList());
    QCOMPARE(processesNaming(scratch.path(QString())), QStringList());
}

void TestThumbnailer::aHelperThatDiesOrHangs_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<Helper>("helper");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("killed") << "kill" << Helper::Forked << int(Exit::HelperCrashed);
    // Only the fork loads the document: the thumbnailer itself survives.
    QTest::newRow("killed at the document's load") << "load" << Helper::Forked << int(Exit::HelperCrashed);
    QTest::newRow("hangs") << "hang" << Helper::Forked << int(Exit::TimedOut);
    QTest::newRow("started, killed") << "kill" << Helper::Started << int(Exit::HelperCrashed);
    QTest::newRow("started, hangs") << "hang" << Helper::Started << int(Exit::TimedOut);
}

void TestThumbnailer::aHelperThatDiesOrHangs()
{
    QFETCH(QString, how);
    QFETCH(Helper, helper);
    QFETCH(int, exitCode);
    Scratch scratch;
    const QString output = scratch.path(QStringLiteral("t.png"));
    QElapsedTimer timer;
    timer.start();
    const testsupport::ProcessRun run = runThumbnailer(
        {QStringLiteral("--timeout"), QStringLiteral("1"), QStringLiteral("-s"), QStringLiteral("128"),
         fixture(QStringLiteral("plain.pdf")), output},
        scratch.tmp(),
        {{QStringLiteral("LD_PRELOAD"), QStringLiteral(PDFHELPER_FAILING_PAGE)},
         {QStringLiteral("PDFHELPER_FAILING_PAGE"), how}},
        helper);
    QCOMPARE(run.exitCode, exitCode);
    // The limit is one second; a helper out of time is stopped at once, not
    // given the three seconds a closing session grants it.
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(run.err.trimmed().count(QLatin1Char('\n')), 0);
    QVERIFY(!QFile::exists(output));
    QCOMPARE(entriesIn(scratch.tmp()), QStringList());
    QCOMPARE(processesNaming(scratch.path(QString())), QStringList());
}

// A failure leaves the thumbnail that was there; a success replaces it with
// its mode kept, and nothing else is left in the folder either way.
void TestThumbnailer::anExistingThumbnailSurvivesAFailure()
{
    Scratch scratch;
    const QString output = scratch.path(QStringLiteral("t.png"));
    {
        QFile old(output);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an older thumbnail");
        QVERIFY(old.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    }
    const QStringList args{QStringLiteral("-s"), QStringLiteral("128"), fixture(QStringLiteral("plain.pdf")), output};
    const testsupport::ProcessRun run = runThumbnailer(
        args, scratch.tmp(),
        {{QStringLiteral("LD_PRELOAD"), QStringLiteral(PDFHELPER_FAILING_PAGE)},
         {QStringLiteral("PDFHELPER_FAILING_PAGE"), QStringLiteral("kill")}});
    QCOMPARE(run.exitCode, int(Exit::HelperCrashed));
    QFile kept(output);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("an older thumbnail"));
    QCOMPARE(QDir(scratch.path(QString())).entryList(QDir::Files), QStringList{QStringLiteral("t.png")});

    QCOMPARE(runThumbnailer(args, scratch.tmp()).exitCode, int(Exit::Written));
    QCOMPARE(QImage(output).size(), QSize(99, 128));
    // Owner, group and others; the "user" bits repeat the owner's for its owner.
    QCOMPARE(QFileInfo(output).permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    QCOMPARE(QDir(scratch.path(QString())).entryList(QDir::Files), QStringList{QStringLiteral("t.png")});
}

void TestThumbnailer::inputPaths_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("path");
    QTest::newRow("path") << "/a/b c.pdf" << "/a/b c.pdf";
    QTest::newRow("relative with a colon") << "notes: 2026.pdf" << "notes: 2026.pdf";
    QTest::newRow("file uri") << "file:///a/b%20c%23.pdf" << "/a/b c#.pdf";
    QTest::newRow("file uri, localhost") << "file://localhost/a/%C3%BC.pdf" << "/a/\u00fc.pdf";
    QTest::newRow("file uri, other host") << "file://server/a.pdf" << "";
    QTest::newRow("other scheme") << "sftp://host/a.pdf" << "";
}

void TestThumbnailer::inputPaths()
{
    QFETCH(QString, input);
    QFETCH(QString, path);
    QCOMPARE(pdfpreview::thumbnailInputPath(input), path);
}

QTEST_GUILESS_MAIN(TestThumbnailer)
#include "tst_thumbnailer.moc"
