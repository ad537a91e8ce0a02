// Mode 1: the packet records byte for byte, the page provider in this
// process (where the pdfium calls it causes can be watched, and its memory
// limited), and the real helper driven through a local server.

#include "contract.h"
#include "helperpeer.h"
#include "pdfiumspy.h"
#include "pdfpageprovider.h"
#include "sharedarea.h"

#include <QtTest>

#include <cstring>
#ifdef TESTSUPPORT_CAN_LIMIT_ADDRESS_SPACE
#include <sys/resource.h>
#endif
#include <iostream>
#include <sstream>

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

// An outline entry as the stream writes it, spelled out by hand.
QByteArray entry(const QString &title, qint32 page, quint32 children)
{
    QByteArray bytes = be32(title.isNull() ? 0xFFFFFFFF : quint32(title.size() * 2));
    for (const QChar c : title)
        bytes.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xFF));
    return bytes + be32(quint32(page)) + be32(children);
}

const char *const RenderRequestExample =
    "00 00 00 23 01"
    "00 00 00 03  00 00 00 07  00 00 00 00 00 00 00 01  01  00"
    "00 00 00 5A  00 00 03 20  00 00 02 58  00 00 00 00";

// What a request whose render fails gets back: itself, as a reply.
QByteArray echo(QByteArray request)
{
    request[4] = char(PacketType::RenderReply);
    return request;
}

// Takes over std::cout for as long as it lives.
class CoutCapture
{
public:
    CoutCapture() : m_previous(std::cout.rdbuf(m_buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(m_previous); }
    QStringList lines() const { return QString::fromStdString(m_buffer.str()).split('\n', Qt::SkipEmptyParts); }

private:
    std::ostringstream m_buffer;
    std::streambuf *m_previous;
};

// The reply a provider in this process writes to one packet.
QByteArray ask(PDFPageProvider &provider, const QByteArray &packet)
{
    QBuffer in;
    in.setData(packet);
    in.open(QIODevice::ReadOnly);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    provider.serve(&in, &out);
    return out.data();
}

} // namespace

