#include "sharedreadfile.h"
#include "testsupport.h"

#include <QtTest>

#include <random>

using testsupport::MessageCapture;

namespace {

// Descriptors of this process that refer to path.
int handlesTo(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        count += fd.symLinkTarget() == target ? 1 : 0;
    return count;
}

const QIODevice::OpenMode kBuffered = QIODevice::ReadOnly;
const QIODevice::OpenMode kUnbuffered = QIODevice::ReadOnly | QIODevice::Unbuffered;

} // namespace

Q_DECLARE_METATYPE(QIODevice::OpenMode)

class TestReadOnlyIODevice : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_data; // 100000 bytes in a pattern that shifts every 509 bytes
    QByteArray m_bytes;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // openFile opens buffered; an unbuffered device is reopened with the
    // name openFile left behind.
    static void openAs(ReadOnlyIODevice &device, const QString &path, QIODevice::OpenMode mode)
    {
        QVERIFY(device.openFile(path));
        if (mode & QIODevice::Unbuffered) {
            device.close();
            QVERIFY(device.open(mode));
        }
        QCOMPARE(device.openMode(), mode);
        QVERIFY(!device.isSequential());
    }

    static void addModes()
    {
        QTest::addColumn<QIODevice::OpenMode>("mode");
        QTest::newRow("buffered") << kBuffered;
        QTest::newRow("unbuffered") << kUnbuffered;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        for (int i = 0; i < 100000; ++i)
            m_bytes += char((i * 13 + i / 509) & 0xff);
        m_data = write("data.bin", m_bytes);
    }

    void openFailures()
    {
        ReadOnlyIODevice device;
        QVERIFY(!device.open(QIODevice::ReadOnly));
        QCOMPARE(device.errorString(), QString("ReadOnlyIODevice: no file name set"));

        // A failed open of another file leaves nothing open, not even the old one.
        QVERIFY(device.openFile(m_data));
        const QString missing = m_dir.filePath("missing.bin");
        MessageCapture capture;
        QVERIFY(!device.openFile(missing));
        QCOMPARE(device.errorString(), "ReadOnlyIODevice: failed to open " + missing);
        QVERIFY(!device.isOpen());
        QCOMPARE(device.size(), 0);
        QCOMPARE(handlesTo(m_data), 0);
    }

    // The two loops callers write: until atEnd, and sized by bytesAvailable.
    void readLoops_data()
    {
        QTest::addColumn<QIODevice::OpenMode>("mode");
        QTest::addColumn<int>("chunk");
        for (int chunk : {1, 4096, 16385, 250000}) {
            QTest::addRow("buffered, %d", chunk) << kBuffered << chunk;
            QTest::addRow("unbuffered, %d", chunk) << kUnbuffered << chunk;
        }
    }

    void readLoops()
    {
        QFETCH(QIODevice::OpenMode, mode);
        QFETCH(int, chunk);
        ReadOnlyIODevice device;
        openAs(device, m_data, mode);
        QCOMPARE(device.size(), m_bytes.size());

        QByteArray got;
        while (!device.atEnd() && got.size() <= m_bytes.size()) {
            const QByteArray piece = device.read(chunk);
            QVERIFY(!piece.isEmpty());
            got += piece;
            QCOMPARE(device.bytesAvailable(), m_bytes.size() - got.size());
        }
        QCOMPARE(got, m_bytes);
        QCOMPARE(device.read(1), QByteArray());

        QVERIFY(device.seek(0));
        got.clear();
        while (device.bytesAvailable() > 0 && got.size() <= m_bytes.size()) {
            const QByteArray piece = device.read(qMin<qint64>(device.bytesAvailable(), chunk));
            QVERIFY(!piece.isEmpty());
            got += piece;
        }
        QCOMPARE(got, m_bytes);
        QVERIFY(device.atEnd());
        QVERIFY(device.seek(0));
        QCOMPARE(device.readAll(), m_bytes);
    }

    void streams()
    {
        const QStringList lines{"one", QString::fromUtf8("Grüße ✓"), QString(70000, 'x'), "", "last"};
        QByteArray encoded;
        QDataStream out(&encoded, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << lines << 2.5;
        ReadOnlyIODevice binary;
        QVERIFY(binary.openFile(write("stream.bin", encoded)));
        QDataStream in(&binary);
        in.setVersion(QDataStream::Qt_6_0);
        QStringList readLines;
        double real = 0;
        in >> readLines >> real;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(readLines, lines);
        QCOMPARE(real, 2.5);
        QVERIFY(in.atEnd());

        ReadOnlyIODevice text;
        QVERIFY(text.openFile(write("text.txt", lines.join('\n').toUtf8() + '\n')));
        QTextStream textIn(&text);
        QStringList got;
        while (!textIn.atEnd() && got.size() <= lines.size())
            got << textIn.readLine();
        QCOMPARE(got, lines);
    }

    // Random jumps, forwards within what is buffered, backwards and past it,
    // checked against the file's bytes.
    void seeks_data() { addModes(); }
    void seeks()
    {
        QFETCH(QIODevice::OpenMode, mode);
        ReadOnlyIODevice device;
        openAs(device, m_data, mode);
        std::mt19937 random(12345);
        const qint64 size = m_bytes.size();
        for (int step = 0; step < 300; ++step) {
            qint64 at = device.pos();
            if (step % 3 != 0) {
                at = step % 3 == 1 ? qint64(random() % (size + 1)) : qMin(size, at + qint64(random() % 20000));
                QVERIFY(device.seek(at));
            }
            const qint64 length = qint64(random() % 30000);
            QCOMPARE(device.read(length), m_bytes.mid(at, length));
            QCOMPARE(device.bytesAvailable(), size - device.pos());
            QCOMPARE(device.atEnd(), device.pos() == size);
        }
        // Seeking to the end is allowed, past it or before the start is not.
        QVERIFY(device.seek(10));
        QVERIFY(!device.seek(size + 1));
        QVERIFY(!device.seek(-1));
        QCOMPARE(device.read(4), m_bytes.mid(10, 4));
        QVERIFY(device.seek(size));
        QVERIFY(device.atEnd());
        device.close();
        QVERIFY(!device.seek(0));
    }

    void readErrorIsReported()
    {
        struct Exposed : ReadOnlyIODevice {
            using ReadOnlyIODevice::readData;
        } device;
        QVERIFY(device.openFile(m_data));
        char c = 0;
        // The file refuses a read of nothing; that is a read error here.
        QVERIFY(device.readData(&c, 0) < 0);
        QCOMPARE(device.errorString(), QString("ReadOnlyIODevice: read error"));
        QCOMPARE(device.read(3), m_bytes.left(3));
    }

    void writesAreRefusedAndTheHandleReleased()
    {
        const QDateTime modified = QFileInfo(m_data).lastModified();
        {
            ReadOnlyIODevice device;
            QVERIFY(device.openFile(m_data));
            QCOMPARE(handlesTo(m_data), 1);
            device.close();
            QCOMPARE(handlesTo(m_data), 0);
            QCOMPARE(device.size(), 0);
            QVERIFY(device.atEnd());
            // The name is kept, and the mode passed on as asked, so the write
            // reaches the device.
            QVERIFY(device.open(QIODevice::ReadWrite));
            QCOMPARE(device.write("spoil"), -1);
            QVERIFY(!device.putChar('x'));
            QCOMPARE(handlesTo(m_data), 1);
        }
        QCOMPARE(handlesTo(m_data), 0);
        QFile in(m_data);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), m_bytes);
        QCOMPARE(QFileInfo(m_data).lastModified(), modified);
    }

    // Someone cuts the file short while it is open: readers that loop until
    // atEnd must still come to an end, with the bytes that are there.
    void fileCutShortAfterOpen_data() { addModes(); }
    void fileCutShortAfterOpen()
    {
        QFETCH(QIODevice::OpenMode, mode);
        const QString path = write("shrinking.bin", m_bytes);
        ReadOnlyIODevice device;
        openAs(device, path, mode);
        QByteArray got = device.read(100);
        QVERIFY(QFile::resize(path, 30000));
        for (int rounds = 0; !device.atEnd() && rounds < 100; ++rounds)
            got += device.read(4096);
        QCOMPARE(got, m_bytes.left(30000));
        QCOMPARE(device.bytesAvailable(), 0);

        // Seeking back finds the bytes that are still there.
        QVERIFY(device.seek(29990));
        QVERIFY(!device.atEnd());
        QCOMPARE(device.readAll(), m_bytes.mid(29990, 10));
    }
};

QTEST_GUILESS_MAIN(TestReadOnlyIODevice)
#include "tst_readonlyiodevice.moc"
