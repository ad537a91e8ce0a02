// Mode 1: the packet records and their framing in memory, the page provider
// in this process where the pdfium calls it causes can be watched, and the
// real helper driven byte for byte through a local server.

#include "packetframing.h"
#include "pagerequest.h"
#include "pdfiumspy.h"
#include "pdfpageprovider.h"
#include "testsupport.h"

#include <QBuffer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QUuid>
#include <QtEndian>
#include <QtTest>

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

template<typename T>
QByteArray encoded(const T &value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(ProtocolStreamVersion);
    out << value;
    return bytes;
}

QByteArray renderRequest(qint32 page, QSize size, bool invert = false, qint32 tag = -1, quint64 token = 0)
{
    return buildPacket(PacketType::RenderRequest, PageRequest{page, tag, token, true, invert, 180, size, QImage()});
}

// What a request whose render fails gets back: itself, as a reply.
QByteArray echo(QByteArray request)
{
    request[4] = char(PacketType::RenderReply);
    return request;
}

QImage replyImage(const QByteArray &packet)
{
    PageRequest reply;
    QDataStream in(packet.mid(5));
    in.setVersion(ProtocolStreamVersion);
    in >> reply;
    return reply.image;
}

QString freshName()
{
    return "tst-provider-" + QUuid::createUuid().toString(QUuid::Id128);
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

// The preview application's end, kept byte-level on purpose: a local server,
// the helper started on it, raw bytes out and whole packets back.
class Peer
{
public:
    explicit Peer(const QString &document, const QStringList &extraArguments = {})
    {
        const QString name = freshName();
        if (!m_server.listen(name))
            qFatal("cannot listen: %s", qPrintable(m_server.errorString()));
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(testsupport::helperBinary(), QStringList{"1", name, document} + extraArguments);
        if (!m_process.waitForStarted())
            qFatal("cannot start the helper: %s", qPrintable(m_process.errorString()));
    }
    ~Peer()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // True once the helper has connected and said so.
    bool connect(int msecs = 30000)
    {
        static_cast<void>(QTest::qWaitFor([&] { return m_server.hasPendingConnections() || !running(); }, msecs));
        if (!m_server.hasPendingConnections())
            return false;
        socket = m_server.nextPendingConnection();
        return waitForTrace("connected " + m_server.fullServerName());
    }
    void send(const QByteArray &bytes)
    {
        socket->write(bytes);
        socket->flush();
    }
    // Bytes that have arrived and are not taken yet.
    qint64 pending()
    {
        m_incoming += socket->readAll();
        return m_incoming.size();
    }
    // The next whole packet, prefix included; empty when none comes in time.
    QByteArray nextPacket(int msecs = 60000)
    {
        auto length = [&] { return 4 + qint64(qFromBigEndian<quint32>(m_incoming.constData())); };
        if (!QTest::qWaitFor([&] { return pending() >= 4 && pending() >= length(); }, msecs))
            return QByteArray();
        const QByteArray packet = m_incoming.left(length());
        m_incoming.remove(0, packet.size());
        return packet;
    }
    // The helper's standard output so far, line by line.
    QStringList trace()
    {
        m_stdout += m_process.readAllStandardOutput();
        QStringList lines = QString::fromUtf8(m_stdout).split('\n');
        lines.removeLast(); // the unfinished line, or nothing after the last '\n'
        return lines;
    }
    bool waitForTrace(const QString &line) { return QTest::qWaitFor([&] { return trace().contains(line); }, 30000); }
    // The exit code as main returned it; -1000 if the helper did not end by
    // itself in time.
    int exitCode()
    {
        if (!QTest::qWaitFor([&] { return !running(); }, 30000) || m_process.exitStatus() != QProcess::NormalExit)
            return -1000;
        return qint8(m_process.exitCode()); // 8 bits wide here; the helper's codes are small and signed
    }
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    QString serverName() const { return m_server.fullServerName(); }
    qint64 pid() const { return m_process.processId(); }

    QLocalSocket *socket = nullptr;

private:
    QLocalServer m_server;
    QProcess m_process;
    QByteArray m_incoming;
    QByteArray m_stdout;
};

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
        QTest::newRow("fresh request") << encoded(PageRequest())
                                       << hex("FF FF FF FF  FF FF FF FF  00 00 00 00 00 00 00 00  00  00"
                                              "00 00 00 00  FF FF FF FF  FF FF FF FF  00 00 00 00");
        // A null title differs from an empty one; no item is a fresh node.
        a.title = QLatin1String("");
        QTest::newRow("empty and null titles") << encoded(QList<BookmarkNode>{a, toBookmarkNode(nullptr)})
                                               << be32(2) + entry("", 0, 0) + entry(QString(), -1, 0);
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

    void framingHandsOutWholePacketsInOrder()
    {
        // Bytes appended to the buffer arrive as on a socket, after those
        // already there.
        QBuffer device;
        device.open(QIODevice::ReadOnly);
        quint32 expectedSize = 0;
        QList<QByteArray> packets; // type byte and what follows it
        auto feed = [&](const QByteArray &bytes) {
            device.buffer() += bytes;
            readPackets(&device, expectedSize, [&](PacketType type, QDataStream &payload) {
                packets.append(char(type) + payload.device()->readAll());
            });
        };

        // A prefix in two pieces, then a payload in several: nothing is
        // handed out before the last byte is there.
        const QByteArray render = hex(RenderRequestExample);
        for (const QByteArray &piece : {render.left(2), render.mid(2, 2), render.mid(4, 6), render.mid(10, 28)}) {
            feed(piece);
            QVERIFY(packets.isEmpty());
        }
        QCOMPARE(expectedSize, quint32(35));
        feed(render.right(1));
        QCOMPARE(packets, QList<QByteArray>{render.mid(4)});

        // Everything buffered goes out in one call: an empty packet as type
        // 0, bytes after a payload with their packet. A length announced is
        // waited for, without reading what has come of it.
        packets.clear();
        feed(hex("00 00 00 00") + hex("00 00 00 03 03 AA BB") + render + hex("FF FF FF F0") + "partial");
        feed(QByteArray());
        QCOMPARE(packets, (QList<QByteArray>{hex("00"), hex("03 AA BB"), render.mid(4)}));
        QCOMPARE(expectedSize, quint32(0xFFFFFFF0));
        QCOMPARE(device.bytesAvailable(), qint64(7));
    }

    void whatReachesTheEngine_data()
    {
        QTest::addColumn<int>("degrees");
        QTest::addColumn<bool>("annotations");
        QTest::addColumn<int>("quarterTurns");
        QTest::newRow("0") << 0 << false << 0;
        QTest::newRow("90, annotations") << 90 << true << 1;
        QTest::newRow("270") << 270 << false << 3;
        QTest::newRow("45") << 45 << true << 0;
        QTest::newRow("-90") << -90 << false << -1;
        QTest::newRow("-45 truncates toward zero") << -45 << false << 0;
        QTest::newRow("450 is passed on as it is") << 450 << false << 5;
    }

    void whatReachesTheEngine()
    {
        QFETCH(int, degrees);
        QFETCH(bool, annotations);
        QFETCH(int, quarterTurns);
        CoutCapture trace;
        PDFPageProvider provider;
        QCOMPARE(provider.start(freshName(), fixture("sample.pdf"), QString()), 0);
        const PageRequest request{0, -1, 0, annotations, false, degrees, QSize(40, 50), QImage()};
        QVERIFY(!ask(provider, buildPacket(PacketType::RenderRequest, request)).isEmpty());
        QCOMPARE(pdfiumspy::counts().lastRenderRotate.load(), quarterTurns);
        QCOMPARE(pdfiumspy::counts().lastRenderFlags.load(), annotations ? FPDF_ANNOT : 0);
    }

    void anOutlineReadThatStopsSendsNoEntries()
    {
        CoutCapture trace;
        PDFPageProvider provider;
        QCOMPARE(provider.start(freshName(), fixture("sample.pdf"), QString()), 0);
        // The first entry's title reads fine; the next one's does not.
        pdfiumspy::counts().titleFilter = [](int call, unsigned long result) { return call < 2 ? result : 0UL; };
        QCOMPARE(ask(provider, buildPacket(PacketType::BookmarksRequest)), hex("00 00 00 05 04 00 00 00 00"));
        QVERIFY(trace.lines().contains("sending bookmarks 0"));
        // Nothing is cached: the next request reads the outline afresh.
        pdfiumspy::counts().titleFilter = nullptr;
        QCOMPARE(ask(provider, buildPacket(PacketType::BookmarksRequest)).mid(5, 4), be32(2));
    }

    void secondStartAddsNoSecondSetOfConnections()
    {
        CoutCapture trace;
        QLocalServer server;
        const QString name = freshName();
        QVERIFY(server.listen(name));
        PDFPageProvider provider;
        QCOMPARE(provider.start(name, fixture("sample.pdf"), QString()), 0);
        QCOMPARE(provider.start(name, fixture("sample.pdf"), QString()), 0);
        QCOMPARE(provider.findChildren<QLocalSocket *>().size(), 1);
        QVERIFY(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 10000));
        QLocalSocket *peer = server.nextPendingConnection();
        peer->write(buildPacket(PacketType::BookmarksRequest));
        QVERIFY(QTest::qWaitFor([&] { return peer->bytesAvailable() > 0; }, 10000));
        peer->disconnectFromServer();
        QVERIFY(QTest::qWaitFor([&] { return trace.lines().contains("disconnected "); }, 10000));
        const QStringList lines = trace.lines();
        QCOMPARE(lines.filter(QRegularExpression("^connected ")).size(), 1);
        QCOMPARE(lines.count("disconnected "), 1);
        QCOMPARE(lines.count("sending bookmarks 2"), 1);
    }

    void workedExamplesAndFraming()
    {
        Peer peer(fixture("provider-outline.pdf"));
        QVERIFY(peer.connect());
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
        QVERIFY(peer.waitForTrace("sending bookmarks 3"));

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
        const QByteArray failing = renderRequest(-1, QSize(10, 10), true, 5, 6);
        peer.send(hex("00 00 00 00") + echo(render) + hex("00 00 00 04 03 FF FF FF") + hex("00 00 00 01 01")
                  + failing);
        QCOMPARE(peer.nextPacket(), be32(quint32(outline.size())) + outline);
        QCOMPARE(peer.nextPacket(), hex("00 00 00 23 02") + QByteArray(34, '\0'));
        QCOMPARE(peer.nextPacket(), echo(failing));
        QCOMPARE(peer.pending(), qint64(0));

        peer.socket->disconnectFromServer();
        QCOMPARE(peer.exitCode(), 0);
        QCOMPARE(peer.trace(), (QStringList{"connected " + peer.serverName(), "rendering page 3", "sending back 39",
                                            "sending bookmarks 3", "rendering page 3", "sending back 39",
                                            "unexpected packet type 0", "unexpected packet type 2",
                                            "sending bookmarks 3", "rendering page 0", "sending back 39",
                                            "rendering page -1", "sending back 39", "disconnected "}));
    }

    void repliesCarryTheRequestBack()
    {
        Peer peer(fixture("sample.pdf"));
        QVERIFY(peer.connect());
        const QByteArray request = renderRequest(0, QSize(123, 77), true, 0x7ABCDEF0, Q_UINT64_C(0xFEDCBA9876543210));
        peer.send(request);
        const QByteArray packet = peer.nextPacket();
        QVERIFY(peer.waitForTrace(QStringLiteral("sending back %1").arg(packet.size())));
        QCOMPARE(packet.left(5), be32(quint32(packet.size() - 4)) + char(PacketType::RenderReply));
        // Every field before the image comes back byte for byte, then the
        // image marker and a PNG file of the size asked for.
        QCOMPARE(packet.mid(5, 30), request.mid(5, 30));
        QCOMPARE(packet.mid(35, 12), hex("00 00 00 01  89 50 4E 47 0D 0A 1A 0A"));
        QCOMPARE(replyImage(packet).size(), QSize(123, 77));
    }

    void passwordOpensADocumentWithoutOutline()
    {
        Peer peer(fixture("encrypted-aes256.pdf"), {QString::fromUtf8("pässwörd✓")});
        QVERIFY(peer.connect());
        peer.send(renderRequest(0, QSize(50, 50)));
        QVERIFY(!replyImage(peer.nextPacket()).isNull());
        peer.send(hex("00 00 00 01 03"));
        QCOMPARE(peer.nextPacket(), hex("00 00 00 05 04 00 00 00 00"));
        QVERIFY(peer.waitForTrace("sending bookmarks 0"));
    }

    void unloadableDocumentNeverConnects_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<QStringList>("extra");
        QTest::newRow("damaged") << fixture("damaged.pdf") << QStringList();
        QTest::newRow("missing") << fixture("no-such-file.pdf") << QStringList();
        QTest::newRow("wrong password") << fixture("encrypted-rc4.pdf") << QStringList{"wrong"};
    }

    void unloadableDocumentNeverConnects()
    {
        QFETCH(QString, document);
        QFETCH(QStringList, extra);
        Peer peer(document, extra);
        QCOMPARE(peer.exitCode(), -2);
        QCOMPARE(peer.trace(), QStringList{"load err"});
        QVERIFY(!peer.connect(0));
    }

    void announcedButMissingBytesAreNotAllocated()
    {
        Peer peer(fixture("sample.pdf"));
        QVERIFY(peer.connect());
        const qint64 before = peakVirtualKb(peer.pid());
        peer.send(hex("FF FF FF F0 01") + QByteArray(4096, '\0'));
        // Nothing comes back, and nothing near 4 GB is reserved for it.
        QVERIFY(peer.nextPacket(300).isEmpty());
        const qint64 after = peakVirtualKb(peer.pid());
        QVERIFY2(after - before < 512 * 1024,
                 qPrintable(QStringLiteral("VmPeak %1 kB -> %2 kB").arg(before).arg(after)));
        peer.socket->disconnectFromServer();
        QCOMPARE(peer.exitCode(), 0);
        QCOMPARE(peer.trace().last(), QStringLiteral("disconnected "));
    }

    void peerLeavingMidReplyEndsTheHelperCleanly()
    {
        Peer peer(fixture("provider-noise.pdf"));
        QVERIFY(peer.connect());
        peer.send(renderRequest(0, QSize(1000, 1000)));
        // The reply is megabytes of incompressible PNG; leave once it starts.
        QVERIFY(QTest::qWaitFor([&] { return peer.pending() > 0; }, 60000));
        const qint64 received = peer.pending();
        peer.socket->abort();
        QCOMPARE(peer.exitCode(), 0);
        const QStringList trace = peer.trace();
        QCOMPARE(trace.last(), QStringLiteral("disconnected "));
        const QStringList sending = trace.filter("sending back ");
        QCOMPARE(sending.size(), 1);
        QVERIFY(received < sending.first().mid(13).toLongLong());
    }
};

QTEST_GUILESS_MAIN(TestProvider)
#include "tst_provider.moc"
