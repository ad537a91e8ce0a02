// The real helper in mode 1, driven byte for byte through a local server.

#include "helperpeer.h"
#include "packetframing.h"
#include "pagerequest.h"
#include "testsupport.h"

#include <QFile>
#include <QtEndian>
#include <QtTest>

using testsupport::fixture;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray be32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

// A title as the stream writes it, spelled out by hand.
QByteArray title(const QString &text)
{
    QByteArray bytes = be32(quint32(text.size() * 2));
    for (const QChar c : text) {
        bytes.append(char(c.unicode() >> 8));
        bytes.append(char(c.unicode() & 0xFF));
    }
    return bytes;
}

QByteArray entry(const QString &text, qint32 page, quint32 children)
{
    return title(text) + be32(quint32(page)) + be32(children);
}

QByteArray withPrefix(const QByteArray &body)
{
    return be32(quint32(body.size())) + body;
}

const char *const RenderRequestExample =
    "00 00 00 23 01"
    "00 00 00 03  00 00 00 07  00 00 00 00 00 00 00 01  01  00"
    "00 00 00 5A  00 00 03 20  00 00 02 58  00 00 00 00";

QByteArray renderRequest(qint32 page, QSize size, qint32 rotation = 0, bool invert = false,
                         bool annotations = false, qint32 tag = -1, quint64 token = 0)
{
    PageRequest request;
    request.pageIndex = page;
    request.size = size;
    request.rotation = rotation;
    request.invert = invert;
    request.annotations = annotations;
    request.tag = tag;
    request.token = token;
    return buildPacket(PacketType::RenderRequest, request);
}

PageRequest decodeReply(const QByteArray &packet)
{
    PageRequest reply;
    if (packet.size() < 5 || packet.at(4) != char(PacketType::RenderReply))
        return reply;
    QDataStream in(packet.mid(5));
    in.setVersion(ProtocolStreamVersion);
    in >> reply;
    return reply;
}

// The helper connected to us, on the given document.
struct Session {
    HelperPeer peer;
    explicit Session(const QString &document, const QStringList &extra = {})
    {
        peer.start(document, extra);
        connected = peer.waitForConnection()
                    && peer.waitForTrace("connected " + peer.serverFullName());
    }
    bool connected = false;
};

bool hasInk(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                return true;
    return false;
}

// Peak virtual memory of a process as the kernel counts it, in kB.
qint64 peakVirtualKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmPeak:"))
            return line.mid(7).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

class TestProvider : public QObject
{
    Q_OBJECT

private slots:
    void workedExamplesInBothDirections()
    {
        Session s(fixture("sample.pdf"));
        QVERIFY(s.connected);

        // Page 3 does not exist in a three-page document: the render fails,
        // and the reply is the request itself with the type turned to 2.
        s.peer.send(hex(RenderRequestExample));
        QByteArray expected = hex(RenderRequestExample);
        expected[4] = 0x02;
        QCOMPARE(s.peer.nextPacket(), expected);

        s.peer.send(hex("00 00 00 01 03"));
        QCOMPARE(s.peer.nextPacket(),
                 withPrefix(hex("04") + be32(2) + entry("Introduction", 0, 0)
                            + entry("Details", 1, 1) + entry("Nested", 2, 0)));

        s.peer.closeConnection();
        QCOMPARE(s.peer.waitForExit(), 0);
        QCOMPARE(s.peer.trace(), (QStringList{
                                     "connected " + s.peer.serverFullName(),
                                     "rendering page 3",
                                     "sending back 39",
                                     "sending bookmarks 2",
                                     "disconnected ",
                                 }));
    }

    void documentWithoutOutline()
    {
        Session s(fixture("plain.pdf"));
        QVERIFY(s.connected);
        s.peer.send(hex("00 00 00 01 03"));
        QCOMPARE(s.peer.nextPacket(), hex("00 00 00 05 04 00 00 00 00"));
        QVERIFY(s.peer.waitForTrace("sending bookmarks 0"));
    }

    void fullOutlineArrivesDepthFirst()
    {
        Session s(fixture("provider-outline.pdf"));
        QVERIFY(s.connected);
        s.peer.send(hex("00 00 00 01 03"));
        QCOMPARE(s.peer.nextPacket(),
                 withPrefix(hex("04") + be32(3)
                            + entry(QString::fromUtf8("Ünïcødé ✓"), 0, 0)
                            + entry("Chapter", 1, 2)
                            + entry("Section 1", 1, 1)
                            + entry("Deep", 2, 0)
                            + entry("Section 2", -1, 0)
                            + entry("Last", 2, 0)));
        QVERIFY(s.peer.waitForTrace("sending bookmarks 3"));
    }

