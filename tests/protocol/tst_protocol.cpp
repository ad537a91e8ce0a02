// The packet records, their stream forms and the framing, in memory.

#include "packetframing.h"
#include "pagerequest.h"
#include "qpdfium.h"

#include <QBuffer>
#include <QStandardItem>
#include <QtTest>

#include <memory>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray payloadBytes(const PageRequest &request)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(ProtocolStreamVersion);
    out << request;
    return bytes;
}

// A sequential device that hands out what the test feeds it, like a socket
// whose bytes arrive in pieces.
class PieceDevice : public QIODevice
{
public:
    PieceDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    void feed(const QByteArray &bytes) { m_pending += bytes; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return m_pending.size() + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, m_pending.size());
        if (n == 0)
            return 0; // read(0) passes no buffer at all
        memcpy(data, m_pending.constData(), size_t(n));
        m_pending.remove(0, n);
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_pending;
};

struct Received {
    PacketType type;
    QByteArray rest; // what the handler found after the type byte
};

// Drains the device as the helper does and records every packet handed out.
struct Receiver {
    quint32 expectedSize = 0;
    QList<Received> packets;

    void drain(QIODevice *device)
    {
        readPackets(device, expectedSize, [this](PacketType type, QDataStream &payload) {
            packets.append({type, payload.device()->readAll()});
        });
    }
};

