// The preview side against the real helper: pdfhelper-client as people run
// it (outputs, messages and exit codes), and the library under it.

#include "contract.h"
#include "helperconnection.h"
#include "helpersession.h"
#include "renderoptions.h"
#include "neighbourprefetcher.h"
#include "framing.h"
#include "sharedarea.h"
#include "pixels.h"
#include "testsupport.h"

#include <algorithm>

#include <QImageReader>
#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

#include <csignal>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

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

#ifdef Q_OS_LINUX
// Whether the image's pixels lie in a shared area this process has mapped.
bool inSharedArea(const QImage &image)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    const quintptr at = quintptr(image.constBits());
    for (const QByteArray &line : maps.readAll().split('\n')) {
        if (!line.contains("memfd:pdfhelper-area"))
            continue;
        const QList<QByteArray> range = line.left(line.indexOf(' ')).split('-');
        if (range.size() == 2 && at >= range[0].toULongLong(nullptr, 16) && at < range[1].toULongLong(nullptr, 16))
            return true;
    }
    return false;
}
#endif

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    // Pixel checks on the marker page (a black square in the top left
    // corner only): where the square went says how the page was turned.
    void renderWritesThePageAsAsked_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("black"); // the square's corner, in 100x80 terms
        QTest::newRow("upright") << QStringList() << QSize(100, 80) << QPoint(5, 5);
        QTest::newRow("quarter turn, inverted") << QStringList{"--annotations", "--rotate", "90", "--invert"}
                                                << QSize(100, 80) << QPoint(-1, -1);
        QTest::newRow("negative quarter turn") << QStringList{"--rotate", "-90"} << QSize(100, 80) << QPoint(5, 75);
        // Letter at 600 dpi as PNG: more than Qt's reader takes by default.
        QTest::newRow("Letter at 600 dpi") << QStringList{"--transport", "png"} << QSize(5100, 6600) << QPoint(50, 50);
    }

    void renderWritesThePageAsAsked()
    {
        QFETCH(QStringList, options);
        QFETCH(QSize, size);
        QFETCH(QPoint, black);
        const QString out = m_dir.filePath("marker.png");
        const QString sizeText = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
        const auto run = client(QStringList{"render", fixture("provider-marker.pdf"), "--page", "0", "--size", sizeText,
                                            "-o", out} + options);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, out + ": page 0, " + sizeText + "\n");
        QImageReader::setAllocationLimit(0);
        const QImage image(out);
        QCOMPARE(image.size(), size);
        if (black.x() < 0) {
            // Turned to the top right, then inverted.
            QCOMPARE(image.pixel(95, 5), qRgb(255, 255, 255));
            QCOMPARE(image.pixel(5, 5), qRgb(0, 0, 0));
            return;
        }
        QCOMPARE(image.pixel(black), qRgb(0, 0, 0));
        QCOMPARE(image.pixel(image.width() - 1 - black.x(), black.y()), qRgb(255, 255, 255));
        QCOMPARE(image.pixel(black.x(), image.height() - 1 - black.y()), qRgb(255, 255, 255));
    }

    // The filled fields come with the annotations, and only then, also after
    // a render with them has opened the form layer; whether or not the
    // document's form dictionary is usable.
    void formFieldsAreDrawnWithAnnotations_data()
    {
        QTest::addColumn<QString>("document");
        QTest::newRow("form dictionary") << "form-filled.pdf";
        QTest::newRow("no form dictionary") << "widgets-without-form.pdf";
        QTest::newRow("form dictionary not a dictionary") << "widgets-form-not-a-dictionary.pdf";
    }

    void formFieldsAreDrawnWithAnnotations()
    {
        QFETCH(QString, document);
        HelperSession session;
        QVERIFY(session.start(fixture(document)) && session.waitForConnected());
        QList<int> inked;
        for (bool annotations : {true, false}) {
            const auto reply = session.render(PageRequest{0, 0, 0, annotations, false, 0, QSize(200, 200), QImage()});
            QVERIFY(reply && !reply->image.isNull());
            // Inside the text field (x 20 to 180, y 140 to 180 from the bottom).
            inked << testsupport::darkPixels(reply->image, 128, QRect(25, 25, 150, 30));
        }
        QVERIFY2(inked.at(0) > 200, qPrintable(QString::number(inked.at(0))));
        QCOMPARE(inked.at(1), 0);
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
        QTest::newRow("over the bound") << render("sample.pdf", {"--size", "20000x20000"}) << 5 << "over the helper's bound";
        QTest::newRow("rotation between quarter turns") << render("sample.pdf", {"--rotate", "45"}) << 1 << "--rotate";
#ifdef Q_OS_LINUX
        QTest::newRow("full disk") << render("sample.pdf", {"-o", "/dev/full"}) << 7 << "cannot write /dev/full";
#endif
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

#ifdef Q_OS_UNIX
    // A write that fails half-way leaves the file that was there, and no
    // half-written one beside it. Files may not grow past 100 bytes here.
    void aFailedWriteKeepsTheExistingFile()
    {
        QTemporaryDir dir;
        const QString out = dir.filePath("kept.png");
        QFile existing(out);
        QVERIFY(existing.open(QIODevice::WriteOnly) && existing.write("old") == 3);
        existing.close();
        testsupport::RunOptions limited;
        limited.childSetup = [] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{100, 100};
            setrlimit(RLIMIT_FSIZE, &small);
        };
        const auto run = testsupport::runProcess(
            QStringLiteral(PDFHELPER_CLIENT),
            {"render", fixture("sample.pdf"), "--page", "0", "--size", "300x300", "-o", out}, limited);
        QCOMPARE(run.exitCode, 7);
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("old"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"kept.png"});
    }

    // Socket paths are short: a long temporary folder must not matter.
    void aLongTemporaryFolderWorks()
    {
        QTemporaryDir dir;
        const QString deep = dir.filePath(QString(120, 'd'));
        QVERIFY(QDir().mkpath(deep));
        testsupport::RunOptions options;
        options.environment.insert("TMPDIR", deep);
        const auto run = testsupport::runProcess(QStringLiteral(PDFHELPER_CLIENT),
                                                 {"outline", fixture("sample.pdf")}, options);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    }
