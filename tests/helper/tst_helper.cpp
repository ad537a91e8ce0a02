// The real helper executable. Its command line, exit codes and the scan's
// output file; then mode 1 under harm: the document changes under it, the
// peer goes away in the middle of a reply, and it is asked for images over
// its bound. Renders may fail, but every request is answered, the helper
// does not crash, and it ends cleanly when the connection closes.

#include "contract.h"
#include "helperpeer.h"

#include <QtTest>

using testsupport::fixture;

namespace {

testsupport::ProcessRun runHelper(const QStringList &args)
{
    return testsupport::runProcess(testsupport::helperBinary(), args);
}

bool hasInk(const QImage &image)
{
    QImage paper(image.size(), image.format());
    paper.fill(Qt::white);
    return image != paper;
}

// A small render after a failure shows that nothing was left behind; then
// the helper must end cleanly.
void verifyRecovered(HelperPeer &peer)
{
    const auto next = renderReply(peer.ask(renderRequest(0, QSize(60, 80), 99)));
    QVERIFY(next && next->tag == 99 && next->image.size() == QSize(60, 80));
    peer.connection->disconnectFromServer();
    QVERIFY(peer.endedCleanly());
}

} // namespace

class TestHelper : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void malformedCommandLinesEndWithMinusOneSilently_data()
    {
        QTest::addColumn<QStringList>("args");
        const QString doc = fixture("sample.pdf");
        QTest::newRow("program alone") << QStringList{};
        QTest::newRow("mode 1, server only") << QStringList{"1", "server"};
        QTest::newRow("mode 0, output only") << QStringList{"0", "out.txt"};
        QTest::newRow("mode 2") << QStringList{"2", "x", doc};
        QTest::newRow("mode -1") << QStringList{"-1", "x", doc};
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
        QCOMPARE(run.exitCode, -6); // the number is the contract, not the name
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

#ifdef Q_OS_LINUX
        // Opens, but no byte of the list reaches it.
        QCOMPARE(runHelper({"0", "/dev/full", fixture("sample.pdf")}).exitCode, -4);
#endif

        // Loading fails first when both are wrong.
        QCOMPARE(runHelper({"0", out, fixture("no-such.pdf")}).exitCode, -5);
    }

    void documentChangesWhileServed_data()
    {
        QTest::addColumn<bool>("truncate"); // else delete
        QTest::newRow("truncated to half") << true;
        QTest::newRow("deleted") << false;
    }

    void documentChangesWhileServed()
    {
        QFETCH(bool, truncate);
        QTemporaryDir dir;
        const QString path = dir.filePath("served.pdf");
        QVERIFY(QFile::copy(fixture("faults-large.pdf"), path));
        HelperPeer peer;
        QVERIFY(peer.start(path));
        int tag = 0;
        // Every request must be answered by the reply that belongs to it.
        const auto render = [&](int page) -> std::optional<QImage> {
            const auto reply = renderReply(peer.ask(renderRequest(page, QSize(120, 150), ++tag)));
            if (!reply || reply->tag != tag || reply->pageIndex != page)
                return std::nullopt;
            return reply->image;
        };

        if (truncate)
            QVERIFY(QFile::resize(path, QFileInfo(path).size() / 2));
        else
            QVERIFY(QFile::remove(path));

        // Last page first: it was never read before the fault.
        QList<bool> inked;
        for (int page = 11; page >= 0; --page) {
            const auto image = render(page);
            QVERIFY2(image, qPrintable(QStringLiteral("no proper reply for page %1").arg(page)));
            inked.prepend(hasInk(*image));
        }
        const QByteArray outline = peer.ask(buildPacket(PacketType::BookmarksRequest));
        if (truncate) {
            // Failed reads are noticed and reported, not ignored.
            QVERIFY2(!inked.last(), "the truncation was never noticed");
            QVERIFY(peer.log().contains("ERROR"));
            QCOMPARE(outline.at(4), char(PacketType::BookmarksReply));
        } else {
            // A deleted file lives on for the helper, which goes on with what
            // it opened: all 12 pages and 4 outline entries.
            QVERIFY(!inked.contains(false));
            QCOMPARE(outline.mid(4, 5), QByteArray::fromHex("0400000004"));
        }
        peer.connection->disconnectFromServer();
        QVERIFY(peer.endedCleanly());
    }

    void peerLeavingMidReplyEndsTheHelperCleanly()
    {
        HelperPeer peer;
        QVERIFY(peer.start(fixture("provider-noise.pdf")));
        // A reply of megabytes, far more than a socket buffer holds.
        peer.send(renderRequest(0, QSize(1000, 1000)));
        QVERIFY(QTest::qWaitFor([&] { return peer.pending() > 0; }, 60000));
        const qint64 received = peer.pending();
        peer.connection->abort();
        QVERIFY(peer.endedCleanly());
        const QStringList sending = peer.trace().filter("sending back ");
        QVERIFY(!sending.isEmpty() && received < sending.first().mid(13).toLongLong());
    }

    // Whatever a request asks for, the helper answers at once with a failed
    // render and never holds more than a page of the bound's size.
    void sizesOverTheBoundAreRefusedAtOnce()
    {
        HelperPeer peer;
        QVERIFY(peer.start(fixture("faults-large.pdf")));
        const QList<QSize> sizes{{65536, 65536}, {8192, 8193}, {1 << 30, 1}, {INT_MAX, INT_MAX}};
        QElapsedTimer timer;
        timer.start();
        for (const QSize &size : sizes) {
            const QByteArray reply = peer.ask(renderRequest(1, size, 11));
            QCOMPARE(reply.size(), 39);
            QCOMPARE(renderReply(reply)->tag, 11);
        }
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
#ifdef Q_OS_LINUX
        const qint64 peak = peer.peakKb("VmHWM");
        QVERIFY2(peak > 0 && peak < 128 * 1024, qPrintable(QString::number(peak)));
#endif
        verifyRecovered(peer);
    }

};

QTEST_GUILESS_MAIN(TestHelper)
#include "tst_helper.moc"
