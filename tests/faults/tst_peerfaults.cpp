// The peer misbehaves or asks for too much: it goes away before, during or
// in the middle of a reply, or in the middle of its own request, and it asks
// for images too large to allocate. The helper must not crash: it answers
// what it can and ends cleanly when the connection is gone.

#include "faultpeer.h"
#include "testsupport.h"

#include <QFile>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using namespace faults;

namespace {

QString document()
{
    return testsupport::fixture(QStringLiteral("faults-large.pdf"));
}

// The helper ended with 0 after saying that the connection was gone.
bool endedCleanly(FaultPeer &peer)
{
    const int code = peer.waitForExit();
    const QStringList trace = peer.trace();
    if (code != 0 || trace.isEmpty() || trace.constLast() != QLatin1String("disconnected ")) {
        qWarning() << "exit" << code << "trace" << trace.mid(qMax(0, int(trace.size()) - 5));
        return false;
    }
    return true;
}

// A small render after a failure, to show that nothing was left behind.
bool nextRenderWorks(FaultPeer &peer)
{
    const auto next = decodeRenderReply(peer.ask(renderRequest(0, QSize(60, 80), 99)));
    return next && next->tag == 99 && next->image.size() == QSize(60, 80);
}

qint64 peakVirtualBytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmPeak:"))
            return line.mid(7).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

// RLIMIT_AS and AddressSanitizer do not mix: its shadow memory alone is
// reserved far beyond any useful limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool AddressSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool AddressSanitized = true;
#else
constexpr bool AddressSanitized = false;
#endif
#else
constexpr bool AddressSanitized = false;
#endif

bool canLimitAddressSpace()
{
#ifdef Q_OS_LINUX
    return !AddressSanitized;
#else
    return false;
#endif
}

void limitAddressSpace(FaultPeer &peer, qint64 bytes)
{
#ifdef Q_OS_UNIX
    peer.setChildSetup([bytes] {
        const rlimit value{rlim_t(bytes), rlim_t(bytes)};
        setrlimit(RLIMIT_AS, &value);
    });
#else
    Q_UNUSED(peer);
    Q_UNUSED(bytes);
#endif
}

} // namespace

class TestPeerFaults : public QObject
{
    Q_OBJECT

private slots:
    void peerLeavesBeforeAnyReply()
    {
        FaultPeer peer;
        QVERIFY(peer.start(document()));
        // A batch of renders, and gone before the first can be finished.
        QByteArray batch;
        for (int page = 0; page < 6; ++page)
            batch += renderRequest(page, QSize(900, 1200), page);
        peer.send(batch);
        peer.abortConnection();
        QVERIFY(endedCleanly(peer));
    }

    void peerLeavesInTheMiddleOfAReply()
    {
        FaultPeer peer;
        QVERIFY(peer.start(testsupport::fixture(QStringLiteral("provider-noise.pdf"))));
        // Several replies of megabytes each, far more than a socket buffer;
        // leave as soon as the first bytes are in.
        QByteArray batch;
        for (int n = 0; n < 3; ++n)
            batch += renderRequest(0, QSize(1000, 1000), n);
        peer.send(batch);
        QVERIFY(QTest::qWaitFor([&] { return peer.pendingBytes() > 0; }, 60000));
        const qint64 received = peer.pendingBytes();
        peer.abortConnection();
        QVERIFY(endedCleanly(peer));
        const QStringList sent = peer.trace().filter(QStringLiteral("sending back "));
        QVERIFY(!sent.isEmpty());
        QVERIFY(received < sent.first().mid(13).toLongLong());
    }

    void peerClosesWhileRepliesAreQueued()
    {
        FaultPeer peer;
        QVERIFY(peer.start(document()));
        // Outline and render replies pile up unread, then a polite close.
        QByteArray batch;
        for (int n = 0; n < 20; ++n)
            batch += (n % 2) ? outlineRequest() : renderRequest(n % 12, QSize(400, 500), n);
        peer.send(batch);
        QVERIFY(QTest::qWaitFor([&] { return peer.pendingBytes() > 0; }, 60000));
        peer.closeConnection();
        QVERIFY(endedCleanly(peer));
    }

    void peerLeavesInTheMiddleOfARequest()
    {
        FaultPeer peer;
        QVERIFY(peer.start(document()));
        const QByteArray request = renderRequest(0, QSize(100, 100));
        peer.send(request.left(2));
        QTest::qWait(20);
        peer.send(request.mid(2, 10));
        QTest::qWait(20);
        peer.abortConnection();
        QVERIFY(endedCleanly(peer));
        QVERIFY(peer.trace().filter(QStringLiteral("rendering page")).isEmpty());
    }

    void sizesTooLargeToAllocateGiveNullImages_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("30000 square") << QSize(30000, 30000);
        QTest::newRow("one very tall column") << QSize(1, 1000 * 1000 * 1000);
        QTest::newRow("rows wider than an int of bytes") << QSize(1 << 30, 1);
        QTest::newRow("largest") << QSize(INT_MAX, INT_MAX);
    }

    void sizesTooLargeToAllocateGiveNullImages()
    {
        QFETCH(QSize, size);
        if (!canLimitAddressSpace())
            QSKIP("an address space limit cannot be set for the helper here");
        // Where memory is plentiful an allocation of gigabytes succeeds and is
        // then filled page by page; a limit makes it fail as it would on a
        // machine without that memory.
        FaultPeer peer;
        limitAddressSpace(peer, qint64(1536) << 20);
        QVERIFY(peer.start(document()));

        const QByteArray reply = peer.ask(renderRequest(1, size, 11));
        QCOMPARE(reply.size(), 39);
        const auto failed = decodeRenderReply(reply);
        QVERIFY(failed);
        QCOMPARE(failed->tag, 11);
        QCOMPARE(failed->size, size);
        QVERIFY(failed->image.isNull());
        QVERIFY(nextRenderWorks(peer));
        peer.closeConnection();
        QVERIFY(endedCleanly(peer));
    }

    void anImageThatFitsButNotTwiceIsStillSent()
    {
        if (!canLimitAddressSpace())
            QSKIP("an address space limit cannot be set for the helper here");
        // What the helper itself takes, measured on one without a limit.
        qint64 base = 0;
        {
            FaultPeer probe;
            QVERIFY(probe.start(document()));
            QVERIFY(decodeRenderReply(probe.ask(renderRequest(0, QSize(100, 100)))));
            base = peakVirtualBytes(probe.processId());
            QVERIFY(base > 0);
        }
        // Room for the image and half of it again: the fast PNG encoder
        // cannot have its working buffers and gives way to Qt's, which needs
        // little beside the file it writes. A failed allocation that cannot
        // be caught would end the helper here instead.
        const QSize size(4000, 5000);
        const qint64 image = qint64(size.width()) * size.height() * 4;
        FaultPeer peer;
        limitAddressSpace(peer, base + image + image / 2);
        QVERIFY(peer.start(document()));

        const QByteArray reply = peer.ask(renderRequest(0, size, 21));
        QVERIFY2(reply.size() > 39, qPrintable(QStringLiteral("reply of %1 bytes").arg(reply.size())));
        QCOMPARE(reply.mid(5, 8), QByteArray::fromHex("0000000000000015")); // page 0, tag 21
        QCOMPARE(reply.mid(35, 4), QByteArray::fromHex("00000001"));       // an image follows
        QVERIFY(nextRenderWorks(peer));
        peer.closeConnection();
        QVERIFY(endedCleanly(peer));
    }
};

QTEST_GUILESS_MAIN(TestPeerFaults)
#include "tst_peerfaults.moc"