#endif

#ifdef Q_OS_LINUX
    // Requests that do not wait, as the window sends them: many at once, more
    // than an area holds and one larger than the rest, every page in memory
    // of its own that no later page overwrites while it is held, the same
    // pixels as PNG, in request order. An older helper gets PNG for all of
    // them: it is found out by the reply to the request behind the offer,
    // not by a time-out, and is offered an area once.
    void requestsThatDoNotWaitShareToo_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::addColumn<bool>("shared");
        QTest::newRow("helper") << testsupport::helperBinary() << true;
        QTest::newRow("helper before shared areas") << QStringLiteral(PDFHELPER_BEFORE_SHARED) << false;
    }

    void requestsThatDoNotWaitShareToo()
    {
        QFETCH(QString, helper);
        QFETCH(bool, shared);
        QList<PageRequest> requests;
        for (int n = 0; n < 7; ++n)
            requests.append(PageRequest{n % 3, n, quint64(100 + n), n % 2 == 0, n == 3, (n % 4) * 90,
                                        n == 5 ? QSize(900, 1200) : QSize(120 + n, 160), QImage()});
        HelperSession session;
        session.process().setProgram(helper);
        QVERIFY(session.start(fixture("sample.pdf")) && session.waitForConnected());
        QElapsedTimer timer;
        timer.start();
        QHash<quint64, QImage> replies;
        // Replies are handed on in request order, however long each takes
        // to decode: the outline asked for in between comes in between.
        QList<quint64> ids;
        QList<quint64> order;
        connect(session.connection(), &pdfpreview::HelperConnection::renderReplied, this, [&](const PageRequest &reply) {
            replies.insert(reply.token, reply.image);
            order << reply.token;
        });
        connect(session.connection(), &pdfpreview::HelperConnection::bookmarksReplied, this, [&] { order << 0; });
        for (const PageRequest &request : requests) {
            ids << session.connection()->sendPageRequest(request);
            if (ids.size() == 5)
                session.connection()->sendBookmarksRequest();
        }
        QTRY_COMPARE_WITH_TIMEOUT(replies.size(), int(requests.size()), 20000);
        QCOMPARE(order, ids.mid(0, 5) + QList<quint64>{0} + ids.mid(5));
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(session.render(pageRequest(2)).has_value());
        QCOMPARE(session.lastRenderShared(), shared);
        QVERIFY(session.finish());
        QCOMPARE(session.process().trace().count("unexpected packet type 7"), shared ? 0 : 1);
        HelperSession png;
        png.process().setTransport(HelperSession::Transport::Png);
        QVERIFY(png.start(fixture("sample.pdf")) && png.waitForConnected());
        for (qsizetype n = 0; n < requests.size(); ++n) {
            const PageRequest &request = requests[n];
            const QImage got = replies.value(ids[n]);
            QCOMPARE(got.size(), request.size);
            QCOMPARE(inSharedArea(got), shared);
            const auto expected = png.render(request);
            QVERIFY(expected.has_value());
            QVERIFY2(got.convertToFormat(QImage::Format_ARGB32) == expected->image.convertToFormat(QImage::Format_ARGB32),
                     qPrintable(QString::number(request.tag)));
        }
    }