class TestProvider : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    void encodings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("expected");
        const PageRequest example{3, 7, 1, true, false, 90, QSize(800, 600), QImage()};
        QTest::newRow("render request") << buildPacket(PacketType::RenderRequest, example) << hex(RenderRequestExample);
        QTest::newRow("bookmarks request") << buildPacket(PacketType::BookmarksRequest) << hex("00 00 00 01 03");
        BookmarkNode a;
        a.title = "A";
        a.pageIndex = 0;
        QTest::newRow("one entry") << buildPacket(PacketType::BookmarksReply, QList<BookmarkNode>{a})
                                   << hex("00 00 00 13 04  00 00 00 01  00 00 00 02 00 41  00 00 00 00  00 00 00 00");
    }

    void encodings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, expected);
        QCOMPARE(bytes.toHex(' '), expected.toHex(' '));
    }

    void damagedOutlinesStopTheReader()
    {
        // A count of four billion entries followed by nothing.
        QDataStream in(hex("FF FF FF FE"));
        in.setVersion(ProtocolStreamVersion);
        QVERIFY(readBookmarkNodes(in).isEmpty());
        QVERIFY(in.status() != QDataStream::Ok);
    }

    void whatReachesTheEngine_data()
    {
        QTest::addColumn<int>("degrees");
        QTest::addColumn<bool>("annotations");
        QTest::addColumn<int>("quarterTurns");
        QTest::newRow("90, annotations") << 90 << true << 1;
        QTest::newRow("270") << 270 << false << 3;
        QTest::newRow("45") << 45 << true << 0;
        // pdfium draws nothing for negative turns: they reach it modulo 4.
        QTest::newRow("-90") << -90 << false << 3;
        QTest::newRow("-180") << -180 << false << 2;
        QTest::newRow("450") << 450 << false << 1;
    }

    void whatReachesTheEngine()
    {
        QFETCH(int, degrees);
        QFETCH(bool, annotations);
        QFETCH(int, quarterTurns);
        CoutCapture trace;
        PDFPageProvider provider;
        QCOMPARE(provider.start("tst-provider-nowhere", fixture("sample.pdf"), QString()), 0);
        const PageRequest request{0, -1, 0, annotations, false, degrees, QSize(40, 50), QImage()};
        QVERIFY(!ask(provider, buildPacket(PacketType::RenderRequest, request)).isEmpty());
        QCOMPARE(pdfiumspy::counts().lastRenderRotate, quarterTurns);
        QCOMPARE(pdfiumspy::counts().lastRenderFlags, annotations ? FPDF_ANNOT : 0);
    }

    // Only once asked, and only once no request has come for a moment, the
    // helper reads every page's text ahead; a request makes it wait again.
    void readsTextAheadOnlyWhenAskedAndIdle()
    {
        CoutCapture trace;
        PDFPageProvider provider;
        QCOMPARE(provider.start("tst-provider-nowhere", fixture("annotations.pdf"), QString()), 0);
        const PageRequest request{10, -1, 0, true, false, 0, QSize(40, 50), QImage()};
        QVERIFY(!ask(provider, buildPacket(PacketType::RenderRequest, request)).isEmpty());
        QTest::qWait(TextReadAhead::IdleMsecs + 200);
        QCOMPARE(pdfiumspy::counts().loadPage, 1);

        QVERIFY(ask(provider, buildPacket(PacketType::TextReadAhead)).isEmpty());
        QTest::qWait(TextReadAhead::IdleMsecs / 2);
        QVERIFY(!ask(provider, buildPacket(PacketType::RenderRequest, request)).isEmpty());
        QTest::qWait(TextReadAhead::IdleMsecs * 2 / 3);
        QCOMPARE(pdfiumspy::counts().loadPage, 2);
        QTRY_COMPARE_WITH_TIMEOUT(pdfiumspy::counts().loadPage, 2 + 21, 5000);
        QCOMPARE(pdfiumspy::openPages(), 0);
    }

    // The helper writes into a shared area only what lies wholly inside it,
    // and opens only areas of our own naming that are as large as offered
    // and within its bound.
    void sharedAreaBoundsAreKept()
    {
        CoutCapture trace;
        PDFPageProvider provider;
        QCOMPARE(provider.start("tst-provider-nowhere", fixture("provider-marker.pdf"), QString()), 0);
        SharedArea area;
        const qint64 size = 100 * 100 * 4 + 16;
        QVERIFY(area.create(size));
        const auto offer = [&](const QString &name, quint64 bytes) {
            const QByteArray reply = ask(provider, buildPacket(PacketType::SharedAreaOffer, SharedAreaOfferRecord{name, bytes}));
            return reply == hex("00 00 00 02 08 01");
        };
        QVERIFY(!offer("/elsewhere", quint64(size)));
        QVERIFY(!offer(area.name(), quint64(size) * 2));
        SharedArea huge; // sparse: none of its pages is touched
        QVERIFY(huge.create(MaxSharedAreaBytes + 4096));
        QVERIFY(!offer(huge.name(), quint64(MaxSharedAreaBytes + 4096)));
        QVERIFY(offer(area.name(), quint64(size)));
        area.removeName();

        // Where the reply says the page is: width 0 when it was not written.
        const auto render = [&](QSize pixels, quint64 offset, bool invert = false) {
            PacketWriter writer(PacketType::SharedRenderRequest);
            writer.stream() << PageRequest{0, 3, 4, false, invert, 0, pixels, QImage()} << offset;
            QDataStream in(ask(provider, writer.finish()).mid(5));
            in.setVersion(ProtocolStreamVersion);
            PageRequest echo;
            SharedImage placed;
            in >> echo >> placed;
            return echo.tag == 3 && echo.token == 4 ? placed.width : -1;
        };
        std::memset(area.data(), 0x55, size_t(size));
        QCOMPARE(render({100, 100}, 20), 0);  // four bytes past the end
        QCOMPARE(render({100, 100}, 2), 0);   // not on a pixel boundary
        QCOMPARE(render({200, 100}, 0), 0);   // twice the area
        QCOMPARE(render({100, 100}, quint64(1) << 63), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(area.data()), int(size)), QByteArray(int(size), 0x55));
        QCOMPARE(render({100, 100}, 16, true), 100);
        const QImage drawn(area.data() + 16, 100, 100, 400, QImage::Format_ARGB32);
        // The marker square, top left, came out white: inverted in place.
        QCOMPARE(drawn.pixel(5, 5), qRgb(255, 255, 255));
        QCOMPARE(drawn.pixel(95, 95), qRgb(0, 0, 0));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(area.data()), 16), QByteArray(16, 0x55));
    }

    // Memory short while a reply is encoded: the fast PNG writer, which needs
    // working buffers, gives way to Qt's, which needs little beside the file;
    // a reply that fits neither (noise does not compress) is answered as a
    // failed render, not by an allocation failure nobody catches. Where
    // exactly memory runs short depends on the allocators, so the room beyond
    // the image is stepped through: every request is answered, some with the
    // page, some as failed renders.
    void repliesThatDoNotFitAreFailedRenders()
    {
#ifndef TESTSUPPORT_CAN_LIMIT_ADDRESS_SPACE
        QSKIP("an address space limit cannot be set here");
#else
        CoutCapture trace;
        PDFPageProvider provider;
        QCOMPARE(provider.start("tst-provider-nowhere", fixture("provider-noise.pdf"), QString()), 0);
        QVERIFY(!ask(provider, renderRequest(0, QSize(100, 100))).isEmpty());
        const QSize size(1000, 1250);
        const QByteArray request = renderRequest(0, size, 5);
        rlimit saved;
        getrlimit(RLIMIT_AS, &saved);
        int failed = 0, sent = 0;
        for (qint64 room = 4; room <= 10; ++room) {
            const qint64 limit = testsupport::procStatusKb(0, "VmSize") * 1024 + (size.width() * size.height() * 4)
                                 + room * 1024 * 1024;
            const rlimit tight{rlim_t(limit), saved.rlim_max};
            setrlimit(RLIMIT_AS, &tight);
            const QByteArray reply = ask(provider, request);
            setrlimit(RLIMIT_AS, &saved);
            const auto answer = renderReply(reply);
            QVERIFY(answer && answer->tag == 5);
            failed += reply == echo(request);
            sent += answer->image.size() == size;
        }
        QVERIFY(failed > 0 && sent > 0);
#endif
    }

    void secondStartAddsNoSecondSetOfConnections()
    {
        CoutCapture trace;
        QLocalServer server;
        const QString name = "tst-provider-" + QUuid::createUuid().toString(QUuid::Id128);
        QVERIFY(server.listen(name));
        PDFPageProvider provider;
        QCOMPARE(provider.start(name, fixture("sample.pdf"), QString()), 0);
        QCOMPARE(provider.start(name, fixture("sample.pdf"), QString()), 0);
        QVERIFY(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 10000));
        server.nextPendingConnection()->disconnectFromServer();
        QVERIFY(QTest::qWaitFor([&] { return trace.lines().contains("disconnected "); }, 10000));
        QCOMPARE(trace.lines(), (QStringList{"connected " + server.fullServerName(), "disconnected "}));
    }

    void workedExamplesAndFraming()
    {
        HelperPeer peer;
        QVERIFY(peer.start(fixture("provider-outline.pdf")));
        // The document has three pages: page 3 fails, and the reply is the
        // request itself turned into a reply.
        const QByteArray render = hex(RenderRequestExample);
        peer.send(render);
        QCOMPARE(peer.nextPacket(), echo(render));

        // The outline goes depth-first, children before the next sibling.
        peer.send(hex("00 00 00 01 03"));
        const QByteArray outline = hex("04") + be32(3) + entry(QString::fromUtf8("Ünïcødé ✓"), 0, 0)
                                   + entry("Chapter", 1, 2) + entry("Section 1", 1, 1) + entry("Deep", 2, 0)
                                   + entry("Section 2", -1, 0) + entry("Last", 2, 0);
        QCOMPARE(peer.nextPacket(), be32(quint32(outline.size())) + outline);

        // A prefix in two pieces, then a payload in several.
        for (int at = 0; at < render.size(); at += at < 4 ? 2 : 10) {
            QCOMPARE(peer.trace().count("rendering page 3"), 1);
            peer.send(render.mid(at, at < 4 ? 2 : 10));
            QTest::qWait(10);
        }
        QCOMPARE(peer.nextPacket(), echo(render));

        // In one write: L = 0, which is type 0; a reply, which is no request;
        // a bookmarks request with bytes after its type; a render request of
        // the type byte alone, which reads as all zeroes; a failing one.
        const QByteArray failing = renderRequest(-1, QSize(10, 10), 5, true, 6);
        peer.send(hex("00 00 00 00") + echo(render) + hex("00 00 00 04 03 FF FF FF") + hex("00 00 00 01 01")
                  + failing);
        QCOMPARE(peer.nextPacket(), be32(quint32(outline.size())) + outline);
        QCOMPARE(peer.nextPacket(), hex("00 00 00 23 02") + QByteArray(34, '\0'));
        QCOMPARE(peer.nextPacket(), echo(failing));
        // Our own preview side's question: three Letter pages.
        peer.send(hex("00 00 00 01 05"));
        QCOMPARE(peer.nextPacket(), hex("00 00 00 1D 06") + be32(3) + (be32(612) + be32(792)).repeated(3));
        QCOMPARE(peer.pending(), qint64(0));

        peer.connection->disconnectFromServer();
        QVERIFY(peer.endedCleanly());
        QCOMPARE(peer.trace(), (QStringList{"connected " + peer.serverName(), "rendering page 3", "sending back 39",
                                            "sending bookmarks 3", "rendering page 3", "sending back 39",
                                            "unexpected packet type 0", "unexpected packet type 2",
                                            "sending bookmarks 3", "rendering page 0", "sending back 39",
                                            "rendering page -1", "sending back 39", "sending page sizes 3",
                                            "disconnected "}));
    }

    void aProtectedDocumentWithoutOutlineIsServed()
    {
        HelperPeer peer;
        QVERIFY(peer.start(fixture("encrypted-aes256.pdf"), {QString::fromUtf8("pässwörd✓")}));
        const QByteArray request = renderRequest(0, QSize(123, 77), 0x7ABCDEF0, true, Q_UINT64_C(0xFEDCBA9876543210));
        const QByteArray packet = peer.ask(request);
        QVERIFY(peer.waitForTrace(QStringLiteral("sending back %1").arg(packet.size())));
        QCOMPARE(packet.left(5), be32(quint32(packet.size() - 4)) + char(PacketType::RenderReply));
        // Every field before the image comes back byte for byte, then the
        // image marker and a PNG file of the size asked for.
        QCOMPARE(packet.mid(5, 30), request.mid(5, 30));
        QCOMPARE(packet.mid(35, 12), hex("00 00 00 01  89 50 4E 47 0D 0A 1A 0A"));
        QCOMPARE(renderReply(packet)->image.size(), QSize(123, 77));

        QCOMPARE(peer.ask(hex("00 00 00 01 03")), hex("00 00 00 05 04 00 00 00 00"));
        QVERIFY(peer.waitForTrace("sending bookmarks 0"));
    }

    // A stretch of page sizes is cut to the pages there are, whatever the
    // packet claims, and its reply reads back as the record.
    void pageSizeStretchesAreCutToThePages_data()
    {
        QTest::addColumn<qint32>("first");
        QTest::addColumn<qint32>("count");
        QTest::addColumn<qint32>("replyFirst");
        QTest::addColumn<int>("replyCount");
        QTest::newRow("inside") << 1 << 1 << 1 << 1;
        QTest::newRow("past the end") << 1 << 5 << 1 << 2;
        QTest::newRow("before the start") << -5 << 2 << 0 << 2;
        QTest::newRow("after the last page") << 7 << 1 << 3 << 0;
        QTest::newRow("a count that overflows a sum") << 2 << 0x7fffffff << 2 << 1;
        QTest::newRow("a negative count") << 0 << -1 << 0 << 0;
    }

    void pageSizeStretchesAreCutToThePages()
    {
        QFETCH(qint32, first);
        QFETCH(qint32, count);
        QFETCH(qint32, replyFirst);
        QFETCH(int, replyCount);
        HelperPeer peer;
        QVERIFY(peer.start(fixture("provider-outline.pdf")));
        const QByteArray packet = peer.ask(
            buildPacket(PacketType::PageSizesRangeRequest, PageSizesRangeRecord{first, count}));
        QCOMPARE(packet.mid(4, 1), QByteArray(1, char(PacketType::PageSizesRangeReply)));
        QCOMPARE(packet.mid(5, 8), be32(3) + be32(quint32(replyFirst)));
        QDataStream in(packet.mid(5));
        in.setVersion(ProtocolStreamVersion);
        PageSizesRangeReplyRecord reply;
        in >> reply;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(reply.sizes, QList<QSize>(replyCount, QSize(612, 792)));
    }

    void unloadableDocumentNeverConnects()
    {
        HelperPeer peer;
        QVERIFY(!peer.start(fixture("damaged.pdf")));
        QCOMPARE(peer.exitCode(), -2);
        QCOMPARE(peer.trace(), QStringList{"load err"});
    }

    void announcedButMissingBytesAreNotAllocated()
    {
        HelperPeer peer;
        QVERIFY(peer.start(fixture("sample.pdf")));
        const qint64 before = peer.peakKb();
        peer.send(hex("FF FF FF F0 01") + QByteArray(4096, '\0'));
        // Nothing comes back, and nothing near 4 GB is reserved for it.
        QVERIFY(peer.nextPacket(300).isEmpty());
        const qint64 after = peer.peakKb();
        QVERIFY2(after - before < 512 * 1024,
                 qPrintable(QStringLiteral("VmPeak %1 kB -> %2 kB").arg(before).arg(after)));
        peer.connection->disconnectFromServer();
        QVERIFY(peer.endedCleanly());
    }
};

QTEST_GUILESS_MAIN(TestProvider)
#include "tst_provider.moc"
