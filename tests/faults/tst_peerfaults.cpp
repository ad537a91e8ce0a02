// The peer misbehaves or asks for too much: it goes away before, during or
// in the middle of a reply, or in the middle of its own request, and it asks
// for images too large to allocate. The helper must not crash: it answers
// what it can and ends cleanly when the connection is gone.

#include "faultpeer.h"
#include "testsupport.h"

#include <QFile>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#endif

using namespace faults;

namespace {

QString document(const char *name = "faults-large.pdf")
{
    return testsupport::fixture(QLatin1String(name));
}

// RLIMIT_AS and AddressSanitizer do not mix: its shadow memory alone is
// reserved far beyond any useful limit.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FAULTS_ADDRESS_SANITIZED
#endif
#endif
#if defined(Q_OS_LINUX) && !defined(__SANITIZE_ADDRESS__) && !defined(FAULTS_ADDRESS_SANITIZED)
constexpr bool CanLimitAddressSpace = true;
void limitAddressSpace(FaultPeer &peer, qint64 bytes)
{
    peer.setChildSetup([bytes] {
        const rlimit value{rlim_t(bytes), rlim_t(bytes)};
        setrlimit(RLIMIT_AS, &value);
    });
}
#else
constexpr bool CanLimitAddressSpace = false;
void limitAddressSpace(FaultPeer &, qint64) {}
#endif

// A small render after a failure shows that nothing was left behind; then
// the helper must end cleanly.
void verifyRecovered(FaultPeer &peer)
{
    const auto next = decodeRenderReply(peer.ask(renderRequest(0, QSize(60, 80), 99)));
    QVERIFY(next && next->tag == 99 && next->image.size() == QSize(60, 80));
    peer.closeConnection();
    QVERIFY(peer.endedCleanly());
}

} // namespace

class TestPeerFaults : public QObject
{
    Q_OBJECT

private slots:
    void peerLeaves_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("afterFirstBytes"); // leave once a reply has begun
        QTest::addColumn<bool>("politely");        // close rather than abort

        QByteArray renders, replies, mixed;
        for (int n = 0; n < 6; ++n)
            renders += renderRequest(n, QSize(900, 1200), n);
        // Replies of megabytes each, far more than a socket buffer holds.
        for (int n = 0; n < 3; ++n)
            replies += renderRequest(0, QSize(1000, 1000), n);
        for (int n = 0; n < 20; ++n)
            mixed += (n % 2) ? outlineRequest() : renderRequest(n % 12, QSize(400, 500), n);
        QTest::newRow("before any reply") << document() << renders << false << false;
        QTest::newRow("in the middle of a reply") << document("provider-noise.pdf") << replies << true << false;
        QTest::newRow("closing while replies are queued") << document() << mixed << true << true;
        QTest::newRow("in the middle of a request") << document() << renderRequest(0, QSize(100, 100)).left(12)
                                                    << false << false;
    }

    void peerLeaves()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, sent);
        QFETCH(bool, afterFirstBytes);
        QFETCH(bool, politely);
        FaultPeer peer;
        QVERIFY(peer.start(path));
        peer.send(sent);
        if (afterFirstBytes)
            QVERIFY(QTest::qWaitFor([&] { return peer.pendingBytes() > 0; }, 60000));
        const qint64 received = peer.pendingBytes();
        politely ? peer.closeConnection() : peer.abortConnection();
        QVERIFY(peer.endedCleanly());

        const QStringList sending = peer.trace().filter(QStringLiteral("sending back "));
        if (QTest::currentDataTag() == QByteArray("in the middle of a reply"))
            QVERIFY(!sending.isEmpty() && received < sending.first().mid(13).toLongLong());
        if (QTest::currentDataTag() == QByteArray("in the middle of a request"))
            QVERIFY(peer.trace().filter(QStringLiteral("rendering page")).isEmpty());
    }

    void sizesTooLargeToAllocateGiveNullImages_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("30000 square") << QSize(30000, 30000);
        QTest::newRow("rows wider than an int of bytes") << QSize(1 << 30, 1);
        QTest::newRow("largest") << QSize(INT_MAX, INT_MAX);
    }

    void sizesTooLargeToAllocateGiveNullImages()
    {
        QFETCH(QSize, size);
        // Where memory is plentiful an allocation of gigabytes succeeds and is
        // then filled page by page; a limit makes it fail as it would on a
        // machine without that memory.
        if (!CanLimitAddressSpace)
            QSKIP("an address space limit cannot be set for the helper here");
        FaultPeer peer;
        limitAddressSpace(peer, qint64(1536) << 20);
        QVERIFY(peer.start(document()));
        const QByteArray reply = peer.ask(renderRequest(1, size, 11));
        QCOMPARE(reply.size(), 39);
        const auto failed = decodeRenderReply(reply);
        QVERIFY(failed && failed->tag == 11 && failed->size == size && failed->image.isNull());
        verifyRecovered(peer);
    }

    void anImageThatFitsButNotTwiceIsStillSent()
    {
        if (!CanLimitAddressSpace)
            QSKIP("an address space limit cannot be set for the helper here");
        // What the helper itself takes, measured on one without a limit.
        qint64 base = -1;
        {
            FaultPeer probe;
            QVERIFY(probe.start(document()));
            QVERIFY(decodeRenderReply(probe.ask(renderRequest(0, QSize(100, 100)))));
            QFile status(QStringLiteral("/proc/%1/status").arg(probe.processId()));
            for (const QByteArray &line : status.open(QIODevice::ReadOnly) ? status.readAll().split('\n') : QByteArrayList())
                if (line.startsWith("VmPeak:"))
                    base = line.mid(7).trimmed().split(' ').first().toLongLong() * 1024;
        }
        // Room for the image and half of it again: the fast PNG encoder
        // cannot have its working buffers and gives way to Qt's, which needs
        // little beside the file it writes. A failed allocation that cannot
        // be caught would end the helper here instead.
        const QSize size(4000, 5000);
        const qint64 image = qint64(size.width()) * size.height() * 4;
        QVERIFY(base > 0);
        FaultPeer peer;
        limitAddressSpace(peer, base + image + image / 2);
        QVERIFY(peer.start(document()));
        const QByteArray reply = peer.ask(renderRequest(0, size, 21));
        QVERIFY2(reply.size() > 39, qPrintable(QStringLiteral("reply of %1 bytes").arg(reply.size())));
        QCOMPARE(reply.mid(5, 8), QByteArray::fromHex("0000000000000015")); // page 0, tag 21
        QCOMPARE(reply.mid(35, 4), QByteArray::fromHex("00000001"));       // an image follows
        verifyRecovered(peer);
    }
};

QTEST_GUILESS_MAIN(TestPeerFaults)
#include "tst_peerfaults.moc"