#endif

    // A search through the helper finds each word where it is: every page
    // searched once, case ignored unless asked for, each hit in page space
    // with the page's frame mapping it onto the page as laid out, turned and
    // offset boxes included.
    void searchFindsWordsWhereTheyAre()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("text.pdf")) && session.waitForConnected());
        QList<SearchReplyRecord> replies;
        connect(session.connection(), &pdfpreview::HelperConnection::searchReplied, this, [&](const SearchReplyRecord &r) { replies << r; });
        const quint64 any = session.connection()->sendSearchRequest(QStringLiteral("ALPHA"), false, 1);
        QTRY_VERIFY(!replies.isEmpty() && replies.last().done);
        QCOMPARE(replies.size(), 3);
        QCOMPARE(replies[0].page, -1);
        QCOMPARE(replies[1].page, 1); // from the start page on, wrapping
        QCOMPARE(replies[2].page, 0);
        QCOMPARE(replies[2].pagesSearched, 2);
        for (const SearchReplyRecord &r : replies)
            QCOMPARE(r.token, any);
        QCOMPARE(replies[2].hits.size(), 2);
        QCOMPARE(replies[1].hits.size(), 1);
        // "Alpha" on the first line: 72 points in, its baseline 72 + 24 below the top.
        const QPointF first = replies[2].frame.mapRect(replies[2].hits[0].value(0)).center();
        QVERIFY2(first.x() > 72 && first.x() < 140 && first.y() > 55 && first.y() < 80, qPrintable(QString::number(first.x()) + " " + QString::number(first.y())));
        // The turned page is shown 792 wide: its line runs down the right edge.
        const QPointF turned = replies[1].frame.mapRect(replies[1].hits[0].value(0)).center();
        QVERIFY2(turned.x() > 690 && turned.x() < 730 && turned.y() > 140 && turned.y() < 240, qPrintable(QString::number(turned.x()) + " " + QString::number(turned.y())));

        replies.clear();
        session.connection()->sendSearchRequest(QStringLiteral("alpha"), true, 0);
        QTRY_VERIFY(!replies.isEmpty() && replies.last().done);
        QCOMPARE(replies[1].hits.size() + replies[2].hits.size(), 2); // "second line alpha" and "Turned alpha"
    }

    // A page's links through the helper: where each lies and where it
    // leads, a point on an offset, turned page included, with that page's
    // frame; an address written as text; no page for a page that is not.
    void linksSayWhereTheyLead()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("text.pdf")) && session.waitForConnected());
        QList<LinksReplyRecord> replies;
        connect(session.connection(), &pdfpreview::HelperConnection::linksReplied, this, [&](const LinksReplyRecord &r) { replies << r; });
        session.connection()->sendLinksRequest(0);
        session.connection()->sendLinksRequest(99);
        QTRY_COMPARE(replies.size(), 2);
        QCOMPARE(replies[1].page, -1);
        const LinksReplyRecord &page = replies[0];
        QCOMPARE(page.page, 0);
        QStringList kinds;
        for (const LinkRecord &link : page.links)
            kinds << QStringLiteral("%1:%2:%3").arg(link.kind).arg(link.target).arg(link.written);
        QCOMPARE(kinds, (QStringList{"0::0", "1:https://example.org/find:0", "2:other.pdf:0", "1:https://example.net/doc:1"}));
        const LinkRecord &inside = page.links[0];
        QCOMPARE(inside.page, 1);
        QVERIFY(inside.hasX && inside.hasY);
        // 50 points in from the box's left edge and 192 below its top: on the
        // turned page as shown, 192 from its right edge and 50 down.
        const QPointF target = inside.targetFrame.map(inside.at);
        QVERIFY2(qAbs(target.x() - (792 - 192)) < 1 && qAbs(target.y() - 50) < 1,
                 qPrintable(QString::number(target.x()) + " " + QString::number(target.y())));
        // Over "Alpha", 72 in and 52 to 77 below the top of the first page.
        const QRectF over = page.frame.mapRect(inside.rects.value(0));
        QVERIFY2(qAbs(over.left() - 72) < 1 && qAbs(over.top() - 52) < 1, qPrintable(QString::number(over.top())));
    }

    // The text between two points, character by character across a line
    // break, with a rectangle a line; the word under a point; from a point
    // to either edge of the page, or all of it; nothing for a point off the
    // text or a page that is not.
    void textBetweenPointsAndWords()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("text.pdf")) && session.waitForConnected());
        QHash<quint64, TextReplyRecord> replies;
        connect(session.connection(), &pdfpreview::HelperConnection::textReplied, this, [&](const TextReplyRecord &r) { replies.insert(r.token, r); });
        // From the start of "Alpha" (baseline 720) to the end of the second line (684).
        const quint64 lines = session.connection()->sendTextRequest(0, QPointF(73, 725), QPointF(262, 689),
                                                                    TextExtent::Between);
        const quint64 word = session.connection()->sendTextRequest(0, QPointF(150, 727), QPointF(), TextExtent::Word);
        const quint64 nothing = session.connection()->sendTextRequest(0, QPointF(500, 300), QPointF(510, 300),
                                                                      TextExtent::Between);
        const quint64 noPage = session.connection()->sendTextRequest(7, QPointF(73, 725), QPointF(80, 725),
                                                                     TextExtent::Between);
        // To the page's end from "second", from its start to "beta", and all of it.
        const quint64 toEnd = session.connection()->sendTextRequest(0, QPointF(73, 689), QPointF(), TextExtent::ToEnd);
        const quint64 fromStart = session.connection()->sendTextRequest(0, QPointF(), QPointF(165, 725),
                                                                        TextExtent::FromStart);
        const quint64 whole = session.connection()->sendTextRequest(0, QPointF(500, 300), QPointF(), TextExtent::Whole);
        QTRY_COMPARE(replies.size(), 7);
        const QString last = QStringLiteral("Visit https://example.net/doc now");
        QCOMPARE(replies.value(toEnd).text, QStringLiteral("second line alpha\r\n") + last);
        QCOMPARE(replies.value(fromStart).text, QStringLiteral("Alpha be"));
        QCOMPARE(replies.value(whole).text, QStringLiteral("Alpha beta gamma\r\nsecond line alpha\r\n") + last);
        const TextReplyRecord &both = replies.value(lines);
        QCOMPARE(both.text.simplified(), QStringLiteral("Alpha beta gamma second line alpha"));
        QVERIFY(both.text.contains(QLatin1Char('\n')));
        QCOMPARE(both.rects.size(), 2);
        QCOMPARE(replies.value(word).text, QStringLiteral("beta"));
        QCOMPARE(replies.value(nothing).count, 0);
        QCOMPARE(replies.value(noPage).page, -1);
    }

    // Words set with a ligature glyph are found and copied as their
    // letters, as pdfium matches them: "find the office" with its fi glyph.
    void ligaturesAsPdfiumMatchesThem()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("ligature.pdf")) && session.waitForConnected());
        QList<SearchReplyRecord> replies;
        connect(session.connection(), &pdfpreview::HelperConnection::searchReplied, this, [&](const SearchReplyRecord &r) { replies << r; });
        QHash<quint64, TextReplyRecord> texts;
        connect(session.connection(), &pdfpreview::HelperConnection::textReplied, this, [&](const TextReplyRecord &r) { texts.insert(r.token, r); });
        for (const QString &word : {QStringLiteral("find"), QStringLiteral("office")}) {
            replies.clear();
            session.connection()->sendSearchRequest(word, false, 0);
            QTRY_VERIFY(!replies.isEmpty() && replies.last().done);
            QCOMPARE(replies.last().hits.size(), 1);
        }
        const quint64 all = session.connection()->sendTextRequest(0, QPointF(75, 728), QPointF(212, 728),
                                                                  TextExtent::Between);
        QTRY_VERIFY(texts.contains(all));
        QCOMPARE(texts.value(all).text, QStringLiteral("find the office"));
    }

    // A new search ends the one before: nothing comes for it after the new
    // one is acknowledged. (A helper that does not search: the window's test.)
    void aNewSearchEndsTheOneBefore()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("annotations.pdf")) && session.waitForConnected());
        QList<SearchReplyRecord> replies;
        connect(session.connection(), &pdfpreview::HelperConnection::searchReplied, this, [&](const SearchReplyRecord &r) { replies << r; });
        const quint64 first = session.connection()->sendSearchRequest(QStringLiteral("a"), false, 0);
        const quint64 second = session.connection()->sendSearchRequest(QStringLiteral("e"), false, 0);
        QTRY_VERIFY(!replies.isEmpty() && replies.last().done);
        qsizetype ack = -1;
        for (qsizetype n = 0; n < replies.size(); ++n) {
            if (replies[n].token == second && replies[n].page == -1)
                ack = n;
            QVERIFY(replies[n].token == second || (ack < 0 && !replies[n].done && replies[n].token == first));
        }
        QVERIFY(ack >= 0);
        QCOMPARE(replies.last().token, second);
    }

    // The connection against a peer that plays the helper. Its probe comes
    // first and finds what the peer answered before the probe's page; then
    // each request goes out with its id, replies without a token answer
    // their kind's oldest request, a reply still decoding holds back those
    // behind it, and what nobody asked for (the probe's answers too) is
    // dropped.
    void theConnectionMatchesRepliesToIds()
    {
        using Capability = pdfpreview::HelperConnection::Capability;
        QLocalServer server;
        QVERIFY(server.listen("tst-connection-" + QUuid::createUuid().toString(QUuid::Id128)));
        auto *ours = new QLocalSocket;
        ours->connectToServer(server.fullServerName());
        QVERIFY(server.waitForNewConnection(5000));
        QLocalSocket *peer = server.nextPendingConnection();
        pdfpreview::HelperConnection connection(ours, nullptr);
        QList<PacketType> types;
        QList<PageRequest> asked;
        quint32 expected = 0;
        connect(peer, &QLocalSocket::readyRead, this, [&] {
            readPackets(peer, expected, [&](PacketType type, QDataStream &in) {
                types << type;
                // Without a way to hand areas over, pages are asked for as PNG.
                if (type == PacketType::RenderRequest) {
                    asked << PageRequest();
                    in >> asked.last();
                }
            });
        });
        QStringList got;
        connect(&connection, &pdfpreview::HelperConnection::renderReplied, this, [&](const PageRequest &r) {
            got << QStringLiteral("page %1 %2x%3").arg(r.token).arg(r.image.width()).arg(r.image.height());
        });
        connect(&connection, &pdfpreview::HelperConnection::bookmarksReplied, this,
                [&](quint64 id, const QList<BookmarkNode> &) { got << QStringLiteral("outline %1").arg(id); });
        connect(&connection, &pdfpreview::HelperConnection::pageSizesReplied, this,
                [&](quint64 id, const QList<QSize> &) { got << QStringLiteral("sizes %1").arg(id); });
        connect(&connection, &pdfpreview::HelperConnection::linksReplied, this,
                [&](const LinksReplyRecord &) { got << QStringLiteral("links"); });

        // A peer from before stretches of sizes that knows the sizes and links
        // only: its probe ends with a question for every size, and a page
        // again behind it.
        QTRY_COMPARE(asked.size(), 1);
        QCOMPARE(
            types,
            (QList<PacketType>{PacketType::PageSizesRangeRequest, PacketType::TileRequest, PacketType::SearchRequest,
                               PacketType::LinksRequest, PacketType::TextRequest, PacketType::PageColoursRequest,
                               PacketType::OutlinePieceRequest, PacketType::RenderRequest}));
        QSignalSpy found(&connection, &pdfpreview::HelperConnection::capabilitiesFound);
        const quint64 early = connection.sendSearchRequest(QStringLiteral("a"), false, 0);
        QSignalSpy unavailable(&connection, &pdfpreview::HelperConnection::searchUnavailable);
        PageRequest probe = asked.takeFirst();
        probe.image = QImage(1, 1, QImage::Format_ARGB32);
        const QList<QSize> sizesInProbe{{612, 792}, {100, 200}};
        peer->write(buildPacket(PacketType::LinksReply, LinksReplyRecord{})
                    + buildPacket(PacketType::RenderReply, probe));
        QTRY_COMPARE(asked.size(), 1);
        // (After the search sent early.)
        QCOMPARE(
            types.mid(8),
            (QList<PacketType>{PacketType::SearchRequest, PacketType::PageSizesRequest, PacketType::RenderRequest}));
        QCOMPARE(found.size(), 0);
        probe = asked.takeFirst();
        probe.image = QImage(1, 1, QImage::Format_ARGB32);
        peer->write(buildPacket(PacketType::PageSizesReply, sizesInProbe)
                    + buildPacket(PacketType::RenderReply, probe));
        QTRY_COMPARE(found.size(), 1);
        QCOMPARE(connection.capabilities(), Capability::Sizes | Capability::Links);
        QCOMPARE(connection.pageSizes(), sizesInProbe);
        // The search sent before it was known is answered as unavailable, and
        // so is every one after, without asking.
        QVERIFY(early != 0);
        QCOMPARE(unavailable.size(), 1);
        QCOMPARE(connection.sendSearchRequest(QStringLiteral("a"), false, 0), quint64(0));
        QTRY_COMPARE(unavailable.size(), 2);
        types.clear();

        const quint64 outline = connection.sendBookmarksRequest();
        const quint64 sizes = connection.sendPageSizesRequest();
        const quint64 page = connection.sendPageRequest(PageRequest{0, 0, 77, false, false, 0, QSize(900, 900), QImage()});
        QCOMPARE((QSet<quint64>{outline, sizes, page}).size(), 3);
        QTRY_COMPARE(asked.size(), 1);
        QCOMPARE(asked[0].token, page);

        PageRequest reply = asked[0];
        reply.image = QImage(900, 900, QImage::Format_ARGB32);
        reply.image.fill(Qt::red);
        PageRequest stray = reply;
        stray.token = 12345;
        PacketWriter strayTile(PacketType::SharedTileReply);
        strayTile.stream() << TileRecord{stray, QRect(0, 0, 4, 4)} << SharedImage{0, 4, 4, 16, qint32(QImage::Format_ARGB32)};
        // All in one write: the page's PNG is still decoding when the rest is read.
        peer->write(buildPacket(PacketType::RenderReply, reply) + buildPacket(PacketType::PageSizesReply, QList<QSize>{{1, 1}})
                    + strayTile.finish() + buildPacket(PacketType(200)) + buildPacket(PacketType::BookmarksReply, QList<BookmarkNode>{}));
        QTRY_COMPARE(got.size(), 3);
        QCOMPARE(got, (QStringList{QStringLiteral("page %1 900x900").arg(page), QStringLiteral("sizes %1").arg(sizes),
                                   QStringLiteral("outline %1").arg(outline)}));
    }

    // Blocks of an area never overlap, mixed sizes included, and a block is
    // not handed out again while an image on it lives; a placement that
    // leaves its block gives no image, and the block back.
    void areaBlocksAreTheirImagesOwn()
    {
        constexpr qint64 K = 64 * 1024;
        auto shared = std::make_unique<SharedArea>();
        QVERIFY(shared->createUnnamed(10 * K));
        const auto area = std::make_shared<pdfpreview::AreaBlocks>(std::move(shared));
        const qint64 a = area->take(3 * K - 5);
        const qint64 b = area->take(K);
        const qint64 c = area->take(2 * K);
        QCOMPARE((QList<qint64>{a, b, c}), (QList<qint64>{0, 3 * K, 4 * K}));
        area->give(b);
        // The gap of one granule does not take two, the end does.
        QCOMPARE(area->take(2 * K), 6 * K);
        QCOMPARE(area->take(3 * K), qint64(-1));
        QImage onB = pdfpreview::AreaBlocks::imageIn(area, area->take(K), SharedImage{3 * K, 128, 128, 512, qint32(QImage::Format_ARGB32)});
        QCOMPARE(onB.size(), QSize(128, 128));
        QCOMPARE(area->take(K), 8 * K);
        QCOMPARE(area->take(K), 9 * K);
        QCOMPARE(area->take(K), qint64(-1));
        // One row past the block, or another offset: nothing, and the block is free.
        area->give(c);
        QVERIFY(pdfpreview::AreaBlocks::imageIn(area, area->take(2 * K), SharedImage{4 * K, 128, 257, 512, qint32(QImage::Format_ARGB32)}).isNull());
        QVERIFY(pdfpreview::AreaBlocks::imageIn(area, area->take(2 * K), SharedImage{4 * K + 4, 8, 8, 32, qint32(QImage::Format_ARGB32)}).isNull());
        QCOMPARE(area->take(2 * K), 4 * K);
        QImage copy = onB;
        QCOMPARE(pdfpreview::memoryKeptBy(QList<QImage>{onB, copy, QImage(4, 4, QImage::Format_ARGB32)}), 10 * K + 64);
        copy = QImage();
        QCOMPARE(area->take(K), qint64(-1));
        onB = QImage();
        QCOMPARE(area->take(K), 3 * K);
    }

    // Tiles through the helper, in the shared area or as PNG, are the whole
    // page's pixels, inverted and turned as the page is; a tile outside its
    // page gets a null tile, and the helper answers what follows. (What the
    // engine draws for every turn and bound is its own test's.)
    void tilesThroughTheHelper_data()
    {
        QTest::addColumn<bool>("shared");
        QTest::newRow("shared") << true;
        QTest::newRow("as PNG") << false;
    }

    void tilesThroughTheHelper()
    {
        QFETCH(bool, shared);
        HelperSession session;
        session.process().setTransport(shared ? HelperSession::Transport::Shared : HelperSession::Transport::Png);
        QVERIFY(session.start(fixture("sample.pdf")) && session.waitForConnected());
        const PageRequest page{0, 7, 0, true, true, 90, QSize(905, 700), QImage()};
        const auto whole = session.render(page);
        QVERIFY(whole && !whole->image.isNull());
        const QList<QRect> tiles{{0, 0, 300, 300}, {299, 123, 401, 377}, {605, 400, 300, 300}, {606, 400, 300, 300}};
        QHash<quint64, TileRecord> replies;
        connect(session.connection(), &pdfpreview::HelperConnection::tileReplied, this,
                [&](const TileRecord &reply) { replies.insert(reply.page.token, reply); });
        QList<quint64> ids;
        for (const QRect &rect : tiles)
            ids << session.connection()->sendTileRequest(TileRecord{page, rect});
        QTRY_COMPARE_WITH_TIMEOUT(replies.size(), int(tiles.size()), 20000);
        for (int n = 0; n < 3; ++n) {
            const QImage tile = replies.value(ids[n]).page.image;
            QCOMPARE(tile.convertToFormat(QImage::Format_ARGB32),
                     whole->image.convertToFormat(QImage::Format_ARGB32).copy(tiles.at(n)));
#ifdef Q_OS_LINUX
            QCOMPARE(inSharedArea(tile), shared);
#endif
        }
        QVERIFY(replies.value(ids[3]).page.image.isNull());
        QVERIFY(session.render(pageRequest(1)).has_value());
    }

    // Night and sepia through the helper: night turns the paper dark and
    // keeps hues (a red square stays red, grey stays grey), sepia warms the
    // paper; both leave the photograph's pixels as drawn, in a tile as on
    // the whole page. A helper that does not know them gets the colours
    // laid over the whole page by the connection.
    void nightAndSepiaKeepHuesAndImages_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::newRow("helper") << testsupport::helperBinary();
        QTest::newRow("helper before colours") << QStringLiteral(PDFHELPER_BEFORE_SHARED);
    }

    void nightAndSepiaKeepHuesAndImages()
    {
        QFETCH(QString, helper);
        const bool knows = helper == testsupport::helperBinary();
        HelperSession session;
        session.process().setProgram(helper);
        QVERIFY(session.start(fixture("colours.pdf")) && session.waitForConnected());
        QHash<quint64, QImage> images;
        connect(session.connection(), &pdfpreview::HelperConnection::renderReplied, this,
                [&](const PageRequest &r) { images.insert(r.token, r.image); });
        connect(session.connection(), &pdfpreview::HelperConnection::tileReplied, this,
                [&](const TileRecord &r) { images.insert(r.page.token, r.page.image); });
        const PageRequest page = pdfpreview::RenderOptions(0, false).request(0, QSize(400, 400));
        const QRect tile(30, 250, 200, 100); // across the photograph's top edge
        const quint64 normal = session.connection()->sendPageRequest(page);
        const quint64 night = session.connection()->sendPageRequest(page, PageColours::Night);
        const quint64 nightTile = session.connection()->sendTileRequest(TileRecord{page, tile}, PageColours::Night);
        const quint64 sepia = session.connection()->sendPageRequest(page, PageColours::Sepia);
        const quint64 again = session.connection()->sendPageRequest(page);
        QTRY_COMPARE_WITH_TIMEOUT(images.size(), knows ? 5 : 4, 20000);
        QCOMPARE(session.connection()->capabilities().testFlag(pdfpreview::HelperConnection::Capability::Colours),
                 knows);
        const auto at = [&](quint64 id, int x, int y) { return images.value(id).pixel(x, y); };
        QCOMPARE(at(night, 200, 200), qRgb(0, 0, 0));
        QCOMPARE(at(night, 90, 90), qRgb(255, 0, 0));
        QVERIFY2(qAbs(qRed(at(night, 310, 90)) - 128) <= 2 && qRed(at(night, 310, 90)) == qBlue(at(night, 310, 90)),
                 qPrintable(QString::number(at(night, 310, 90), 16)));
        QCOMPARE(at(sepia, 200, 200), paperColour(PageColours::Sepia));
        QCOMPARE(at(again, 200, 200), qRgb(255, 255, 255));
        const QRect photo(44, 264, 92, 92);
        const auto differs = testsupport::pixelDifference(images.value(night).copy(photo),
                                                          images.value(normal).copy(photo));
        QCOMPARE(differs.pixels == 0, knows);
        QCOMPARE(testsupport::pixelDifference(images.value(sepia).copy(photo), images.value(normal).copy(photo)).pixels
                     == 0,
                 knows);
        if (knows)
            QCOMPARE(testsupport::pixelDifference(images.value(nightTile), images.value(night).copy(tile)).pixels, 0);
    }