    void framingOfPiecesAndBatches()
    {
        Session s(fixture("sample.pdf"));
        QVERIFY(s.connected);
        const QByteArray bookmarks = hex("00 00 00 01 03");

        // A prefix in two pieces, then a payload in several.
        const QByteArray render = hex(RenderRequestExample);
        s.peer.send(render.left(2));
        QTest::qWait(20);
        s.peer.send(render.mid(2, 2));
        QTest::qWait(20);
        for (int at = 4; at < render.size(); at += 8) {
            QVERIFY(!s.peer.trace().contains("rendering page 3"));
            s.peer.send(render.mid(at, 8));
            QTest::qWait(10);
        }
        QCOMPARE(s.peer.nextPacket().size(), 39);

        // Two packets in one write, both answered in order.
        s.peer.send(bookmarks + renderRequest(0, QSize(0, 0)));
        QCOMPARE(s.peer.nextPacket().at(4), char(PacketType::BookmarksReply));
        QCOMPARE(s.peer.nextPacket().at(4), char(PacketType::RenderReply));

        // L = 0 is type 0: reported, unanswered, and the next prefix is read.
        // Trailing bytes after a bookmarks request change nothing.
        s.peer.send(hex("00 00 00 00") + hex("00 00 00 04 03 FF FF FF"));
        const QByteArray outline = s.peer.nextPacket();
        QCOMPARE(outline.at(4), char(PacketType::BookmarksReply));
        QCOMPARE(be32(quint32(outline.size() - 4)), outline.left(4));

        // A render request of the type byte alone reads as all zeroes.
        s.peer.send(hex("00 00 00 01 01"));
        QCOMPARE(s.peer.nextPacket(), hex("00 00 00 23 02") + QByteArray(34, '\0'));

        QCOMPARE(s.peer.pendingBytes(), qint64(0));
        QCOMPARE(s.peer.trace().mid(1), (QStringList{
                                            "rendering page 3",
                                            "sending back 39",
                                            "sending bookmarks 2",
                                            "rendering page 0",
                                            "sending back 39",
                                            "unexpected packet type 0",
                                            "sending bookmarks 2",
                                            "rendering page 0",
                                            "sending back 39",
                                        }));
    }

    void repliesCarryTheRequestBack()
    {
        Session s(fixture("sample.pdf"));
        QVERIFY(s.connected);
        const QByteArray request = renderRequest(0, QSize(123, 77), 180, true, true, 0x7ABCDEF0,
                                                 Q_UINT64_C(0xFEDCBA9876543210));
        s.peer.send(request);
        const QByteArray packet = s.peer.nextPacket();
        QCOMPARE(packet.left(4), be32(quint32(packet.size() - 4)));
        QCOMPARE(int(packet.at(4)), 2);
        // Every field before the image comes back byte for byte.
        QCOMPARE(packet.mid(5, 30), request.mid(5, 30));
        QCOMPARE(packet.mid(35, 4), hex("00 00 00 01"));
        QCOMPARE(packet.mid(39, 8), hex("89 50 4E 47 0D 0A 1A 0A"));

        const PageRequest reply = decodeReply(packet);
        QCOMPARE(reply.image.size(), QSize(123, 77));
        QVERIFY(s.peer.waitForTrace(QStringLiteral("sending back %1").arg(packet.size())));
    }

    void inversionInvertsColourAndKeepsAlpha()
    {
        Session s(fixture("sample.pdf"));
        QVERIFY(s.connected);
        s.peer.send(renderRequest(0, QSize(306, 396), 0, false, true));
        const QImage plain = decodeReply(s.peer.nextPacket()).image;
        s.peer.send(renderRequest(0, QSize(306, 396), 0, true, true));
        const QImage inverted = decodeReply(s.peer.nextPacket()).image;

        QCOMPARE(plain.size(), QSize(306, 396));
        QCOMPARE(inverted.size(), plain.size());
        QVERIFY(hasInk(plain));
        for (int y = 0; y < plain.height(); ++y) {
            for (int x = 0; x < plain.width(); ++x) {
                const QRgb p = plain.pixel(x, y);
                const QRgb q = inverted.pixel(x, y);
                if (q != qRgba(255 - qRed(p), 255 - qGreen(p), 255 - qBlue(p), qAlpha(p)))
                    QFAIL(qPrintable(QStringLiteral("pixel %1,%2: %3 vs %4")
                                         .arg(x).arg(y).arg(p, 8, 16).arg(q, 8, 16)));
            }
        }
    }

    void rotationTurnsInQuarters()
    {
        Session s(fixture("provider-marker.pdf"));
        QVERIFY(s.connected);
        auto renderAt = [&](qint32 degrees) {
            s.peer.send(renderRequest(0, QSize(200, 200), degrees));
            return decodeReply(s.peer.nextPacket()).image;
        };
        auto black = [](const QImage &image, int x, int y) {
            return image.pixel(x, y) == qRgb(0, 0, 0);
        };
        const QImage upright = renderAt(0);
        QVERIFY(black(upright, 10, 10));
        QVERIFY(!black(upright, 10, 190));

        const QImage quarter = renderAt(90);
        QVERIFY(black(quarter, 190, 10));
        const QImage threeQuarters = renderAt(270);
        QVERIFY(black(threeQuarters, 10, 190));
        QVERIFY(!black(threeQuarters, 10, 10));
        // 45 degrees is no quarter turn at all.
        QCOMPARE(renderAt(45), upright);
    }

