// The real helper under harm. In mode 1 the document changes under it, the
// peer goes away in the middle of a reply, and it is asked for images over
// its bound or too large to allocate: renders may fail, but every request
// is answered, the helper does not crash, and it ends cleanly when the
// connection closes.

#include "helperpeer.h"

#include <QtTest>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#endif

// RLIMIT_AS and AddressSanitizer do not mix: its shadow memory alone is
// reserved far beyond any useful limit.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FAULTS_ADDRESS_SANITIZED
#endif
#endif
#if defined(Q_OS_LINUX) && !defined(__SANITIZE_ADDRESS__) && !defined(FAULTS_ADDRESS_SANITIZED)
#define FAULTS_CAN_LIMIT_ADDRESS_SPACE
#endif

using testsupport::fixture;

namespace {

enum Fault { Truncate, Rename, Delete };

bool hasInk(const QImage &image)
{
    QImage paper(image.size(), image.format());
    paper.fill(Qt::white);
    return image != paper;
}

// Where memory is plentiful an allocation of gigabytes succeeds and is then
// filled page by page; a limit makes it fail as it would on a machine
// without that memory.
bool startWithAddressSpace(HelperPeer &peer, qint64 bytes)
{
#ifdef FAULTS_CAN_LIMIT_ADDRESS_SPACE
    peer.setChildSetup([bytes] {
        const rlimit value{rlim_t(bytes), rlim_t(bytes)};
        setrlimit(RLIMIT_AS, &value);
    });
#endif
    return peer.start(fixture("faults-large.pdf"));
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

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void documentChangesWhileServed_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("truncated to half") << int(Truncate);
        QTest::newRow("replaced by rename") << int(Rename);
        QTest::newRow("deleted") << int(Delete);
    }

    void documentChangesWhileServed()
    {
        QFETCH(int, fault);
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

        const QString other = dir.filePath("other.pdf");
        switch (Fault(fault)) {
        case Truncate: QVERIFY(QFile::resize(path, QFileInfo(path).size() / 2)); break;
        case Rename:
            QVERIFY(QFile::copy(fixture("plain.pdf"), other));
            QVERIFY(std::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()) == 0);
            break;
        case Delete: QVERIFY(QFile::remove(path)); break;
        }

        // Last page first: it was never read before the fault.
        QList<bool> inked;
        for (int page = 11; page >= 0; --page) {
            const auto image = render(page);
            QVERIFY2(image, qPrintable(QStringLiteral("no proper reply for page %1").arg(page)));
            inked.prepend(hasInk(*image));
        }
        const QByteArray outline = peer.ask(buildPacket(PacketType::BookmarksRequest));
        if (fault == Truncate) {
            // Failed reads are noticed and reported, not ignored.
            QVERIFY2(!inked.last(), "the truncation was never noticed");
            QVERIFY(peer.log().contains("ERROR"));
            QCOMPARE(outline.at(4), char(PacketType::BookmarksReply));
        } else {
            // A renamed-over or deleted file lives on for the helper, which
            // goes on with what it opened: all 12 pages and 4 outline entries.
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

    void anImageThatFitsButNotTwiceIsStillSent()
    {
#ifndef FAULTS_CAN_LIMIT_ADDRESS_SPACE
        QSKIP("an address space limit cannot be set for the helper here");
#endif
        // What the helper itself takes, measured on one without a limit.
        qint64 base = -1;
        {
            HelperPeer probe;
            QVERIFY(probe.start(fixture("faults-large.pdf")));
            QVERIFY(renderReply(probe.ask(renderRequest(0, QSize(100, 100)))));
            base = probe.peakKb() * 1024;
        }
        // Room for the image and half of it again: the fast PNG encoder
        // cannot have its working buffers and gives way to Qt's, which needs
        // little beside the file it writes. A failed allocation that cannot
        // be caught would end the helper here instead.
        const QSize size(4000, 5000);
        const qint64 image = qint64(size.width()) * size.height() * 4;
        HelperPeer peer;
        QVERIFY(startWithAddressSpace(peer, base + image + image / 2));
        const auto reply = renderReply(peer.ask(renderRequest(0, size, 21)));
        QVERIFY(reply && reply->tag == 21);
        QCOMPARE(reply->image.size(), size);
        verifyRecovered(peer);
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
