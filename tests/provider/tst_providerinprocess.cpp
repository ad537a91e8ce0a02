// The page provider inside the test process, where the pdfium calls it causes
// can be watched: what reaches the renderer, and what a second start does.

#include "packetframing.h"
#include "pagerequest.h"
#include "pdfiumspy.h"
#include "pdfpageprovider.h"
#include "testsupport.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QUuid>
#include <QtEndian>
#include <QtTest>

#include <iostream>
#include <sstream>

using testsupport::fixture;

namespace {

// Takes over std::cout for as long as it lives.
class CoutCapture
{
public:
    CoutCapture() : m_previous(std::cout.rdbuf(m_buffer.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(m_previous); }
    QStringList lines() const
    {
        QStringList all = QString::fromStdString(m_buffer.str()).split(QLatin1Char('\n'));
        all.removeLast();
        return all;
    }

private:
    std::ostringstream m_buffer;
    std::streambuf *m_previous;
};

// A server, a provider connected to it, and the server's end of the line.
struct Line {
    CoutCapture trace;
    QLocalServer server;
    PDFPageProvider provider;
    QLocalSocket *peer = nullptr;
    quint32 expectedSize = 0;
    QList<QByteArray> replies;

    explicit Line(int starts = 1, const QString &document = fixture("sample.pdf"))
    {
        const QString name = QStringLiteral("tst-inprocess-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
        if (!server.listen(name))
            qFatal("cannot listen");
        for (int i = 0; i < starts; ++i) {
            if (provider.start(name, document, QString()) != 0)
                qFatal("start failed");
        }
        if (!QTest::qWaitFor([this] { return server.hasPendingConnections(); }, 10000))
            qFatal("no connection");
        peer = server.nextPendingConnection();
        QObject::connect(peer, &QLocalSocket::readyRead, peer, [this] {
            readPackets(peer, expectedSize, [this](PacketType type, QDataStream &payload) {
                replies.append(char(type) + payload.device()->readAll());
            });
        });
    }

    QByteArray ask(const QByteArray &packet)
    {
        const qsizetype before = replies.size();
        peer->write(packet);
        if (!QTest::qWaitFor([&] { return replies.size() > before; }, 30000))
            return QByteArray();
        return replies.last();
    }

    QByteArray render(qint32 rotation, bool annotations = false)
    {
        PageRequest request;
        request.pageIndex = 0;
        request.size = QSize(40, 50);
        request.rotation = rotation;
        request.annotations = annotations;
        return ask(buildPacket(PacketType::RenderRequest, request));
    }
};

} // namespace

class TestProviderInProcess : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    void rotationReachesTheEngineInQuarterTurns_data()
    {
        QTest::addColumn<int>("degrees");
        QTest::addColumn<int>("quarterTurns");
        QTest::newRow("0") << 0 << 0;
        QTest::newRow("90") << 90 << 1;
        QTest::newRow("180") << 180 << 2;
        QTest::newRow("270") << 270 << 3;
        QTest::newRow("45") << 45 << 0;
        QTest::newRow("-90") << -90 << -1;
        QTest::newRow("-45 truncates toward zero") << -45 << 0;
        QTest::newRow("450 is passed on as it is") << 450 << 5;
    }

    void rotationReachesTheEngineInQuarterTurns()
    {
        QFETCH(int, degrees);
        QFETCH(int, quarterTurns);
        Line line;
        pdfiumspy::counts().lastRenderRotate = -100;
        QVERIFY(!line.render(degrees).isEmpty());
        QCOMPARE(pdfiumspy::counts().lastRenderRotate.load(), quarterTurns);
    }

    void annotationsFlagReachesTheEngine()
    {
        Line line;
        line.render(0, true);
        QCOMPARE(pdfiumspy::counts().lastRenderFlags.load(), 0x01);
        line.render(0, false);
        QCOMPARE(pdfiumspy::counts().lastRenderFlags.load(), 0);
        QCOMPARE(pdfiumspy::counts().renderStart.load(), 2);
    }

    void secondStartAddsNoSecondSetOfConnections()
    {
        Line line(2);
        QCOMPARE(line.provider.findChildren<QLocalSocket *>().size(), 1);
        QCOMPARE(line.ask(buildPacket(PacketType::BookmarksRequest)).at(0), char(PacketType::BookmarksReply));
        line.peer->disconnectFromServer();
        QVERIFY(QTest::qWaitFor([&] { return line.trace.lines().contains("disconnected "); }, 10000));
        const QStringList trace = line.trace.lines();
        QCOMPARE(trace.filter(QRegularExpression("^connected ")).size(), 1);
        QCOMPARE(trace.count("disconnected "), 1);
        QCOMPARE(trace.count("sending bookmarks 2"), 1);
    }

    void anOutlineReadThatStopsSendsNoEntries()
    {
        Line line;
        // The first entry's title reads fine; the next one's does not.
        pdfiumspy::counts().titleFilter = [](int call, unsigned long result) {
            return call < 2 ? result : 0UL;
        };
        const QByteArray reply = line.ask(buildPacket(PacketType::BookmarksRequest));
        pdfiumspy::counts().titleFilter = nullptr;
        QCOMPARE(reply, QByteArray::fromHex("0400000000"));
        QVERIFY(line.trace.lines().contains("sending bookmarks 0"));

        // Nothing is cached: the next request reads the outline afresh.
        QCOMPARE(line.ask(buildPacket(PacketType::BookmarksRequest)).mid(1, 4),
                 QByteArray::fromHex("00000002"));
    }
};

QTEST_GUILESS_MAIN(TestProviderInProcess)
#include "tst_providerinprocess.moc"
