// The preview-side library against the real helper.

#include "helpersession.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

using pdfpreview::HelperSession;
using testsupport::fixture;

namespace {

PageRequest pageRequest(qint32 page, QSize size, qint32 tag = -1)
{
    PageRequest request;
    request.pageIndex = page;
    request.size = size;
    request.tag = tag;
    return request;
}

} // namespace

class TestHelperSession : public QObject
{
    Q_OBJECT

private slots:
    void aWholeSession()
    {
        HelperSession session;
        session.setHelperProgram(testsupport::helperBinary());
        QCOMPARE(session.state(), HelperSession::State::Idle);
        QVERIFY(session.start(fixture("sample.pdf")));
        QVERIFY(session.waitForConnected());
        QCOMPARE(session.state(), HelperSession::State::Connected);

        const std::optional<PageRequest> page = session.render(pageRequest(2, QSize(60, 80), 42));
        QVERIFY(page.has_value());
        QCOMPARE(page->tag, 42);
        QCOMPARE(page->image.size(), QSize(60, 80));

        const std::optional<QList<BookmarkNode>> outline = session.outline();
        QVERIFY(outline.has_value());
        QCOMPARE(outline->size(), 2);
        QCOMPARE(outline->at(1).title, QStringLiteral("Details"));
        QCOMPARE(outline->at(1).children.at(0).title, QStringLiteral("Nested"));
        QCOMPARE(outline->at(1).children.at(0).pageIndex, 2);

        QVERIFY(session.finish());
        QCOMPARE(session.state(), HelperSession::State::Finished);
        QCOMPARE(session.exitCode(), 0);
        QCOMPARE(session.trace(), (QStringList{
                                      "connected " + session.serverName(),
                                      "rendering page 2",
                                      session.trace().at(2), // the size of the PNG varies
                                      "sending bookmarks 2",
                                      "disconnected ",
                                  }));
        QVERIFY(session.trace().at(2).startsWith("sending back "));
    }

    void repliesArriveInRequestOrder()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("sample.pdf")));
        QVERIFY(session.waitForConnected());
        QSignalSpy renders(&session, &HelperSession::renderReplied);
        QSignalSpy outlines(&session, &HelperSession::bookmarksReplied);
        session.sendRenderRequest(pageRequest(0, QSize(30, 30), 1));
        session.sendBookmarksRequest();
        session.sendRenderRequest(pageRequest(7, QSize(30, 30), 2));
        QVERIFY(QTest::qWaitFor([&] { return renders.size() == 2; }, 30000));
        QCOMPARE(outlines.size(), 1);
        QCOMPARE(renders.at(0).at(0).value<PageRequest>().tag, 1);
        const PageRequest failed = renders.at(1).at(0).value<PageRequest>();
        QCOMPARE(failed.tag, 2);
        QVERIFY(failed.image.isNull());
    }

    void aDocumentThatDoesNotLoad()
    {
        HelperSession session;
        QSignalSpy finished(&session, &HelperSession::finished);
        QVERIFY(session.start(fixture("encrypted-rc4.pdf"), QStringLiteral("wrong")));
        QVERIFY(!session.waitForConnected());
        QCOMPARE(session.state(), HelperSession::State::Finished);
        QCOMPARE(session.exitCode(), -2);
        QVERIFY(!session.crashed());
        QCOMPARE(session.trace(), QStringList{"load err"});
        QCOMPARE(finished.size(), 1);
        QVERIFY(!session.render(pageRequest(0, QSize(10, 10))).has_value());
    }

    void aHelperThatCannotStart()
    {
        HelperSession session;
        session.setHelperProgram(QStringLiteral("/nonexistent/pdfhelper"));
        QVERIFY(!session.start(fixture("sample.pdf")));
        QVERIFY(!session.errorString().isEmpty());
        QCOMPARE(session.state(), HelperSession::State::Finished);
    }

#ifndef Q_OS_WIN
    void aHelperThatDiesDoesNotHangTheCaller()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("sample.pdf")));
        QVERIFY(session.waitForConnected());
        ::kill(pid_t(session.helperProcessId()), SIGKILL);
        QVERIFY(!session.render(pageRequest(0, QSize(10, 10)), 30000).has_value());
        QVERIFY(session.waitForFinished());
        QVERIFY(session.crashed());
    }
#endif

    void annotationScan()
    {
        const QString helper = testsupport::helperBinary();
        pdfpreview::AnnotationScan scan = pdfpreview::scanAnnotatedPages(helper, fixture("sample.pdf"));
        QVERIFY(scan.ran);
        QCOMPARE(scan.exitCode, 0);
        QCOMPARE(scan.pages, (QList<int>{0, 2}));

        scan = pdfpreview::scanAnnotatedPages(helper, fixture("plain.pdf"));
        QCOMPARE(scan.exitCode, -3);
        QVERIFY(scan.pages.isEmpty());

        scan = pdfpreview::scanAnnotatedPages(helper, fixture("encrypted-aes256.pdf"));
        QCOMPARE(scan.exitCode, -5);
        scan = pdfpreview::scanAnnotatedPages(helper, fixture("encrypted-aes256.pdf"),
                                              QString::fromUtf8("pässwörd✓"));
        QCOMPARE(scan.exitCode, 0);
        QCOMPARE(scan.pages, QList<int>{0});
    }
};

QTEST_GUILESS_MAIN(TestHelperSession)
#include "tst_helpersession.moc"