const char *const RenderRequestExample =
    "00 00 00 23 01"
    "00 00 00 03  00 00 00 07  00 00 00 00 00 00 00 01  01  00"
    "00 00 00 5A  00 00 03 20  00 00 02 58  00 00 00 00";

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void workedExamplesEncodeByteForByte()
    {
        QCOMPARE(buildPacket(PacketType::BookmarksRequest), hex("00 00 00 01 03"));
        QCOMPARE(buildPacket(PacketType::BookmarksReply, QList<BookmarkNode>()),
                 hex("00 00 00 05 04 00 00 00 00"));

        BookmarkNode a;
        a.title = QStringLiteral("A");
        a.pageIndex = 0;
        QCOMPARE(buildPacket(PacketType::BookmarksReply, QList<BookmarkNode>{a}),
                 hex("00 00 00 13 04  00 00 00 01  00 00 00 02 00 41  00 00 00 00  00 00 00 00"));

        PageRequest request;
        request.pageIndex = 3;
        request.tag = 7;
        request.token = 1;
        request.annotations = true;
        request.rotation = 90;
        request.size = QSize(800, 600);
        QCOMPARE(buildPacket(PacketType::RenderRequest, request), hex(RenderRequestExample));
    }

    void freshRecordsCarryTheirDefaults()
    {
        QCOMPARE(payloadBytes(PageRequest()),
                 hex("FF FF FF FF  FF FF FF FF  00 00 00 00 00 00 00 00  00  00"
                     "00 00 00 00  FF FF FF FF  FF FF FF FF  00 00 00 00"));

        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(ProtocolStreamVersion);
        out << BookmarkNode();
        QCOMPARE(bytes, hex("FF FF FF FF  FF FF FF FF  00 00 00 00"));
    }

    void nullAndEmptyTitlesDiffer()
    {
        BookmarkNode empty;
        empty.title = QLatin1String("");
        QVERIFY(!empty.title.isNull());
        const QByteArray packet = buildPacket(PacketType::BookmarksReply, QList<BookmarkNode>{empty, BookmarkNode()});
        QCOMPARE(packet.mid(5), hex("00 00 00 02"
                                    "00 00 00 00  FF FF FF FF  00 00 00 00"
                                    "FF FF FF FF  FF FF FF FF  00 00 00 00"));
    }

    void outlineItemsConvertWithTheirSubtrees()
    {
        QCOMPARE(toBookmarkNode(nullptr).pageIndex, -1);
        QVERIFY(toBookmarkNode(nullptr).title.isNull());

        auto item = [](const QString &title, int depth, int page) {
            auto *it = new QStandardItem;
            it->setData(title, OutlineTitleRole);
            it->setData(depth, OutlineDepthRole);
            it->setData(page, OutlinePageRole);
            return it;
        };
        const std::unique_ptr<QStandardItem> root(new QStandardItem);
        root->setData(QStringLiteral("not sent"), OutlineTitleRole);
        QStandardItem *intro = item(QStringLiteral("Intro"), 0, 0);
        QStandardItem *details = item(QStringLiteral("Details"), 0, 1);
        details->appendRow(item(QStringLiteral("Nested"), 1, 2));
        details->appendRow(item(QStringLiteral("Link"), 1, -1));
        root->appendRow(intro);
        root->appendRow(details);

        const QList<BookmarkNode> nodes = toBookmarkNodes(root.get());
        QCOMPARE(nodes.size(), 2);
        QCOMPARE(nodes[0].title, QStringLiteral("Intro"));
        QCOMPARE(nodes[0].pageIndex, 0);
        QVERIFY(nodes[0].children.isEmpty());
        QCOMPARE(nodes[1].title, QStringLiteral("Details"));
        QCOMPARE(nodes[1].children.size(), 2);
        QCOMPARE(nodes[1].children[0].title, QStringLiteral("Nested"));
        QCOMPARE(nodes[1].children[0].pageIndex, 2);
        QCOMPARE(nodes[1].children[1].pageIndex, -1);
    }

    void damagedOutlinesStopTheReader()
    {
        // A count of four billion entries followed by nothing.
        QDataStream in(hex("FF FF FF FE"));
        in.setVersion(ProtocolStreamVersion);
        const QList<BookmarkNode> nodes = readBookmarkNodes(in);
        QVERIFY(nodes.isEmpty());
        QVERIFY(in.status() != QDataStream::Ok);
    }

    void framingWaitsForWholePackets()
    {
        PieceDevice device;
        Receiver receiver;
        const QByteArray packet = hex(RenderRequestExample);

        device.feed(packet.left(2));
        receiver.drain(&device);
        QVERIFY(receiver.packets.isEmpty());
        QCOMPARE(receiver.expectedSize, quint32(0));

        device.feed(packet.mid(2, 2));
        receiver.drain(&device);
        QVERIFY(receiver.packets.isEmpty());
        QCOMPARE(receiver.expectedSize, quint32(35));

        for (int at = 4; at < packet.size() - 1; at += 10) {
            device.feed(packet.mid(at, qMin(10, int(packet.size()) - 1 - at)));
            receiver.drain(&device);
            QVERIFY(receiver.packets.isEmpty());
        }
        device.feed(packet.right(1));
        receiver.drain(&device);
        QCOMPARE(receiver.packets.size(), 1);
        QCOMPARE(receiver.packets[0].type, PacketType::RenderRequest);
        QCOMPARE(receiver.packets[0].rest, packet.mid(5));
        QCOMPARE(receiver.expectedSize, quint32(0));
        QCOMPARE(device.bytesAvailable(), qint64(0));
    }

    void framingHandlesEverythingBufferedInOrder()
    {
        PieceDevice device;
        Receiver receiver;
        device.feed(hex("00 00 00 00")               // L = 0
                    + hex("00 00 00 03 03 AA BB")    // trailing bytes
                    + hex(RenderRequestExample)
                    + hex("00 00 00 05 01 00"));     // incomplete
        receiver.drain(&device);
        QCOMPARE(receiver.packets.size(), 3);
        QCOMPARE(int(receiver.packets[0].type), 0);
        QCOMPARE(receiver.packets[1].type, PacketType::BookmarksRequest);
        QCOMPARE(receiver.packets[1].rest, hex("AA BB"));
        QCOMPARE(receiver.packets[2].type, PacketType::RenderRequest);
        QCOMPARE(receiver.expectedSize, quint32(5));
        QCOMPARE(device.bytesAvailable(), qint64(2));
    }

    void announcedLengthsAreNotTakenOnTrust()
    {
        PieceDevice device;
        Receiver receiver;
        device.feed(hex("FF FF FF F0") + QByteArray(100, 'x'));
        receiver.drain(&device);
        receiver.drain(&device);
        QVERIFY(receiver.packets.isEmpty());
        QCOMPARE(receiver.expectedSize, quint32(0xFFFFFFF0));
        // The partial payload stays where it was, unread.
        QCOMPARE(device.bytesAvailable(), qint64(100));
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
