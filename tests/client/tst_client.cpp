// The preview side against the real helper: pdfhelper-client as people run
// it (outputs, messages and exit codes), and the library under it.

#include "helpersession.h"
#include "testsupport.h"

#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using pdfpreview::HelperSession;
using testsupport::fixture;

namespace {

testsupport::ProcessRun client(const QStringList &args)
{
    return testsupport::runProcess(QStringLiteral(PDFHELPER_CLIENT), args);
}

PageRequest pageRequest(qint32 page, qint32 tag = -1)
{
    return PageRequest{page, tag, 0, false, false, 0, QSize(60, 80), QImage()};
}

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void renderWritesThePageAsAsked()
    {
        const QString out = m_dir.filePath("marker.png");
        const auto run = client({"render", fixture("provider-marker.pdf"), "--page", "0", "--size", "100x80",
                                "--annotations", "--rotate", "90", "--invert", "-o", out});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, out + ": page 0, 100x80\n");
        const QImage image(out);
        QCOMPARE(image.size(), QSize(100, 80));
        // The black corner square turned to the top right, then inverted.
        QCOMPARE(image.pixel(95, 5), qRgb(255, 255, 255));
        QCOMPARE(image.pixel(5, 5), qRgb(0, 0, 0));
    }

    void outlineAndAnnotations_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("out");
        QTest::newRow("outline")
            << QStringList{"outline", fixture("provider-outline.pdf")}
            << QString::fromUtf8("Ünïcødé ✓  [page 0]\nChapter  [page 1]\n  Section 1  [page 1]\n"
                                 "    Deep  [page 2]\n  Section 2  [no page]\nLast  [page 2]\n");
        QTest::newRow("outline as JSON") << QStringList{"outline", fixture("sample.pdf"), "--json"}
                                         << R"([{"children":[],"page":0,"title":"Introduction"},)"
                                            R"({"children":[{"children":[],"page":2,"title":"Nested"}],)"
                                            R"("page":1,"title":"Details"}])";
        QTest::newRow("annotations") << QStringList{"annotations", fixture("sample.pdf")} << "0\n2\n";
        QTest::newRow("annotations, none") << QStringList{"annotations", fixture("plain.pdf")} << QString();
        QTest::newRow("annotations, password")
            << QStringList{"annotations", fixture("encrypted-rc4.pdf"), "--password", "secret"} << "0\n";
    }

    void outlineAndAnnotations()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, out);
        auto run = client(args);
        QCOMPARE(run.exitCode, 0);
        if (args.contains("--json"))
            run.out = QString::fromUtf8(QJsonDocument::fromJson(run.out.toUtf8()).toJson(QJsonDocument::Compact));
        QCOMPARE(run.out, out);
    }

    void failuresSayWhatWentWrong_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        // Options given twice: the last one counts.
        auto render = [this](const QString &file, const QStringList &more = {}) {
            const QString out = m_dir.filePath("never.png");
            return QStringList{"render", fixture(file), "--page", "0", "--size", "50x50", "-o", out} + more;
        };
        QTest::newRow("missing file") << render("no-such.pdf") << 2 << "no such file";
        QTest::newRow("not a pdf") << render("not-a-pdf.pdf") << 3 << "could not be opened as a PDF";
        QTest::newRow("no password") << render("encrypted-rc4.pdf") << 4 << "password-protected";
        QTest::newRow("wrong password") << render("encrypted-rc4.pdf", {"--password", "nope"}) << 4 << "wrong password";
        QTest::newRow("annotations, no password") << QStringList{"annotations", fixture("encrypted-aes256.pdf")} << 4
                                                  << "password-protected";
        QTest::newRow("no such page") << render("sample.pdf", {"--page", "3"}) << 5 << "page 3 of";
        QTest::newRow("unwritable output") << render("sample.pdf", {"-o", m_dir.filePath("no/such/folder/x.png")}) << 7
                                           << "cannot write";
        QTest::newRow("bad size") << render("sample.pdf", {"--size", "0x50"}) << 1 << "--size";
        QTest::newRow("unknown command") << QStringList{"print", fixture("sample.pdf")} << 1 << "unknown command";
        QTest::newRow("missing helper")
            << QStringList{"outline", fixture("sample.pdf"), "--helper", "/nonexistent"} << 6 << "cannot start";
    }

    void failuresSayWhatWentWrong()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const auto run = client(args);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.startsWith("pdfhelper-client: ") && run.err.contains(message), qPrintable(run.err));
        QCOMPARE(run.out, QString());
        QVERIFY(!QFile::exists(m_dir.filePath("never.png")));
    }

    void aSessionAnswersRequestsInOrder()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("sample.pdf")));
        QVERIFY(session.waitForConnected());
        QSignalSpy renders(&session, &HelperSession::renderReplied);
        QSignalSpy outlines(&session, &HelperSession::bookmarksReplied);
        session.sendRenderRequest(pageRequest(2, 42));
        session.sendBookmarksRequest();
        session.sendRenderRequest(pageRequest(7, 43));
        QVERIFY(QTest::qWaitFor([&] { return renders.size() == 2; }, 30000));
        const auto page = renders.at(0).at(0).value<PageRequest>();
        QVERIFY(page.tag == 42 && page.image.size() == QSize(60, 80));
        const auto failed = renders.at(1).at(0).value<PageRequest>();
        QVERIFY(failed.tag == 43 && failed.image.isNull());
        QCOMPARE(outlines.size(), 1);
        QCOMPARE(outlines.at(0).at(0).value<QList<BookmarkNode>>().size(), 2);
        QVERIFY(session.finish());
        QCOMPARE(session.exitCode(), 0);
        QCOMPARE(session.trace().last(), QStringLiteral("disconnected "));
    }

#ifndef Q_OS_WIN
    void aHelperThatDiesDoesNotHangTheSession()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("sample.pdf")));
        QVERIFY(session.waitForConnected());
        ::kill(pid_t(session.helperProcessId()), SIGKILL);
        QVERIFY(!session.render(pageRequest(0), 30000).has_value());
        QVERIFY(session.waitForFinished());
        QVERIFY(session.crashed());
    }
#endif
};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
