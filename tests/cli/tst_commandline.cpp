// Runs the real helper executable: command-line handling, exit codes and the
// annotation scan's output file.

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::fixture;

namespace {

testsupport::ProcessRun runHelper(const QStringList &args)
{
    return testsupport::runProcess(testsupport::helperBinary(), args);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    f.write(content);
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
        QTest::newRow("program alone") << QStringList{};
        QTest::newRow("mode only") << QStringList{"0"};
        QTest::newRow("mode 1, server only") << QStringList{"1", "server"};
        QTest::newRow("mode 0, output only") << QStringList{"0", "out.txt"};
        const QString doc = fixture("sample.pdf");
        QTest::newRow("mode 2") << QStringList{"2", "x", doc};
        QTest::newRow("mode -1") << QStringList{"-1", "x", doc};
        QTest::newRow("mode 7") << QStringList{"7", "x", doc, "pw"};
    }

    void malformedCommandLinesEndWithMinusOneSilently()
    {
        QFETCH(QStringList, args);
        const auto run = runHelper(args);
        QCOMPARE(run.exitCode, -1);
        QCOMPARE(run.out, QString());
        QCOMPARE(run.err, QString());
    }

    void aModeThatIsNoNumberScans()
    {
        const QString out = m_dir.filePath("x-mode.txt");
        const auto run = runHelper({"x", out, fixture("single-highlight.pdf")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(out), QByteArray("0\n"));
    }

    void scanWritesOneIndexPerLine()
    {
        const QString out = m_dir.filePath("sample.txt");
        writeFile(out, "this older and much longer content must disappear\n1\n2\n3\n");
        const auto run = runHelper({"0", out, fixture("sample.pdf")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(readFile(out), QByteArray("0\n2\n"));
        QCOMPARE(run.out, QString()); // only the engine's debug lines, on stderr
        QVERIFY(run.err.contains("read annotation done"));

        const auto many = runHelper({"0", out, fixture("annotations.pdf")});
        QCOMPARE(many.exitCode, 0);
        QCOMPARE(readFile(out), QByteArray("0\n1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n15\n17\n18\n"));
    }

    void failuresLeaveAnExistingFileAlone_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<int>("code");
        QTest::newRow("no annotations") << "plain.pdf" << -3;
        QTest::newRow("links only") << "links-only.pdf" << -3;
        QTest::newRow("no pages") << "no-pages.pdf" << -3;
        QTest::newRow("missing document") << "no-such.pdf" << -5;
        QTest::newRow("not a pdf") << "not-a-pdf.pdf" << -5;
        QTest::newRow("zero bytes") << "empty.pdf" << -5;
        QTest::newRow("password needed") << "encrypted-rc4.pdf" << -5;
    }

    void failuresLeaveAnExistingFileAlone()
    {
        QFETCH(QString, document);
        QFETCH(int, code);
        const QString out = m_dir.filePath("kept.txt");
        writeFile(out, "previous\n");
        const auto run = runHelper({"0", out, fixture(document)});
        QCOMPARE(run.exitCode, code);
        QCOMPARE(readFile(out), QByteArray("previous\n"));
    }

    void unwritableOutputIsReportedAfterTheScan()
    {
        const QString out = m_dir.filePath("no-such-folder/out.txt");
        const auto run = runHelper({"0", out, fixture("sample.pdf")});
        QCOMPARE(run.exitCode, -4);
        QVERIFY(!QFile::exists(out));
        // The document was loaded and scanned before the output was tried.
        QVERIFY(run.err.contains("load file locker done"));
        QVERIFY(run.err.contains("read annotation done"));

        // An output path that names a folder cannot be opened either; the
        // folder stays as it was.
        QDir(m_dir.path()).mkdir("folder-out");
        writeFile(m_dir.filePath("folder-out/inside.txt"), "inside");
        const auto folder = runHelper({"0", m_dir.filePath("folder-out"), fixture("sample.pdf")});
        QCOMPARE(folder.exitCode, -4);
        QCOMPARE(readFile(m_dir.filePath("folder-out/inside.txt")), QByteArray("inside"));

        // Loading fails first when both are wrong.
        const auto both = runHelper({"0", out, fixture("no-such.pdf")});
        QCOMPARE(both.exitCode, -5);
    }

    void passwordIsTheFifthEntryOnlyWhenThereAreFive()
    {
        const QString out = m_dir.filePath("password.txt");
        QCOMPARE(runHelper({"0", out, fixture("encrypted-rc4.pdf"), "secret"}).exitCode, 0);
        QCOMPARE(readFile(out), QByteArray("0\n"));
        QCOMPARE(runHelper({"0", out, fixture("encrypted-rc4.pdf"), "wrong"}).exitCode, -5);
        QCOMPARE(runHelper({"0", out, fixture("encrypted-rc4.pdf"), "secret", "extra"}).exitCode, -5);
        QCOMPARE(runHelper({"0", out, fixture("encrypted-aes256.pdf"), QString::fromUtf8("pässwörd✓")})
                     .exitCode,
                 0);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