    void failedRendersStillGetAReply()
    {
        Session s(fixture("sample.pdf"));
        QVERIFY(s.connected);
        s.peer.send(renderRequest(-1, QSize(100, 100), 0, false, false, 5, 6));
        const QByteArray failed = s.peer.nextPacket();
        QCOMPARE(failed.size(), 39);
        QCOMPARE(failed.right(4), hex("00 00 00 00"));
        QCOMPARE(decodeReply(failed).tag, 5);
        s.peer.send(renderRequest(0, QSize(-5, 10), 0, true));
        QCOMPARE(s.peer.nextPacket().size(), 39);
        QCOMPARE(s.peer.trace().mid(1), (QStringList{
                                            "rendering page -1",
                                            "sending back 39",
                                            "rendering page 0",
                                            "sending back 39",
                                        }));
    }

    void repliesAreNotTakenAsRequests()
    {
        Session s(fixture("sample.pdf"));
        QVERIFY(s.connected);
        QByteArray reply = hex(RenderRequestExample);
        reply[4] = 0x02;
        s.peer.send(reply + hex("00 00 00 01 04") + hex("00 00 00 01 03"));
        const QByteArray answer = s.peer.nextPacket();
        QCOMPARE(answer.at(4), char(PacketType::BookmarksReply));
        QCOMPARE(s.peer.pendingBytes(), qint64(0));
        QCOMPARE(s.peer.trace().mid(1), (QStringList{
                                            "unexpected packet type 2",
                                            "unexpected packet type 4",
                                            "sending bookmarks 2",
                                        }));
    }

    void unloadableDocumentNeverConnects_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QStringList>("extra");
        QTest::newRow("damaged") << fixture("damaged.pdf") << QStringList{};
        QTest::newRow("missing") << fixture("no-such-file.pdf") << QStringList{};
        QTest::newRow("wrong password") << fixture("encrypted-rc4.pdf") << QStringList{"wrong"};
        // With six entries the password is not used.
        QTest::newRow("password ignored") << fixture("encrypted-rc4.pdf") << QStringList{"secret", "x"};
    }

    void unloadableDocumentNeverConnects()
    {
        QFETCH(QString, document);
        QFETCH(QStringList, extra);
        HelperPeer peer;
        peer.start(document, extra);
        QCOMPARE(peer.waitForExit(), -2);
        QCOMPARE(peer.trace(), QStringList{"load err"});
        QVERIFY(!peer.waitForConnection(0));
    }

    void passwordOpensTheDocument()
    {
        Session s(fixture("encrypted-aes256.pdf"), {QString::fromUtf8("pässwörd✓")});
        QVERIFY(s.connected);
        s.peer.send(renderRequest(0, QSize(50, 50)));
        QVERIFY(!decodeReply(s.peer.nextPacket()).image.isNull());
    }

    void announcedButMissingBytesAreNotAllocated()
    {
        Session s(fixture("sample.pdf"));
        QVERIFY(s.connected);
        const qint64 before = peakVirtualKb(s.peer.helperPid());
        s.peer.send(hex("FF FF FF F0 01") + QByteArray(4096, '\0'));
        // Nothing comes back, and nothing near 4 GB is reserved for it.
        QVERIFY(s.peer.nextPacket(300).isEmpty());
        const qint64 after = peakVirtualKb(s.peer.helperPid());
        QVERIFY2(after - before < 512 * 1024,
                 qPrintable(QStringLiteral("VmPeak %1 kB -> %2 kB").arg(before).arg(after)));
        s.peer.closeConnection();
        QCOMPARE(s.peer.waitForExit(), 0);
        QCOMPARE(s.peer.trace().last(), QStringLiteral("disconnected "));
    }

    void peerLeavingMidReplyEndsTheHelperCleanly()
    {
        Session s(fixture("provider-noise.pdf"));
        QVERIFY(s.connected);
        s.peer.send(renderRequest(0, QSize(1000, 1000)));
        // The reply is megabytes of incompressible PNG; leave once it starts.
        QVERIFY(QTest::qWaitFor([&] { return s.peer.pendingBytes() > 0; }, 60000));
        const qint64 received = s.peer.pendingBytes();
        s.peer.abortConnection();
        QCOMPARE(s.peer.waitForExit(), 0);
        const QStringList trace = s.peer.trace();
        QCOMPARE(trace.last(), QStringLiteral("disconnected "));
        const QStringList sending = trace.filter(QStringLiteral("sending back "));
        QCOMPARE(sending.size(), 1);
        QVERIFY(received < sending.first().mid(13).toLongLong());
    }
};

QTEST_GUILESS_MAIN(TestProvider)
#include "tst_provider.moc"
