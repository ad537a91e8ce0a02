// Runs the real helper executable: command-line handling, exit codes and the
// annotation scan's output file.

#include "helpercontract.h"
#include "testsupport.h"

#include <QtTest>

using testsupport::fixture;

namespace {

testsupport::ProcessRun runHelper(const QStringList &args)
{
    return testsupport::runProcess(testsupport::helperBinary(), args);
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void malformedCommandLinesEndWithMinusOneSilently_data()
    {
        QTest::addColumn<QStringList>("args");
        const QString doc = fixture("sample.pdf");
        QTest::newRow("program alone") << QStringList{};
        QTest::newRow("mode only") << QStringList{"0"};
        QTest::newRow("mode 1, server only") << QStringList{"1", "server"};
        QTest::newRow("mode 0, output only") << QStringList{"0", "out.txt"};
        QTest::newRow("mode 2") << QStringList{"2", "x", doc};
        QTest::newRow("mode -1") << QStringList{"-1", "x", doc};
        QTest::newRow("mode 7") << QStringList{"7", "x", doc, "pw"};
    }

    void malformedCommandLinesEndWithMinusOneSilently()
    {
        QFETCH(QStringList, args);
        const auto run = runHelper(args);
        QCOMPARE(run.exitCode, -1);
        QCOMPARE(run.out + run.err, QString());
    }

    // A launch whose server is gone must not leave a helper behind.
    void aServerThatIsNotThereEndsTheHelper()
    {
        QElapsedTimer timer;
        timer.start();
        const auto run = runHelper({"1", "tst-nobody-listens-" + QUuid::createUuid().toString(QUuid::Id128),
                                    fixture("sample.pdf")});
        QCOMPARE(run.exitCode, int(HelperExit::ServerUnreachable));
        QVERIFY2(run.out.startsWith("server not reached ") && run.out.count('\n') == 1, qPrintable(run.out));
        QVERIFY(timer.elapsed() < ServerConnectMsecs);
    }

    // Every run starts from an output file holding older, longer content:
    // a scan that finds pages replaces it, any failure leaves it as it was.
    void scan_data()
    {
        QTest::addColumn<QStringList>("args"); // mode, document and what follows it
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("written");
        const QString rc4 = QStringLiteral("encrypted-rc4.pdf");
        QTest::newRow("sample") << QStringList{"0", "sample.pdf"} << 0 << QByteArray("0\n2\n");
        QTest::newRow("mode that is no number") << QStringList{"x", "single-highlight.pdf"} << 0 << QByteArray("0\n");
        QTest::newRow("password") << QStringList{"0", rc4, "secret"} << 0 << QByteArray("0\n");
        QTest::newRow("no annotations") << QStringList{"0", "plain.pdf"} << -3 << QByteArray();
        QTest::newRow("no pages") << QStringList{"0", "no-pages.pdf"} << -3 << QByteArray();
        QTest::newRow("missing document") << QStringList{"0", "no-such.pdf"} << -5 << QByteArray();
        QTest::newRow("not a pdf") << QStringList{"0", "not-a-pdf.pdf"} << -5 << QByteArray();
        QTest::newRow("wrong password") << QStringList{"0", rc4, "wrong"} << -5 << QByteArray();
        QTest::newRow("password among six") << QStringList{"0", rc4, "secret", "extra"} << -5 << QByteArray();
    }

    void scan()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, written);
        const QString out = m_dir.filePath("out.txt");
        const QByteArray previous = "this older and much longer content must disappear\n1\n2\n3\n";
        QFile file(out);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(previous) == previous.size());
        file.close();
        args[1] = fixture(args[1]);
        args.insert(1, out);
        const auto run = runHelper(args);
        QCOMPARE(run.exitCode, code);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), code == 0 ? written : previous);
        QCOMPARE(run.out, QString()); // only the engine's debug lines, on stderr
    }

    void unwritableOutputIsReportedAfterTheScan()
    {
        const QString out = m_dir.filePath("no-such-folder/out.txt");
        const auto run = runHelper({"0", out, fixture("sample.pdf")});
        QCOMPARE(run.exitCode, -4);
        // The document was loaded and scanned before the output was tried.
        QVERIFY(run.err.contains("load file locker done"));
        QVERIFY(run.err.contains("read annotation done"));

        // An output path that names a folder cannot be opened either; what
        // is there stays as it was.
        QVERIFY(QDir(m_dir.path()).mkpath("folder-out/inside"));
        QCOMPARE(runHelper({"0", m_dir.filePath("folder-out"), fixture("sample.pdf")}).exitCode, -4);
        QCOMPARE(QDir(m_dir.filePath("folder-out")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"inside"});

#ifdef Q_OS_LINUX
        // Opens, but no byte of the list reaches it.
        QCOMPARE(runHelper({"0", "/dev/full", fixture("sample.pdf")}).exitCode, int(HelperExit::OutputFailed));
#endif

        // Loading fails first when both are wrong.
        QCOMPARE(runHelper({"0", out, fixture("no-such.pdf")}).exitCode, -5);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