#ifdef Q_OS_LINUX
    // Shared areas have no name and reach the helper over a channel that
    // only that helper inherits: no other program the preview side starts
    // holds the channel or an area, and a killed helper is seen as a crash.
    void areasReachOnlyTheirHelper()
    {
        HelperSession session;
        QVERIFY(session.start(fixture("sample.pdf")) && session.waitForConnected());
        QVERIFY(session.render(pageRequest(0)).has_value() && session.lastRenderShared());
        QProcess other;
        other.start("/bin/sh", {"-c", "ls -l /proc/$$/fd"});
        QVERIFY(other.waitForFinished());
        const QByteArray descriptors = other.readAllStandardOutput();
        QVERIFY2(descriptors.contains("pipe:[") && !descriptors.contains("socket:") && !descriptors.contains("memfd:"),
                 descriptors.constData());
        ::kill(pid_t(session.process().processId()), SIGKILL);
        QVERIFY(session.waitForFinished() && session.process().crashed());
    }
#endif

#ifdef Q_OS_LINUX
    // Our own helper is handed its connection as it starts and connects to
    // nothing: it is served though its server's socket file is gone at once.
    // A helper that does not take the connection (here the same helper,
    // with the handed connection's name taken from its environment) connects
    // to the server by its name, and is served through that.
    void theConnectionIsHandedOverOrMadeByName()
    {
        HelperSession handed;
        QVERIFY(handed.start(fixture("sample.pdf")));
        QVERIFY(QFile::remove(handed.process().serverName()));
        QVERIFY(handed.waitForConnected());
        QVERIFY(handed.render(pageRequest(0)).has_value());
        QCOMPARE(handed.process().trace().value(0), "connected " + handed.process().serverName());
        // Finding out what the helper knows draws no page: a probe of page 0
        // would decode a scanned first page whole before the real one.
        QTRY_COMPARE(handed.process().trace().count("rendering page 0"), 1);

        QTemporaryDir scratch;
        const QString unaware = scratch.filePath("unaware-helper");
        QFile script(unaware);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nexec env -u PDFHELPER_CONNECTION " + QFile::encodeName(testsupport::helperBinary())
                     + " \"$@\"\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
        HelperSession byName;
        byName.process().setProgram(unaware);
        QVERIFY(byName.start(fixture("sample.pdf")) && byName.waitForConnected());
        QVERIFY(byName.render(pageRequest(0)).has_value());
        HelperSession tooLate;
        tooLate.process().setProgram(unaware);
        QVERIFY(tooLate.start(fixture("sample.pdf")));
        QVERIFY(QFile::remove(tooLate.process().serverName()));
        QVERIFY(!tooLate.waitForConnected());
    }

    // Helpers ahead: one per neighbour, adopted on a step without a new
    // process, ended when their file is no longer a neighbour, not retried
    // for a file that needs a password, and gone with the prefetcher. (A
    // killed client's helpers end as any helper whose peer goes away.)
    void helpersAheadFollowTheSteps()
    {
        using pdfpreview::Prefetch;
        QTemporaryDir dir;
        QStringList files;
        for (const char *name : {"a.pdf", "b.pdf", "c.pdf", "d.pdf"}) {
            files << dir.filePath(name);
            QVERIFY(QFile::copy(fixture(QString(name) == "c.pdf" ? "encrypted-rc4.pdf" : "sample.pdf"), files.last()));
        }
        // The helper processes serving a file, found from outside.
        const auto helpers = [](const QString &file) {
            int count = 0;
            for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
                QFile cmdline("/proc/" + pid + "/cmdline");
                if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().split('\0').contains(file.toUtf8()))
                    ++count;
            }
            return count;
        };
        const auto prefetched = [](pdfpreview::NeighbourPrefetcher &p) {
            const QStringList list = p.prefetched();
            return QSet<QString>(list.cbegin(), list.cend());
        };
        auto prefetcher = std::make_unique<pdfpreview::NeighbourPrefetcher>();
        prefetcher->setFirstPage(pdfpreview::RenderOptions::of(pageRequest(0)), [](const QSize &points) { return points / 4; });
        prefetcher->setFiles(files);
        prefetcher->setCurrent(files[0]);
        QCOMPARE(prefetched(*prefetcher), (QSet<QString>{files[1], files[3]}));

        std::unique_ptr<Prefetch> b = prefetcher->take(files[1]);
        QVERIFY(QTest::qWaitFor([&] { return b->stage() == Prefetch::Stage::Ready; }, 20000));
        QCOMPARE(b->firstPage().size(), QSize(612, 792) / 4);
        // Drawn ahead into the area, as the window's own pages are.
        QVERIFY(inSharedArea(b->firstPage()));
        auto adopted = std::make_unique<HelperSession>(b->takeProcess());
        QVERIFY(adopted->render(pageRequest(2)).has_value());
        QCOMPARE(helpers(files[1]), 1);

        // At b the neighbours are c and a: d's helper ends; c needs a
        // password and fails. It is not started again in the background,
        // also after it has been no neighbour for a step.
        prefetcher->setCurrent(files[1]);
        QCOMPARE(prefetched(*prefetcher), (QSet<QString>{files[2], files[0]}));
        QVERIFY(QTest::qWaitFor([&] { return helpers(files[3]) == 0 && helpers(files[2]) == 0; }, 10000));
        QTest::qWait(200);
        prefetcher->setCurrent(files[0]);
        prefetcher->setCurrent(files[1]);
        QCOMPARE(prefetched(*prefetcher), QSet<QString>{files[0]});

        // The folder changes: a is gone from the list, and so is its helper.
        prefetcher->setFiles({files[1], files[3]});
        QCOMPARE(prefetched(*prefetcher), QSet<QString>{files[3]});
        QVERIFY(QTest::qWaitFor([&] { return helpers(files[0]) == 0 && helpers(files[3]) == 1; }, 10000));

        // A helper ahead that is killed leaves the shown document alone, and
        // the step to its file finds it failed and opens the file afresh.
        std::unique_ptr<Prefetch> d = prefetcher->take(files[3]);
        QVERIFY(QTest::qWaitFor([&] { return d->stage() == Prefetch::Stage::Ready; }, 20000));
        ::kill(pid_t(d->process()->processId()), SIGKILL);
        QVERIFY(QTest::qWaitFor([&] { return d->stage() == Prefetch::Stage::Failed; }, 10000));
        QVERIFY(adopted->render(pageRequest(1)).has_value());
        prefetcher.reset();
        QVERIFY(QTest::qWaitFor([&] { return helpers(files[0]) + helpers(files[2]) + helpers(files[3]) == 0; }, 5000));

    }
#endif

};

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
