// pdfhelper-client as people run it: outputs, messages and exit codes.

#include "testsupport.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::fixture;

namespace {

struct Run {
    int exitCode = -1000;
    QString out;
    QString err;
};

Run client(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral(PDFHELPER_CLIENT), args);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString outPath(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void renderWritesAPngOfTheRequestedSize()
    {
        const QString out = outPath("page.png");
        const Run run = client({"render", fixture("sample.pdf"), "--page", "0", "--size", "300x400",
                                "--annotations", "-o", out});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, out + ": page 0, 300x400\n");
        const QImage image(out);
        QCOMPARE(image.size(), QSize(300, 400));
    }

    void renderRotatesAndInverts()
    {
        const QString out = outPath("marker.png");
        const Run run = client({"render", fixture("provider-marker.pdf"), "--page", "0", "--size", "100x100",
                                "--rotate", "90", "--invert", "-o", out});
        QCOMPARE(run.exitCode, 0);
        const QImage image(out);
        // The black corner square turned to the top right, then inverted.
        QCOMPARE(image.pixel(95, 5), qRgb(255, 255, 255));
        QCOMPARE(image.pixel(5, 5), qRgb(0, 0, 0));
    }

    void failuresSayWhatWentWrong_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QString out = outPath("never.png");
        const QStringList page0{"--page", "0", "--size", "50x50", "-o", out};
        QTest::newRow("missing file") << (QStringList{"render", fixture("no-such.pdf")} + page0)
                                      << 2 << "no such file";
        QTest::newRow("not a pdf") << (QStringList{"render", fixture("not-a-pdf.pdf")} + page0)
                                   << 3 << "could not be opened as a PDF";
        QTest::newRow("no password") << (QStringList{"render", fixture("encrypted-rc4.pdf")} + page0)
                                     << 4 << "password-protected";
        QTest::newRow("wrong password")
            << (QStringList{"render", fixture("encrypted-rc4.pdf"), "--password", "nope"} + page0)
            << 4 << "wrong password";
        QTest::newRow("no such page")
            << QStringList{"render", fixture("sample.pdf"), "--page", "3", "--size", "50x50", "-o", out}
            << 5 << "page 3 of";
        QTest::newRow("unwritable output")
            << QStringList{"render", fixture("sample.pdf"), "--page", "0", "--size", "50x50",
                           "-o", outPath("no/such/folder/x.png")}
            << 7 << "cannot write";
        QTest::newRow("bad size")
            << QStringList{"render", fixture("sample.pdf"), "--page", "0", "--size", "0x50", "-o", out}
            << 1 << "--size";
        QTest::newRow("no output")
            << QStringList{"render", fixture("sample.pdf"), "--page", "0", "--size", "5x5"} << 1 << "-o";
        QTest::newRow("unknown command") << QStringList{"print", fixture("sample.pdf")} << 1 << "unknown command";
        QTest::newRow("outline of a missing file") << QStringList{"outline", fixture("no-such.pdf")}
                                                   << 2 << "no such file";
        QTest::newRow("annotations, no password") << QStringList{"annotations", fixture("encrypted-aes256.pdf")}
                                                  << 4 << "password-protected";
        QTest::newRow("missing helper") << QStringList{"outline", fixture("sample.pdf"), "--helper", "/nonexistent"}
                                        << 6 << "cannot start";
    }

    void failuresSayWhatWentWrong()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const Run run = client(args);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.startsWith("pdfhelper-client: ") && run.err.contains(message), qPrintable(run.err));
        QCOMPARE(run.out, QString());
        QVERIFY(!QFile::exists(outPath("never.png")));
    }

    void outlineAsTextAndJson()
    {
        Run run = client({"outline", fixture("provider-outline.pdf")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QString::fromUtf8("Ünïcødé ✓  [page 0]\n"
                                            "Chapter  [page 1]\n"
                                            "  Section 1  [page 1]\n"
                                            "    Deep  [page 2]\n"
                                            "  Section 2  [no page]\n"
                                            "Last  [page 2]\n"));

        run = client({"outline", fixture("sample.pdf"), "--json"});
        QCOMPARE(run.exitCode, 0);
        const QJsonArray top = QJsonDocument::fromJson(run.out.toUtf8()).array();
        QCOMPARE(top.size(), 2);
        QCOMPARE(top.at(0)["title"].toString(), QStringLiteral("Introduction"));
        QCOMPARE(top.at(1)["children"].toArray().at(0)["page"].toInt(), 2);

        run = client({"outline", fixture("plain.pdf"), "--json"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QStringLiteral("[\n]\n"));
    }

    void annotationsListThePages()
    {
        Run run = client({"annotations", fixture("sample.pdf")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QStringLiteral("0\n2\n"));

        run = client({"annotations", fixture("plain.pdf")});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QString());
        QVERIFY(run.err.contains("no page"));

        run = client({"annotations", fixture("encrypted-rc4.pdf"), "--password", "secret"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QStringLiteral("0\n"));
    }
};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
